"""Importing a job into the real service over loopback: archives made by Python's zipfile
and Info-ZIP zip replace whatever the import directory held, failures are reported in
their order of checks, hostile entry names write nothing outside the directory, an
oversized body is refused untouched, and an exported job imports to the same tree."""
import errno
import json
import os
import shutil
import subprocess
import sys
import unittest
import zipfile

from ostrivan_e2e import (BODY_LIMIT, CLIENT, EXPORT, IMPORT, ScratchServerTestCase, b64_lines, import_body,
                          job_request, make_job, read_file, read_tree, split_reply, tree, write, zip_bytes)


class ImportOverLoopback(ScratchServerTestCase):
    scratch_prefix = "ostrivan-import-"

    def setUp(self):
        super().setUp()
        self.imp = os.path.join(self.dir, "import")
        os.makedirs(self.imp)
        self.configure(ImportLavoroDir=self.imp)

    def post_raw(self, path, body):
        try:
            return self.srv.raw(job_request(path, body), timeout=60)
        except (BrokenPipeError, ConnectionResetError) as e:
            self.fail(f"connection dropped: {e}")

    def post(self, path, body):
        status, _, payload = split_reply(self.post_raw(path, body))
        self.assertEqual(status, "HTTP/1.1 200 OK", payload)
        return payload

    def import_archive(self, archive):
        return json.loads(self.post(IMPORT, import_body(archive, wrapped=True)))

    def fill_with_old_job(self):
        write(os.path.join(self.imp, "OLD.NC"), b"old program")
        write(os.path.join(self.imp, "Lavoro.zip"), b"a stale archive")
        write(os.path.join(self.imp, "old", "deep", "x.cfg"), b"x")
        os.chmod(os.path.join(self.imp, "old", "deep", "x.cfg"), 0o444)  # below the top: removed anyway
        os.makedirs(os.path.join(self.imp, "empty"))

    def test_python_zip_replaces_everything(self):
        self.fill_with_old_job()
        readonly = zipfile.ZipInfo("programs/RO.NC", date_time=(2025, 5, 24, 12, 0, 0))
        readonly.create_system = 0  # DOS attributes: read-only + archive
        readonly.external_attr = 0x21
        readonly.compress_type = zipfile.ZIP_DEFLATED
        archive = zip_bytes({
            "programs/": None,
            "programs/P1.NC": b"G0 X1\n" * 1000,
            "programs\\P2.NC": b"G0 X2\n",  # backslash separators as the service writes them
            readonly: b"M30\n",
            "tools/T01.CFG": b"T1",
            "note.txt": b"",
        })
        payload = self.post(IMPORT, import_body(archive, wrapped=True))
        self.assertEqual(payload, b'{"Errore":false,"Messaggio":""}')
        self.assertEqual(tree(self.imp), {
            "programs/": None,
            "tools/": None,
            "programs/P1.NC": b"G0 X1\n" * 1000,
            "programs/P2.NC": b"G0 X2\n",
            "programs/RO.NC": b"M30\n",
            "tools/T01.CFG": b"T1",
            "note.txt": b"",
        })
        self.assertEqual(os.stat(os.path.join(self.imp, "programs", "RO.NC")).st_mode & 0o222, 0)
        self.assertNotEqual(os.stat(os.path.join(self.imp, "programs", "P1.NC")).st_mode & 0o200, 0)
        # The read-only file lies below the top, so the next import clears it.
        self.assertFalse(self.import_archive(zip_bytes({"a.txt": b"a"}))["Errore"])
        self.assertEqual(tree(self.imp), {"a.txt": b"a"})

    def test_stream_characters_count_by_their_low_eight_bits(self):
        archive = zip_bytes({"programs/P1.NC": b"G0 X1\n" * 500, "T.CFG": b"T1"})
        # Each "A" written as U+0141 and each "B" as U+0142 (low bytes 0x41, 0x42), with
        # U+00E8 and U+1F600 (low bytes outside the alphabet) between the lines.
        text = b64_lines(archive).replace("A", "\u0141").replace("B", "\u0142").replace("\r\n", "\u00e8\U0001F600")
        body = json.dumps({"NomeFile": "Job.zip", "Stream": text}).encode()
        self.assertEqual(json.loads(self.post(IMPORT, body)), {"Errore": False, "Messaggio": ""})
        self.assertEqual(tree(self.imp), {"programs/": None, "programs/P1.NC": b"G0 X1\n" * 500, "T.CFG": b"T1"})

    def test_read_only_entry_on_top_blocks_the_next_import(self):
        ro = zipfile.ZipInfo("RO.NC", date_time=(2025, 5, 24, 12, 0, 0))
        ro.create_system = 0
        ro.external_attr = 0x01
        self.assertFalse(self.import_archive(zip_bytes({ro: b"M30"}))["Errore"])
        reply = self.import_archive(zip_bytes({"new.txt": b"n"}))
        self.assertEqual(reply, {"Errore": True, "Messaggio": f"Fallita eliminazione contenuto {self.imp}"})
        self.assertEqual(tree(self.imp), {"RO.NC": b"M30"})

    @unittest.skipUnless(shutil.which("zip"), "Info-ZIP zip not installed")
    def test_info_zip_archive_of_a_generated_job(self):
        self.fill_with_old_job()
        src = os.path.join(self.dir, "src")
        make_job(src, "small")
        zpath = os.path.join(self.dir, "job.zip")
        subprocess.run(["zip", "-r", "-q", zpath, "."], cwd=src, check=True)
        reply = self.import_archive(read_file(zpath))
        self.assertEqual(reply, {"Errore": False, "Messaggio": ""})
        self.assertEqual(tree(self.imp), tree(src))  # Info-ZIP stores directories, so temp/ comes too

    def test_failures_in_their_order_of_checks(self):
        good = zip_bytes({"a.txt": b"a"})
        over_itself = zip_bytes({"a.txt": b"a", "Lavoro.zip": b"a job file with the archive's name"})
        imp = self.imp

        def read_only_on_top():
            write(os.path.join(imp, "ro.txt"), b"r")
            os.chmod(os.path.join(imp, "ro.txt"), 0o444)

        cases = [
            # (what, setup, ImportLavoroDir, Stream text, message, tree afterwards or None)
            ("not configured", lambda: None, None, b64_lines(good),
             "Directory ImportLavoroDir non specificata", {}),
            ("missing", lambda: os.rmdir(imp), imp, b64_lines(good), f"Directory {imp} non trovata", None),
            ("read-only file on top", read_only_on_top, imp, b64_lines(good),
             f"Fallita eliminazione contenuto {imp}", {"ro.txt": b"r"}),
            ("not a zip", lambda: write(os.path.join(imp, "old.txt"), b"o"), imp,
             b64_lines(b"this is no archive"), "Fallita extrazione .zip Error reading zip file",
             {"Lavoro.zip": b"this is no archive"}),
            ("entry over the received archive", lambda: None, imp, b64_lines(over_itself),
             f'Fallita extrazione .zip Cannot create file "{imp}/Lavoro.zip". {os.strerror(errno.EBUSY)}',
             {"Lavoro.zip": over_itself}),
            ("empty stream", lambda: None, imp, "", "Fallita extrazione .zip Stream read error",
             {"Lavoro.zip": b""}),
            ("no base64 characters", lambda: None, imp, "\r\n= = \r\n", "Fallita extrazione .zip Stream read error",
             {"Lavoro.zip": b""}),
        ]
        for what, setup, configured, stream, message, after in cases:
            with self.subTest(what):
                shutil.rmtree(imp, ignore_errors=True)
                os.makedirs(imp)
                setup()
                if configured is None:
                    self.configure()
                else:
                    self.configure(ImportLavoroDir=configured)
                body = json.dumps({"NomeFile": "x.zip", "Stream": stream}).encode()
                self.assertEqual(json.loads(self.post(IMPORT, body)), {"Errore": True, "Messaggio": message})
                if after is not None:
                    self.assertEqual(tree(imp), after)

    def test_hostile_entry_names_write_nothing_outside(self):
        outside = os.path.join(self.dir, "outside")
        os.makedirs(outside)
        names = ["../evil.txt", "..\\evil.txt", "a/../../evil.txt", "/tmp/ostrivan-evil.txt",
                 "ok/../../../outside/evil.txt", "C:\\evil.txt"]
        for name in names:
            with self.subTest(name=name):
                shutil.rmtree(self.imp)
                os.makedirs(self.imp)
                # The name goes in by hand, in the local and the central header alike, so no
                # writer gets a chance to clean it.
                raw = name.encode()
                archive = zip_bytes({"first.txt": b"1", "X" * len(raw): b"evil"}).replace(b"X" * len(raw), raw)
                before = tree(self.dir)
                reply = self.import_archive(archive)
                self.assertTrue(reply["Errore"], reply)
                self.assertTrue(reply["Messaggio"].startswith("Fallita extrazione .zip "), reply)
                new = set(tree(self.dir)) - set(before)
                self.assertIn("import/Lavoro.zip", new)
                self.assertTrue(all(k.startswith("import/") for k in new), new)
                self.assertNotIn(b"evil", b"".join(v for k, v in tree(self.imp).items() if v and k != "Lavoro.zip"))
                self.assertFalse(os.path.exists("/tmp/ostrivan-evil.txt"))

    def test_oversized_body_is_refused_untouched(self):
        write(os.path.join(self.imp, "keep.NC"), b"keep")
        head = b'{"NomeFile":"x.zip","Stream":"'
        tail = b'"}'
        body = head + b"A" * (BODY_LIMIT + 1 - len(head) - len(tail)) + tail
        self.assertEqual(len(body), BODY_LIMIT + 1)
        reply = self.srv.raw(job_request(IMPORT, body), timeout=60)
        status, _, payload = split_reply(reply)
        self.assertEqual(status.split()[1], "413", payload)
        self.assertNotIn(b'"Errore"', payload)
        self.assertEqual(tree(self.imp), {"keep.NC": b"keep"})

    def test_round_trip_of_a_typical_job(self):
        src = os.path.join(self.dir, "src")
        make_job(src, "typical")
        exp = os.path.join(self.dir, "export")
        shutil.copytree(src, exp)
        self.configure(ExportLavoroDir=exp, ImportLavoroDir=self.imp, Nr_Macchina=3)
        exported = json.loads(self.post(EXPORT, b'{"ModoGestioneFile":"NEWEN"}'))
        self.assertFalse(exported["Errore"], exported["Messaggio"])
        self.assertEqual(os.listdir(exp), [])
        body = json.dumps({"NomeFile": exported["NomeFile"], "Stream": exported["Stream"]}).encode()
        self.assertEqual(json.loads(self.post(IMPORT, body)), {"Errore": False, "Messaggio": ""})
        # Empty directories are not stored in an archive; every file comes back byte for byte.
        self.assertEqual(read_tree(self.imp), read_tree(src))
        self.assertGreater(len(read_tree(src)), 10)
        for rel in read_tree(src):
            self.assertEqual(os.stat(os.path.join(self.imp, rel)).st_mtime,
                             os.stat(os.path.join(src, rel)).st_mtime, rel)

    def readme_block(self, heading, language="sh", index=0):
        """The code block of that language after the heading in README.md (index: which one)."""
        readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("\n" + heading + "\n", text)
        return text.split("\n" + heading + "\n", 1)[1].split(f"```{language}\n")[index + 1].split("```", 1)[0]

    def put_readme_job(self):
        exp = os.path.join(self.dir, "export")
        write(os.path.join(exp, "programs", "P7.NC"), b"G0 X7\n" * 100)
        write(os.path.join(exp, "job.ini"), b"[JOB]\n")
        self.configure(ExportLavoroDir=exp, ImportLavoroDir=self.imp, Nr_Macchina=1)
        return exp

    @unittest.skipUnless(shutil.which("curl") and shutil.which("jq") and shutil.which("unzip"), "curl, jq, unzip")
    def test_readme_examples_work_as_written(self):
        # The export script, then the import script (tests/e2e/test_readme.py runs every
        # block with its failure branches).
        blocks = [self.readme_block("### From a shell with curl", index=i) for i in (0, 1)]
        self.assertIn(EXPORT, blocks[0])
        self.assertIn(IMPORT, blocks[1])
        exp = self.put_readme_job()
        for block in blocks:
            self.assertIn("localhost:8080", block)
            run = subprocess.run(["bash", "-c", "set -eo pipefail\n" + block.replace("localhost:8080", f"localhost:{self.srv.port}")],
                                 cwd=self.dir, capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            if block is blocks[0]:
                self.assertIn("programs\\P7.NC", run.stdout)
        self.assertEqual(run.stdout, "job.zip imported\n")
        self.assertEqual(tree(self.imp), {"programs/": None, "programs/P7.NC": b"G0 X7\n" * 100, "job.ini": b"[JOB]\n"})
        self.assertEqual(os.listdir(exp), [])

    @unittest.skipUnless(shutil.which("curl") and shutil.which("jq"), "curl, jq")
    def test_readme_curl_export_reports_messaggio_and_fails_instead_of_unpacking(self):
        block = self.readme_block("### From a shell with curl")
        self.configure(ImportLavoroDir=self.imp)  # no ExportLavoroDir: the job fails
        run = subprocess.run(["bash", "-c", "set -eo pipefail\n" + block.replace("localhost:8080", f"localhost:{self.srv.port}")],
                             cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertNotEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, "export failed: Directory ExportLavoroDir non specificata\n")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "job.zip")))

    def test_readme_client_examples_work_as_written(self):
        block = self.readme_block("### With ostrivan-client")
        exp = self.put_readme_job()
        client = f"{CLIENT} --server http://localhost:{self.srv.port} "
        run = subprocess.run(["bash", "-c", "set -eo pipefail\n" + block.replace("ostrivan-client ", client)],
                             cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"^P7\.zip from machine 1 unpacked into job\nP7\.zip imported \(\d+ bytes\)\n$")
        self.assertEqual(tree(self.imp), {"programs/": None, "programs/P7.NC": b"G0 X7\n" * 100, "job.ini": b"[JOB]\n"})
        self.assertEqual(os.listdir(exp), [])

    def test_readme_python_export_unpacks_into_folders(self):
        code = self.readme_block("### Entry names with backslashes", "python")
        self.assertIn("localhost:8080", code)
        exp = self.put_readme_job()
        run = subprocess.run([sys.executable, "-c", code.replace("localhost:8080", f"localhost:{self.srv.port}")],
                             cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, "P7.zip from machine 1\n")
        self.assertEqual(tree(os.path.join(self.dir, "job")),
                         {"programs/": None, "programs/P7.NC": b"G0 X7\n" * 100, "job.ini": b"[JOB]\n"})
        self.assertEqual(os.listdir(exp), [])
        # A failed job stops it with Messaggio and nothing unpacked.
        self.configure(ImportLavoroDir=self.imp)
        shutil.rmtree(os.path.join(self.dir, "job"))
        run = subprocess.run([sys.executable, "-c", code.replace("localhost:8080", f"localhost:{self.srv.port}")],
                             cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr, "Directory ExportLavoroDir non specificata\n")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "job")))


if __name__ == "__main__":
    unittest.main()
