"""Why a job failed, for programs: a job request with "X-Ostrivan-Outcome: yes" gets the
reply's meaning in a header (body unchanged, byte for byte); one without it gets the reply
header for header as before. ostrivan-client reads it (exit 5 to try again later, a word on
files set aside) and polls with export --watch."""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from ostrivan_e2e import (CLIENT, EXPORT, IMPORT, Server, export_body, header, import_body, job_request, make_job,
                          read_reply, read_tree, split_reply, wait_until, write, zip_bytes)

ASK = (("X-Ostrivan-Outcome", "yes"),)


def exchange(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(request)
        head, body = read_reply(s)
    status, lines, _ = split_reply(head + b"\r\n\r\n")
    return status, lines, body


def comparable(lines):
    """The header lines but the date and the outcome headers, in order."""
    return [l for l in lines if not l.lower().startswith(("date:", "x-ostrivan-"))]


class JobOutcome(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-outcome-")
        self.exp = os.path.join(self.base, "export")
        self.imp = os.path.join(self.base, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.srv = Server(ini={"ExportLavoroDir": self.exp, "ImportLavoroDir": self.imp}, service=True).start()

    def tearDown(self):
        self.srv.cleanup()
        shutil.rmtree(self.base, ignore_errors=True)

    def job(self, path, body, asked):
        return exchange(self.srv.port, job_request(path, body, ASK if asked else ()))

    def test_each_outcome_in_a_header_the_body_unchanged(self):
        def job_of(*names):
            def lay():
                for name in names:
                    write(os.path.join(self.exp, name), b"G0\n")
            return lay

        cases = [
            # (what, lay, path, body, outcome, more headers); each asked twice, without the
            # header and with it, over the same files laid anew
            ("empty folder", job_of(), EXPORT, export_body(), "nothing-waiting", {}),
            ("no such mode", job_of("programs/P1.NC"), EXPORT, export_body("NOPE"), "refused", {}),
            ("delivered", job_of("programs/P1.NC"), EXPORT, export_body(), "done", {}),
            ("rottler sets two aside", job_of("A.NC", "B.NC", "C.NC"), EXPORT, export_body("ROTTLER"), "done",
             {"X-Ostrivan-Discarded": "2"}),
            ("import", job_of(), IMPORT, import_body(zip_bytes({"P1.NC": b"G1\n"})), "done", {}),
            ("damaged archive", job_of(), IMPORT, import_body(b"PK\x03\x04 not a zip"), "failed", {}),
        ]
        for what, lay, path, body, outcome, more in cases:
            with self.subTest(what=what):
                replies = []
                for asked in (False, True):
                    shutil.rmtree(self.exp)
                    os.makedirs(self.exp)
                    lay()
                    replies.append(self.job(path, body, asked))
                    # A delivered job's files go once its client closed: the next round waits.
                    wait_until(lambda: outcome != "done" or path != EXPORT or not os.listdir(self.exp),
                               what="the delivered job to leave")
                (plain_status, plain_lines, plain_body), (status, lines, asked_body) = replies
                self.assertEqual(header(lines, "X-Ostrivan-Outcome"), outcome)
                for name, value in more.items():
                    self.assertEqual(header(lines, name), value)
                self.assertFalse([l for l in plain_lines if l.lower().startswith("x-ostrivan")], plain_lines)
                self.assertEqual(status, plain_status)
                self.assertEqual(comparable(lines), comparable(plain_lines))
                if path == IMPORT or outcome != "done":
                    self.assertEqual(asked_body, plain_body)
                else:  # the same job, packed again: the same reply but for the archive's times
                    self.assertEqual(json.loads(asked_body).keys(), json.loads(plain_body).keys())

    def test_a_file_still_being_written_is_retry_later_and_the_client_says_when(self):
        program = os.path.join(self.exp, "programs", "P1.NC")
        os.makedirs(os.path.dirname(program))
        with open(program, "wb") as writer:
            writer.write(b"G1 X1\n")
            writer.flush()
            status, lines, body = self.job(EXPORT, export_body(), True)
            self.assertEqual(header(lines, "X-Ostrivan-Outcome"), "retry-later")
            self.assertEqual(header(lines, "Retry-After"), "2")
            self.assertTrue(json.loads(body)["Errore"])
            run = subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{self.srv.port}", "export", "--to",
                                  os.path.join(self.base, "out")], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 5, run.stderr)
        self.assertIn("a file of the job is still being written: try again in 2 s", run.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.base, "out")))

    def test_the_client_says_what_rottler_set_aside(self):
        for name in ("A.NC", "B.NC"):
            write(os.path.join(self.exp, name), b"G0\n")
        run = subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{self.srv.port}", "export", "--mode", "ROTTLER",
                              "--to", os.path.join(self.base, "out")], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("the service set 1 other file of its folder aside", run.stderr)

    def test_export_watch_fetches_each_job_into_a_new_folder_and_runs_the_hook(self):
        parent = os.path.join(self.base, "jobs")
        hooks = os.path.join(self.base, "hooks.txt")
        hook = os.path.join(self.base, "hook.sh")
        with open(hook, "w") as f:
            f.write(f'#!/bin/sh\necho "$1" >> "{hooks}"\n')
        os.chmod(hook, 0o755)
        watch = subprocess.Popen([CLIENT, "--server", f"http://127.0.0.1:{self.srv.port}", "export", "--watch",
                                  "--interval", "1", "--exec", hook, "--to", parent],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        jobs = lambda: sorted(d for d in os.listdir(parent) if not d.startswith(".")) if os.path.isdir(parent) else []

        def hooked():
            if not os.path.exists(hooks):
                return []
            with open(hooks) as f:
                return f.read().split()

        try:
            expected = []
            for n in (1, 2):
                make_job(self.exp, "small")
                expected.append(read_tree(self.exp))
                wait_until(lambda: len(jobs()) == n and len(hooked()) == n, timeout=30, what=f"job {n} and its hook")
        finally:
            watch.send_signal(signal.SIGTERM)
            out, err = watch.communicate(timeout=30)
        self.assertEqual(watch.returncode, 143, err)
        self.assertEqual([read_tree(os.path.join(parent, f)) for f in jobs()], expected)
        self.assertEqual(hooked(), [os.path.join(parent, f) for f in jobs()])
        self.assertNotIn("Nessun file trovato", err)  # an empty poll is no news
        self.assertEqual(read_tree(self.exp), {})


if __name__ == "__main__":
    unittest.main()
