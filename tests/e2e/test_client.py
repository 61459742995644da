"""ostrivan-client against the real service: an export unpacked into a folder with its
subfolders, imports of a folder and of a .zip, failures reported with Messaggio (or the
error reply) and a non-zero status, and a job never fetched when it has nowhere to go."""
import base64
import http.server
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

from ostrivan_e2e import CLIENT, MAKE_JOB, ScratchServerTestCase, free_port


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def files(root):
    """Relative path ('/' separators) -> bytes, for every file below root."""
    out = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            full = os.path.join(dirpath, name)
            with open(full, "rb") as f:
                out[os.path.relpath(full, root)] = f.read()
    return out


JOB = {
    "programs/P1001.NC": b"%\nO1001\nG0 X0 Y0\nM30\n%\n" * 50,
    "programs/subprog/O9001.NC": b"O9001\nM99\n",
    "tools/T01.CFG": b"[T01]\nD=10\n",
    "job.ini": b"[JOB]\nCodice=A-17\n",
}


class ClientAgainstService(ScratchServerTestCase):
    scratch_prefix = "ostrivan-client-"

    def setUp(self):
        super().setUp()
        self.exp = os.path.join(self.dir, "export")
        self.imp = os.path.join(self.dir, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, Nr_Macchina=7)

    def client(self, *args, server=None):
        url = server or f"http://127.0.0.1:{self.srv.port}"
        return subprocess.run([CLIENT, "--server", url, *args], capture_output=True, text=True,
                              timeout=120, cwd=self.dir)

    def put_job(self):
        for rel, data in JOB.items():
            write(os.path.join(self.exp, rel), data)

    def test_export_unpacks_the_tree_with_its_subfolders(self):
        self.put_job()
        out = os.path.join(self.dir, "received", "job")  # parents are created too
        run = self.client("export", "--to", out)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, f"P1001.zip from machine 7 unpacked into {out}\n")
        self.assertEqual(run.stderr, "")
        # Backslash entry names became folders; nothing else was left behind.
        self.assertEqual(files(out), JOB)
        self.assertEqual(os.listdir(self.exp), [])

    def test_export_rottler_mode_and_default_server_port(self):
        write(os.path.join(self.exp, "A.NC"), b"G1 X1\n")
        write(os.path.join(self.exp, "B.NC"), b"G1 X2\n")
        out = os.path.join(self.dir, "out")
        # --server with the IPv6 loopback literal; the service listens on both families.
        run = self.client("export", "--mode", "ROTTLER", "--to", out, server=f"http://[::1]:{self.srv.port}")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(files(out), {"A.NC": b"G1 X1\n"})

    def test_export_refuses_a_folder_in_use_before_asking_the_service(self):
        self.put_job()
        for kind in ("not empty", "a file"):
            with self.subTest(kind=kind):
                target = os.path.join(self.dir, "busy")
                shutil.rmtree(target, ignore_errors=True)
                if kind == "a file":
                    write(target, b"x")
                else:
                    write(os.path.join(target, "keep.txt"), b"mine")
                run = self.client("export", "--to", target)
                self.assertEqual(run.returncode, 3, run)
                self.assertIn("busy", run.stderr)
                # The job is still waiting in the service's export folder.
                self.assertEqual(files(self.exp), JOB)
                if kind == "a file":
                    os.remove(target)

    def test_failures_print_messaggio_and_exit_1(self):
        missing = os.path.join(self.dir, "nowhere")
        cases = [
            ({"ImportLavoroDir": self.imp}, "export", "Directory ExportLavoroDir non specificata"),
            ({"ExportLavoroDir": self.exp}, "export", f"Nessun file trovato in {self.exp}"),
            ({"ExportLavoroDir": self.exp, "ImportLavoroDir": missing}, "import", f"Directory {missing} non trovata"),
        ]
        src = os.path.join(self.dir, "src")
        write(os.path.join(src, "programs", "P1.NC"), b"G0\n")
        for ini, command, message in cases:
            with self.subTest(message=message):
                self.configure(**ini)
                target = os.path.join(self.dir, "out")
                args = ("export", "--to", target) if command == "export" else ("import", src)
                run = self.client(*args)
                self.assertEqual(run.returncode, 1, run)
                self.assertEqual(run.stderr, message + "\n")
                self.assertEqual(run.stdout, "")
                # A failed export leaves no folder of its own making behind.
                self.assertFalse(os.path.exists(target))

    def test_import_of_a_generated_folder(self):
        src = os.path.join(self.dir, "src")
        subprocess.run([sys.executable, MAKE_JOB, "small", src], check=True, capture_output=True)
        write(os.path.join(self.imp, "OLD.NC"), b"old job")
        run = self.client("import", src)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"^P\d+\.zip imported \(\d+ bytes\)\n$")
        self.assertEqual(files(self.imp), files(src))
        self.assertGreater(len(files(src)), 10)

    def test_import_of_a_zip_file_and_round_trip(self):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
            for rel, data in JOB.items():
                zf.writestr(rel, data)
        archive = os.path.join(self.dir, "Job.zip")
        write(archive, buf.getvalue())
        run = self.client("import", archive)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, f"Job.zip imported ({len(buf.getvalue())} bytes)\n")
        self.assertEqual(files(self.imp), JOB)
        # What the client exports it imports back unchanged.
        self.put_job()
        out = os.path.join(self.dir, "out")
        self.assertEqual(self.client("export", "--to", out).returncode, 0)
        shutil.rmtree(self.imp)
        os.makedirs(self.imp)
        run = self.client("import", out + "/")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("P1001.zip imported"), run.stdout)
        self.assertEqual(files(self.imp), JOB)

    def test_error_replies_and_local_failures(self):
        big = os.path.join(self.dir, "big.zip")
        write(big, os.urandom(4 * 1024 * 1024))  # over 5 MiB once in base64
        small = os.path.join(self.dir, "small.zip")
        write(small, b"PK\x05\x06" + bytes(18))
        empty = os.path.join(self.dir, "empty")
        os.makedirs(os.path.join(empty, "sub"))
        write(os.path.join(self.imp, "KEEP.NC"), b"current job")
        closed = free_port()
        cases = [
            (("import", big), None, 1, "HTTP 413 Request Entity Too Long: Request size exceeded the max allowed size [5120 KiB] (1)\n"),
            (("import", self.dir + "/does-not-exist"), None, 3, "neither a folder nor a file"),
            (("import", empty), None, 3, "holds no file: nothing to import"),
            (("import", big), f"http://127.0.0.1:{closed}", 3, "cannot connect to 127.0.0.1:"),
            (("import", small), f"http://127.0.0.1:{self.srv.port}/other", 1,
             "HTTP 404 [EMVCException] Not Found: [EMVCException] Not Found\n"),
        ]
        for args, server, code, text in cases:
            with self.subTest(args=args, server=server):
                run = self.client(*args, server=server)
                self.assertEqual(run.returncode, code, run)
                self.assertIn(text, run.stderr)
                self.assertEqual(files(self.imp), {"KEEP.NC": b"current job"})

    def test_command_line_errors_exit_2(self):
        for args in ([], ["export"], ["import"], ["frobnicate"], ["export", "--to"], ["--bogus"],
                     ["--server", "https://x", "import", "a.zip"], ["import", "a", "b"]):
            with self.subTest(args=args):
                run = subprocess.run([CLIENT, *args], capture_output=True, text=True, timeout=20)
                self.assertEqual(run.returncode, 2, run)
                self.assertIn("Usage:", run.stderr)
        run = subprocess.run([CLIENT, "--help"], capture_output=True, text=True, timeout=20)
        self.assertEqual(run.returncode, 0)
        self.assertIn("http://localhost:8080", run.stdout)


