"""The largest job the service exchanges: the generated maximum job (the largest whose
import request fits the 5 MiB limit when its archive is deflated at zlib's default
level). Exported by the service, its archive is no larger than that, passes Python's
zipfile and Info-ZIP unzip, and sent back as an import request as a client would send it,
fits under the limit and imports to the same tree."""
import base64
import io
import json
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile
import zlib

from ostrivan_e2e import (BODY_LIMIT, EXPORT, IMPORT, ServerTestCase, job_request, make_job, read_tree, split_reply,
                          write_ini)



def zlib_default_size(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return len(c.compress(data) + c.flush())


class MaximumJob(ServerTestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrivan-max-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def post(self, path, body):
        status, _, payload = split_reply(self.srv.raw(job_request(path, body), timeout=120))
        self.assertEqual(status, "HTTP/1.1 200 OK", payload[:200])
        return json.loads(payload)

    def test_exported_maximum_job_fits_the_import_limit_and_round_trips(self):
        src = os.path.join(self.dir, "src")
        make_job(src, "max")
        exp, imp = os.path.join(self.dir, "export"), os.path.join(self.dir, "import")
        shutil.copytree(src, exp)
        os.makedirs(imp)
        write_ini(self.srv.dir, {"Porta": self.srv.port, "ExportLavoroDir": exp, "ImportLavoroDir": imp})
        original = read_tree(src)

        exported = self.post(EXPORT, b'{"ModoGestioneFile":"NEWEN"}')
        self.assertFalse(exported["Errore"], exported["Messaggio"])
        data = base64.b64decode(exported["Stream"])
        with zipfile.ZipFile(io.BytesIO(data)) as zf:
            self.assertIsNone(zf.testzip())
            infos = zf.infolist()
            self.assertEqual(sorted(i.filename.replace("\\", "/") for i in infos), sorted(original))
            ours = sum(i.compress_size for i in infos)
        at_zlib_default = sum(zlib_default_size(content) for content in original.values())
        self.assertLessEqual(ours, at_zlib_default)
        path = os.path.join(self.dir, exported["NomeFile"])
        with open(path, "wb") as f:
            f.write(data)
        run = subprocess.run(["unzip", "-t", path], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("No errors detected", run.stdout)

        body = json.dumps({"NomeFile": exported["NomeFile"], "Stream": exported["Stream"]},
                          separators=(",", ":")).encode()
        self.assertLessEqual(len(body), BODY_LIMIT)
        self.assertEqual(self.post(IMPORT, body), {"Errore": False, "Messaggio": ""})
        self.assertEqual(read_tree(imp), original)


if __name__ == "__main__":
    unittest.main()
