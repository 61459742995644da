"""ostrivan-client against the real service: an export unpacked into a folder with its
subfolders, imports of a folder and of a .zip, failures reported with Messaggio (or the
error reply) and a non-zero status, and a job never fetched when it has nowhere to go."""
import base64
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import zipfile

from ostrivan_e2e import CLIENT, EXE, EXPORT, ScratchServerTestCase, free_port, make_job, read_tree, write, zip_bytes


def refused_archives(good):
    """(what, bytes, reason printed) of archives the client must not send; good is an
    intact archive with a stored entry holding "G0 X7"."""
    at = good.index(b"G0 X7")
    crc_broken = good[:at] + b"G1" + good[at + 2:]
    return [
        ("not a zip", b"this is not an archive\n", "not a usable zip archive"),
        ("empty file", b"", "not a usable zip archive"),
        ("truncated", good[: len(good) // 2], "not a usable zip archive"),
        ("CRC mismatch", crc_broken, "CRC-32 mismatch"),
        ("only a folder entry", zip_bytes({"temp/": b""}), "holds no file"),
        ("over the body limit", zip_bytes({"big.bin": os.urandom(4 * 1024 * 1024)}, zipfile.ZIP_STORED),
         "over the service's limit of 5242880 bytes"),
    ]


# What the service sends a caller that ClientAmmessi does not admit.
REFUSED_PAGE = "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>"
# Another server's refusal.
FOREIGN_403 = "<html><head><title>403 Forbidden</title></head><body><h1>403 Forbidden</h1></body></html>"

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
        self.assertEqual(read_tree(out), JOB)
        self.assertEqual(os.listdir(self.exp), [])

    def test_export_rottler_mode_and_default_server_port(self):
        write(os.path.join(self.exp, "A.NC"), b"G1 X1\n")
        write(os.path.join(self.exp, "B.NC"), b"G1 X2\n")
        out = os.path.join(self.dir, "out")
        # --server with the IPv6 loopback literal; the service listens on both families.
        run = self.client("export", "--mode", "ROTTLER", "--to", out, server=f"http://[::1]:{self.srv.port}")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(read_tree(out), {"A.NC": b"G1 X1\n"})

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
                self.assertEqual(read_tree(self.exp), JOB)
                if kind == "a file":
                    os.remove(target)

    def test_failures_print_messaggio_and_exit_1(self):
        missing = os.path.join(self.dir, "nowhere")
        # Nothing waiting is 4, told apart from a failure (1) without reading Italian.
        cases = [
            ({"ImportLavoroDir": self.imp}, "export", "Directory ExportLavoroDir non specificata", 1),
            ({"ExportLavoroDir": self.exp}, "export", f"Nessun file trovato in {self.exp}", 4),
            ({"ExportLavoroDir": missing}, "export", f"Directory {missing} non trovata", 1),
            ({"ExportLavoroDir": self.exp, "ImportLavoroDir": missing}, "import", f"Directory {missing} non trovata", 1),
        ]
        src = os.path.join(self.dir, "src")
        write(os.path.join(src, "programs", "P1.NC"), b"G0\n")
        for ini, command, message, code in cases:
            with self.subTest(message=message):
                self.configure(**ini)
                target = os.path.join(self.dir, "out")
                args = ("export", "--to", target) if command == "export" else ("import", src)
                run = self.client(*args)
                self.assertEqual(run.returncode, code, run)
                self.assertEqual(run.stderr, message + "\n")
                self.assertEqual(run.stdout, "")
                # A failed export leaves no folder of its own making behind.
                self.assertFalse(os.path.exists(target))

    def test_nothing_waiting_exits_4_in_either_mode(self):
        os.makedirs(os.path.join(self.exp, "programs"))  # a folder, but no file in it
        for mode, message in (("NEWEN", 'Nessun file trovato nella directory "programs" in '),
                              ("ROTTLER", f'Nessun file trovato nella directory "{self.exp}"')):
            with self.subTest(mode=mode):
                target = os.path.join(self.dir, "out-" + mode)
                run = self.client("export", "--mode", mode, "--to", target)
                self.assertEqual(run.returncode, 4, run)
                self.assertTrue(run.stderr.startswith(message), run.stderr)
                self.assertFalse(os.path.exists(target))
        # Once a job is there, the same command fetches it.
        self.put_job()
        run = self.client("export", "--to", os.path.join(self.dir, "out"))
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_export_with_nothing_waiting_leaves_the_target_as_it_was(self):
        # Folders made for a job that did not come go again, parents included.
        existing = os.path.join(self.dir, "existing")
        os.makedirs(existing)
        before = sorted(os.listdir(self.dir))
        for what, target in (("new folder", os.path.join(self.dir, "new")),
                             ("missing parents", os.path.join(self.dir, "a", "b", "job")),
                             ("missing parent, trailing slash", os.path.join(self.dir, "c", "job") + "/"),
                             ("relative, missing parent", os.path.join("d", "job")),
                             ("existing empty folder", existing)):
            with self.subTest(what=what):
                run = self.client("export", "--to", target)
                self.assertEqual(run.returncode, 4, run)
                self.assertEqual(sorted(os.listdir(self.dir)), before)
                self.assertEqual(os.listdir(existing), [])

    def test_a_caller_not_on_client_ammessi_is_told_so_and_exits_1(self):
        # The list leaves out loopback: the service refuses the job routes before it reads.
        self.put_job()
        src = os.path.join(self.dir, "src")
        write(os.path.join(src, "programs", "P1.NC"), b"G0\n")
        write(os.path.join(self.imp, "KEEP.NC"), b"current job")
        self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, ClientAmmessi="192.0.2.1")
        target = os.path.join(self.dir, "refused", "out")
        for args in (("export", "--to", target), ("import", src)):
            with self.subTest(command=args[0]):
                run = self.client(*args)
                self.assertEqual(run.returncode, 1, run)
                self.assertEqual(run.stderr, "HTTP 403 Forbidden: refused by the service (not on ClientAmmessi)\n")
                self.assertFalse(os.path.exists(os.path.dirname(target)))
                self.assertEqual(read_tree(self.exp), JOB)
                self.assertEqual(read_tree(self.imp), {"KEEP.NC": b"current job"})

    def test_damaged_archive_is_not_sent_and_the_machine_keeps_its_job(self):
        # The service empties its import folder before it unpacks: an archive that would
        # fail there must never leave the client.
        write(os.path.join(self.imp, "KEEP.NC"), b"current job")
        good = zip_bytes({"programs\\P7.NC": b"G0 X7\n" * 200, "job.ini": b"[JOB]\n"}, zipfile.ZIP_STORED)
        for what, data, reason in refused_archives(good):
            with self.subTest(what=what):
                path = os.path.join(self.dir, "job.zip")
                write(path, data)
                run = self.client("import", path)
                self.assertEqual(run.returncode, 3, run)
                self.assertIn(reason, run.stderr)
                self.assertIn("nothing was sent", run.stderr)
                self.assertEqual(read_tree(self.imp), {"KEEP.NC": b"current job"})
        # The intact archive goes through.
        write(os.path.join(self.dir, "job.zip"), good)
        run = self.client("import", os.path.join(self.dir, "job.zip"))
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(read_tree(self.imp), {"programs/P7.NC": b"G0 X7\n" * 200, "job.ini": b"[JOB]\n"})

    def test_import_of_a_generated_folder(self):
        src = os.path.join(self.dir, "src")
        make_job(src, "small")
        write(os.path.join(self.imp, "OLD.NC"), b"old job")
        run = self.client("import", src)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"^P\d+\.zip imported \(\d+ bytes\)\n$")
        self.assertEqual(read_tree(self.imp), read_tree(src))
        self.assertGreater(len(read_tree(src)), 10)

    def test_import_of_a_zip_file_and_round_trip(self):
        data = zip_bytes(JOB)
        archive = os.path.join(self.dir, "Job.zip")
        write(archive, data)
        run = self.client("import", archive)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, f"Job.zip imported ({len(data)} bytes)\n")
        self.assertEqual(read_tree(self.imp), JOB)
        # What the client exports it imports back unchanged.
        self.put_job()
        out = os.path.join(self.dir, "out")
        self.assertEqual(self.client("export", "--to", out).returncode, 0)
        shutil.rmtree(self.imp)
        os.makedirs(self.imp)
        run = self.client("import", out + "/")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("P1001.zip imported"), run.stdout)
        self.assertEqual(read_tree(self.imp), JOB)

    def test_error_replies_and_local_failures(self):
        big = os.path.join(self.dir, "big.zip")
        write(big, zip_bytes({"big.bin": os.urandom(4 * 1024 * 1024)}))  # over 5 MiB once in base64
        small = os.path.join(self.dir, "small.zip")
        write(small, zip_bytes({"P1.NC": b"G0\n"}))
        empty = os.path.join(self.dir, "empty")
        os.makedirs(os.path.join(empty, "sub"))
        write(os.path.join(self.imp, "KEEP.NC"), b"current job")
        closed = free_port()
        cases = [
            (("import", big), None, 3, "over the service's limit of 5242880 bytes"),
            (("import", self.dir + "/does-not-exist"), None, 3, "neither a folder nor a file"),
            (("import", empty), None, 3, "holds no file: nothing to import"),
            (("import", small), f"http://127.0.0.1:{closed}", 3, "cannot connect to 127.0.0.1:"),
            (("import", small), f"http://127.0.0.1:{self.srv.port}/other", 1,
             "HTTP 404 [EMVCException] Not Found: [EMVCException] Not Found\n"),
        ]
        for args, server, code, text in cases:
            with self.subTest(args=args, server=server):
                run = self.client(*args, server=server)
                self.assertEqual(run.returncode, code, run)
                self.assertIn(text, run.stderr)
                self.assertEqual(read_tree(self.imp), {"KEEP.NC": b"current job"})

    def test_command_line_errors_exit_2(self):
        for args in ([], ["export"], ["import"], ["frobnicate"], ["export", "--to"], ["--bogus"],
                     ["--server", "https://x", "import", "a.zip"], ["import", "a", "b"]):
            with self.subTest(args=args):
                run = subprocess.run([CLIENT, *args], capture_output=True, text=True, timeout=20)
                self.assertEqual(run.returncode, 2, run)
                self.assertIn("Usage:", run.stderr)
        for args in (["--timeout", "0", "export", "--to", "x"], ["--timeout", "ten", "import", "a.zip"],
                     ["--timeout"], ["--timeout", "5s", "export", "--to", "x"]):
            with self.subTest(args=args):
                run = subprocess.run([CLIENT, *args], capture_output=True, text=True, timeout=20)
                self.assertEqual(run.returncode, 2, run)
                self.assertIn("--timeout", run.stderr)
        # The service reads the mode as written, in capitals: anything else is refused
        # here, before a folder is made or the service asked.
        self.put_job()
        for mode in ("newen", "Rottler", "NEWEN ", "", "SINGLE"):
            with self.subTest(mode=mode):
                run = self.client("export", "--to", "x", "--mode", mode)
                self.assertEqual(run.returncode, 2, run)
                self.assertIn("--mode needs NEWEN or ROTTLER", run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "x")))
                self.assertEqual(read_tree(self.exp), JOB)
        run = subprocess.run([CLIENT, "--help"], capture_output=True, text=True, timeout=20)
        self.assertEqual(run.returncode, 0)
        self.assertIn("http://localhost:8080", run.stdout)
        self.assertIn("--timeout SECONDS", run.stdout)
        self.assertIn("default 120 seconds", run.stdout)
        # Every exit status the client can end with, each on its own line.
        for code in ("0", "1", "2", "3", "4", "130", "143"):
            self.assertRegex(run.stdout, rf"(?m)^  {code} |, {code} by", code)


