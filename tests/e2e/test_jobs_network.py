"""The kept jobs over the network, against the real executable: GET /ostrivan/jobs (and one
program's versions), GET /ostrivan/jobs/<kind>/<name>, POST .../requeue, and the client's
jobs, fetch and requeue commands; refusals, odd and hostile names, retention."""
import base64
import io
import json
import os
import subprocess
import time
import unittest
import urllib.parse
import zipfile
import zlib

from ostrivan_e2e import (CLIENT, EXPORT, IMPORT, JSON_HEADERS, ScratchServerTestCase, archive_files, free_port,
                          import_body, job_request, export_request, read_file, read_tree, request_bytes, split_reply, wait_until,
                          write)


class JobsCase(ScratchServerTestCase):
    scratch_prefix = "ostrivan-jobsnet-"

    def setUp(self):
        super().setUp()
        self.exp = os.path.join(self.dir, "export")
        self.imp = os.path.join(self.dir, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.settings = dict(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, Nr_Macchina=4)
        self.configure(**self.settings)
        # Each test starts from empty kept folders.
        for kind in ("sent", "unsent", "received"):
            folder = os.path.join(self.srv.dir, kind)
            if os.path.isdir(folder):
                subprocess.run(["rm", "-rf", folder], check=True)

    def put_job(self, name="P1001", extra=b""):
        write(os.path.join(self.exp, "programs", f"{name}.NC"), b"G1 X1 (" + name.encode() + b")\n" + extra)
        write(os.path.join(self.exp, "tools", "T1.TXT"), "tool 1\n")

    def export(self):
        status, _, body = split_reply(self.srv.raw(export_request()))
        reply = json.loads(body)
        self.assertFalse(reply["Errore"], reply)
        data = base64.b64decode(reply["Stream"])
        # Kept in sent/ once the delivery is settled.
        wait_until(lambda: any(data == read_file(p) for p in self.sent_paths()), 10, "the archive kept in sent/")
        return data

    def sent_paths(self):
        folder = os.path.join(self.srv.dir, "sent")
        return [os.path.join(folder, n) for n in sorted(os.listdir(folder))] if os.path.isdir(folder) else []

    def call(self, method, path, body=b""):
        headers = JSON_HEADERS if method == "POST" else ()
        status, lines, reply = split_reply(self.srv.raw(request_bytes(method, path, headers, body)))
        return int(status.split()[1]), lines, reply

    def jobs(self, query=""):
        code, _, body = self.call("GET", "/ostrivan/jobs" + query)
        self.assertEqual(code, 200, body)
        return json.loads(body)

    def client(self, *args):
        return subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{self.srv.port}", *args], capture_output=True,
                              text=True, timeout=60)

    def unsent_job(self, name, files):
        """An unsent entry as the service leaves one: the archive and the files under files/."""
        folder = os.path.join(self.srv.dir, "unsent", name)
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as zf:
            for rel, data in files.items():
                zf.writestr(rel.replace("/", "\\"), data)
                write(os.path.join(folder, "files", rel), data)
        write(os.path.join(folder, "P9.zip"), archive.getvalue())
        return folder


