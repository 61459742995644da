"""The console host as an operator meets it: banner, ESC, other keys, signals,
start-up failures, both address families and the line-length limit."""
import os
import shutil
import signal
import socket
import subprocess
import time
import unittest

import ostrivan_e2e
from ostrivan_e2e import SERVICE_READY_LINE, Server, recv_all, request_bytes, split_reply

BANNER = ["** TornioMVC Server ** build 1.0.0", "Ostrivan 24/05/2025 - 1"]


def assert_stop_cuts_off(test, srv, silent):
    """Stops srv while silent is connected: exit status 0, promptly, and silent gets no
    byte of a reply."""
    time.sleep(0.2)
    started = time.monotonic()
    code, _ = srv.stop(timeout=10)
    test.assertEqual(code, 0)
    test.assertLess(time.monotonic() - started, 5.0)
    silent.settimeout(5)
    test.assertEqual(recv_all(silent), b"")
    silent.close()


def assert_second_instance_cannot_bind(test, first, service, code):
    """A second service on first's port prints the banner and the bind failure, then
    ends with code."""
    second = Server(port=first.port, service=service)
    try:
        second.start(wait_ready=False)
        test.assertEqual(second.proc.wait(timeout=10), code)
        _, out = second.stop()
        test.assertEqual(out.splitlines(), BANNER + [
            f"Starting HTTP Server on port {first.port}",
            "ECouldNotBindSocket: Could not bind socket."])
    finally:
        second.cleanup()


