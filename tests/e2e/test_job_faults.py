"""Faults at the edges of a job, on the real executable: a machine that refills its folder
while a job waits for its reply, a kill while a job is copied back across file systems, a
damaged hold manifest, a changed export folder, the service under an account of its own,
and the copies kept of what ROTTLER discards and of every import. Every file of every job
ends in the export folder, in the client's hands, or in unsent/ or sent/, never nowhere,
never cut short."""
import base64
import io
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import zipfile

from ostrivan_e2e import (CLIENT, EXPORT, IMPORT, Server, export_request, export_whole, job_request, journal_lines,
                          make_job, read_reply, read_tree, request_bytes, reset, snapshot, stream_entries, wait_until,
                          write, write_ini, zip_bytes)

POINTS = [int(p) for p in os.environ.get("OSTRIVAN_KILL_POINTS", "0,1,2,3,4,5").split(",")]


def start_unread_export(port, mode="NEWEN"):
    """An export request from a client that keeps its window small and reads nothing."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(30)
    s.connect(("127.0.0.1", port))
    s.sendall(export_request(mode))
    return s


def kept_jobs(folder):
    """unsent/<time>-<job>/: for each, (archive bytes or None, files below files/)."""
    out = []
    if not os.path.isdir(folder):
        return out
    for name in sorted(os.listdir(folder)):
        job = os.path.join(folder, name)
        archives = [f for f in os.listdir(job) if f.endswith(".zip")]
        data = None
        if archives:
            with open(os.path.join(job, archives[0]), "rb") as f:
                data = f.read()
        out.append((data, read_tree(os.path.join(job, "files"))))
    return out


NOBODY = None
try:
    NOBODY = pwd.getpwnam("nobody")
except KeyError:
    pass
AS_ROOT = os.geteuid() == 0
HAVE_SETPRIV = shutil.which("setpriv") is not None


def as_nobody():
    return ["setpriv", f"--reuid={NOBODY.pw_uid}", f"--regid={NOBODY.pw_gid}", "--clear-groups"]


def settle():
    """Without a lease (another account's files) a file changed within two seconds counts
    as still being written: a job laid just now waits that long."""
    time.sleep(2.2)


def chown_tree(path, uid, gid):
    os.chown(path, uid, gid)
    for dirpath, dirnames, filenames in os.walk(path):
        for n in dirnames + filenames:
            os.lchown(os.path.join(dirpath, n), uid, gid)


class Base(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-faults-")
        os.chmod(self.base, 0o755)
        self.workdir = os.path.join(self.base, "service")
        os.makedirs(self.workdir)
        self.job = os.path.join(self.base, "export")
        self.servers = []

    def tearDown(self):
        for srv in self.servers:
            srv.cleanup()
        shutil.rmtree(self.base, ignore_errors=True)

    def server(self, ini, **kw):
        srv = Server(workdir=self.workdir, ini=ini, service=True, **kw)
        self.servers.append(srv)
        return srv.start()

    def kill(self, srv):
        srv.proc.send_signal(signal.SIGKILL)
        srv.proc.wait()


class RefilledFolder(Base):
    def test_an_undelivered_job_is_kept_whole_in_unsent_when_the_machine_wrote_a_new_one(self):
        make_job(self.job, "small")
        job_a = read_tree(self.job)
        srv = self.server({"ExportLavoroDir": self.job})
        try:
            s = start_unread_export(srv.port)
            wait_until(lambda: not os.listdir(self.job), what="job A to be held")
            # The machine writes job B, one name of it the same as one of A's.
            job_b = {"programs/P9000.NC": b"G0 X9\n", "tools/T.CFG": b"tool of B\n"}
            for rel, data in job_b.items():
                write(os.path.join(self.job, rel), data)
            reset(s)
            wait_until(lambda: any("kept in unsent after undelivered reply" in l for l in journal_lines(srv)),
                       what="the journal line")
            self.assertEqual(read_tree(self.job), job_b)  # only what the machine wrote
            kept = kept_jobs(os.path.join(self.workdir, "unsent"))
            self.assertEqual(len(kept), 1)
            archive, files = kept[0]
            self.assertEqual(files, job_a)
            with zipfile.ZipFile(io.BytesIO(archive)) as zf:
                self.assertEqual({n.replace("\\", "/"): zf.read(n) for n in zf.namelist()}, job_a)
            self.assertIn("not put back", srv.log_text())
            # The next export delivers B alone.
            reply = export_whole(srv.port)
            self.assertEqual(stream_entries(reply), job_b)
        finally:
            srv.stop()


class KillDuringCopyBack(Base):
    @unittest.skipUnless(AS_ROOT and HAVE_SETPRIV and NOBODY and os.path.isdir("/dev/shm"),
                         "needs root, setpriv, the nobody account and /dev/shm")
    def test_a_kill_while_a_job_is_copied_back_never_leaves_a_cut_file_under_its_name(self):
        # Export folder on another file system, its parent closed to the account: the hold
        # is beside the executable and every move copies.
        shm = tempfile.mkdtemp(prefix="ostrivan-faults-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        os.chmod(shm, 0o755)
        job = os.path.join(shm, "export")
        # A few large programs, so a copy back takes long enough to be cut.
        files = {f"programs/P{n}.NC": (f"N{n:05d} G1 X{n}.5 Y-{n}.25\n".encode() * 1400000)[:30_000_000 + n]
                 for n in range(1, 4)}
        chown_tree(self.workdir, NOBODY.pw_uid, NOBODY.pw_gid)
        for point in POINTS:
            with self.subTest(point=point):
                shutil.rmtree(job, ignore_errors=True)
                for rel, data in files.items():
                    write(os.path.join(job, rel), data)
                chown_tree(job, NOBODY.pw_uid, NOBODY.pw_gid)
                settle()
                srv = self.server({"ExportLavoroDir": job}, prefix=as_nobody())
                s = start_unread_export(srv.port)
                wait_until(lambda: not os.listdir(job), timeout=60, what="the job to be held")
                reset(s)
                time.sleep(point * 0.08)
                self.kill(srv)
                srv.cleanup()
                srv = self.server({"ExportLavoroDir": job}, prefix=as_nobody())
                try:
                    try:
                        wait_until(lambda: read_tree(job) == files, timeout=60, what="the job back whole")
                    except AssertionError:
                        seen = {rel: len(data) for rel, data in read_tree(job).items()}
                        kept = [(d, f) for d, _, f in os.walk(self.workdir) if "logs" not in d]
                        raise AssertionError(f"not back whole: {seen}; service folder: {kept}; "
                                             f"log: {srv.log_text()[-1500:]}; journal: {srv.log_text('journal')}")
                    self.assertEqual([n for n in os.listdir(os.path.join(job, "programs")) if n.startswith(".")], [])
                    held = os.path.join(self.workdir, "held")
                    self.assertEqual(os.listdir(held) if os.path.isdir(held) else [], [])
                finally:
                    srv.stop()


class HoldRecords(Base):
    def hold_and_kill(self, ini):
        make_job(self.job, "small")
        before = snapshot(self.job)
        srv = self.server(ini)
        s = start_unread_export(srv.port)
        wait_until(lambda: not os.listdir(self.job), what="the job to be held")
        self.kill(srv)
        s.close()
        srv.cleanup()
        return before

    def held_folder(self):
        beside = os.path.join(self.base, ".export.ostrivan-held")
        names = os.listdir(beside)
        self.assertEqual(len(names), 1)
        return os.path.join(beside, names[0])

    def test_a_changed_export_folder_setting_still_gets_its_held_job_back(self):
        before = self.hold_and_kill({"ExportLavoroDir": self.job})
        other = os.path.join(self.base, "other")
        os.makedirs(other)
        srv = self.server({"ExportLavoroDir": other})
        try:
            wait_until(lambda: snapshot(self.job) == before, what="the job back in its own folder")
            self.assertEqual(os.listdir(other), [])
            self.assertEqual(os.listdir(os.path.join(self.workdir, "held")), [])
        finally:
            srv.stop()

    def test_a_damaged_manifest_keeps_its_job_untouched_and_says_so(self):
        self.hold_and_kill({"ExportLavoroDir": self.job})
        folder = self.held_folder()
        held_files = read_tree(os.path.join(folder, "files"))
        with open(os.path.join(folder, "manifest"), "r+b") as f:
            f.truncate(40)
        srv = self.server({"ExportLavoroDir": self.job})
        try:
            srv.wait_log(f'Held export "{folder}" has a manifest that cannot be read')
            self.assertEqual(read_tree(os.path.join(folder, "files")), held_files)
            self.assertEqual(os.listdir(self.job), [])
        finally:
            srv.stop()


class KeptCopies(Base):
    def test_rottler_keeps_what_it_discards_and_imports_keep_their_archive(self):
        imp = os.path.join(self.base, "import")
        os.makedirs(imp)
        make_job(self.job, "small")
        write(os.path.join(self.job, "A.NC"), b"the one program\n")
        everything = read_tree(self.job)
        srv = self.server({"ExportLavoroDir": self.job, "ImportLavoroDir": imp})
        try:
            reply = export_whole(srv.port, "ROTTLER")
            self.assertEqual(stream_entries(reply), {"A.NC": b"the one program\n"})
            sent = os.path.join(self.workdir, "sent")
            discarded = wait_until(lambda: os.path.isdir(sent) and
                                   [f for f in os.listdir(sent) if f.endswith("-A.discarded.zip")],
                                   what="the discarded files' archive")
            with zipfile.ZipFile(os.path.join(sent, discarded[0])) as zf:
                kept = {n.replace("\\", "/"): zf.read(n) for n in zf.namelist()}
            self.assertEqual(kept, {k: v for k, v in everything.items() if k != "A.NC"})
            line = wait_until(lambda: [l for l in journal_lines(srv) if 'archive="A.zip"' in l], what="journal")[-1]
            self.assertIn(f" discarded={len(kept)} left=0 ", line)

            # An import keeps the archive it received.
            body = json.dumps({"NomeFile": "../J 7.zip", "Stream": reply["Stream"]}).encode()
            with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                s.sendall(job_request(IMPORT, body))
                head, out = read_reply(s)
            self.assertEqual(json.loads(out), {"Errore": False, "Messaggio": ""})
            received = os.path.join(self.workdir, "received")
            names = os.listdir(received)
            self.assertEqual(len(names), 1)
            self.assertTrue(names[0].endswith("-J 7.zip"), names)
            with open(os.path.join(received, names[0]), "rb") as f:
                self.assertEqual(f.read(), base64.b64decode(reply["Stream"]))
        finally:
            srv.stop()

    def test_the_journal_records_who_really_called_in_one_line(self):
        make_job(self.job, "small")
        srv = self.server({"ExportLavoroDir": self.job})
        try:
            body = json.dumps({"ModoGestioneFile": "NEWEN\r\nexport machine=7 peer=6.6.6.6 outcome=\"delivered\""})
            data = job_request(EXPORT, body.encode(), [("HTTP_CLIENT_IP", "10.9.8.7")])
            with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                s.sendall(data)
                read_reply(s)
            line = wait_until(lambda: journal_lines(srv), what="the journal line")
            self.assertEqual(len(line), 1, line)
            self.assertIn(' peer=127.0.0.1 client="10.9.8.7" mode="NEWEN\\r\\nexport machine=7', line[0])
        finally:
            srv.stop()


KEPT_STAMP = re.compile(r"\d{8}-\d{6}\.\d{3}-")


class LongJobNames(Base):
    """A job named at the file system's limit (a program of 250 characters) is delivered,
    kept, settled and imported like any other: every kept name is cut to fit, keeping
    its time stamp, its extension and whole characters."""
    LONG = "P" + "1234567890" * 24 + "ABCDEFGHI"  # 250 characters

    def assert_kept_name(self, name, stem, suffix):
        raw = os.fsencode(name)
        self.assertLessEqual(len(raw), 255, name)
        raw.decode("utf-8")  # no character cut in two
        match = KEPT_STAMP.match(name)
        self.assertTrue(match, name)
        self.assertTrue(name.endswith(suffix), name)
        kept = name[match.end():len(name) - len(suffix)]
        self.assertTrue(stem.startswith(kept), name)
        if kept != stem:
            self.assertGreater(len(kept.encode()), 200, f"cut more than it needs: {name}")

    def assert_settled(self, srv):
        held = os.path.join(self.workdir, "held")
        self.assertEqual([n for n in os.listdir(held) if n.endswith(".hold")], [], "a hold record stays")
        self.assertFalse(os.path.exists(os.path.join(self.base, ".export.ostrivan-held")), "a hold folder stays")
        with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
            s.sendall(b"GET /ostrivan/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            _, body = read_reply(s)
        self.assertEqual(json.loads(body)["held"], 0)

    def test_a_delivered_job_is_kept_in_sent_and_its_hold_settled(self):
        sent = os.path.join(self.workdir, "sent")
        cases = (
            # mode, files laid, the packed file, what sent/ keeps beside the archive
            ("NEWEN", {f"programs/{self.LONG}.NC": b"G0 X1\n", "tools/T.CFG": b"T1\n"}, None, None),
            ("ROTTLER", {f"{self.LONG}.NC": b"G0 X2\n", "Z.NC": b"G0 X3\n"}, f"{self.LONG}.NC", {"Z.NC": b"G0 X3\n"}),
        )
        srv = self.server({"ExportLavoroDir": self.job})
        try:
            for mode, files, packed, discarded in cases:
                with self.subTest(mode=mode):
                    shutil.rmtree(sent, ignore_errors=True)
                    for rel, data in files.items():
                        write(os.path.join(self.job, rel), data)
                    lines_before = len(journal_lines(srv))
                    reply = export_whole(srv.port, mode)
                    self.assertFalse(reply["Errore"], reply["Messaggio"])
                    self.assertEqual(reply["NomeFile"], f"{self.LONG}.zip")
                    self.assertEqual(stream_entries(reply), {packed: files[packed]} if packed else files)
                    wait_until(lambda: [l for l in journal_lines(srv)[lines_before:] if 'outcome="delivered"' in l],
                               what="the delivered line")
                    wait_until(lambda: not os.path.exists(os.path.join(self.base, ".export.ostrivan-held")),
                               timeout=30, what="the hold to be settled")
                    self.assert_settled(srv)
                    self.assertEqual(read_tree(self.job), {})
                    names = sorted(os.listdir(sent))
                    archives = [n for n in names if not n.endswith(".discarded.zip")]
                    self.assertEqual(len(archives), 1, names)
                    self.assert_kept_name(archives[0], self.LONG, ".zip")
                    with open(os.path.join(sent, archives[0]), "rb") as f:
                        self.assertEqual(f.read(), base64.b64decode(reply["Stream"]))
                    kept = [n for n in names if n.endswith(".discarded.zip")]
                    self.assertEqual(len(kept), 1 if discarded else 0, names)
                    if discarded:
                        self.assert_kept_name(kept[0], self.LONG, ".discarded.zip")
                        with zipfile.ZipFile(os.path.join(sent, kept[0])) as zf:
                            self.assertEqual({n: zf.read(n) for n in zf.namelist()}, discarded)
        finally:
            srv.stop()

    def test_an_undelivered_job_kept_in_unsent_and_its_hold_settled(self):
        job_a = {f"programs/{self.LONG}.NC": b"G0 X1\n"}
        for rel, data in job_a.items():
            write(os.path.join(self.job, rel), data)
        srv = self.server({"ExportLavoroDir": self.job})
        try:
            s = start_unread_export(srv.port)
            wait_until(lambda: not os.listdir(self.job), what="the job to be held")
            write(os.path.join(self.job, "programs", "P9.NC"), b"the machine's new job\n")
            reset(s)
            wait_until(lambda: any("kept in unsent after undelivered reply" in l for l in journal_lines(srv)),
                       what="the journal line")
            wait_until(lambda: not os.path.exists(os.path.join(self.base, ".export.ostrivan-held")),
                       timeout=30, what="the hold to be settled")
            self.assert_settled(srv)
            unsent = os.path.join(self.workdir, "unsent")
            names = os.listdir(unsent)
            self.assertEqual(len(names), 1, names)
            self.assert_kept_name(names[0], self.LONG, "")
            self.assertEqual(kept_jobs(unsent)[0][1], job_a)
            self.assertEqual(read_tree(self.job), {"programs/P9.NC": b"the machine's new job\n"})
        finally:
            srv.stop()

    def test_an_import_keeps_its_archive_under_the_name_the_client_gave(self):
        imp = os.path.join(self.base, "import")
        os.makedirs(imp)
        archive = zip_bytes({"programs\\P1.NC": b"G0 X1\n"})
        received = os.path.join(self.workdir, "received")
        srv = self.server({"ImportLavoroDir": imp})
        try:
            for given, stem, suffix in (
                    # Whole: the name fits, two-byte characters across where a cut once fell.
                    ("x" + "\u00e9" * 100 + ".zip", "x" + "\u00e9" * 100, ".zip"),
                    ("J" * 300 + ".zip", "J" * 300, ".zip"),
                    ("\u65e5" * 150 + ".ZIP", "\u65e5" * 150, ".ZIP")):
                with self.subTest(given=given[:12]):
                    shutil.rmtree(received, ignore_errors=True)
                    body = json.dumps({"NomeFile": given, "Stream": base64.b64encode(archive).decode()}).encode()
                    with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                        s.sendall(job_request(IMPORT, body))
                        _, out = read_reply(s)
                    self.assertEqual(json.loads(out), {"Errore": False, "Messaggio": ""})
                    names = os.listdir(received)
                    self.assertEqual(len(names), 1, names)
                    self.assert_kept_name(names[0], stem, suffix)
                    if len(given.encode()) < 200:
                        self.assertTrue(names[0].endswith("-" + given), names[0])
                    with open(os.path.join(received, names[0]), "rb") as f:
                        self.assertEqual(f.read(), archive)
        finally:
            srv.stop()


@unittest.skipUnless(AS_ROOT and HAVE_SETPRIV and NOBODY, "needs root, setpriv and the nobody account")
class ServiceAccount(Base):
    """The service as nobody, the way the README sets it up."""

    def setUp(self):
        super().setUp()
        chown_tree(self.workdir, NOBODY.pw_uid, NOBODY.pw_gid)

    def server_as_nobody(self, ini):
        return self.server(ini, prefix=as_nobody())

    def test_a_file_still_being_written_is_never_delivered_cut_short(self):
        os.makedirs(os.path.join(self.job, "programs"))
        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
        path = os.path.join(self.job, "programs", "P1.NC")
        srv = self.server_as_nobody({"ExportLavoroDir": self.job})
        try:
            # Written by another account (no lease for the service), with a pause.
            with open(path, "wb") as f:
                f.write(b"A" * 18000)
                f.flush()
                time.sleep(0.3)
                reply = export_whole(srv.port)
                f.write(b"B" * 18000)
            self.assertTrue(reply["Errore"], "a file written 0.3 s ago was delivered")
            self.assertEqual(reply["Messaggio"],
                             f'Fallita compressione zip File modificato durante la compressione: "{path}"')
            with open(path, "rb") as f:
                self.assertEqual(f.read(), b"A" * 18000 + b"B" * 18000)
            # Settled, it goes whole.
            time.sleep(2.2)
            reply = export_whole(srv.port)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            self.assertEqual(stream_entries(reply), {"programs/P1.NC": b"A" * 18000 + b"B" * 18000})
        finally:
            srv.stop()

    def test_writers_pausing_between_bursts_never_lose_or_cut_a_program(self):
        programs = os.path.join(self.job, "programs")
        os.makedirs(programs)
        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
        srv = self.server_as_nobody({"ExportLavoroDir": self.job})
        # Each program is written by another account (root: no lease for the service),
        # in bursts, the file kept open through pauses of 3, 10 and 30 s.
        plans = {"P0001.NC": (3, 3), "P0002.NC": (10, 2), "P0003.NC": (30, 2)}
        expected = {f"programs/{name}": bytes([65 + i]) * 3200 * bursts
                    for i, (name, (pause, bursts)) in enumerate(plans.items())}

        def write(name, pause, bursts, letter):
            with open(os.path.join(programs, name), "wb") as f:
                for n in range(bursts):
                    if n:
                        time.sleep(pause)
                    f.write(letter * 3200)
                    f.flush()

        writers = [threading.Thread(target=write, args=(name, pause, bursts, bytes([65 + i])))
                   for i, (name, (pause, bursts)) in enumerate(plans.items())]
        try:
            for w in writers:
                w.start()
            failures = 0
            while any(w.is_alive() for w in writers):
                reply = export_whole(srv.port)
                if not reply["Errore"]:
                    self.fail(f"delivered while a writer was pausing: {sorted(stream_entries(reply))}")
                self.assertRegex(reply["Messaggio"], r'^Fallita compressione zip File modificato durante la '
                                                     r'compressione: ".*/programs/P000[123]\.NC"$')
                failures += 1
                time.sleep(0.5)
            for w in writers:
                w.join()
            # Closed by every writer: known whole at once, with no settle time to wait out.
            self.assertEqual(read_tree(self.job), expected)
            reply = export_whole(srv.port)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            self.assertEqual(stream_entries(reply), expected)
            wait_until(lambda: not os.listdir(self.job), what="the delivered job to leave the folder")
            self.assertGreater(failures, 30)
        finally:
            for w in writers:
                w.join()
            srv.stop()

    def test_the_settle_time_is_the_last_resort_and_the_parameter_file_sets_it(self):
        make_job(self.job, "small")
        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
        program = os.path.join(self.job, "programs", "P1.NC")
        # Written and closed by another account before the service began to watch.
        with open(program, "ab") as f:
            f.write(b"M30\n")
        before = snapshot(self.job)
        srv = self.server_as_nobody({"ExportLavoroDir": self.job, "AttesaScrittura": 3600})
        try:
            reply = export_whole(srv.port)
            self.assertTrue(reply["Errore"])
            self.assertIn("File modificato durante la compressione", reply["Messaggio"])
            self.assertEqual(snapshot(self.job), before)
            # Edits count from the next request.
            write_ini(self.workdir, {"ExportLavoroDir": self.job, "Porta": srv.port, "AttesaScrittura": 0})
            reply = export_whole(srv.port)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            self.assertEqual(stream_entries(reply)["programs/P1.NC"], before["programs/P1.NC"][0])
        finally:
            srv.stop()

    @unittest.skipUnless(os.path.isdir("/dev/shm"), "needs /dev/shm")
    def test_files_that_cannot_be_taken_out_fail_the_export_and_never_say_success(self):
        shm = tempfile.mkdtemp(prefix="ostrivan-faults-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        os.chmod(shm, 0o755)
        job = os.path.join(shm, "export")
        make_job(job, "small")
        os.chmod(job, 0o755)  # readable, not writable, by the account: nothing can leave it
        for dirpath, dirnames, filenames in os.walk(job):
            for d in dirnames:
                os.chmod(os.path.join(dirpath, d), 0o755)
            for f in filenames:
                os.chmod(os.path.join(dirpath, f), 0o644)
        before = snapshot(job)
        settle()
        srv = self.server_as_nobody({"ExportLavoroDir": job})
        try:
            for _ in range(2):
                reply = export_whole(srv.port)
                self.assertTrue(reply["Errore"])
                self.assertEqual(reply["Messaggio"], f"Fallita eliminazione contenuto {job}")
                self.assertEqual(snapshot(job), before)
            self.assertEqual(os.listdir(os.path.join(self.workdir, "held")), [])
            self.assertNotIn("delivered", srv.log_text("journal"))
        finally:
            srv.stop()

    def test_items_below_subfolders_that_cannot_go_stay_and_are_counted(self):
        make_job(self.job, "small")
        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
        locked = os.path.join(self.job, "locked")
        write(os.path.join(locked, "K.CFG"), b"stays")
        os.chmod(locked, 0o755)  # root's folder: the account cannot take K.CFG out
        settle()
        srv = self.server_as_nobody({"ExportLavoroDir": self.job})
        try:
            reply = export_whole(srv.port)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            self.assertIn("locked/K.CFG", stream_entries(reply))
            self.assertEqual(read_tree(self.job), {"locked/K.CFG": b"stays"})
            line = wait_until(lambda: [l for l in journal_lines(srv) if 'outcome="delivered"' in l], what="journal")
            self.assertIn(" left=1 ", line[-1])
            self.assertIn(f'leaves "{locked}/K.CFG"', srv.log_text())
        finally:
            srv.stop()

    def test_files_an_export_cannot_take_out_are_shown_everywhere(self):
        make_job(self.job, "small")
        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
        locked = os.path.join(self.job, "locked")
        write(os.path.join(locked, "K.CFG"), b"stays")
        os.chmod(locked, 0o755)  # root's folder, as the machine software made it
        settle()
        srv = self.server_as_nobody({"ExportLavoroDir": self.job})
        try:
            problem = (f'1 file in {self.job} cannot be taken out by the service\'s account (their folder is not '
                       f'writable for it, first "{locked}/K.CFG"): every export leaves them and sends them again')
            with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                s.sendall(request_bytes("GET", "/ostrivan/status", (("Accept", "*/*"),)))
                status = json.loads(read_reply(s)[1])
            self.assertIn(problem, status["problems"])
            self.assertEqual(status["export"]["left_files"], 1)
            with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                s.sendall(request_bytes("GET", "/metrics", (("Accept", "*/*"),)))
                self.assertIn(b"\nostrivan_export_left_files 1\n", read_reply(s)[1])
            check = subprocess.run(as_nobody() + [os.path.join(self.workdir, "Ostrivan"), "--check"],
                                   capture_output=True, text=True, timeout=30)
            self.assertIn("warning: " + problem, check.stdout)
            target = os.path.join(self.base, "fetched")
            run = subprocess.run([CLIENT, "export", "--server", f"http://127.0.0.1:{srv.port}", "--to", target],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("1 file stayed in the service's export folder (its account cannot take them out) and will "
                          "be sent again", run.stderr)
            self.assertEqual(read_tree(self.job), {"locked/K.CFG": b"stays"})
        finally:
            srv.stop()

    def test_an_import_that_leaves_an_old_file_beside_the_new_job_says_so(self):
        imp = os.path.join(self.base, "import")
        write(os.path.join(imp, "OLD.NC"), b"old")
        chown_tree(imp, NOBODY.pw_uid, NOBODY.pw_gid)
        locked = os.path.join(imp, "locked")
        write(os.path.join(locked, "OLD.CFG"), b"old")  # root's folder: the account cannot empty it
        os.chmod(locked, 0o755)
        srv = self.server_as_nobody({"ImportLavoroDir": imp})
        try:
            body = json.dumps({"NomeFile": "J.zip", "Stream": base64.b64encode(
                zip_bytes({"programs/P1.NC": b"G1\n"})).decode()}).encode()
            with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                s.sendall(job_request(IMPORT, body))
                self.assertEqual(json.loads(read_reply(s)[1]), {"Errore": False, "Messaggio": ""})
            self.assertEqual(read_tree(imp), {"programs/P1.NC": b"G1\n", "locked/OLD.CFG": b"old"})
            srv.wait_log(f'Import into {imp} leaves "{locked}/OLD.CFG" of the previous job: it could not be removed '
                         f'and stays beside the new job')
            self.assertNotIn("OLD.NC", srv.log_text())
        finally:
            srv.stop()

    def test_folders_the_account_cannot_write_are_named_at_start_and_in_replies(self):
        make_job(self.job, "small")
        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
        imp = os.path.join(self.base, "import")
        os.makedirs(imp)  # root's, closed to the account
        chown_tree(self.workdir, 0, 0)
        os.makedirs(os.path.join(self.workdir, "logs"))
        chown_tree(os.path.join(self.workdir, "logs"), NOBODY.pw_uid, NOBODY.pw_gid)
        srv = self.server_as_nobody({"ExportLavoroDir": self.job, "ImportLavoroDir": imp})
        try:
            for name in ("held", "sent", "unsent", "received"):
                srv.wait_log(f'Folder "{self.workdir}/{name}" cannot be written: Permission denied')
            self.assertNotIn(f'"{self.workdir}/logs"', srv.log_text())
            # The hold beside the export folder cannot be made either (its parent is root's).
            reply = export_whole(srv.port)
            self.assertTrue(reply["Errore"])
            self.assertEqual(reply["Messaggio"], f'Fallita compressione zip Impossibile creare la cartella '
                                                 f'"{self.workdir}/held". Permission denied')
            self.assertTrue(os.listdir(self.job))
            # The import folder: the message of the step a plain import fails at.
            body = json.dumps({"NomeFile": "J.zip", "Stream": ""}).encode()
            for content, expected in ((None, f'Cannot create file "{imp}/Lavoro.zip". Permission denied'),
                                      (b"old", f"Fallita eliminazione contenuto {imp}")):
                if content:
                    write(os.path.join(imp, "OLD.NC"), content)
                with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                    s.sendall(job_request(IMPORT, body))
                    head, out = read_reply(s)
                self.assertEqual(json.loads(out), {"Errore": True, "Messaggio": expected})
            self.assertNotIn("System Error", srv.log_text("journal"))
        finally:
            srv.stop()


if __name__ == "__main__":
    unittest.main()