class ListAndFetch(JobsCase):
    def test_list_archive_program_versions_and_client(self):
        self.put_job("P1001")
        first = self.export()
        self.put_job("P1001", extra=b"G2 X2\n")
        second = self.export()
        imported = zipfile.ZipFile
        archive = io.BytesIO()
        with imported(archive, "w") as zf:
            zf.writestr("programs\\P1001.NC", b"G0 imported\n")
        status, _, reply = split_reply(self.srv.raw(job_request(IMPORT, import_body(archive.getvalue(), "Q7.zip"))))
        self.assertFalse(json.loads(reply)["Errore"], reply)

        listed = self.jobs()["jobs"]
        self.assertEqual([j["kind"] for j in listed], ["received", "sent", "sent"])
        times = [j["time"] for j in listed]
        self.assertEqual(times, sorted(times, reverse=True))
        received, newer, older = listed
        self.assertEqual((newer["crc32"], newer["bytes"], newer["files"], newer["outcome"]),
                         ("%08X" % zlib.crc32(second), len(second), 2, "delivered"))
        self.assertEqual((older["crc32"], older["outcome"]), ("%08X" % zlib.crc32(first), "delivered"))
        self.assertEqual((received["files"], received["outcome"]), (1, "imported"))
        self.assertTrue(received["name"].endswith("Q7.zip"), received)

        # Every kept version of one program, the machine's and the imported one.
        versions = self.jobs("?program=p1001.nc")
        self.assertEqual(versions["program"], "p1001.nc")
        crcs = [v["crc32"] for v in versions["versions"]]
        self.assertEqual(crcs, ["%08X" % zlib.crc32(c) for c in
                                (b"G0 imported\n", b"G1 X1 (P1001)\nG2 X2\n", b"G1 X1 (P1001)\n")])
        self.assertEqual(self.jobs("?program=NONE.NC")["versions"], [])

        code, lines, body = self.call("GET", "/ostrivan/jobs/sent/" + urllib.parse.quote(older["name"]))
        self.assertEqual(code, 200)
        self.assertIn("Content-Type: application/zip", lines)
        self.assertEqual(body, first)

        run = self.client("jobs")
        self.assertEqual(run.returncode, 0, run.stderr)
        table = run.stdout.splitlines()
        self.assertTrue(table[0].startswith("KIND"), table)
        self.assertEqual(len(table), 4, table)
        self.assertIn(newer["crc32"], table[2])
        run = self.client("jobs", "--json")
        self.assertEqual(json.loads(run.stdout)["jobs"], listed)

        target = os.path.join(self.dir, "fetched")
        run = self.client("fetch", "sent", newer["name"], "--to", target)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(read_tree(target), {k.replace("/", os.sep): v for k, v in archive_files(second).items()})
        zip_path = os.path.join(self.dir, "copy.zip")
        run = self.client("fetch", "sent", older["name"], "--to", zip_path)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(zip_path, "rb") as f:
            self.assertEqual(f.read(), first)
        # Neither into a folder that holds something nor over an existing file.
        for to in (target, zip_path):
            run = self.client("fetch", "sent", older["name"], "--to", to)
            self.assertEqual(run.returncode, 3, run.stdout)

    def test_a_held_export_is_listed_fetched_and_not_requeued(self):
        self.put_job("P6006")
        status, lines, body = split_reply(self.srv.raw(job_request(EXPORT, b'{"ModoGestioneFile":"NEWEN"}',
                                                                   [("X-Ostrivan-Ack", "required")])))
        reply = json.loads(body)
        data = base64.b64decode(reply["Stream"])
        job_id = [l.split(": ", 1)[1] for l in lines if l.lower().startswith("x-ostrivan-job:")][0]
        held = [j for j in self.jobs()["jobs"] if j["kind"] == "held"]
        self.assertEqual([(j["name"], j["crc32"], j["files"]) for j in held], [(job_id, "%08X" % zlib.crc32(data), 2)])
        code, _, archive = self.call("GET", "/ostrivan/jobs/held/" + urllib.parse.quote(job_id))
        self.assertEqual((code, archive), (200, data))
        code, _, body = self.call("POST", f"/ostrivan/jobs/held/{urllib.parse.quote(job_id)}/requeue")
        self.assertEqual(code, 409, body)
        self.assertEqual(read_tree(self.exp), {})
        code, _, body = self.call("POST", "/ostrivan/ack/" + job_id)
        self.assertEqual(code, 200, body)
        wait_until(lambda: not [j for j in self.jobs()["jobs"] if j["kind"] == "held"], 10, "the hold settled")

    def test_odd_and_hostile_names(self):
        sent = os.path.join(self.srv.dir, "sent")
        os.makedirs(sent, exist_ok=True)
        secret = os.path.join(self.srv.dir, "secret.zip")
        write(secret, b"PK secret bytes")
        odd = ["20261211-080000.000-P 1 blank.zip", "20261211-080001.000-Pè ü.zip", "20261211-080002.000-P%41.zip"]
        for i, name in enumerate(odd):
            write(os.path.join(sent, name), zipfile_bytes({f"P{i}.NC": f"G{i}\n".encode()}))
        # A name that is no UTF-8 is listed as its Latin-1 reading, and found by it.
        latin1 = os.path.join(os.fsencode(sent), b"20261211-080003.000-P\xe8.zip")
        write(latin1.decode("utf-8", "surrogateescape"), zipfile_bytes({"P3.NC": b"G3\n"}))
        names = {j["name"] for j in self.jobs()["jobs"]}
        self.assertEqual(names, set(odd) | {"20261211-080003.000-P\u00e8.zip"})
        code, _, body = self.call("GET", "/ostrivan/jobs/sent/" + urllib.parse.quote("20261211-080003.000-P\u00e8.zip"))
        self.assertEqual(code, 200, body)
        self.assertEqual(archive_files(body), {"P3.NC": b"G3\n"})
        for name in odd:
            with self.subTest(name=name):
                code, _, body = self.call("GET", "/ostrivan/jobs/sent/" + urllib.parse.quote(name))
                self.assertEqual(code, 200, body)
                with open(os.path.join(sent, name), "rb") as f:
                    self.assertEqual(body, f.read())
                run = self.client("fetch", "sent", name, "--to", os.path.join(self.dir, "x" + str(odd.index(name))))
                self.assertEqual(run.returncode, 0, run.stderr)
        # Hostile names never leave their folder; unknown ones are 404.
        cases = [("/ostrivan/jobs/sent/..", (400, 404)), ("/ostrivan/jobs/sent/%2E%2E", (400,)),
                 ("/ostrivan/jobs/sent/..%2Fsecret.zip", (400,)), ("/ostrivan/jobs/sent/%2Fsecret.zip", (400,)),
                 ("/ostrivan/jobs/sent/a%00b.zip", (400,)), ("/ostrivan/jobs/sent/nope.zip", (404,)),
                 ("/ostrivan/jobs/other/x.zip", (404,)), ("/ostrivan/jobs/sent/..%2F..%2Fsecret.zip/requeue", (400,)),
                 ("/ostrivan/jobs/sent/%2E%2E/requeue", (400,))]
        before = read_tree(self.exp)
        for path, codes in cases:
            with self.subTest(path=path):
                method = "POST" if path.endswith("/requeue") else "GET"
                code, _, body = self.call(method, path)
                self.assertIn(code, codes, body)
                self.assertNotIn(b"secret bytes", body)
        self.assertEqual(read_tree(self.exp), before)
        run = self.client("fetch", "sent", "nope.zip", "--to", os.path.join(self.dir, "none"))
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "none")))