class ConsoleHost(unittest.TestCase):
    def test_banner_esc_and_exit_status(self):
        srv = Server().start()
        try:
            code, out = srv.stop()
            self.assertEqual(code, 0)
            self.assertEqual(out.splitlines(), BANNER + [
                f"Starting HTTP Server on port {srv.port}", "Press ESC to stop the server"])
        finally:
            srv.cleanup()

    def test_no_parameter_file_means_port_8080(self):
        srv = Server(ini=False)
        try:
            srv.start(wait_ready=False)
            srv.wait_output("Starting HTTP Server on port 8080")
            # 8080 may be taken on a shared machine; either way the process ends cleanly.
            code, _ = srv.stop()
            self.assertEqual(code, 0)
        finally:
            srv.cleanup()

    def test_other_keys_do_not_stop(self):
        srv = Server().start()
        try:
            for keys in (b"a", b"\r", b"\x1b[A", b"\x1b[D", b"\x1bOP", b"\x1b[15~", b"q"):
                srv.press(keys)
                time.sleep(0.15)
                self.assertIsNone(srv.proc.poll(), keys)
            # Still serving after all of them.
            with srv.connect():
                pass
            code, _ = srv.stop()
            self.assertEqual(code, 0)
        finally:
            srv.cleanup()

    def test_sigterm_and_sigint_stop_in_order(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            srv = Server().start()
            try:
                srv.proc.send_signal(sig)
                self.assertEqual(srv.proc.wait(timeout=10), 0)
            finally:
                srv.cleanup()

    def test_stdin_not_a_terminal(self):
        srv = Server()
        try:
            proc = subprocess.run([srv.exe], stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=20)
            self.assertEqual(proc.returncode, 0)
            out = proc.stdout.decode()
            self.assertIn("Press ESC to stop the server\nEOSError: System Error.  Code: 25.\r\n"
                          "Inappropriate ioctl for device\n", out)
        finally:
            srv.cleanup()

    def test_second_instance_on_the_same_port(self):
        with Server() as first:
            assert_second_instance_cannot_bind(self, first, service=False, code=0)
            # The first instance is unaffected.
            with first.connect(socket.AF_INET6):
                pass

    def test_both_address_families_accept(self):
        with Server() as srv:
            for family in (socket.AF_INET, socket.AF_INET6):
                reply = srv.raw(b"GET /nothing-here HTTP/1.0\r\n\r\n", family)
                self.assertTrue(reply.startswith(b"HTTP/1.1 "), reply[:80])

    @unittest.skipUnless(shutil.which("ss"), "ss (iproute2) is not installed")
    def test_listen_backlog_in_force_is_200(self):
        with Server() as srv:
            out = subprocess.run(["ss", "-ltnH", f"sport = :{srv.port}"], capture_output=True,
                                 text=True, check=True).stdout
            rows = [l.split() for l in out.splitlines() if l.strip()]
            # One row per family; the Send-Q column of a listening socket is its backlog.
            self.assertEqual(len(rows), 2, out)
            for row in rows:
                self.assertEqual(row[2], "200", out)

    def test_line_length_limit(self):
        with Server() as srv:
            prefix = b"GET /"
            suffix = b" HTTP/1.0"
            # 16384 bytes before the LF, the CR included, is the longest line accepted.
            path = b"a" * (16384 - len(prefix) - len(suffix) - 1)
            ok = srv.raw(prefix + path + suffix + b"\r\n\r\n")
            self.assertTrue(ok.startswith(b"HTTP/1.1 "), ok[:80])
            too_long = srv.raw(prefix + path + b"a" + suffix + b"\r\n\r\n")
            self.assertEqual(too_long, b"")
            bare_lf = srv.raw(prefix + path + b"a" + suffix + b"\n\n")
            self.assertTrue(bare_lf.startswith(b"HTTP/1.1 "), bare_lf[:80])
            # The listener still serves afterwards.
            self.assertTrue(srv.raw(b"GET / HTTP/1.0\r\n\r\n").startswith(b"HTTP/1.1 "))

    def test_esc_with_a_silent_client_stops_promptly(self):
        srv = Server().start()
        try:
            assert_stop_cuts_off(self, srv, srv.connect())
        finally:
            srv.cleanup()

    def test_start_up_line_is_logged(self):
        srv = Server().start()
        try:
            srv.stop()
            text = srv.log_text()
            lines = [l for l in text.split("\r\n") if l]
            self.assertGreaterEqual(len(lines), 2, text)
            self.assertIn("Default Logger initialized", lines[0])
            self.assertIn(f"Server started on port {srv.port}", lines[1])
        finally:
            srv.cleanup()


class ServiceMode(unittest.TestCase):
    """--service: no console (stdin from /dev/null), the same banner and log, a request
    served, and the same orderly stop on SIGTERM or SIGINT with status 0."""

    def test_serves_and_stops_on_each_signal(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig.name):
                srv = Server(service=True).start()
                try:
                    reply = srv.raw(request_bytes("GET", "/system/describeserver.info",
                                                  [("Accept", "application/json")]))
                    status, _, body = split_reply(reply)
                    self.assertEqual(status, "HTTP/1.1 200 OK", reply[:200])
                    self.assertIn(b"ExportLavoro", body)
                    srv.proc.send_signal(sig)
                    self.assertEqual(srv.proc.wait(timeout=10), 0)
                    _, out = srv.stop()
                    self.assertEqual(out.splitlines(), BANNER + [
                        f"Starting HTTP Server on port {srv.port}", SERVICE_READY_LINE])
                    lines = [l for l in srv.log_text().split("\r\n") if l]
                    self.assertIn("Default Logger initialized", lines[0])
                    self.assertIn(f"Server started on port {srv.port}", lines[1])
                    # Stopped means stopped: the port is free again.
                    with self.assertRaises(OSError):
                        srv.connect(timeout=2)
                finally:
                    srv.cleanup()

    def test_stop_cuts_off_a_half_sent_request_promptly(self):
        # A client that sent half a request is cut off at the stop, and the process still
        # ends promptly with status 0.
        srv = Server(service=True).start()
        try:
            silent = srv.connect()
            silent.sendall(b"POST /RizOzudo/ExportLavoro HTTP/1.1\r\n")
            assert_stop_cuts_off(self, srv, silent)
        finally:
            srv.cleanup()

    def test_start_up_failure_is_a_failure_for_the_service_manager(self):
        # Console mode ends with 0 after a bind failure; a service ends with 1 so that
        # systemd's Restart=on-failure sees it.
        with Server() as first:
            assert_second_instance_cannot_bind(self, first, service=True, code=1)

    def test_command_line(self):
        srv = Server()
        try:
            for args, code, stream, text in (
                    (["--help"], 0, "stdout", "--service"),
                    (["--servce"], 2, "stderr", "unknown option --servce"),
                    (["--service", "extra"], 2, "stderr", "unknown option extra")):
                with self.subTest(args=args):
                    proc = subprocess.run([srv.exe] + args, stdin=subprocess.DEVNULL,
                                          capture_output=True, text=True, timeout=20)
                    self.assertEqual(proc.returncode, code, proc)
                    self.assertIn(text, getattr(proc, stream))
                    # Nothing was started: no banner.
                    self.assertNotIn("TornioMVC", proc.stdout)
        finally:
            srv.cleanup()


class ChosenPortTaken(unittest.TestCase):
    """A port the helpers chose can be taken before the service binds it: the helper moves
    to a new one; a port a test fixed is kept and the failure shows."""

    def setUp(self):
        self.blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.blocker.bind(("127.0.0.1", 0))
        self.blocker.listen()
        self.taken = self.blocker.getsockname()[1]
        self.addCleanup(self.blocker.close)

    def test_a_chosen_port_taken_meanwhile_is_replaced(self):
        real_free_port = ostrivan_e2e.free_port
        handed = iter([self.taken])
        ostrivan_e2e.free_port = lambda: next(handed, None) or real_free_port()
        self.addCleanup(setattr, ostrivan_e2e, "free_port", real_free_port)
        srv = Server()
        self.assertEqual(srv.port, self.taken)
        with srv:
            self.assertNotEqual(srv.port, self.taken)
            with open(os.path.join(srv.dir, "ParametrOstrivan.ini")) as f:
                self.assertIn(f"Porta={srv.port}", f.read())
            status, _, _ = split_reply(srv.raw(request_bytes("GET", "/system/describeserver.info")))
            self.assertEqual(status, "HTTP/1.1 200 OK")
            self.assertNotIn(b"ECouldNotBindSocket", srv.output)

    def test_a_fixed_port_is_kept(self):
        srv = Server(port=self.taken)
        try:
            with self.assertRaises(AssertionError):
                srv.start(timeout=10)
            self.assertEqual(srv.port, self.taken)
            self.assertIn(b"ECouldNotBindSocket", srv.output)
        finally:
            srv.cleanup()


if __name__ == "__main__":
    unittest.main()
