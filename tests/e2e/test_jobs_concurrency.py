"""Several clients exporting and importing at once against the real service: every reply
is well-formed, each export job reaches exactly one client whole, and concurrent imports
leave exactly one whole job behind."""
import base64
import http.client
import io
import json
import os
import shutil
import tempfile
import threading
import unittest
import zipfile

from ostrivan_e2e import EXPORT, IMPORT, Server, read_tree, write, write_ini, zip_bytes

ROUNDS = 4
EXPORTERS = 4
IMPORTERS = 3
FILES_PER_JOB = 12


def job_files(tag):
    files = {f"programs/P{tag}{i:02d}.NC": (f"job {tag} program {i}\n" * 400).encode() for i in range(FILES_PER_JOB)}
    files["tools/T.CFG"] = f"tools of job {tag}".encode()
    return files


def post(port, path, body):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    try:
        conn.request("POST", path, body=body, headers={"Accept": "application/json",
                                                       "Content-Type": "application/json"})
        resp = conn.getresponse()
        return resp.status, resp.getheader("Content-Type"), resp.read()
    finally:
        conn.close()


class ConcurrentJobs(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-jobs-conc-")
        self.exp = os.path.join(self.base, "export")
        self.imp = os.path.join(self.base, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.srv = Server(ini={"ExportLavoroDir": self.exp, "ImportLavoroDir": self.imp, "Nr_Macchina": 4}).start()

    def tearDown(self):
        try:
            code, _ = self.srv.stop()
            self.assertEqual(code, 0)
        finally:
            self.srv.cleanup()
            shutil.rmtree(self.base, ignore_errors=True)

    def run_clients(self, calls):
        results = [None] * len(calls)

        def run(i, path, body):
            try:
                results[i] = post(self.srv.port, path, body)
            except Exception as e:  # reported below as a malformed reply
                results[i] = e

        threads = [threading.Thread(target=run, args=(i, p, b)) for i, (p, b) in enumerate(calls)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(180)
        return results

    def test_exporters_and_importers_at_once(self):
        imports = {}
        for k in range(IMPORTERS):
            files = job_files(f"I{k}")
            imports[k] = files
        import_bodies = [json.dumps({"NomeFile": f"I{k}.zip",
                                     "Stream": base64.encodebytes(zip_bytes(files)).decode()}).encode()
                         for k, files in imports.items()]
        received = []
        for r in range(ROUNDS):
            with self.subTest(round=r):
                job = job_files(f"E{r}")
                for rel, data in job.items():
                    write(os.path.join(self.exp, rel), data)
                calls = [(EXPORT, b'{"ModoGestioneFile":"NEWEN"}')] * EXPORTERS
                calls += [(IMPORT, body) for body in import_bodies]
                results = self.run_clients(calls)
                for res in results:
                    self.assertIsInstance(res, tuple, res)
                    status, content_type, _ = res
                    self.assertEqual(status, 200)
                    self.assertEqual(content_type, "application/json; charset=utf-8")
                exports = [json.loads(res[2]) for res in results[:EXPORTERS]]
                winners = [e for e in exports if not e["Errore"]]
                self.assertEqual(len(winners), 1, [e["Messaggio"] for e in exports])
                for e in exports:
                    if e["Errore"]:
                        self.assertEqual(e, {"Errore": True, "Messaggio": f"Nessun file trovato in {self.exp}",
                                             "NomeFile": "", "Stream": "", "NrMacchina": 0})
                win = winners[0]
                self.assertEqual((win["NomeFile"], win["NrMacchina"]), (f"PE{r}00.zip", 4))
                with zipfile.ZipFile(io.BytesIO(base64.b64decode(win["Stream"]))) as zf:
                    self.assertIsNone(zf.testzip())
                    got = {n.replace("\\", "/"): zf.read(n) for n in zf.namelist()}
                self.assertEqual(got, job)
                received.append(win["NomeFile"])
                self.assertEqual(os.listdir(self.exp), [])

                for res in results[EXPORTERS:]:
                    self.assertEqual(res[2], b'{"Errore":false,"Messaggio":""}')
                left = read_tree(self.imp)
                self.assertIn(left, list(imports.values()))  # one whole job, nothing mixed, no Lavoro.zip
        self.assertEqual(received, [f"PE{r}00.zip" for r in range(ROUNDS)])

    def test_same_directory_for_export_and_import(self):
        # One directory serves both: an import and an export never interleave on it.
        write_ini(self.srv.dir, {"Porta": self.srv.port, "ExportLavoroDir": self.exp, "ImportLavoroDir": self.exp})
        job = job_files("S")
        body = json.dumps({"NomeFile": "S.zip", "Stream": base64.b64encode(zip_bytes(job)).decode()}).encode()
        for r in range(3):
            with self.subTest(round=r):
                results = self.run_clients([(IMPORT, body), (EXPORT, b'{"ModoGestioneFile":"NEWEN"}'),
                                            (IMPORT, body), (EXPORT, b'{"ModoGestioneFile":"NEWEN"}')])
                for res in results:
                    self.assertIsInstance(res, tuple, res)
                    self.assertEqual(res[0], 200)
                replies = [json.loads(res[2]) for res in results]
                self.assertFalse(replies[0]["Errore"], replies[0])
                self.assertFalse(replies[2]["Errore"], replies[2])
                for e in (replies[1], replies[3]):
                    if e["Errore"]:
                        self.assertEqual(e["Messaggio"], f"Nessun file trovato in {self.exp}")
                        continue
                    with zipfile.ZipFile(io.BytesIO(base64.b64decode(e["Stream"]))) as zf:
                        self.assertIsNone(zf.testzip())
                        got = {n.replace("\\", "/"): zf.read(n) for n in zf.namelist()}
                    self.assertEqual(got, job)
                left = read_tree(self.exp)
                self.assertIn(left, [{}, job])
                shutil.rmtree(self.exp)
                os.makedirs(self.exp)


if __name__ == "__main__":
    unittest.main()