def zipfile_bytes(entries):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data in entries.items():
            zf.writestr(name, data)
    return buf.getvalue()


class Requeue(JobsCase):
    def test_sent_requeue_then_export_delivers_the_same_files(self):
        self.put_job("P2002")
        original = read_tree(self.exp)
        first = self.export()
        self.assertEqual(read_tree(self.exp), {})
        name = os.path.basename(self.sent_paths()[0])
        run = self.client("requeue", "sent", name)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(read_tree(self.exp), original)
        self.assertEqual([n for n in os.listdir(self.exp) if "ostrivan" in n], [])
        again = self.export()
        self.assertEqual(archive_files(again), archive_files(first))
        line = [l for l in self.srv.log_text("journal").splitlines()
                if "] requeue " in l and "crc32=%08X" % zlib.crc32(first) in l]
        self.assertEqual(len(line), 1, line)
        self.assertIn('job="P2002"', line[0])
        self.assertIn("peer=127.0.0.1", line[0])
        self.assertIn('outcome="requeued from sent into ' + self.exp, line[0])
        self.assertIn("crc32=%08X" % zlib.crc32(first), line[0])

    def test_unsent_requeue_moves_the_job_whole(self):
        files = {"programs/P9.NC": b"G9\n", "tools/T9.TXT": b"t9\n", "NOTE 9 è.TXT": b"n\n"}
        folder = self.unsent_job("20261211-090000.000-P9", files)
        code, _, body = self.call("POST", "/ostrivan/jobs/unsent/20261211-090000.000-P9/requeue")
        self.assertEqual(code, 200, body)
        reply = json.loads(body)
        self.assertEqual((reply["requeued"], reply["files"]), (True, 3))
        self.assertEqual(read_tree(self.exp), {k.replace("/", os.sep): v for k, v in files.items()})
        self.assertFalse(os.path.exists(folder))
        # Gone from unsent: asking again finds nothing.
        code, _, body = self.call("POST", "/ostrivan/jobs/unsent/20261211-090000.000-P9/requeue")
        self.assertEqual(code, 404, body)

    def test_refusals_move_nothing(self):
        self.put_job("P3003")
        self.export()
        sent_name = os.path.basename(self.sent_paths()[0])
        folder = self.unsent_job("20261211-091000.000-P9", {"programs/P9.NC": b"G9\n"})
        write(os.path.join(self.exp, "programs", "NEW.NC"), b"the machine's new job\n")
        before = (read_tree(self.exp), read_tree(folder), read_tree(os.path.join(self.srv.dir, "sent")))
        for kind, name in (("sent", sent_name), ("unsent", "20261211-091000.000-P9")):
            with self.subTest(kind=kind):
                code, _, body = self.call("POST", f"/ostrivan/jobs/{kind}/{urllib.parse.quote(name)}/requeue")
                self.assertEqual(code, 409, body)
                reply = json.loads(body)
                self.assertFalse(reply["requeued"])
                self.assertIn("is not empty", reply["message"])
                run = self.client("requeue", kind, name)
                self.assertEqual(run.returncode, 1, run.stdout)
                self.assertIn("is not empty", run.stderr)
        self.assertEqual((read_tree(self.exp), read_tree(folder), read_tree(os.path.join(self.srv.dir, "sent"))),
                         before)
        self.assertIn('requeue machine=4 peer=127.0.0.1', self.srv.log_text("journal"))
        self.assertIn('outcome="not requeued: the export folder', self.srv.log_text("journal"))
        # Received and held jobs are not the export's to take again; unknown ones are 404.
        os.remove(os.path.join(self.exp, "programs", "NEW.NC"))
        received = os.path.join(self.srv.dir, "received")
        write(os.path.join(received, "20261211-092000.000-R.zip"), zipfile_bytes({"R.NC": b"R\n"}))
        for path, code_wanted in (("/ostrivan/jobs/received/20261211-092000.000-R.zip/requeue", 409),
                                  ("/ostrivan/jobs/sent/none.zip/requeue", 404)):
            code, _, body = self.call("POST", path)
            self.assertEqual(code, code_wanted, body)
        self.assertEqual([k for k, v in read_tree(self.exp).items() if v is not None], [])

    def test_client_without_a_service(self):
        port = free_port()
        for args in (("jobs",), ("requeue", "sent", "x.zip"), ("fetch", "sent", "x.zip", "--to",
                                                                 os.path.join(self.dir, "y"))):
            run = subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{port}", *args], capture_output=True,
                                 text=True, timeout=60)
            self.assertEqual(run.returncode, 3, (args, run.stdout, run.stderr))