class CannedReplies(unittest.TestCase):
    """Replies the real service gives only in rare states, from a stand-in on loopback:
    a failed export that still carries the archive, and an archive that cannot be
    unpacked. Nothing received may be lost."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrivan-client-canned-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.reply = b""
        self.requests = []
        test = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                test.requests.append((self.path, dict(self.headers), body))
                self.send_response(200)
                self.send_header("Content-Type", "application/json; charset=utf-8")
                self.send_header("Content-Length", str(len(test.reply)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(test.reply)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)

    def export(self, reply):
        self.reply = json.dumps(reply).encode()
        out = os.path.join(self.dir, "out")
        run = subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{self.server.server_port}",
                              "export", "--to", out], capture_output=True, text=True, timeout=60)
        return run, out

    def test_request_as_the_service_expects_it(self):
        run, _ = self.export({"Errore": True, "Messaggio": "x", "NomeFile": "", "Stream": "", "NrMacchina": 0})
        self.assertEqual(run.returncode, 1)
        path, headers, body = self.requests[0]
        self.assertEqual(path, "/RizOzudo/ExportLavoro")
        self.assertEqual(headers["Accept"], "application/json")
        self.assertTrue(headers["Content-Type"].startswith("application/json"))
        self.assertEqual(json.loads(body), {"ModoGestioneFile": "NEWEN"})

    def test_failed_export_that_carries_the_archive_is_still_unpacked(self):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w") as zf:
            zf.writestr("programs\\P5.NC", b"G0 X5\n")
        run, out = self.export({"Errore": True, "Messaggio": "Fallita eliminazione contenuto /x",
                                "NomeFile": "P5.zip", "Stream": base64.encodebytes(buf.getvalue()).decode(),
                                "NrMacchina": 0})
        self.assertEqual(run.returncode, 1, run)
        self.assertIn("Fallita eliminazione contenuto /x\n", run.stderr)
        self.assertEqual(files(out), {"programs/P5.NC": b"G0 X5\n"})

    def test_archive_that_cannot_be_unpacked_is_kept(self):
        payload = b"not a zip archive at all"
        run, out = self.export({"Errore": False, "Messaggio": "", "NomeFile": "P6.zip",
                                "Stream": base64.b64encode(payload).decode(), "NrMacchina": 2})
        self.assertEqual(run.returncode, 3, run)
        self.assertIn("unpacking P6.zip into", run.stderr)
        kept = [f for f in os.listdir(out) if f.endswith(".zip")]
        self.assertEqual(len(kept), 1, os.listdir(out))
        self.assertIn(os.path.join(out, kept[0]), run.stderr)
        with open(os.path.join(out, kept[0]), "rb") as f:
            self.assertEqual(f.read(), payload)


if __name__ == "__main__":
    unittest.main()
