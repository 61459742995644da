"""A job held while the machine fills the disk its export folder lies on, then not
delivered: the put-back copies across file systems (the hold is beside the executable)
and brings the whole job back or keeps all of it in unsent/, never a part of it in the
folder and the rest in unsent/, never a cut or empty file under a job name.

The export folder lies on a small tmpfs mounted in a private mount namespace: run as
root, the file starts itself again under `unshare -m` and mounts it there."""
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from ostrivan_e2e import (Server, archive_files, export_whole, journal_lines, read_tree, reset, snapshot,
                          stream_entries, wait_until, write)
from test_job_faults import NOBODY, as_nobody, chown_tree, kept_jobs, start_unread_export

PRIVATE_MOUNTS = "OSTRIVAN_E2E_PRIVATE_MOUNTS"
FS_SIZE = 8 * 1024 * 1024
MIB = 1024 * 1024

# Ten subprograms listed before a main program of 4 MB, ten tool files and an empty one.
JOB = {f"programs/L{n:03d}.NC": f"O{n}\nG0 X{n}\nM99\n".encode() * 700 for n in range(10)}
JOB["programs/P1000.NC"] = b"".join(f"N{n:07d} G1 X{n % 997}.{n % 7} Y-{n % 389}\n".encode()
                                    for n in range(200000))[:4 * MIB]
JOB.update({f"tools/T{n:02d}.CFG": bytes(range(256)) * 80 for n in range(10)})
JOB["tools/EMPTY.CFG"] = b""

UNSENT = 'outcome="kept in unsent after undelivered reply"'
RESTORED = 'outcome="restored after undelivered reply"'


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def fill(path, leave):
    """Writes path until only `leave` bytes stay free on its file system (0: full)."""
    folder = os.path.dirname(path)
    with open(path, "wb") as f:
        try:
            while free_bytes(folder) > leave:
                f.write(b"\xa5" * min(65536, free_bytes(folder) - leave))
                f.flush()
        except OSError as e:
            if e.errno != errno.ENOSPC or leave:
                raise


def folder_modes(root):
    """Relative path -> mode of every folder below root."""
    return {os.path.relpath(d, root): os.stat(d).st_mode for d, _, _ in os.walk(root) if d != root}


def traced(pid):
    """Every thread of pid has a tracer."""
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            if "TracerPid:\t0\n" in f.read():
                return False
    return True


@unittest.skipUnless(os.environ.get(PRIVATE_MOUNTS) == "1" and NOBODY and shutil.which("setpriv"),
                     "needs root, unshare, setpriv and the nobody account")