class Retention(JobsCase):
    def test_count_limit_keeps_the_newest(self):
        self.configure(**self.settings, TenutiNumero=2)
        crcs = []
        for i in range(4):
            self.put_job(f"P40{i}")
            crcs.append("%08X" % zlib.crc32(self.export()))
        listed = [j for j in self.jobs()["jobs"] if j["kind"] == "sent"]
        self.assertEqual([j["crc32"] for j in listed], crcs[:1:-1])
        # Imports keep their archives under the same limit.
        imported = []
        for i in range(3):
            archive = zipfile_bytes({f"programs\\R{i}.NC": f"R{i}\n".encode()})
            status, _, reply = split_reply(self.srv.raw(job_request(IMPORT, import_body(archive, f"R{i}.zip"))))
            self.assertFalse(json.loads(reply)["Errore"], reply)
            imported.append("%08X" % zlib.crc32(archive))
        listed = [j for j in self.jobs()["jobs"] if j["kind"] == "received"]
        self.assertEqual([j["crc32"] for j in listed], imported[:0:-1])

    def test_size_limit_keeps_the_newest_alone(self):
        self.configure(**self.settings, TenutiMB=1)
        crcs = []
        for i in range(2):
            # About 0.7 MB of random bytes each: two do not fit in 1 MB.
            self.put_job(f"P50{i}", extra=os.urandom(700 * 1000))
            crcs.append("%08X" % zlib.crc32(self.export()))
        listed = [j for j in self.jobs()["jobs"] if j["kind"] == "sent"]
        self.assertEqual([j["crc32"] for j in listed], crcs[1:])


if __name__ == "__main__":
    unittest.main()
