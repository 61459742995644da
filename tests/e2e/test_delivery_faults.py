"""Faults at the edges of a job, on the real executable with the maximum job: a client
that resets while its export is packed or while the reply is written, a client that
never reads nor closes, and kill -9 right after a job. An export the client did not take
whole is put back byte for byte and journalled as not delivered; a finished job's journal
line is in the file before anyone could learn the job is done."""
import array
import fcntl
import glob
import json
import os
import shutil
import signal
import socket
import tempfile
import termios
import time
import unittest

from ostrivan_e2e import (IMPORT, FileCreationWatch, FileRemovalWatch, ScratchServerTestCase, Server, export_request,
                          job_request, journal_lines, make_job, read_file, read_tree, reset, snapshot, wait_until)

DELIVERED = 'outcome="delivered"'
RESTORED = 'outcome="restored after undelivered reply"'
# The service's limit for a client that takes no reply byte.
SEND_IDLE_LIMIT_S = 30


def recv_exactly(sock, count):
    got = b""
    while len(got) < count:
        chunk = sock.recv(min(65536, count - len(got)))
        if not chunk:
            raise AssertionError(f"the server closed after {len(got)} of {count} bytes")
        got += chunk
    return got


def recv_head(sock):
    got = b""
    while b"\r\n\r\n" not in got:
        chunk = sock.recv(1)
        if not chunk:
            raise AssertionError(f"the server closed before the end of the head: {got!r}")
        got += chunk
    return got


def recv_to_end(sock):
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def window_until_closed(sock, timeout):
    """Watches what the peer has put into this socket's receive queue (the client's
    window, as the sender sees it acknowledged) until the connection is closed, reset
    included; returns (when the queue last grew, when it closed), monotonic seconds."""
    tcp_close = 7
    end = time.monotonic() + timeout
    queued, changed = -1, time.monotonic()
    while True:
        count = array.array("i", [0])
        fcntl.ioctl(sock.fileno(), termios.FIONREAD, count, True)
        now = time.monotonic()
        if count[0] != queued:
            queued, changed = count[0], now
        if sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0] == tcp_close:
            return changed, now
        if now > end:
            raise AssertionError(f"the connection was not closed within {timeout} s")
        time.sleep(0.02)


