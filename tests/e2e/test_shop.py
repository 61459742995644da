"""A shop of machines against the real executables: three services on loopback (one
with a delivered export, one with an undelivered export kept in unsent/, one with a job
waiting) and a port where nothing listens, seen by `ostrivan-client status` with many
servers and by a real Prometheus scraping them with the shipped alert rules."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from ostrivan_e2e import (CLIENT, EXPORT, IMPORT, Server, export_body, free_port, import_body, job_request, recv_all,
                          request_bytes, split_reply, wait_until, write, zip_bytes)

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ALERT_RULES = os.path.join(ROOT, "packaging", "prometheus", "ostrivan-alerts.yml")
PROMETHEUS = shutil.which("prometheus")

BASE = None
SERVERS = []


def send(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(data)
        return split_reply(recv_all(s))


def url(srv):
    return f"http://127.0.0.1:{srv.port}"


def setUpModule():
    global BASE
    BASE = tempfile.mkdtemp(prefix="ostrivan-shop-")
    try:
        for machine in (1, 2, 3):
            folders = {k: os.path.join(BASE, f"m{machine}", k) for k in ("export", "import")}
            for f in folders.values():
                os.makedirs(f)
            srv = Server(ini={"ExportLavoroDir": folders["export"], "ImportLavoroDir": folders["import"],
                              "Nr_Macchina": machine}).start()
            srv.exp, srv.imp = folders["export"], folders["import"]
            SERVERS.append(srv)
        a, b, c = SERVERS
        # Machine 1 delivers an export and takes an import: two jobs to count.
        write(os.path.join(a.exp, "programs", "P1001.NC"), "G1 X1\n")
        status, _, body = send(a.port, job_request(EXPORT, export_body()))
        assert status == "HTTP/1.1 200 OK" and not json.loads(body)["Errore"], body
        status, _, body = send(a.port, job_request(IMPORT, import_body(zip_bytes({"J1.NC": b"G1 Y1\n"}), "J1.zip")))
        assert status == "HTTP/1.1 200 OK" and not json.loads(body)["Errore"], body
        # The export's hold is settled once its delivery is proven.
        wait_until(lambda: json.loads(send(a.port, request_bytes("GET", "/ostrivan/status"))[2])["held"] == 0, 20,
                   "machine 1's hold settled")
        # Machine 2 keeps an undelivered export in unsent/, laid out as the service keeps it.
        entry = os.path.join(b.dir, "unsent", "20261211-080000.000-P2002")
        write(os.path.join(entry, "P2002.zip"), b"PK stand-in")
        write(os.path.join(entry, "files", "programs", "P2002.NC"), "G1 X2\n")
        # Machine 3 has a job waiting.
        write(os.path.join(c.exp, "programs", "P3003.NC"), "G1 X3\n")
        write(os.path.join(c.exp, "tools", "T1.TXT"), "tool\n")
    except BaseException:
        tearDownModule()
        raise


def tearDownModule():
    for srv in SERVERS:
        try:
            srv.stop()
        finally:
            srv.cleanup()
    if BASE:
        shutil.rmtree(BASE, ignore_errors=True)


def client(*args):
    return subprocess.run([CLIENT, *args], capture_output=True, text=True, timeout=60)


class ShopStatus(unittest.TestCase):
    def test_healthy_machines_exit_zero(self):
        a, _, c = SERVERS
        run = client("--server", url(a), "--server", url(c), "status")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(lines[0].startswith(f"OK      {url(a)}  machine 1  reachable  waiting 0  held 0  unsent 0  left 0"),
                        lines[0])
        # The delivered export, its time and age; the import likewise.
        self.assertRegex(lines[0], r"last export P1001 delivered \d{4}-\d\d-\d\dT[\d:.]+Z \(\d+s ago\)")
        self.assertRegex(lines[0], r"last import \S* imported ")
        self.assertTrue(lines[0].endswith("problems none"), lines[0])
        self.assertTrue(lines[1].startswith(f"OK      {url(c)}  machine 3  reachable  waiting 2  held 0  unsent 0"),
                        lines[1])
        self.assertIn("last export none  last import none", lines[1])

    def test_list_file_with_a_problem_and_a_machine_down(self):
        a, b, c = SERVERS
        dead = free_port()
        listing = os.path.join(BASE, "machines.txt")
        write(listing, f"# hall A\n{url(a)}\n\n  {url(b)}   # the lathe\n{url(c)}\n127.0.0.1:{dead}\n")
        started = time.monotonic()
        run = client("--servers", listing, "status")
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 4, lines)
        self.assertTrue(lines[0].startswith(f"OK      {url(a)}  machine 1"), lines[0])
        self.assertTrue(lines[1].startswith(f"PROBLEM {url(b)}  machine 2  reachable  waiting 0  held 0  unsent 1"),
                        lines[1])
        self.assertTrue(lines[1].endswith("problems 1: 1 export in unsent/"), lines[1])
        self.assertTrue(lines[2].startswith(f"OK      {url(c)}  machine 3"), lines[2])
        self.assertTrue(lines[3].startswith(f"PROBLEM 127.0.0.1:{dead}  unreachable: "), lines[3])
        # Only the unreachable one: still 1.
        run = client("--server", url(a), "--server", f"127.0.0.1:{dead}", "status")
        self.assertEqual(run.returncode, 1, run.stdout)
        self.assertEqual([l.split()[0] for l in run.stdout.splitlines()], ["OK", "PROBLEM"])

    def test_an_export_held_too_long(self):
        # A hold folder beside the executable whose manifest is ten minutes old, as the
        # service counts holds; removed again before the other tests look.
        a = SERVERS[0]
        hold = os.path.join(a.dir, "held", "20261211-080000.000-P1009")
        write(os.path.join(hold, "manifest"), "programs/P1009.NC\n")
        old = time.time() - 600
        os.utime(os.path.join(hold, "manifest"), (old, old))
        try:
            run = client("--server", url(a), "--server", url(SERVERS[2]), "status")
            self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
            line = run.stdout.splitlines()[0]
            self.assertTrue(line.startswith(f"PROBLEM {url(a)}  machine 1  reachable  waiting 0  held 1  unsent 0"), line)
            self.assertRegex(line, r"problems 1: an export held for (59\d|6\d\d)s$")
        finally:
            shutil.rmtree(os.path.join(a.dir, "held", "20261211-080000.000-P1009"))
        run = client("--server", url(a), "--server", url(SERVERS[2]), "status")
        self.assertEqual(run.returncode, 0, run.stdout)

    def test_interrupt_ends_the_round(self):
        # A peer that takes the connection and never answers; SIGINT while the client waits
        # for it ends the client with 130 before it asks the next machine.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen(1)
            proc = subprocess.Popen([CLIENT, "--server", f"127.0.0.1:{silent.getsockname()[1]}", "--server",
                                     url(SERVERS[0]), "status"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
            peer, _ = silent.accept()
            with peer:
                time.sleep(0.3)
                proc.send_signal(signal.SIGINT)
                out, _ = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 130)
        self.assertEqual(out, "")

    def test_bad_lists_and_the_single_form(self):
        a = SERVERS[0]
        listing = os.path.join(BASE, "bad.txt")
        write(listing, f"{url(a)}\nftp://nowhere\n")
        run = client("--servers", listing, "status")
        self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
        self.assertEqual(run.stdout, "")
        run = client("--servers", os.path.join(BASE, "missing.txt"), "status")
        self.assertEqual(run.returncode, 3, run.stderr)
        write(listing, "# nothing\n")
        self.assertEqual(client("--servers", listing, "status").returncode, 2)
        # One server: the readable form as before.
        run = client("--server", url(a), "status")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("Ostrivan 1.0.0, machine 1, started "), run.stdout)


def api(port, path, **params):
    query = urllib.parse.urlencode(params)
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}{'?' + query if query else ''}", timeout=5) as r:
        return json.loads(r.read())


def jobs_total_of(srv):
    with urllib.request.urlopen(url(srv) + "/metrics", timeout=5) as r:
        text = r.read().decode()
    return sum(float(v) for v in re.findall(r"^ostrivan_jobs_total\{[^}]*\} (\S+)$", text, re.M))


@unittest.skipUnless(PROMETHEUS, "prometheus is not installed (scripts/install-deps installs it)")
class PrometheusScrape(unittest.TestCase):
    def test_sum_of_jobs_and_a_firing_alert(self):
        work = tempfile.mkdtemp(dir=BASE)
        port = free_port()
        targets = ", ".join(f'"127.0.0.1:{s.port}"' for s in SERVERS)
        config = os.path.join(work, "prometheus.yml")
        write(config, f"""global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - {os.path.abspath(ALERT_RULES)}
