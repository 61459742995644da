"""What an operator has beside the jobs, against the real executable: the ClientAmmessi
allow-list (a refused caller never reaches a job), GET /ostrivan/status, GET /metrics read
with a real Prometheus parser after real jobs, Ostrivan --check, readiness and the
watchdog under systemd's notify protocol, and ostrivan-client status."""
import base64
import datetime
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from ostrivan_e2e import (CLIENT, EXE, EXPORT, IMPORT, ScratchServerTestCase, Server, export_body, free_port, header,
                          import_body, job_request, read_tree, recv_all, request_bytes, split_reply, write, write_ini,
                          zip_bytes)

def _metrics_parser():
    """Debian's python3-prometheus-client (scripts/install-deps installs it). It lives in
    Debian's own module folder, which another Python on the PATH (pyenv's, say) does not
    search: that folder is tried too (the parser is plain Python)."""
    try:
        from prometheus_client.parser import text_string_to_metric_families
        return text_string_to_metric_families
    except ImportError:
        pass
    if os.path.isdir("/usr/lib/python3/dist-packages/prometheus_client"):
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            from prometheus_client.parser import text_string_to_metric_families
            return text_string_to_metric_families
        except ImportError:
            pass
    return None


text_string_to_metric_families = _metrics_parser()

FORBIDDEN_PAGE = b"<HTML><BODY><B>403 Forbidden</B></BODY></HTML>"
METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def send_from(port, data, source="127.0.0.1", target="127.0.0.1", timeout=10):
    """Sends raw bytes from a chosen local address and returns the whole reply."""
    family = socket.AF_INET6 if ":" in target else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect((target, port))
        if data:
            s.sendall(data)
        return recv_all(s)