def files_in(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


class UndeliveredExports(ScratchServerTestCase):
    """One server; each case lays the maximum job in the export folder afresh."""
    scratch_prefix = "ostrivan-faults-"

    @classmethod
    def prepare_scratch(cls):
        cls.job = os.path.join(cls.base, "export")
        os.makedirs(cls.job)
        cls.hold_root = os.path.join(cls.base, ".export.ostrivan-held")
        cls.server_options = {"ini": {"ExportLavoroDir": cls.job, "Nr_Macchina": 5}}

    def lay_job(self):
        shutil.rmtree(self.job)
        make_job(self.job)
        return snapshot(self.job)

    def holding(self):
        return os.path.isdir(self.hold_root) and bool(os.listdir(self.hold_root))

    def connect(self, rcvbuf=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            # Before connect, so that the window offered stays this small.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(60)
        s.connect(("127.0.0.1", self.srv.port))
        return s

    def assert_put_back(self, before, lines_before, sent_before, timeout=60):
        """The attempt's journal line says not delivered; the folder is as it was."""
        new = wait_until(lambda: journal_lines(self.srv)[lines_before:], timeout=timeout,
                         what="the journal line of the attempt")
        self.assertEqual(len(new), 1, new)
        self.assertIn('export machine=5 peer=127.0.0.1 mode="NEWEN" archive="P1001.zip" job="P1001"', new[0])
        self.assertNotIn(DELIVERED, new[0])
        self.assertIn(RESTORED, new[0])
        wait_until(lambda: not self.holding(), what="the hold folder to go")
        after = snapshot(self.job)
        self.assertEqual(sorted(after), sorted(before))
        for rel, value in before.items():
            self.assertEqual(after[rel], value, f"{rel} not back as it was (bytes, mtime, mode)")
        self.assertEqual(files_in(os.path.join(self.srv.dir, "sent")), sent_before, "an archive was kept as sent")

    def test_a_reset_at_any_point_of_the_reply_puts_the_job_back(self):
        def while_packing(s):
            # The hold folder appears when packing begins, before a byte of the reply.
            wait_until(self.holding, timeout=30, what="packing to begin", pause=0.001)

        def after_the_head(s):
            self.assertTrue(recv_head(s).startswith(b"HTTP/1.1 200 OK"))

        def within_the_body(s):
            head = recv_head(s)
            self.assertTrue(head.startswith(b"HTTP/1.1 200 OK"))
            recv_exactly(s, 1024 * 1024)

        for point, client in (("while packing", while_packing), ("after the head", after_the_head),
                              ("within the body", within_the_body)):
            with self.subTest(point=point):
                before = self.lay_job()
                lines_before = len(journal_lines(self.srv))
                sent_before = files_in(os.path.join(self.srv.dir, "sent"))
                s = self.connect()
                try:
                    s.sendall(export_request())
                    client(s)
                finally:
                    reset(s)
                self.assert_put_back(before, lines_before, sent_before)

    def test_a_client_that_never_reads_nor_closes_is_given_up(self):
        before = self.lay_job()
        lines_before = len(journal_lines(self.srv))
        sent_before = files_in(os.path.join(self.srv.dir, "sent"))
        s = self.connect(rcvbuf=4096)
        try:
            s.sendall(export_request())
            wait_until(self.holding, timeout=30, what="the job to be held")
            # Given up the limit after the client's window stopped moving, whatever the
            # service's own kernel takes into its buffer meanwhile.
            stopped, closed = window_until_closed(s, timeout=SEND_IDLE_LIMIT_S * 3)
            self.assertGreater(closed - stopped, SEND_IDLE_LIMIT_S - 1)
            self.assertLess(closed - stopped, SEND_IDLE_LIMIT_S + 3)
            # No byte taken for the limit ends the reply; then the job comes back (the
            # bound leaves ample room for a loaded machine).
            self.assert_put_back(before, lines_before, sent_before, timeout=SEND_IDLE_LIMIT_S + 90)
            # Logged once the connection ends, after the job was settled.
            self.srv.wait_log(f"Connection from 127.0.0.1 closed: no reply byte taken for {SEND_IDLE_LIMIT_S} s",
                              timeout=30)
            # The cut reply ends in a reset, never in an orderly end after part of it.
            with self.assertRaises(ConnectionResetError):
                s.settimeout(30)
                recv_to_end(s)
        finally:
            s.close()
        # The job is whole for the next client.
        with socket.create_connection(("127.0.0.1", self.srv.port), timeout=60) as c:
            c.sendall(export_request())
            _, _, body = recv_to_end(c).partition(b"\r\n\r\n")
        reply = json.loads(body)
        self.assertFalse(reply["Errore"], reply["Messaggio"])
        wait_until(lambda: [l for l in journal_lines(self.srv)[lines_before + 1:] if DELIVERED in l],
                   what="the delivered line of the next export")


class KillRightAfterAJob(unittest.TestCase):
    """kill -9 as soon as a job is seen to be finished: its journal line is in the file.
    Several trials, as the race it guards against is short."""
    TRIALS = 5

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-faults-kill-")
        self.workdir = os.path.join(self.base, "service")
        os.makedirs(self.workdir)

    def tearDown(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def journal_after_kill(self, srv):
        srv.proc.send_signal(signal.SIGKILL)
        srv.proc.wait()
        srv.cleanup()
        path = os.path.join(self.workdir, "logs", "Ostrivan.00.journal.log")
        try:
            with open(path, "rb") as f:
                return [l for l in f.read().decode("utf-8", "replace").splitlines() if l.strip()]
        except FileNotFoundError:
            return []

    def test_a_delivered_export_is_journalled_before_its_files_go(self):
        job = os.path.join(self.base, "export")
        hold_root = os.path.join(self.base, ".export.ostrivan-held")
        for trial in range(self.TRIALS):
            with self.subTest(trial=trial):
                shutil.rmtree(job, ignore_errors=True)
                make_job(job)
                srv = Server(workdir=self.workdir, ini={"ExportLavoroDir": job}).start()
                try:
                    lines_before = len(journal_lines(srv))
                    s = socket.create_connection(("127.0.0.1", srv.port), timeout=60)
                    try:
                        s.sendall(export_request())
                        _, _, body = recv_to_end(s).partition(b"\r\n\r\n")
                        self.assertFalse(json.loads(body)["Errore"])
                        # The service settles the job once the client has closed: watch the
                        # held files before that. Removing the first is the first step
                        # past the point of no return.
                        held = os.listdir(hold_root)
                        self.assertEqual(len(held), 1, held)
                        held = held[0]
                        watch = FileRemovalWatch(os.path.join(hold_root, held, "files"))
                    finally:
                        s.close()
                    watch.wait(60)
                    lines = self.journal_after_kill(srv)
                finally:
                    srv.cleanup()
                new = lines[lines_before:]
                self.assertEqual(len(new), 1, f"trial {trial}: {new}")
                self.assertIn('export machine=0 peer=127.0.0.1 mode="NEWEN" archive="P1001.zip"', new[0])
                self.assertIn(DELIVERED, new[0])

    def test_an_export_settled_at_start_is_journalled_once_and_said_in_the_log(self):
        """kill -9 at points after the whole reply went out; the next start settles the
        hold. Across both runs the job has exactly one journal line, saying what became of
        it, and the start's main log says what it found and did."""
        job = os.path.join(self.base, "export")
        hold_root = os.path.join(self.base, ".export.ostrivan-held")

        def client_still_open(s, folder):
            pass  # the client has read everything and not yet closed: the service waits

        def delivered_mark_begun(s, folder):
            watch = FileCreationWatch(folder, "delivered.tmp")
            s.close()
            watch.wait(60)

        def removal_begun(s, folder):
            watch = FileRemovalWatch(os.path.join(folder, "files"))
            s.close()
            watch.wait(60)

        # point, when to kill, the outcome it must end in (None: either, by a hair)
        points = (("reply read, client still open", client_still_open, "restored"),
                  ("delivered mark being written", delivered_mark_begun, None),
                  ("held files being removed", removal_begun, "delivered"))
        for point, before_kill, expected in points:
            with self.subTest(point=point):
                shutil.rmtree(job, ignore_errors=True)
                make_job(job)
                laid = read_tree(job)
                srv = Server(workdir=self.workdir, ini={"ExportLavoroDir": job}).start()
                try:
                    lines_before = len(journal_lines(srv))
                    s = socket.create_connection(("127.0.0.1", srv.port), timeout=60)
                    try:
                        s.sendall(export_request())
                        _, _, body = recv_to_end(s).partition(b"\r\n\r\n")
                        reply = json.loads(body)
                        self.assertFalse(reply["Errore"])
                        held = os.listdir(hold_root)
                        self.assertEqual(len(held), 1, held)
                        before_kill(s, os.path.join(hold_root, held[0]))
                        srv.proc.send_signal(signal.SIGKILL)
                        srv.proc.wait()
                    finally:
                        s.close()
                finally:
                    srv.cleanup()
                records = glob.glob(os.path.join(self.workdir, "held", "*.hold"))
                found = [read_file(r).decode().strip() for r in records]
                srv = Server(workdir=self.workdir, ini={"ExportLavoroDir": job}).start()
                try:
                    log = srv.log_text()
                    lines = [l for l in journal_lines(srv)[lines_before:] if 'archive="P1001.zip"' in l]
                finally:
                    srv.stop()
                    srv.cleanup()
                self.assertEqual(len(lines), 1, lines)
                outcome = "restored" if RESTORED in lines[0] else "delivered" if DELIVERED in lines[0] else lines[0]
                if expected:
                    self.assertEqual(outcome, expected)
                # What the line says is what became of the job.
                self.assertEqual(read_tree(job), laid if outcome == "restored" else {})
                # Each hold the kill left is named once by the start, with what it did. (A
                # kill that came late leaves only an emptied folder or the record.)
                for folder in found:
                    said = [l for l in log.splitlines() if "Start found the " in l and f'"{folder}"' in l]
                    self.assertEqual(len(said), 1, log[-3000:])
                    if "the held export" in said[0]:
                        self.assertIn('the held export "P1001.zip" (job "P1001")', said[0])
                        self.assertIn("put back in " if outcome == "restored" else "had been delivered", said[0])
                    else:
                        self.assertEqual(outcome, "delivered", said[0])
                        self.assertTrue("without a manifest and without files" in said[0]
                                        or "of a job already settled" in said[0], said[0])

    def test_an_import_is_journalled_before_its_reply(self):
        imp = os.path.join(self.base, "import")
        os.makedirs(imp)
        zip_path = os.path.join(self.base, "job.zip")
        req = os.path.join(self.base, "job.json")
        make_job(os.path.join(self.base, "src"), "max", "--zip", zip_path, "--request", req)
        body = read_file(req)
        for trial in range(self.TRIALS):
            with self.subTest(trial=trial):
                srv = Server(workdir=self.workdir, ini={"ImportLavoroDir": imp}).start()
                try:
                    lines_before = len(journal_lines(srv))
                    with socket.create_connection(("127.0.0.1", srv.port), timeout=60) as s:
                        s.sendall(job_request(IMPORT, body))
                        # The first bytes of the reply: the job is done; kill at once.
                        first = s.recv(65536)
                        lines = self.journal_after_kill(srv)
                        try:
                            first += recv_to_end(s)
                        except ConnectionResetError:
                            pass
                finally:
                    srv.cleanup()
                self.assertTrue(first.startswith(b"HTTP/1.1 200 OK"), first[:200])
                self.assertIn(b'"Errore":false', first)
                new = lines[lines_before:]
                self.assertEqual(len(new), 1, f"trial {trial}: {new}")
                self.assertIn('import machine=0 peer=127.0.0.1 mode=- archive="P1001.zip" job="P1001"', new[0])
                self.assertIn('outcome="imported"', new[0])


if __name__ == "__main__":
    unittest.main()
