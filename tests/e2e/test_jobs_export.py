"""Exporting a job from the real service over loopback: the exact reply, the archive as
Python's zipfile and Info-ZIP unzip read it, every failure in its order of checks,
parameter-file edits between requests, and a job file that cannot be read."""
import base64
import http.client
import io
import json
import os
import re
import shutil
import subprocess
import unittest
import zipfile
import zlib

from ostrivan_e2e import EXPORT, ScratchServerTestCase, job_request, request_bytes, split_reply, tree, write

DATE_RE = re.compile(rb"Date: [A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT\r\n")


class ExportOverLoopback(ScratchServerTestCase):
    scratch_prefix = "ostrivan-export-"

    def setUp(self):
        super().setUp()
        self.job = os.path.join(self.dir, "job")
        os.makedirs(self.job)
        self.configure(ExportLavoroDir=self.job, Nr_Macchina=12)

    def raw_export(self, mode=None):
        body = json.dumps({"CodiceCommessa": "C-1", "ModoGestioneFile": mode}).encode() if mode is not None else b"{}"
        return self.srv.raw(job_request(EXPORT, body))

    def export(self, mode=None):
        status, _, body = split_reply(self.raw_export(mode))
        self.assertEqual(status, "HTTP/1.1 200 OK", body)
        return json.loads(body)

    def check_archive(self, reply, expected):
        """Decodes Stream, reads it with zipfile and unzip -t; expected: name -> bytes, in order."""
        data = base64.b64decode(reply["Stream"])  # the decoder ignores the CR LF breaks
        lines = reply["Stream"].split("\r\n")
        self.assertTrue(all(len(line) == 76 for line in lines[:-1]), lines[:3])
        with zipfile.ZipFile(io.BytesIO(data)) as zf:
            self.assertIsNone(zf.testzip())
            self.assertEqual(zf.namelist(), list(expected))
            for name, content in expected.items():
                self.assertEqual(zf.read(name), content, name)
                self.assertEqual(zf.getinfo(name).CRC, zlib.crc32(content), name)
                self.assertEqual(zf.getinfo(name).compress_type, zipfile.ZIP_DEFLATED, name)
        if shutil.which("unzip"):
            path = os.path.join(self.dir, reply["NomeFile"])
            with open(path, "wb") as f:
                f.write(data)
            run = subprocess.run(["unzip", "-t", path], capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            self.assertIn("No errors detected", run.stdout)
            for name in expected:
                self.assertIn(f"testing: {name}", run.stdout)

    def test_newen_exact_reply_and_archive(self):
        files = {
            "job.ini": b"[JOB]\r\nCodice=C-1\r\n",
            "programs/P2.NC": b"G0 X2\n" * 500,
            "programs/P10.NC": b"G1 X10\n" * 300,
            "programs/subprog/O9001.NC": b"O9001\nM99\n",
            "tools/T01.CFG": b"T1=drill 8mm",
            "log/macchina.log": b"",
        }
        for rel, content in files.items():
            write(os.path.join(self.job, rel), content)
        os.makedirs(os.path.join(self.job, "temp"))  # empty: no entry
        reply = self.raw_export("NEWEN")
        head, _, body = reply.partition(b"\r\n\r\n")
        doc = json.loads(body)
        stream_json = json.dumps(doc["Stream"])[1:-1].encode()
        expected_body = (b'{"Errore":false,"Messaggio":"","NomeFile":"P10.zip","Stream":"' + stream_json +
                         b'","NrMacchina":12}')
        self.assertEqual(body, expected_body)
        self.assertEqual(DATE_RE.sub(b"", head + b"\r\n"),
                         b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: application/json; charset=utf-8\r\n"
                         b"Content-Length: " + str(len(body)).encode() + b"\r\n"
                         b"Server: TornioMVC\r\nX-Powered-By: TornioMVC 1.0.0\r\n")
        self.check_archive(doc, {
            "job.ini": files["job.ini"],
            "log\\macchina.log": b"",
            "programs\\P10.NC": files["programs/P10.NC"],
            "programs\\P2.NC": files["programs/P2.NC"],
            "programs\\subprog\\O9001.NC": files["programs/subprog/O9001.NC"],
            "tools\\T01.CFG": files["tools/T01.CFG"],
        })
        self.assertEqual(os.listdir(self.job), [])
        # Nothing left to take: the next client is told so.
        again = self.export("NEWEN")
        self.assertEqual(again["Messaggio"], f"Nessun file trovato in {self.job}")

    def test_rottler_packs_the_first_file_only(self):
        write(os.path.join(self.job, "b.txt"), b"second")
        write(os.path.join(self.job, "A.txt"), b"first " * 100)
        write(os.path.join(self.job, "sub/c.txt"), b"below")
        reply = self.export("ROTTLER")
        self.assertEqual({k: v for k, v in reply.items() if k != "Stream"},
                         {"Errore": False, "Messaggio": "", "NomeFile": "A.zip", "NrMacchina": 12})
        self.check_archive(reply, {"A.txt": b"first " * 100})
        self.assertEqual(os.listdir(self.job), [])

    def test_latin1_file_name_gives_a_reply_that_parses(self):
        # A name that is not UTF-8 is read as Latin-1: the reply under charset=utf-8 stays
        # readable, and the file is still packed by its real name before it is deleted.
        write(os.path.join(os.fsencode(self.job), b"programs", b"P\xe8.NC"), b"G0 X1\n")
        status, _, body = split_reply(self.raw_export("NEWEN"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        reply = json.loads(body.decode("utf-8"))
        self.assertEqual((reply["Errore"], reply["Messaggio"], reply["NomeFile"]), (False, "", "P\u00e8.zip"))
        with zipfile.ZipFile(io.BytesIO(base64.b64decode(reply["Stream"]))) as zf:
            self.assertEqual(zf.namelist(), ["programs\\P\u00e8.NC"])
            self.assertEqual(zf.read("programs\\P\u00e8.NC"), b"G0 X1\n")
        self.assertEqual(os.listdir(self.job), [])

    def test_unconfigured_export_exact_body(self):
        self.configure()
        status, _, body = split_reply(self.raw_export("NEWEN"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(body, b'{"Errore":true,"Messaggio":"Directory ExportLavoroDir non specificata",'
                               b'"NomeFile":"","Stream":"","NrMacchina":0}')

    def test_failures_in_their_order_of_checks(self):
        job = self.job
        programs = os.path.join(job, "programs")

        def top_file():
            write(os.path.join(job, "a.txt"), b"a")

        cases = [
            # (what, setup, ExportLavoroDir, mode, message)
            ("missing directory", lambda: os.rmdir(job), job, "NEWEN", f"Directory {job} non trovata"),
            ("empty directory wins over empty mode", lambda: None, job, "", f"Nessun file trovato in {job}"),
            ("empty directory, no mode key", lambda: None, job, None, f"Nessun file trovato in {job}"),
            ("mode not set", top_file, job, "", "Modo gestione file non impostato"),
            ("mode key absent", top_file, job, None, "Modo gestione file non impostato"),
            ("newen without programs", top_file, job, "NEWEN",
             f'Directory "programs" non trovata in {programs}'),
            ("newen, programs without files",
             lambda: write(os.path.join(programs, "sub", "P1.NC"), b"G0"), job, "NEWEN",
             f'Nessun file trovato nella directory "programs" in {programs}'),
            ("rottler with only directories",
             lambda: write(os.path.join(job, "sub", "a.txt"), b"a"), job, "ROTTLER",
             f'Nessun file trovato nella directory "{job}"'),
            ("lower-case mode", top_file, job, "newen", 'Modo gestione file "newen" non riconosciuto'),
            ("mode with blanks", top_file, job, "ROTTLER ", 'Modo gestione file "ROTTLER " non riconosciuto'),
            ("trailing separator kept in messages", lambda: None, job + "/", "NEWEN",
             f"Nessun file trovato in {job}/"),
        ]
        for what, setup, configured, mode, message in cases:
            with self.subTest(what):
                shutil.rmtree(job, ignore_errors=True)
                os.makedirs(job)
                setup()
                before = tree(self.dir)
                self.configure(ExportLavoroDir=configured, Nr_Macchina=12)
                reply = self.export(mode)
                self.assertEqual(reply, {"Errore": True, "Messaggio": message, "NomeFile": "", "Stream": "",
                                         "NrMacchina": 0})
                self.assertEqual(tree(self.dir), before)

    def test_parameter_file_edits_count_from_the_next_request(self):
        other = os.path.join(self.dir, "other")
        write(os.path.join(self.job, "one.txt"), b"1")
        write(os.path.join(other, "two.txt"), b"2")
        self.assertEqual(self.export("ROTTLER")["NomeFile"], "one.zip")
        self.configure(ExportLavoroDir=other, Nr_Macchina="$10")
        reply = self.export("ROTTLER")
        self.assertEqual((reply["NomeFile"], reply["NrMacchina"]), ("two.zip", 16))

    def test_unreadable_job_file_fails_and_deletes_nothing(self):
        write(os.path.join(self.job, "programs", "P1.NC"), b"G0")
        write(os.path.join(self.job, "tools", "T.CFG"), b"T")
        # Two names that would make one entry fail the export before anything moves.
        write(os.path.join(self.job, "tools\\T.CFG"), b"other")
        fifo = os.path.join(self.job, "programs", "P2.NC")
        os.mkfifo(fifo)
        before = tree(self.job)
        reply = self.export("NEWEN")
        self.assertEqual(reply, {"Errore": True, "NomeFile": "", "Stream": "", "NrMacchina": 0,
                                 "Messaggio": 'Fallita compressione zip Nome ripetuto nell\'archivio: "tools\\T.CFG"'})
        self.assertEqual(tree(self.job), before)
        # A pipe is no job file: it is neither read nor removed.
        os.remove(os.path.join(self.job, "tools\\T.CFG"))
        reply = self.export("NEWEN")
        self.assertFalse(reply["Errore"], reply["Messaggio"])
        self.assertEqual(sorted(tree(self.job)), ["programs/", "programs/P2.NC"])
        os.remove(fifo)
        if os.geteuid() != 0:  # root reads any file whatever its permissions
            secret = os.path.join(self.job, "secret.txt")
            write(secret, b"s")
            os.chmod(secret, 0)
            before = tree(self.job)
            reply = self.export("NEWEN")
            self.assertTrue(reply["Errore"])
            self.assertTrue(reply["Messaggio"].startswith(f'Fallita compressione zip Cannot open file "{secret}". '),
                            reply["Messaggio"])
            self.assertEqual(tree(self.job), before)

    def test_body_failures_get_the_engine_reply_not_a_job_reply(self):
        write(os.path.join(self.job, "a.txt"), b"a")
        cases = [
            ("text/plain", b'{"ModoGestioneFile":"ROTTLER"}', 500),
            ("application/json", b'{"ModoGestioneFile":5}', 400),
            ("application/json", b'{"ModoGestioneFile":', 400),
            ("application/json", b"", 400),
            ("application/json", b"[]", 500),
        ]
        for content_type, body, code in cases:
            with self.subTest(content_type=content_type, body=body):
                headers = (("Accept", "application/json"), ("Content-Type", content_type))
                status, _, payload = split_reply(self.srv.raw(request_bytes("POST", EXPORT, headers, body)))
                self.assertEqual(int(status.split()[1]), code, payload)
                self.assertNotIn(b'"Errore"', payload)
        self.assertEqual(os.listdir(self.job), ["a.txt"])

    def test_http_client_and_curl(self):
        write(os.path.join(self.job, "r.txt"), b"rottler job")
        conn = http.client.HTTPConnection("::1", self.srv.port, timeout=30)
        conn.request("POST", EXPORT, body='{"ModoGestioneFile":"ROTTLER"}',
                     headers={"Accept": "*/*", "Content-Type": "application/json; charset=utf-8"})
        resp = conn.getresponse()
        reply = json.loads(resp.read())
        conn.close()
        self.assertEqual(resp.status, 200)
        self.check_archive(reply, {"r.txt": b"rottler job"})
        if not shutil.which("curl"):
            return
        write(os.path.join(self.job, "c.txt"), b"curl job")
        run = subprocess.run(["curl", "-s", "-S", "--max-time", "30", "-H", "Accept: application/json",
                              "-H", "Content-Type: application/json", "-d", '{"ModoGestioneFile":"ROTTLER"}',
                              f"http://127.0.0.1:{self.srv.port}{EXPORT}"], capture_output=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        reply = json.loads(run.stdout)
        self.assertEqual(reply["NomeFile"], "c.zip")
        self.check_archive(reply, {"c.txt": b"curl job"})


if __name__ == "__main__":
    unittest.main()