class PutBackOntoAFullDisk(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-full-disk-")
        self.addCleanup(shutil.rmtree, self.base, True)
        os.chmod(self.base, 0o755)
        self.workdir = os.path.join(self.base, "service")
        os.makedirs(self.workdir)
        chown_tree(self.workdir, NOBODY.pw_uid, NOBODY.pw_gid)
        # The small file system: its root is root's, so the service's account cannot hold
        # beside the export folder and holds in held/ beside the executable instead.
        self.mnt = os.path.join(self.base, "disk")
        os.makedirs(self.mnt)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={FS_SIZE},mode=0755", "tmpfs", self.mnt],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest(f"cannot mount a small file system: {mounted.stderr.decode(errors='replace')}")
        self.addCleanup(subprocess.run, ["umount", self.mnt], check=False)
        self.job = os.path.join(self.mnt, "export")
        self.filler = os.path.join(self.mnt, "filler")

    def hold_then_reset(self, srv, leave):
        """Holds the job, lets the machine fill the disk to `leave` free bytes (None: it
        writes nothing), then resets the connection; returns the new journal line."""
        undelivered = lambda: [l for l in journal_lines(srv) if "export " in l and "after undelivered" in l]
        seen = len(undelivered())
        s = start_unread_export(srv.port)
        wait_until(lambda: not os.listdir(self.job), timeout=60, what="the job to be held")
        held = os.path.join(self.workdir, "held")
        self.assertTrue([n for n in os.listdir(held) if not n.endswith(".hold")], "not held beside the executable")
        if leave is not None:
            fill(self.filler, leave)
        reset(s)
        return wait_until(lambda: undelivered()[seen:], timeout=60, what="the journal line")[-1]

    def test_the_whole_job_goes_back_or_all_of_it_stays_in_unsent(self):
        cases = [
            # (what the machine leaves free, outcome)
            ("nothing written by the machine", None, RESTORED),
            ("room for the subprograms, not the main program", 1 * MIB, UNSENT),
            ("the disk full: only the empty file would fit", 0, UNSENT),
        ]
        new_job = {"programs/P2.NC": b"G0 X2\nM30\n"}
        for what, leave, outcome in cases:
            with self.subTest(what):
                shutil.rmtree(self.job, ignore_errors=True)
                if os.path.exists(self.filler):
                    os.unlink(self.filler)
                shutil.rmtree(os.path.join(self.workdir, "unsent"), ignore_errors=True)
                for rel, data in JOB.items():
                    write(os.path.join(self.job, rel), data)
                chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
                before = snapshot(self.job)
                srv = self.server()
                try:
                    srv.start()
                    line = self.hold_then_reset(srv, leave)
                    self.assertIn(outcome, line)
                    held = os.path.join(self.workdir, "held")
                    wait_until(lambda: not os.listdir(held), what="the hold to go")
                    kept = kept_jobs(os.path.join(self.workdir, "unsent"))
                    if outcome == RESTORED:
                        self.assertEqual(snapshot(self.job), before)  # bytes, times and modes
                        self.assertEqual([sorted(files) for _, files in kept], [])
                        expected_next = JOB
                    else:
                        # Nothing of the job in the folder, not even a folder of it or a
                        # partial copy: all of it is in unsent, byte for byte.
                        self.assertEqual(os.listdir(self.job), [])
                        self.assertEqual(len(kept), 1)
                        archive, files = kept[0]
                        self.assertEqual(files, JOB)
                        self.assertEqual(archive_files(archive), JOB)
                        self.assertIn("not put back", srv.log_text())
                        # The machine frees its disk and writes its next job.
                        os.unlink(self.filler)
                        for rel, data in new_job.items():
                            write(os.path.join(self.job, rel), data)
                        chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
                        expected_next = new_job
                    if os.path.exists(self.filler):
                        os.unlink(self.filler)
                    reply = export_whole(srv.port)
                    self.assertFalse(reply["Errore"], reply["Messaggio"])
                    self.assertEqual(stream_entries(reply), expected_next)
                    code, _ = srv.stop()
                    self.assertEqual(code, 0)
                finally:
                    if srv.proc is not None and srv.proc.poll() is None:
                        srv.stop()
                    srv.cleanup()

    def server(self):
        return Server(workdir=self.workdir, ini={"ExportLavoroDir": self.job}, service=True, prefix=as_nobody())

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_a_kill_during_the_put_back_leaves_the_job_whole_or_whole_in_unsent(self):
        """strace kills the service on entry to its Nth unlink or rename of the put-back:
        at an exact point, without timing."""
        cases = [
            # (kill point, syscall, its number, the machine writes a new job before the restart, outcome)
            ("while the copies are made", "unlink", 2, False, RESTORED),
            ("while the copies take their names", "renameat2", 5, False, RESTORED),
            ("while the held sources are removed", "unlink", 30, False, RESTORED),
            ("while the copies take their names, then a new job", "renameat2", 5, True, UNSENT),
        ]
        new_job = {"programs/P2.NC": b"G0 X2\nM30\n"}
        for what, call, number, machine_writes, outcome in cases:
            with self.subTest(what):
                shutil.rmtree(self.job, ignore_errors=True)
                shutil.rmtree(os.path.join(self.workdir, "unsent"), ignore_errors=True)
                for rel, data in JOB.items():
                    write(os.path.join(self.job, rel), data)
                chown_tree(self.job, NOBODY.pw_uid, NOBODY.pw_gid)
                before = snapshot(self.job)
                modes = folder_modes(self.job)
                srv = self.server()
                try:
                    srv.start()
                    s = start_unread_export(srv.port)
                    wait_until(lambda: not os.listdir(self.job), timeout=60, what="the job to be held")
                    pid = srv.proc.pid
                    errors = os.path.join(self.base, "strace.txt")
                    with open(errors, "wb") as err:
                        tracer = subprocess.Popen(
                            ["strace", "-f", "-qq", "-o", "/dev/null", "-p", str(pid), "-e", f"trace={call}",
                             "-e", f"inject={call}:error=EINTR:signal=SIGKILL:when={number}"], stderr=err)
                    self.addCleanup(tracer.wait)
                    wait_until(lambda: traced(pid) or tracer.poll() is not None, what="strace to attach")
                    if tracer.poll() is not None:
                        with open(errors, "rb") as f:
                            self.skipTest(f"strace cannot attach: {f.read().decode(errors='replace')}")
                    reset(s)
                    self.assertEqual(srv.proc.wait(timeout=60), -9)
                    tracer.wait(timeout=60)
                    # Whatever has its name at the kill is whole.
                    for rel, data in read_tree(self.job).items():
                        self.assertTrue(rel in JOB and data == JOB[rel] or rel.endswith(".ostrivan-partial"), rel)
                    srv.cleanup()
                    if machine_writes:
                        for rel, data in new_job.items():
                            write(os.path.join(self.job, rel), data)
                    journal = len(journal_lines(srv))
                    srv = self.server()
                    srv.start()
                    line = wait_until(lambda: journal_lines(srv)[journal:], what="the journal line")[-1]
                    self.assertIn(outcome, line)
                    held = os.path.join(self.workdir, "held")
                    wait_until(lambda: not os.listdir(held), what="the hold to go")
                    kept = kept_jobs(os.path.join(self.workdir, "unsent"))
                    if outcome == RESTORED:
                        self.assertEqual([sorted(files) for _, files in kept], [])
                        self.assertEqual(snapshot(self.job), before)
                        self.assertEqual(folder_modes(self.job), modes)
                    else:
                        self.assertEqual(read_tree(self.job), new_job)
                        self.assertEqual([files for _, files in kept], [JOB])
                    code, _ = srv.stop()
                    self.assertEqual(code, 0)
                finally:
                    if srv.proc is not None and srv.proc.poll() is None:
                        srv.stop()
                    srv.cleanup()


if __name__ == "__main__":
    if os.geteuid() == 0 and os.environ.get(PRIVATE_MOUNTS) is None and shutil.which("unshare"):
        # Mounts made here stay in this run's own namespace and go with it.
        os.environ[PRIVATE_MOUNTS] = "1"
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable, *sys.argv])
    unittest.main()