scrape_configs:
  - job_name: ostrivan
    static_configs:
      - targets: [{targets}]
""")
        log = open(os.path.join(work, "prometheus.log"), "wb")
        proc = subprocess.Popen([PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={work}/data",
                                 f"--web.listen-address=127.0.0.1:{port}"], stdout=log, stderr=log,
                                stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 55
        expected = sum(jobs_total_of(s) for s in SERVERS)
        self.assertGreaterEqual(expected, 2)
        total = up = firing = None
        try:
            while time.monotonic() < deadline:
                time.sleep(0.5)
                self.assertIsNone(proc.poll(), "prometheus ended")
                try:
                    result = api(port, "/api/v1/query", query="sum(ostrivan_jobs_total)")["data"]["result"]
                    total = float(result[0]["value"][1]) if result else None
                    result = api(port, "/api/v1/query", query='count(up{job="ostrivan"} == 1)')["data"]["result"]
                    up = int(result[0]["value"][1]) if result else None
                    firing = [a for a in api(port, "/api/v1/alerts")["data"]["alerts"] if a["state"] == "firing"]
                except OSError:
                    continue
                if total == expected and up == 3 and firing:
                    break
            self.assertEqual(up, 3)
            self.assertEqual(total, expected)
            self.assertEqual([(a["labels"]["alertname"], a["labels"]["instance"]) for a in firing],
                             [("OstrivanUnsentJob", f"127.0.0.1:{SERVERS[1].port}")])
            self.assertEqual(firing[0]["annotations"]["summary"],
                             f"127.0.0.1:{SERVERS[1].port}: 1 undelivered export(s) in unsent/")
        finally:
            proc.terminate()
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            log.close()


if __name__ == "__main__":
    unittest.main()
