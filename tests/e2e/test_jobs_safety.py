"""No job lost, truncated or half-delivered, on the real executable: an export whose reply
the client does not take whole comes back byte for byte; files that appear or grow while
exports run are never lost; kill -9 at spread points of an export and of an import leaves,
after the next start, the whole job or none of it; a full disk leaves no truncated file;
the journal tells what moved."""
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from ostrivan_e2e import (IMPORT, STAGING, FileCreationWatch, ScratchServerTestCase, Server, export_request,
                          export_whole, files_of, job_request, journal_lines, make_job, read_file, read_reply,
                          read_tree, snapshot, stream_entries, wait_until)


class ExportDelivery(ScratchServerTestCase):
    """One server; each test fills its own export directory."""
    scratch_prefix = "ostrivan-safety-"

    @classmethod
    def prepare_scratch(cls):
        cls.job = os.path.join(cls.base, "export")
        os.makedirs(cls.job)
        cls.server_options = {"ini": {"ExportLavoroDir": cls.job, "Nr_Macchina": 3}}

    def setUp(self):
        super().setUp()
        shutil.rmtree(self.job)
        os.makedirs(self.job)

    def hold_area_empty(self):
        beside = os.path.join(self.base, ".export.ostrivan-held")
        return not os.path.exists(beside) or not os.listdir(beside)

    def test_reply_cut_short_puts_the_job_back_byte_for_byte(self):
        # The client's receive buffer is kept small, so what it does not read stays
        # unacknowledged; it closes after 0 bytes, 100 KB, or all but the last byte.
        for keep in ("none", "100 KB", "all but the last byte"):
            with self.subTest(keep=keep):
                shutil.rmtree(self.job)
                make_job(self.job)
                before = snapshot(self.job)
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.settimeout(30)
                s.connect(("127.0.0.1", self.srv.port))
                s.sendall(export_request())
                got = b""
                if keep != "none":
                    want = 100 * 1024 if keep == "100 KB" else None
                    while True:
                        if want is None and b"\r\n\r\n" in got:
                            head, _, _ = got.partition(b"\r\n\r\n")
                            length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
                            want = len(head) + 4 + length - 1
                        if want is not None and len(got) >= want:
                            break
                        chunk = s.recv(min(65536, (want - len(got)) if want else 65536))
                        self.assertTrue(chunk, "server closed early")
                        got += chunk
                    self.assertIn(b"HTTP/1.1 200 OK", got[:20])
                s.close()
                # Back exactly as it was: names, bytes, times and modes.
                wait_until(lambda: snapshot(self.job) == before, what="the job to come back")
                wait_until(self.hold_area_empty, what="the hold folder to go")
                wait_until(lambda: any('outcome="restored after undelivered reply"' in l and 'archive="P' in l
                                       for l in journal_lines(self.srv)[-1:]), what="the journal line")
                # And a later client gets it whole.
                reply = export_whole(self.srv.port)
                self.assertFalse(reply["Errore"], reply["Messaggio"])
                self.assertEqual(stream_entries(reply), files_of(before))
                wait_until(lambda: os.listdir(self.job) == [], what="the delivered job to go")

    def test_delivered_export_is_removed_kept_in_sent_and_journalled(self):
        make_job(self.job, "small")
        before = read_tree(self.job)
        main_before = self.srv.log_text()
        reply = export_whole(self.srv.port)
        self.assertFalse(reply["Errore"], reply["Messaggio"])
        self.assertEqual(stream_entries(reply), before)
        self.assertEqual(os.listdir(self.job), [])
        sent = os.path.join(self.srv.dir, "sent")
        name = reply["NomeFile"]
        kept = wait_until(lambda: [f for f in os.listdir(sent) if f.endswith("-" + name)] if os.path.isdir(sent)
                          else None, what="the archive in sent")
        with open(os.path.join(sent, kept[-1]), "rb") as f:
            self.assertEqual(f.read(), base64.b64decode(reply["Stream"]))
        wait_until(self.hold_area_empty, what="the hold folder to go")
        line = wait_until(lambda: [l for l in journal_lines(self.srv) if f'archive="{name}"' in l
                                   and 'outcome="delivered"' in l], what="the journal line")[-1]
        archive = base64.b64decode(reply["Stream"])
        import zlib
        self.assertIn(f"export machine=3 peer=127.0.0.1 mode=\"NEWEN\" archive=\"{name}\"", line)
        self.assertIn(f"files={len(before)} file_bytes={sum(map(len, before.values()))} "
                      f"archive_bytes={len(archive)} crc32={zlib.crc32(archive):08X}", line)
        self.assertRegex(line, r"duration_ms=\d+")
        # The main log gains the routing line only, never a journal line.
        added = self.srv.log_text()[len(main_before):]
        self.assertNotIn("outcome=", added)
        self.assertIn("TRizOzudoController.ExportLavoro", added)

    def test_files_appearing_and_growing_during_exports_are_never_lost(self):
        """A machine writes jobs (some files in three pieces through one handle) while a
        client exports in a loop; every file ends up, whole, in a delivered archive or in
        the directory."""
        final = {}
        stop = threading.Event()
        received = []
        lock = threading.Lock()

        def machine():
            for n in range(40):
                rel = f"programs/P{n:04d}.NC"
                path = os.path.join(self.job, rel)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                pieces = [(f"N{n} piece {k}\n" * 2000).encode() for k in range(3)]
                with open(path, "wb") as f:
                    for k, piece in enumerate(pieces):
                        f.write(piece)
                        f.flush()
                        time.sleep(0.004)
                with lock:
                    final[rel] = b"".join(pieces)
                extra = f"tools/T{n:04d}.CFG"
                os.makedirs(os.path.join(self.job, "tools"), exist_ok=True)
                with open(os.path.join(self.job, extra), "wb") as f:
                    f.write(f"tool {n}".encode())
                with lock:
                    final[extra] = f"tool {n}".encode()
            stop.set()

        def exporter():
            while not stop.is_set():
                reply = export_whole(self.srv.port)
                if reply and not reply["Errore"]:
                    received.append(stream_entries(reply))
                time.sleep(0.01)

        threads = [threading.Thread(target=machine), threading.Thread(target=exporter)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
            self.assertFalse(t.is_alive(), "the machine or the exporter never finished")
        # The last replies settle; then whatever is left is in the directory.
        wait_until(self.hold_area_empty, what="held exports to settle")
        left = read_tree(self.job)
        self.assertTrue(received, "no export succeeded while the machine wrote")
        for rel, content in final.items():
            in_archive = any(a.get(rel) == content for a in received)
            self.assertTrue(in_archive or left.get(rel) == content, f"{rel} lost or only truncated")


class ExportStopAndKill(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-safety-kill-")
        self.job = os.path.join(self.base, "export")
        self.workdir = os.path.join(self.base, "service")
        os.makedirs(self.workdir)
        make_job(self.job)
        self.before = snapshot(self.job)

    def tearDown(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def server(self):
        return Server(workdir=self.workdir, ini={"ExportLavoroDir": self.job})

    def test_stop_with_a_reply_unread_puts_the_job_back(self):
        srv = self.server().start()
        try:
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", srv.port))
            s.sendall(export_request())
            wait_until(lambda: not os.path.exists(os.path.join(self.job, "programs")), what="the job to be held")
            code, _ = srv.stop(timeout=20)  # ESC while the client sits on the reply
            self.assertEqual(code, 0)
            s.close()
        finally:
            srv.cleanup()
        self.assertEqual(snapshot(self.job), self.before)

    def test_kill_at_spread_points_of_an_export(self):
        # Timed from an uncut export of the same job.
        srv = self.server().start()
        try:
            t0 = time.monotonic()
            reply = export_whole(srv.port)
            took = time.monotonic() - t0
            self.assertFalse(reply["Errore"])
        finally:
            srv.stop()
            srv.cleanup()
        for point in range(10):
            with self.subTest(point=point):
                shutil.rmtree(self.job, ignore_errors=True)
                make_job(self.job)
                before = snapshot(self.job)
                srv = self.server().start()
                got = {}

                def client():
                    try:
                        with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
                            s.sendall(export_request())
                            head, body = read_reply(s)
                            got["reply"] = json.loads(body) if body else None
                    except (OSError, ValueError):
                        got["reply"] = None

                t = threading.Thread(target=client)
                t.start()
                time.sleep(took * point / 8.0)
                srv.proc.send_signal(signal.SIGKILL)
                srv.proc.wait()
                t.join(30)
                srv.cleanup()
                # The next start settles whatever was held.
                srv = self.server().start()
                try:
                    after = read_tree(self.job)
                    reply = got.get("reply")
                    delivered = stream_entries(reply) if reply and not reply.get("Errore") else {}
                    for rel, content in files_of(before).items():
                        self.assertTrue(after.get(rel) == content or delivered.get(rel) == content,
                                        f"point {point}: {rel} lost")
                    for rel, content in after.items():
                        self.assertEqual(content, files_of(before).get(rel), f"point {point}: {rel} changed")
                    beside = os.path.join(self.base, ".export.ostrivan-held")
                    self.assertFalse(os.path.exists(beside) and os.listdir(beside), f"point {point}: hold left")
                    self.assertFalse([f for f in os.listdir(self.job) if f.endswith(".zip")])
                finally:
                    srv.stop()
                    srv.cleanup()


class ImportFaults(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-safety-import-")
        self.imp = os.path.join(self.base, "import")
        self.workdir = os.path.join(self.base, "service")
        os.makedirs(self.imp)
        os.makedirs(self.workdir)
        src = os.path.join(self.base, "src")
        self.zip = os.path.join(self.base, "job.zip")
        self.req = os.path.join(self.base, "job.json")
        make_job(src, "max", "--zip", self.zip, "--request", self.req)
        self.job = read_tree(src)
        self.body = read_file(self.req)

    def tearDown(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def server(self, imp=None):
        return Server(workdir=self.workdir, ini={"ImportLavoroDir": imp or self.imp})

    def post(self, srv):
        with socket.create_connection(("127.0.0.1", srv.port), timeout=60) as s:
            s.sendall(job_request(IMPORT, self.body))
            _, body = read_reply(s)
        return json.loads(body)

    def assert_whole_or_none(self, where, untouched):
        """The whole new job, nothing, or (killed before the import began) the old job."""
        names = os.listdir(self.imp)
        self.assertNotIn(STAGING, names, where)
        left = read_tree(self.imp)
        if left == self.job:
            return "new"
        if left == untouched:
            return "old"
        self.assertEqual(left, {}, f"{where}: a part of a job")
        return "none"

    def lay_small_old_job(self):
        with open(os.path.join(self.imp, "OLD.NC"), "wb") as f:
            f.write(b"the previous job")

    def lay_large_old_job(self):
        # A whole flushed job, which takes a while to remove, under names of its own.
        src = os.path.join(self.base, "previous")
        if not os.path.isdir(src):
            make_job(src, "typical")
            shutil.copytree(os.path.join(self.base, "src"), os.path.join(src, "earlier"))
        shutil.copytree(src, os.path.join(self.imp, "previous"))
        os.sync()

    def test_kill_at_spread_points_of_an_import(self):
        self.kill_at_spread_points(self.lay_small_old_job, 10)

    def test_kill_at_spread_points_of_an_import_over_a_large_job(self):
        self.kill_at_spread_points(self.lay_large_old_job, 6)

    def kill_at_spread_points(self, lay_old_job, points):
        srv = self.server().start()
        try:
            t0 = time.monotonic()
            self.assertFalse(self.post(srv)["Errore"])
            took = time.monotonic() - t0
        finally:
            srv.stop()
            srv.cleanup()
        outcomes = []
        for point in range(points):
            with self.subTest(point=point):
                shutil.rmtree(self.imp)
                os.makedirs(self.imp)
                lay_old_job()
                old = read_tree(self.imp)
                srv = self.server().start()

                def client():
                    try:
                        self.post(srv)
                    except (OSError, ValueError):
                        pass

                t = threading.Thread(target=client)
                t.start()
                if point < points - 1:
                    time.sleep(took * (point + 1) / points)
                else:
                    t.join(60)  # the last point: right after the reply
                srv.proc.send_signal(signal.SIGKILL)
                srv.proc.wait()
                t.join(30)
                srv.cleanup()
                # Until the next start a killed import may be half-way; after it, never.
                for dirpath, _, filenames in os.walk(self.imp):
                    if STAGING in dirpath:
                        continue
                    for name in filenames:
                        rel = os.path.relpath(os.path.join(dirpath, name), self.imp)
                        if rel in self.job:
                            with open(os.path.join(dirpath, name), "rb") as f:
                                self.assertEqual(f.read(), self.job[rel], f"point {point}: truncated {rel}")
                srv = self.server().start()
                try:
                    outcomes.append(self.assert_whole_or_none(f"point {point}", old))
                finally:
                    srv.stop()
                    srv.cleanup()
        # A reply that said "Errore":false means the whole job survives the kill.
        self.assertEqual(outcomes[-1], "new", outcomes)

    def test_a_kill_in_the_first_moments_is_said_and_journalled_at_the_next_start(self):
        """Killed once the import folder is being emptied, before anything new has a name:
        the folder stays empty (the emptying is the import's), and the next start says
        what it found and undid, in the main log and in the journal."""
        self.lay_large_old_job()
        staging = os.path.join(self.imp, STAGING)
        srv = self.server().start()
        try:
            lines_before = len(journal_lines(srv))
            watch = FileCreationWatch(self.imp, STAGING)
            with socket.create_connection(("127.0.0.1", srv.port), timeout=60) as s:
                s.sendall(job_request(IMPORT, self.body))
                watch.wait(60)
                srv.proc.send_signal(signal.SIGKILL)
                srv.proc.wait()
                _, body = read_reply(s)
            self.assertEqual(body, b"", "the killed import replied")
            self.assertTrue(os.path.isdir(staging), "not killed within the import")
            self.assertEqual(journal_lines(srv)[lines_before:], [])
        finally:
            srv.cleanup()
        srv = self.server().start()
        try:
            log = srv.log_text()
            lines = journal_lines(srv)[lines_before:]
        finally:
            srv.stop()
            srv.cleanup()
        self.assertEqual(os.listdir(self.imp), [])
        said = [l for l in log.splitlines() if f"Import into {self.imp} was interrupted: found {staging} holding " in l]
        self.assertEqual(len(said), 1, log[-3000:])
        self.assertRegex(said[0], r"holding \d+ files \(\d+ of the new job, not whole\): undone")
        self.assertEqual(len(lines), 1, lines)
        self.assertIn(' import machine=0 peer=- mode=- archive="" job="" files=- ', lines[0])
        self.assertIn(' outcome="interrupted, undone at start" ', lines[0])

    def test_a_nearly_full_disk_gets_the_previous_jobs_room(self):
        disk = os.path.join(self.base, "disk")
        os.makedirs(disk)
        total = sum(map(len, self.job.values()))
        # Room for one job and its archive, with a little to spare: the second import fits
        # only once the first job is gone, as when the directory was emptied first.
        size = (os.path.getsize(self.zip) + total + (1 << 20) + 4095) // 4096 * 4096
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", disk],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here (needs root and mount permission)")
        try:
            imp = os.path.join(disk, "import")
            # The previous job: as large, with many small files that take a while to go
            # before the large ones do.
            shutil.copytree(os.path.join(self.base, "src"), os.path.join(imp, "previous"))
            for i in range(20000):
                open(os.path.join(imp, f"N{i:05}.NC"), "wb").close()
            srv = self.server(imp).start()
            try:
                for attempt in range(2):
                    reply = self.post(srv)
                    self.assertFalse(reply["Errore"], f"import {attempt}: {reply}")
                    self.assertEqual(os.listdir(imp).count(STAGING), 0)
                    self.assertEqual(read_tree(imp), self.job)
            finally:
                srv.stop()
                srv.cleanup()
        finally:
            subprocess.run(["umount", disk], check=True)

    def test_full_disk_leaves_no_truncated_job_file(self):
        disk = os.path.join(self.base, "disk")
        os.makedirs(disk)
        zip_size = os.path.getsize(self.zip)
        total = sum(map(len, self.job.values()))
        failed_on_write = False
        # Room for the received archive and the job's bytes, but not for the pages the
        # job's files take beyond their bytes: the up-front check passes, a write fails.
        for spare in (8192, 32768, 65536, 131072, 262144):
            size = zip_size + total + spare
            size = (size + 4095) // 4096 * 4096
            if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", disk],
                              capture_output=True).returncode != 0:
                self.skipTest("cannot mount a tmpfs here (needs root and mount permission)")
            try:
                imp = os.path.join(disk, "import")
                os.makedirs(imp)
                srv = self.server(imp).start()
                try:
                    reply = self.post(srv)
                    if "free disk space" in reply["Messaggio"]:
                        # Refused up front: nothing written; try with a little more room.
                        self.assertEqual(read_tree(imp).keys() - {"Lavoro.zip"}, set())
                    elif reply["Errore"]:
                        self.assertTrue(reply["Messaggio"].startswith("Fallita extrazione .zip "), reply)
                        names = os.listdir(imp)
                        self.assertNotIn(STAGING, names)
                        self.assertEqual(read_tree(imp).keys() - {"Lavoro.zip"}, set())
                        wait_until(lambda: "No space left on device" in srv.log_text(), what="the cause in the log")
                        # The journal is another file of the same logging thread: its line may come later.
                        wait_until(lambda: journal_lines(srv), what="the journal line")
                        self.assertIn(reply["Messaggio"], journal_lines(srv)[-1])
                        failed_on_write = True
                    else:
                        self.assertEqual(read_tree(imp), self.job)
                finally:
                    srv.stop()
                    srv.cleanup()
            finally:
                subprocess.run(["umount", disk], check=True)
            if failed_on_write:
                break
        self.assertTrue(failed_on_write, "the disk never ran full past the up-front check")


if __name__ == "__main__":
    unittest.main()