class Versions(unittest.TestCase):
    def test_both_programs_print_the_built_version(self):
        cmake = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
        with open(cmake) as f:
            version = re.search(r"project\(Ostrivan VERSION (\S+)", f.read()).group(1)
        for exe, name in ((CLIENT, "ostrivan-client"), (EXE, "Ostrivan")):
            with self.subTest(name=name):
                run = subprocess.run([exe, "--version"], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                     timeout=20)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, f"{name} {version}\n", ""))


class CannedReplies(unittest.TestCase):
    """Replies the real service gives only in rare states, and replies of other servers,
    from a stand-in on loopback: a failed export that still carries the archive, an
    archive that cannot be unpacked, foreign replies, a reply that never comes. Nothing
    received may be lost, nothing refused may be sent."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrivan-client-canned-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.reply = b""
        self.status = 200
        self.headers = [("Content-Type", "application/json; charset=utf-8")]
        self.hang = False  # read the request, then wait for self.release and close unanswered
        self.length = None  # the Content-Length announced, when not the reply's own
        self.arrived = threading.Event()
        self.release = threading.Event()
        self.addCleanup(self.release.set)
        self.requests = []
        test = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                test.requests.append((self.path, dict(self.headers), body))
                test.arrived.set()
                if test.hang:
                    test.release.wait(60)
                    self.close_connection = True
                    return
                self.send_response(test.status)
                for name, value in test.headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(test.reply) if test.length is None else test.length))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(test.reply)

            do_GET = do_POST

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_port}"

    def export(self, reply):
        self.reply = json.dumps(reply).encode()
        out = os.path.join(self.dir, "out")
        run = subprocess.run([CLIENT, "--server", self.url, "export", "--to", out],
                             capture_output=True, text=True, timeout=60)
        return run, out

    def test_request_as_the_service_expects_it(self):
        run, _ = self.export({"Errore": True, "Messaggio": "x", "NomeFile": "", "Stream": "", "NrMacchina": 0})
        self.assertEqual(run.returncode, 1)
        path, headers, body = self.requests[0]
        self.assertEqual(path, EXPORT)
        self.assertEqual(headers["Accept"], "application/json")
        self.assertTrue(headers["Content-Type"].startswith("application/json"))
        self.assertEqual(json.loads(body), {"ModoGestioneFile": "NEWEN"})

    def test_failed_export_that_carries_the_archive_is_still_unpacked(self):
        archive = zip_bytes({"programs\\P5.NC": b"G0 X5\n"}, zipfile.ZIP_STORED)
        run, out = self.export({"Errore": True, "Messaggio": "Fallita eliminazione contenuto /x",
                                "NomeFile": "P5.zip", "Stream": base64.encodebytes(archive).decode(),
                                "NrMacchina": 0})
        self.assertEqual(run.returncode, 1, run)
        self.assertIn("Fallita eliminazione contenuto /x\n", run.stderr)
        self.assertEqual(read_tree(out), {"programs/P5.NC": b"G0 X5\n"})

    def test_a_reply_cut_short_by_an_orderly_close_is_no_reply(self):
        # A service killed while it sends ends the connection in order, as a whole reply
        # does: only the announced length tells the two apart.
        archive = zip_bytes({"programs\\P8.NC": b"G0 X8\n" * 50})
        whole = json.dumps({"Errore": False, "Messaggio": "", "NomeFile": "P8.zip",
                            "Stream": base64.b64encode(archive).decode(), "NrMacchina": 1}).encode()
        for cut in (0, 1, len(whole) // 2, len(whole) - 1):
            with self.subTest(cut=cut):
                self.reply, self.length = whole[:cut], len(whole)
                out = os.path.join(self.dir, f"out{cut}")
                run = subprocess.run([CLIENT, "--server", self.url, "export", "--to", out],
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, 3, run)
                self.assertIn(f"the reply ended after {cut} of {len(whole)} bytes", run.stderr)
                self.assertFalse(os.path.exists(out) and os.listdir(out), "something was unpacked")
        # The same reply whole is taken: the check above tells the two apart.
        self.reply, self.length = whole, None
        out = os.path.join(self.dir, "whole")
        run = subprocess.run([CLIENT, "--server", self.url, "export", "--to", out],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(read_tree(out), {"programs/P8.NC": b"G0 X8\n" * 50})

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


    def test_refused_archives_are_never_sent(self):
        good = zip_bytes({"programs\\P7.NC": b"G0 X7\n" * 200}, zipfile.ZIP_STORED)
        self.reply = json.dumps({"Errore": False, "Messaggio": ""}).encode()
        for what, data, reason in refused_archives(good):
            with self.subTest(what=what):
                path = os.path.join(self.dir, "job.zip")
                write(path, data)
                run = subprocess.run([CLIENT, "--server", self.url, "import", path], capture_output=True,
                                     text=True, timeout=60)
                self.assertEqual(run.returncode, 3, run)
                self.assertIn(reason, run.stderr)
                self.assertEqual(self.requests, [])
        write(os.path.join(self.dir, "job.zip"), good)
        run = subprocess.run([CLIENT, "--server", self.url, "import", os.path.join(self.dir, "job.zip")],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(len(self.requests), 1)
        sent = json.loads(self.requests[0][2])
        self.assertEqual(base64.b64decode(sent["Stream"]), good)

    def test_replies_of_the_four_shapes_exit_1_and_anything_else_3(self):
        json_type = ("Content-Type", "application/json; charset=utf-8")
        html_type = ("Content-Type", "text/html; charset=utf-8")
        error_object = {"classname": "EMVCException", "detailedmessage": "", "apperrorcode": 0, "items": [],
                        "statuscode": 400, "reasonstring": "error", "message": "Invalid body", "data": None}
        cases = [
            # the service's own shapes: a failure it reports
            (200, [json_type], json.dumps({"Errore": True, "Messaggio": "Directory X non trovata", "NomeFile": "",
                                           "Stream": "", "NrMacchina": 0}), 1, "Directory X non trovata\n"),
            (400, [json_type], json.dumps(error_object), 1, "HTTP 400 Bad Request: Invalid body (EMVCException)\n"),
            (404, [("Content-Type", "text/plain; charset=utf-8")], "TornioMVC\nHTTP 404: [EMVCException] Not Found",
             1, "HTTP 404 Not Found: TornioMVC HTTP 404: [EMVCException] Not Found\n"),
            (413, [html_type], "Request size exceeded the max allowed size [5120 KiB] (1)", 1,
             "Request size exceeded the max allowed size [5120 KiB] (1)\n"),
            (401, [html_type, ("WWW-Authenticate", "Basic")], "Unsupported authorization scheme.", 1,
             "Unsupported authorization scheme.\n"),
            (403, [html_type], REFUSED_PAGE, 1, "HTTP 403 Forbidden: refused by the service (not on ClientAmmessi)\n"),
            (403, [html_type], FOREIGN_403, 3, "not a reply of an Ostrivan service: HTTP 403 Forbidden"),
            # another server on that port
            (200, [html_type], "<html><body>Welcome</body></html>", 3, "not a reply of an Ostrivan service"),
            (200, [json_type], json.dumps({"ok": True}), 3, "not a reply of an Ostrivan service"),
            (200, [json_type], json.dumps({"Errore": "no"}), 3, "not a reply of an Ostrivan service"),
            (404, [html_type], "<html><h1>404 Not Found</h1></html>", 3, "not a reply of an Ostrivan service"),
            (500, [("Content-Type", "text/plain")], "Internal Server Error", 3, "not a reply of an Ostrivan service"),
            (400, [json_type], json.dumps(dict(error_object, statuscode=500)), 3, "not a reply of an Ostrivan service"),
            (204, [], "", 3, "not a reply of an Ostrivan service"),
        ]
        archive = os.path.join(self.dir, "job.zip")
        write(archive, zip_bytes({"P1.NC": b"G0\n"}))
        for status, headers, body, code, text in cases:
            for command in ("export", "import"):
                with self.subTest(status=status, body=body[:40], command=command):
                    self.status, self.headers, self.reply = status, headers, body.encode()
                    out = os.path.join(self.dir, "out")
                    args = ["export", "--to", out] if command == "export" else ["import", archive]
                    run = subprocess.run([CLIENT, "--server", self.url, *args], capture_output=True, text=True,
                                         timeout=60)
                    self.assertEqual(run.returncode, code, run)
                    self.assertIn(text, run.stderr)
                    self.assertFalse(os.path.exists(out))

    def test_status_replies_tell_a_refusal_from_another_server(self):
        json_type = ("Content-Type", "application/json; charset=utf-8")
        html_type = ("Content-Type", "text/html; charset=utf-8")
        status = {"version": "1.0.0", "started": "2026-12-11T06:00:02.125Z", "uptime_s": 61, "machine": 4,
                  "parameter_file": "/opt/ostrivan/ParametrOstrivan.ini",
                  "export": {"dir": "/srv/cnc/export", "ready": True, "waiting_files": 0, "waiting_bytes": 0,
                             "job": ""},
                  "import": {"dir": "/srv/cnc/import", "ready": True, "files": 0}, "problems": [], "held": 0,
                  "last_export": None, "last_import": None, "connections": 1}
        cases = [
            (200, [json_type], json.dumps(status), 0, ""),
            (403, [html_type], REFUSED_PAGE, 1, "refused by the service (not on ClientAmmessi)"),
            (404, [("Content-Type", "text/plain; charset=utf-8")], "TornioMVC\nHTTP 404: [EMVCException] Not Found",
             1, "HTTP 404 Not Found: TornioMVC"),  # a service older than the route
            (403, [html_type], FOREIGN_403, 3, "another server on that port"),
            (200, [html_type], "<html><body>Welcome</body></html>", 3, "another server on that port"),
            (200, [json_type], json.dumps({"ok": True}), 3, "another server on that port"),
            (500, [("Content-Type", "text/plain")], "Internal Server Error", 3, "another server on that port"),
        ]
        for status_code, headers, body, code, text in cases:
            with self.subTest(status=status_code, body=body[:40]):
                self.status, self.headers, self.reply = status_code, headers, body.encode()
                run = subprocess.run([CLIENT, "--server", self.url, "status"], capture_output=True, text=True,
                                     timeout=60)
                self.assertEqual(run.returncode, code, run)
                self.assertIn(text, run.stderr)
                if code == 0:
                    self.assertIn("machine 4", run.stdout)

    def test_timeout_bounds_the_exchange(self):
        self.hang = True
        out = os.path.join(self.dir, "out")
        run = subprocess.run([CLIENT, "--server", self.url, "--timeout", "1", "export", "--to", out],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 3, run)
        self.assertIn(f"timed out after 1 s waiting for the reply of 127.0.0.1:{self.server.server_port}", run.stderr)
        self.assertFalse(os.path.exists(out))
        # status too, not a fixed wait of its own.
        began = time.monotonic()
        run = subprocess.run([CLIENT, "--server", self.url, "--timeout", "1", "status"], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 3, run)
        self.assertIn("timed out after 1 s", run.stderr)
        self.assertLess(time.monotonic() - began, 15)

    def test_a_signal_interrupts_cleans_up_and_a_retry_works(self):
        archive = zip_bytes({"programs\\P8.NC": b"G0 X8\n"}, zipfile.ZIP_STORED)
        good_reply = json.dumps({"Errore": False, "Messaggio": "", "NomeFile": "P8.zip",
                                 "Stream": base64.encodebytes(archive).decode(), "NrMacchina": 3}).encode()
        source = os.path.join(self.dir, "job")
        write(os.path.join(source, "programs", "P8.NC"), b"G0 X8\n")
        for sig, code in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            for command, target_exists in (("export", False), ("export", True), ("import", None)):
                with self.subTest(signal=sig.name, command=command, target_exists=target_exists):
                    tmp = tempfile.mkdtemp(dir=self.dir)  # the client's temporary folder
                    target = os.path.join(self.dir, "target")
                    shutil.rmtree(target, ignore_errors=True)
                    if target_exists:
                        os.makedirs(target)
                    args = ["export", "--to", target] if command == "export" else ["import", source]
                    self.hang, self.reply = True, good_reply
                    self.arrived.clear()
                    self.release.clear()
                    proc = subprocess.Popen([CLIENT, "--server", self.url, *args], stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True, env=dict(os.environ, TMPDIR=tmp))
                    try:
                        self.assertTrue(self.arrived.wait(30), "the request never arrived")
                        proc.send_signal(sig)
                        out, err = proc.communicate(timeout=30)
                    finally:
                        if proc.poll() is None:
                            proc.kill()
                            proc.communicate()
                        self.release.set()
                    self.assertEqual(proc.returncode, code, err)
                    self.assertIn("interrupted", err)
                    self.assertNotIn("timed out", err)
                    self.assertEqual(out, "")
                    self.assertEqual(os.listdir(tmp), [])
                    if command == "export":
                        # The folder is as it was: absent, or there and empty.
                        self.assertEqual(os.path.isdir(target), target_exists)
                        if target_exists:
                            self.assertEqual(os.listdir(target), [])
                        self.hang = False
                        run = subprocess.run([CLIENT, "--server", self.url, *args], capture_output=True, text=True,
                                             timeout=60)
                        self.assertEqual(run.returncode, 0, run)
                        self.assertEqual(read_tree(target), {"programs/P8.NC": b"G0 X8\n"})


if __name__ == "__main__":
    unittest.main()