class OperatorCase(ScratchServerTestCase):
    """A server with an export and an import folder; the parameter file is rewritten per test."""
    scratch_prefix = "ostrivan-operator-"

    def setUp(self):
        super().setUp()
        self.exp = os.path.join(self.dir, "export")
        self.imp = os.path.join(self.dir, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.settings = dict(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, Nr_Macchina=4)
        self.configure(**self.settings)

    def allow(self, text):
        self.configure(**self.settings, ClientAmmessi=text)

    def put_job(self, name="P1001"):
        write(os.path.join(self.exp, "programs", f"{name}.NC"), f"G1 X1 ({name})\n")
        write(os.path.join(self.exp, "tools", "T1.TXT"), "tool 1\n")

    def get(self, path, accept=None, source="127.0.0.1"):
        headers = [("Accept", accept)] if accept is not None else []
        return split_reply(send_from(self.srv.port, request_bytes("GET", path, headers), source))

    def status(self):
        status, lines, body = self.get("/ostrivan/status")
        self.assertEqual(status, "HTTP/1.1 200 OK", body)
        return json.loads(body)

    def metrics_text(self):
        status, lines, body = self.get("/metrics")
        self.assertEqual(status, "HTTP/1.1 200 OK", body)
        return body.decode("utf-8")

    def journal(self):
        return self.srv.log_text("journal")


class AllowList(OperatorCase):
    def test_refused_caller_never_reaches_a_job(self):
        # Only 127.0.0.1 may call; a caller from 127.0.0.2 (loopback range, another
        # address) gets 403 and the job's files stay where they are.
        self.put_job()
        before = read_tree(self.exp)
        self.allow("127.0.0.1")
        refused_before = self.srv.log_text().count("Caller 127.0.0.2 refused (not on the allow-list)")
        cases = [
            ("export", job_request(EXPORT, export_body()), []),
            ("import", job_request(IMPORT, import_body(zip_bytes({"X.NC": b"x"}), "J1.zip")), []),
            # A forwarding header naming an admitted address changes nothing.
            ("forwarded", job_request(EXPORT, export_body(), [("HTTP_CLIENT_IP", "127.0.0.1"),
                                                               ("X-Forwarded-For", "127.0.0.1")]), []),
        ]
        write(os.path.join(self.imp, "OLD.NC"), "old job\n")
        for name, data, _ in cases:
            with self.subTest(name):
                status, lines, body = split_reply(send_from(self.srv.port, data, "127.0.0.2"))
                self.assertEqual(status, "HTTP/1.1 403 Forbidden")
                self.assertEqual(body, FORBIDDEN_PAGE)
                self.assertEqual(header(lines, "Content-Type"), "text/html; charset=utf-8")
        self.assertEqual(read_tree(self.exp), before)
        self.assertEqual(read_tree(self.imp), {"OLD.NC": b"old job\n"})
        self.srv.wait_log("Caller 127.0.0.2 refused (not on the allow-list): POST /RizOzudo/ImportLavoro")
        deadline = time.monotonic() + 10
        while (self.srv.log_text().count("Caller 127.0.0.2 refused (not on the allow-list)") - refused_before < 3
               and time.monotonic() < deadline):
            time.sleep(0.05)
        self.assertEqual(self.srv.log_text().count("Caller 127.0.0.2 refused (not on the allow-list)") - refused_before, 3)
        # No job action was routed for the refused caller.
        self.assertNotIn("[127.0.0.2] ->", self.srv.log_text())
        self.assertNotIn("127.0.0.2", self.journal())
        # The admitted address gets the job as always.
        status, _, body = split_reply(send_from(self.srv.port, job_request(EXPORT, export_body()), "127.0.0.1"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        reply = json.loads(body)
        self.assertFalse(reply["Errore"], reply)
        self.assertEqual(reply["NomeFile"], "P1001.zip")

    def test_refused_before_the_body_is_read(self):
        # The head announces a body that never comes: a server that read it would wait
        # for it (60 s); the refusal comes at once.
        self.allow("10.0.0.0/8")
        head = (f"POST {IMPORT} HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n"
                f"Content-Type: application/json\r\nContent-Length: 4000000\r\n\r\n").encode()
        with socket.create_connection(("127.0.0.1", self.srv.port), timeout=10) as s:
            s.sendall(head)
            reply = recv_all(s)
        status, _, body = split_reply(reply)
        self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        self.assertEqual(body, FORBIDDEN_PAGE)
        # Expect: 100-continue is not answered with an invitation either.
        with socket.create_connection(("127.0.0.1", self.srv.port), timeout=10) as s:
            s.sendall(head.replace(b"\r\n\r\n", b"\r\nExpect: 100-continue\r\n\r\n"))
            reply = recv_all(s)
        self.assertTrue(reply.startswith(b"HTTP/1.1 403 Forbidden\r\n"), reply[:80])

    def test_list_without_loopback_refuses_jobs_but_not_status_or_system_routes(self):
        self.put_job()
        before = read_tree(self.exp)
        self.allow("192.168.10.0/24, 10.0.0.5, fd00::/8")
        for family_target in ("127.0.0.1", "::1"):
            with self.subTest(target=family_target):
                source = "::1" if ":" in family_target else "127.0.0.1"
                status, _, body = split_reply(send_from(self.srv.port, job_request(EXPORT, export_body()), source,
                                                        family_target))
                self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        self.assertEqual(read_tree(self.exp), before)
        self.srv.wait_log("Caller ::1 refused (not on the allow-list)")
        # Loopback callers still read the operator routes; the system routes keep their
        # own local rule.
        self.assertEqual(self.status()["export"]["job"], "P1001")
        status, _, _ = self.get("/system/serverconfig.info")
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.srv.wait_log("ClientAmmessi in force: 192.168.10.0/24, 10.0.0.5, fd00::/8")

    def test_admitted_callers_get_the_same_replies_as_without_a_list(self):
        # Byte for byte, apart from the Date line, whatever the list admits them by.
        requests = [
            request_bytes("GET", "/RizOzudo/Nowhere", [("Accept", "*/*")]),
            job_request(EXPORT, b"{"),
            job_request(EXPORT, export_body("NOPE")),
            request_bytes("GET", "/system/serverconfig.info", [("Accept", "text/plain")]),
        ]

        def replies():
            out = []
            for data in requests:
                reply = send_from(self.srv.port, data, "127.0.0.1")
                out.append(b"\r\n".join(l for l in reply.split(b"\r\n") if not l.startswith(b"Date: ")))
            return out

        self.configure(**self.settings)
        open_replies = replies()
        for text in ("127.0.0.1", "127.0.0.0/8, ::1", " 10.1.1.1 ,127.0.0.1/32,, ", "::ffff:127.0.0.1"):
            with self.subTest(list=text):
                self.allow(text)
                self.assertEqual(replies(), open_replies)

    def test_malformed_entry_fails_closed_to_loopback(self):
        self.put_job()
        for text, bad in (("10.0.0.0/33", "10.0.0.0/33"), ("127.0.0.1, abc", "abc"),
                          ("::1/129,127.0.0.1", "::1/129"), ("localhost", "localhost")):
            with self.subTest(text=text):
                self.allow(text)
                # Loopback callers are served, even from an address the list never named.
                status, _, body = split_reply(send_from(self.srv.port, job_request(EXPORT, export_body("NOPE")),
                                                        "127.0.0.3"))
                self.assertEqual(status, "HTTP/1.1 200 OK")
                self.srv.wait_log(f'ClientAmmessi entry "{bad}" is no address or range')

    def test_malformed_entry_refuses_a_listed_remote_caller(self):
        from test_system_endpoints import RemoteLink
        link = RemoteLink()
        try:
            reason = link.setup()
            if reason:
                self.skipTest(reason)
            self.put_job()
            before = read_tree(self.exp)
            self.allow(f"{link.ns_ip}, 10.0.0.0/33")
            status, _, body = split_reply(link.request(self.srv.port, job_request(EXPORT, export_body())))
            self.assertEqual(status, "HTTP/1.1 403 Forbidden")
            self.assertEqual(read_tree(self.exp), before)
            self.srv.wait_log(f"Caller {link.ns_ip} refused (not on the allow-list)")
            # Status is for the list's callers too: refused as well while the list is broken.
            status, _, _ = split_reply(link.request(self.srv.port, request_bytes("GET", "/ostrivan/status")))
            self.assertEqual(status, "HTTP/1.1 403 Forbidden")
            # The client run from there says so and ends with 1.
            run = subprocess.run(["ip", "netns", "exec", link.ns, os.path.abspath(CLIENT), "--server",
                                  f"http://{link.root_ip}:{self.srv.port}", "status"],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 1, run.stderr)
            self.assertEqual(run.stderr, "ostrivan-client: /ostrivan/status: HTTP 403 Forbidden: refused by the service "
                                         "(not on ClientAmmessi)\n")
            # Mended: the remote caller is served, as is its status.
            self.allow(f"{link.ns_ip}/32")
            status, _, body = split_reply(link.request(self.srv.port, request_bytes("GET", "/ostrivan/status")))
            self.assertEqual(status, "HTTP/1.1 200 OK")
            status, _, body = split_reply(link.request(self.srv.port, job_request(EXPORT, export_body())))
            self.assertEqual(status, "HTTP/1.1 200 OK")
            self.assertEqual(json.loads(body)["NomeFile"], "P1001.zip")
            # A remote caller never gets the system routes, list or not.
            status, _, _ = split_reply(link.request(self.srv.port,
                                                    request_bytes("GET", "/system/serverconfig.info")))
            self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        finally:
            link.cleanup()


class StatusRoute(OperatorCase):
    def test_fields_whatever_accept_says(self):
        self.put_job()
        for accept in (None, "*/*", "text/html", "text/plain, application/json", "application/xml"):
            with self.subTest(accept=accept):
                status, lines, body = self.get("/ostrivan/status", accept)
                self.assertEqual(status, "HTTP/1.1 200 OK")
                self.assertEqual(header(lines, "Content-Type"), "application/json; charset=utf-8")
                s = json.loads(body)
                self.assertEqual(s["version"], "1.0.0")
                started = datetime.datetime.fromisoformat(s["started"].replace("Z", "+00:00"))
                self.assertLess(abs((datetime.datetime.now(datetime.timezone.utc) - started).total_seconds()), 600)
                self.assertIsInstance(s["uptime_s"], int)
                self.assertEqual(s["machine"], 4)
                self.assertEqual(s["parameter_file"], os.path.join(self.srv.dir, "ParametrOstrivan.ini"))
                self.assertEqual(s["export"], {"dir": self.exp, "ready": True, "waiting_files": 2,
                                               "waiting_bytes": len("G1 X1 (P1001)\n") + len("tool 1\n"),
                                               "job": "P1001", "left_files": 0})
                self.assertEqual(s["import"], {"dir": self.imp, "ready": True, "files": 0})
                self.assertGreaterEqual(s["connections"], 1)
                for key in ("unsent", "sent", "received"):
                    self.assertEqual(set(s[key]), {"archives", "bytes"})

    def test_counts_follow_real_jobs_and_nothing_is_changed(self):
        self.put_job()
        archive = zip_bytes({"programs\\Q7.NC": b"G0\n", "Q7.TXT": b"notes\n"})
        body = import_body(archive, "Q7.zip")
        before = self.status()
        sent_before = before["sent"]["archives"]
        # Reading changes nothing: the same tree before and after.
        snapshot = (read_tree(self.exp), read_tree(self.imp), sorted(os.listdir(self.srv.dir)))
        self.status()
        self.assertEqual((read_tree(self.exp), read_tree(self.imp), sorted(os.listdir(self.srv.dir))), snapshot)

        status, _, reply = split_reply(self.srv.raw(job_request(EXPORT, export_body())))
        exported = base64.b64decode(json.loads(reply)["Stream"])
        status, _, reply = split_reply(self.srv.raw(job_request(IMPORT, body)))
        self.assertFalse(json.loads(reply)["Errore"], reply)
        deadline = time.monotonic() + 10
        while True:
            s = self.status()
            if (s["last_export"] or {}).get("outcome") == "delivered" or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(s["export"]["waiting_files"], 0)
        self.assertEqual(s["export"]["job"], "")
        self.assertEqual(s["import"]["files"], 2)
        self.assertEqual(s["held"], 0)
        self.assertEqual(s["sent"]["archives"], min(sent_before + 1, 20))
        self.assertGreaterEqual(s["sent"]["bytes"], len(exported))
        self.assertEqual({k: s["last_export"][k] for k in ("job", "outcome", "peer")},
                         {"job": "P1001", "outcome": "delivered", "peer": "127.0.0.1"})
        self.assertEqual({k: s["last_import"][k] for k in ("job", "outcome", "peer")},
                         {"job": "Q7", "outcome": "imported", "peer": "127.0.0.1"})
        when = datetime.datetime.fromisoformat(s["last_import"]["time"].replace("Z", "+00:00"))
        self.assertLess(abs((datetime.datetime.now(datetime.timezone.utc) - when).total_seconds()), 60)

    def test_kept_folders_and_readiness(self):
        store = self.srv.dir
        received = self.status()["received"]  # other tests' imports keep their archives too
        write(os.path.join(store, "unsent", "20261210-101010.000-P9", "P9.zip"), b"z" * 100)
        write(os.path.join(store, "unsent", "20261210-101010.000-P9", "files", "programs", "P9.NC"), b"n" * 20)
        write(os.path.join(store, "received", "20261210-101010.000-R1.zip"), b"r" * 30)
        held = os.path.join(os.path.dirname(self.exp), ".export.ostrivan-held", "20261210-101010.000-1-1")
        write(os.path.join(held, "manifest"), b"ostrivan held export 1\n")
        try:
            s = self.status()
            self.assertEqual(s["unsent"], {"archives": 1, "bytes": 120})
            self.assertEqual(s["received"], {"archives": received["archives"] + 1, "bytes": received["bytes"] + 30})
            self.assertEqual(s["held"], 1)
            # A missing import folder and a service folder that is a file: not ready, and why.
            shutil.rmtree(self.imp)
            shutil.rmtree(os.path.join(store, "held"), ignore_errors=True)  # holds' records; none open now
            write(os.path.join(store, "held"), b"not a folder")
            s = self.status()
            self.assertFalse(s["export"]["ready"])
            self.assertFalse(s["import"]["ready"])
            self.assertIn(f"ImportLavoroDir {self.imp} does not exist", s["problems"])
            self.assertIn(f"service folder {store}/held is not a folder", s["problems"])
        finally:
            shutil.rmtree(os.path.join(store, "unsent"), ignore_errors=True)
            shutil.rmtree(os.path.join(store, "received"), ignore_errors=True)
            shutil.rmtree(os.path.dirname(held), ignore_errors=True)
            if os.path.isfile(os.path.join(store, "held")):
                os.remove(os.path.join(store, "held"))

    def test_other_methods_and_paths_are_untouched(self):
        for method, path in (("POST", "/ostrivan/status"), ("DELETE", "/metrics"), ("GET", "/ostrivan/status/x")):
            with self.subTest(method=method, path=path):
                status, _, body = split_reply(self.srv.raw(request_bytes(method, path, [("Accept", "*/*")])))
                self.assertEqual(status, "HTTP/1.1 404 [EMVCException] Not Found")


@unittest.skipIf(text_string_to_metric_families is None,
                 "python3-prometheus-client is not installed (scripts/install-deps installs it)")
class MetricsRoute(OperatorCase):
    def families(self):
        status, lines, body = self.get("/metrics", "text/html")
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(header(lines, "Content-Type"), METRICS_TYPE)
        return {f.name: f for f in text_string_to_metric_families(body.decode("utf-8"))}

    @staticmethod
    def value(families, family, name=None, **labels):
        for sample in families[family].samples:
            if (name is None or sample.name == name) and all(sample.labels.get(k) == v for k, v in labels.items()):
                return sample.value
        raise AssertionError(f"no sample {family} {name} {labels}")

    def test_counts_after_real_jobs(self):
        start = self.families()
        jobs = lambda f, d, o: self.value(f, "ostrivan_jobs", "ostrivan_jobs_total", direction=d, outcome=o)
        base = {(d, o): jobs(start, d, o) for d, o in (("export", "delivered"), ("export", "failed"),
                                                       ("export", "empty"), ("export", "undelivered"),
                                                       ("import", "imported"), ("import", "failed"))}
        export_bytes0 = self.value(start, "ostrivan_job_archive_bytes", direction="export")
        import_bytes0 = self.value(start, "ostrivan_job_archive_bytes", direction="import")
        count0 = self.value(start, "ostrivan_job_duration_seconds", "ostrivan_job_duration_seconds_count",
                            direction="export")
        refused0 = self.value(start, "ostrivan_refused")

        self.put_job()
        self.assertEqual(self.value(self.families(), "ostrivan_export_waiting_files"), 2)
        _, _, reply = split_reply(self.srv.raw(job_request(EXPORT, export_body())))           # delivered
        exported = base64.b64decode(json.loads(reply)["Stream"])
        self.srv.raw(job_request(EXPORT, export_body()))                                      # empty
        self.put_job("P2002")
        self.srv.raw(job_request(EXPORT, export_body("NOPE")))                                 # failed
        # Undelivered: a client that reads nothing of a reply larger than the buffers and
        # goes away; the files are put back.
        write(os.path.join(self.exp, "programs", "Z_BIG.NC"), os.urandom(2 * 1024 * 1024))
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(30)
            s.connect(("127.0.0.1", self.srv.port))
            s.sendall(job_request(EXPORT, export_body()))
        deadline = time.monotonic() + 30
        while (jobs(self.families(), "export", "undelivered") == base[("export", "undelivered")]
               and time.monotonic() < deadline):
            time.sleep(0.1)
        archive = zip_bytes({"A.NC": b"G1\n"})
        body = import_body(archive, "J1.zip")
        self.srv.raw(job_request(IMPORT, body))                                                # imported
        self.srv.raw(job_request(IMPORT, json.dumps({"NomeFile": "B.zip", "Stream": "AAAA"}).encode()))  # failed
        self.allow("10.9.9.9")
        send_from(self.srv.port, job_request(IMPORT, body), "127.0.0.1")                     # refused
        self.configure(**self.settings)

        deadline = time.monotonic() + 10
        while True:
            f = self.families()
            if jobs(f, "export", "delivered") > base[("export", "delivered")] or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        expected = {("export", "delivered"): 1, ("export", "failed"): 1, ("export", "empty"): 1,
                    ("export", "undelivered"): 1, ("import", "imported"): 1, ("import", "failed"): 1}
        for key, more in expected.items():
            with self.subTest(job=key):
                self.assertEqual(jobs(f, *key) - base[key], more)
        self.assertEqual(self.value(f, "ostrivan_job_archive_bytes", direction="export") - export_bytes0, len(exported))
        self.assertEqual(self.value(f, "ostrivan_job_archive_bytes", direction="import") - import_bytes0, len(archive))
        # The empty poll and the failed export moved nothing and are no samples of the
        # duration; the undelivered archive's bytes did not count.
        self.assertEqual(self.value(f, "ostrivan_job_duration_seconds", "ostrivan_job_duration_seconds_count",
                                    direction="export") - count0, 2)
        inf = self.value(f, "ostrivan_job_duration_seconds", "ostrivan_job_duration_seconds_bucket",
                         direction="export", le="+Inf")
        self.assertEqual(inf, self.value(f, "ostrivan_job_duration_seconds", "ostrivan_job_duration_seconds_count",
                                         direction="export"))
        self.assertEqual(self.value(f, "ostrivan_refused") - refused0, 1)
        self.assertGreaterEqual(self.value(f, "ostrivan_http_requests", "ostrivan_http_requests_total", code="403"), 1)
        self.assertGreaterEqual(self.value(f, "ostrivan_http_requests", "ostrivan_http_requests_total", code="200"), 5)
        self.assertEqual(self.value(f, "ostrivan_export_waiting_files"), 3)  # P2002's job, put back
        self.assertEqual(self.value(f, "ostrivan_held_jobs"), 0)
        self.assertEqual(self.value(f, "ostrivan_unsent_jobs"), 0)
        self.assertGreaterEqual(self.value(f, "ostrivan_connections_open"), 1)
        self.assertEqual(self.value(f, "ostrivan_build_info", version="1.0.0"), 1)
        self.assertGreater(self.value(f, "process_resident_memory_bytes"), 1 << 20)
        self.assertLess(abs(self.value(f, "process_start_time_seconds") - time.time()), 3600)


def notify_socket():
    """A datagram socket as systemd's NOTIFY_SOCKET."""
    folder = tempfile.mkdtemp(prefix="ostrivan-notify-")
    path = os.path.join(folder, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    return sock, path, folder


def collect(sock, until, timeout):
    """Messages until one contains `until` (or the time is up)."""
    messages = []
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            messages.append(sock.recv(4096).decode())
        except socket.timeout:
            break
        if until and until in messages[-1]:
            break
    return messages


class SystemdNotify(unittest.TestCase):
    def test_ready_watchdog_and_stopping(self):
        sock, path, folder = notify_socket()
        srv = Server(service=True, env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "400000"})
        try:
            srv.start(wait_ready=False)
            first = collect(sock, "READY=1", 15)
            self.assertTrue(first and "READY=1" in first[-1], first)
            self.assertIn(f"STATUS=Serving on port {srv.port}", first[-1])
            # Sent once the listener accepts: a connection now is served.
            status, _, _ = split_reply(srv.raw(request_bytes("GET", "/ostrivan/status")))
            self.assertEqual(status, "HTTP/1.1 200 OK")
            # Keep-alives at half the period: several within two seconds.
            beats = [m for m in collect(sock, None, 2.0) if "WATCHDOG=1" in m]
            self.assertGreaterEqual(len(beats), 4)
            self.assertLessEqual(len(beats), 12)
            srv.proc.send_signal(15)
            after = collect(sock, "STOPPING=1", 10)
            self.assertTrue(any("STOPPING=1" in m for m in after), after)
            self.assertEqual(srv.proc.wait(timeout=15), 0)
            tail = after[[i for i, m in enumerate(after) if "STOPPING=1" in m][0] + 1:] + collect(sock, None, 0.5)
            self.assertFalse([m for m in tail if "WATCHDOG=1" in m], tail)
        finally:
            srv.cleanup()
            sock.close()
            shutil.rmtree(folder, ignore_errors=True)

    def test_no_keep_alive_while_the_log_writer_hangs(self):
        # The main log is a pipe nobody reads yet: opening it for writing blocks, as a
        # file system that does not answer would. The service still starts and serves,
        # but its keep-alives stop until the writer moves again.
        sock, path, folder = notify_socket()
        srv = Server(service=True, env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "400000"})
        os.makedirs(os.path.join(srv.dir, "logs"))
        os.mkfifo(srv.log_path())
        drained = []
        stop_draining = threading.Event()

        def drain():
            fd = os.open(srv.log_path(), os.O_RDONLY | os.O_NONBLOCK)
            try:
                while not stop_draining.is_set():
                    try:
                        data = os.read(fd, 65536)
                    except BlockingIOError:
                        data = None
                    if data:
                        drained.append(data)
                    else:
                        time.sleep(0.02)
            finally:
                os.close(fd)

        reader = threading.Thread(target=drain)
        try:
            srv.start(wait_ready=False)
            ready = collect(sock, "READY=1", 15)
            self.assertTrue(ready and "READY=1" in ready[-1], ready)
            status, _, _ = split_reply(srv.raw(request_bytes("GET", "/ostrivan/status")))
            self.assertEqual(status, "HTTP/1.1 200 OK")
            # The stall limit is 5 s: past it, silence.
            time.sleep(5.5)
            collect(sock, None, 0.1)  # what was sent before the limit was reached
            stalled = [m for m in collect(sock, None, 2.0) if "WATCHDOG=1" in m]
            self.assertEqual(stalled, [])
            reader.start()
            resumed = [m for m in collect(sock, None, 3.0) if "WATCHDOG=1" in m]
            self.assertGreaterEqual(len(resumed), 3)
            srv.proc.send_signal(15)
            self.assertEqual(srv.proc.wait(timeout=15), 0)
            self.assertIn(b"Watchdog: listener or log writer not alive", b"".join(drained))
        finally:
            stop_draining.set()
            if reader.is_alive():
                reader.join()
            srv.cleanup()
            sock.close()
            shutil.rmtree(folder, ignore_errors=True)

    def test_no_watchdog_unless_asked_and_nothing_in_console_mode(self):
        for service, env, expect_ready in ((True, {}, True), (False, {"WATCHDOG_USEC": "400000"}, False)):
            with self.subTest(service=service):
                sock, path, folder = notify_socket()
                env = dict(env, NOTIFY_SOCKET=path)
                srv = Server(service=service, env=env)
                try:
                    srv.start()
                    messages = collect(sock, None, 1.5)
                    self.assertEqual(any("READY=1" in m for m in messages), expect_ready, messages)
                    self.assertFalse([m for m in messages if "WATCHDOG=1" in m], messages)
                    code, _ = srv.stop()
                    self.assertEqual(code, 0)
                finally:
                    srv.cleanup()
                    sock.close()
                    shutil.rmtree(folder, ignore_errors=True)


class UnitFile(unittest.TestCase):
    def test_notify_type_and_watchdog(self):
        unit = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                            "ostrivan.service.in")
        with open(unit) as f:
            lines = [l.strip() for l in f]
        self.assertIn("Type=notify", lines)
        self.assertIn("WatchdogSec=30", lines)


class ConfigCheck(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrivan-check-")
        self.exe = os.path.join(self.dir, "Ostrivan")
        shutil.copy2(EXE, self.exe)
        self.exp = os.path.join(self.dir, "export")
        self.imp = os.path.join(self.dir, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.port = free_port()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def check(self, values=None, raw=None):
        if raw is not None:
            write_ini(self.dir, raw=raw)
        else:
            write_ini(self.dir, values)
        before = sorted(os.listdir(self.dir))
        run = subprocess.run([self.exe, "--check"], capture_output=True, text=True, timeout=30, cwd="/")
        # Changes nothing: no logs/ or any other folder made.
        self.assertEqual(sorted(os.listdir(self.dir)), before)
        return run

    def good(self, **more):
        values = {"Porta": self.port, "ExportLavoroDir": self.exp, "ImportLavoroDir": self.imp, "Nr_Macchina": 9}
        values.update(more)
        return values

    def test_every_key_with_value_and_source(self):
        run = self.check(self.good())
        self.assertEqual(run.returncode, 0, run.stdout)
        ini = os.path.join(self.dir, "ParametrOstrivan.ini")
        self.assertEqual(run.stdout.splitlines(), [
            f"Parameter file: {ini}",
            f"  Porta           = {self.port}  (file)",
            f"  ExportLavoroDir = {self.exp}  (file)",
            f"  ImportLavoroDir = {self.imp}  (file)",
            "  Nr_Macchina     = 9  (file)",
            "  ClientAmmessi   =   (default: every address may call)",
            "  AttesaScrittura = 2  (default)",
            "  AttesaConferma  = 600  (default)",
            "  TenutiNumero    = 20  (default)",
            "  TenutiMB        = 200  (default)",
            "No problems found.",
            "Export: could run",
            "Import: could run"])

    def test_problems_and_exit_status(self):
        busy = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        busy_port = busy.getsockname()[1]
        held_file = os.path.join(self.dir, "held")
        cases = [
            # (values or raw text, exit status, lines expected in the output)
            (self.good(Colore="blu", Nr_Macchina="dodici"), 0,
             ['warning: unknown key "Colore" in [CONFIG] is ignored',
              'warning: Nr_Macchina "dodici" is not a number: the default 0 is used',
              '  Nr_Macchina     = 0  (default: "dodici" is not a number)']),
            (self.good(AttesaScrittura="-1"), 0,
             ['warning: AttesaScrittura "-1" is not a number of seconds from 0 to 3600: the default 2 is used',
              '  AttesaScrittura = 2  (default: "-1" is not a number of seconds from 0 to 3600)']),
            (self.good(AttesaScrittura="30", AttesaConferma="0"), 0,
             ["  AttesaScrittura = 30  (file)",
              'warning: AttesaConferma "0" is not a number of seconds from 1 to 86400: the default 600 is used']),
            (self.good(TenutiNumero="5", TenutiMB="0"), 0,
             ["  TenutiNumero    = 5  (file)",
              'warning: TenutiMB "0" is not a number of megabytes from 1 to 1000000: the default 200 is used',
              '  TenutiMB        = 200  (default: "0" is not a number of megabytes from 1 to 1000000)']),
            (self.good(ExportLavoroDir=self.exp.lstrip("/")), 0,
             [f"  ExportLavoroDir = {self.exp.lstrip('/')}  (file: resolved from the current folder: {self.exp})"]),
            (self.good(Porta="70000"), 1,
             ["error: Porta 70000 is out of range: it becomes port 4464 (its low 16 bits)",
              "  Porta           = 4464  (file)", "Export: could not run"]),
            (self.good(Porta="65536"), 1,
             ["error: Porta 65536 is out of range: it becomes port 0 (its low 16 bits), which listens on a random "
              "port, another one for IPv4 and IPv6"]),
            (self.good(Porta="0"), 1,
             ["error: Porta 0 names no port: the service would listen on a random port, another one for IPv4 and "
              "IPv6"]),
            (self.good(Porta="otto"), None,
             ['warning: Porta "otto" is not a number: the default 8080 is used']),
            (self.good(ExportLavoroDir=os.path.join(self.dir, "missing")), 1,
             [f"error: ExportLavoroDir {os.path.join(self.dir, 'missing')} does not exist",
              "Export: could not run", "Import: could run"]),
            ({"Porta": self.port, "ExportLavoroDir": self.exp}, 1,
             ["error: ImportLavoroDir is not set", "  ImportLavoroDir =   (default: not set: this job fails)"]),
            (self.good(ClientAmmessi="10.0.0.0/8, 10.0.0.0/33, abc"), 1,
             ['error: ClientAmmessi entry "10.0.0.0/33" is no address or range: only loopback callers would be served',
              'error: ClientAmmessi entry "abc" is no address or range: only loopback callers would be served',
              "  ClientAmmessi   = 10.0.0.0/8, 10.0.0.0/33, abc  (file)"]),
            (self.good(Porta=busy_port), 1,
             [f"error: port {busy_port} is in use: something already listens on it (another service, or this one "
              "running)"]),
            ("held-is-a-file", 1, [f"error: service folder {held_file} is not a folder"]),
        ]
        try:
            for values, code, expected in cases:
                with self.subTest(values=values):
                    if values == "held-is-a-file":
                        write(held_file, b"x")
                        values = self.good()
                    try:
                        run = self.check(values)
                    finally:
                        if os.path.exists(held_file):
                            os.remove(held_file)
                    lines = [l.strip() if l.startswith("  error") or l.startswith("  warning") else l
                             for l in run.stdout.splitlines()]
                    for line in expected:
                        self.assertIn(line.strip() if "warning:" in line or "error:" in line else line, lines,
                                      run.stdout)
                    if code is not None:
                        self.assertEqual(run.returncode, code, run.stdout)
        finally:
            busy.close()

    def test_missing_parameter_file(self):
        run = subprocess.run([self.exe, "--check"], capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 1)
        self.assertIn(f"error: parameter file {os.path.join(self.dir, 'ParametrOstrivan.ini')} not found", run.stdout)
        self.assertIn("  Porta           = 8080  (default)", run.stdout.splitlines())
        self.assertFalse(os.path.exists(os.path.join(self.dir, "logs")))

    def test_a_parameter_file_that_is_a_folder_is_named_so(self):
        ini = os.path.join(self.dir, "ParametrOstrivan.ini")
        os.makedirs(ini)
        try:
            run = subprocess.run([self.exe, "--check"], capture_output=True, text=True, timeout=30)
        finally:
            os.rmdir(ini)
        self.assertEqual(run.returncode, 1)
        self.assertIn(f"Parameter file: {ini} (a folder, not a file)", run.stdout.splitlines())
        self.assertIn(f"error: parameter file {ini} is a folder, not a file: every key has its default", run.stdout)

    def test_ports_bound_other_than_written_are_named_and_the_stop_is_logged(self):
        srv = Server(port=0, ini={"ExportLavoroDir": self.exp})
        try:
            srv.start()
            srv.wait_log("Porta 0 is not the port listened on: IPv")
            line = [l for l in srv.log_text().split("\r\n") if "is not the port listened on" in l][0]
            ports = [int(p) for p in re.findall(r"IPv[46] port (\d+)", line)]
            self.assertEqual(len(ports), 2)
            self.assertTrue(all(p > 0 for p in ports), line)
            srv.stop()
            self.assertTrue(srv.log_text().rstrip().split("\r\n")[-1].split("] ", 2)[-1].startswith("Server stopped"))
        finally:
            srv.cleanup()

    def test_service_logs_the_settings_in_force(self):
        srv = Server(ini={"ExportLavoroDir": self.exp, "Nr_Macchina": "x"})
        try:
            srv.start()
            srv.stop()
            lines = [l for l in srv.log_text().split("\r\n") if l]
            self.assertIn(f"Server started on port {srv.port}", lines[1])
            text = srv.log_text()
            self.assertIn(f"Parameter file: {os.path.join(srv.dir, 'ParametrOstrivan.ini')}", text)
            self.assertIn(f"Setting Porta={srv.port} (file)", text)
            self.assertIn(f"Setting ExportLavoroDir={self.exp} (file)", text)
            self.assertIn("Setting ImportLavoroDir= (default: not set: this job fails)", text)
            self.assertIn('Setting Nr_Macchina=0 (default: "x" is not a number)', text)
            self.assertIn("ClientAmmessi is not set: every address may call the job routes", text)
            self.assertEqual(text.count("ClientAmmessi is not set"), 1)
        finally:
            srv.cleanup()


class ClientStatus(OperatorCase):
    def client(self, *args):
        return subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{self.srv.port}", *args],
                              capture_output=True, text=True, timeout=60)

    def test_readable_and_json(self):
        self.put_job()
        run = self.client("status", "--json")
        self.assertEqual(run.returncode, 0, run.stderr)
        s = json.loads(run.stdout)
        self.assertEqual(s["export"]["job"], "P1001")
        self.assertEqual(s["machine"], 4)
        run = self.client("status")
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertTrue(lines[0].startswith("Ostrivan 1.0.0, machine 4, started "), lines[0])
        self.assertIn(f"Export: {self.exp}  ready", lines)
        self.assertIn("  waiting: 2 files, 21 bytes, job P1001", lines)
        self.assertIn(f"Import: {self.imp}  ready, 0 files in it", lines)
        self.assertIn("Last export: none since the start", lines)

    def test_refused_and_unreachable(self):
        # No service on the port: 3.
        port = free_port()
        run = subprocess.run([CLIENT, "--server", f"http://127.0.0.1:{port}", "status"], capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(run.returncode, 3, run.stderr)
        self.assertTrue(run.stderr.startswith("ostrivan-client: "), run.stderr)
        run = subprocess.run([CLIENT, "--json", "export", "--to", "x"], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 2)


if __name__ == "__main__":
    unittest.main()
