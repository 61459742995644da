"""Raw-socket tests of the HTTP server in the running service: replies the server
writes by itself, limits, hostile requests, both address families, many clients at
once, and stopping with clients connected."""
import re
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, __import__("os").path.dirname(__file__))
from ostrivan_e2e import Server, recv_all, split_reply  # noqa: E402


def mask_date(reply):
    return re.sub(rb"\r\nDate: [^\r]*\r\n", b"\r\nDate: *\r\n", reply, count=1)


def default_head(code, text):
    """A reply the server writes by itself: header block and the page it announces."""
    page = b"<HTML><BODY><B>%d %s</B></BODY></HTML>" % (code, text)
    return (b"HTTP/1.1 %d %s\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
            b"Content-Length: %d\r\nDate: *\r\n\r\n%s" % (code, text, len(page), page))


class HttpServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server().start()

    @classmethod
    def tearDownClass(cls):
        try:
            code, _ = cls.server.stop()
            assert code == 0, code
        finally:
            cls.server.cleanup()

    def raw(self, data, family=socket.AF_INET):
        return self.server.raw(data, family)

    def raw_then_eof(self, data):
        """Sends data and ends the sending side, as a client cut off mid-request."""
        with self.server.connect() as s:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            return recv_all(s)

    def assert_still_serving(self):
        reply = self.raw(b"GET /nothing-here HTTP/1.0\r\n\r\n")
        self.assertTrue(reply.startswith(b"HTTP/1.1 "), reply[:80])

    def test_replies_the_server_writes_itself(self):
        unauthorized = b"Unsupported authorization scheme."
        cases = [
            (b"GET / HTTP/1.1\r\n\r\n", default_head(400, b"Bad Request")),
            (b"GET http://h:81/p HTTP/1.1\r\n\r\n", default_head(400, b"Bad Request")),
            (b"GET / HTTP/1.1\r\nHost: a\r\nExpect: later\r\n\r\n", default_head(417, b"Expectation Failed")),
            (b"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", default_head(400, b"Bad Request")),
            (b"POST / HTTP/1.1\r\nHost: a\r\n\r\nbody-without-length", default_head(411, b"Length Required")),
            (b"GET / HTTP/1.0\r\nAuthorization: Bearer x\r\n\r\n",
             b"HTTP/1.1 401 Unauthorized\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
             b"Content-Length: %d\r\nDate: *\r\nWWW-Authenticate: Basic\r\n\r\n%s" % (len(unauthorized), unauthorized)),
        ]
        for request, expected in cases:
            with self.subTest(request=request):
                self.assertEqual(mask_date(self.raw(request)), expected)

    def test_silent_closes(self):
        for request in [b"\r\n", b"NOSPACE\r\n\r\n",
                        b"GET /" + b"a" * 16370 + b" HTTP/1.0\r\n\r\n",       # 16385 bytes before LF, CR included
                        b"GET / HTTP/1.0\r\n" + b"X: v\r\n" * 1026 + b"\r\n"]:
            with self.subTest(size=len(request)):
                self.assertEqual(self.raw(request), b"")
        accepted = b"GET /" + b"a" * 16369 + b" HTTP/1.0\r\n\r\n"            # 16384 with the CR
        self.assertTrue(self.raw(accepted).startswith(b"HTTP/1.1 "))
        self.assertTrue(self.raw(b"GET / HTTP/1.0\r\n" + b"X: v\r\n" * 1025 + b"\r\n").startswith(b"HTTP/1.1 "))
        self.assert_still_serving()

    def test_oversized_body_gets_413_without_engine_headers(self):
        message = b"Request size exceeded the max allowed size [5120 KiB] (1)"
        expected = (b"HTTP/1.1 413 Request Entity Too Long\r\nConnection: close\r\n"
                    b"Content-Type: text/html; charset=utf-8\r\nContent-Length: %d\r\nDate: *\r\n\r\n%s"
                    % (len(message), message))
        head = b"POST /RizOzudo/ImportLavoro HTTP/1.1\r\nHost: a\r\nContent-Length: 5242881\r\n\r\n"
        with self.server.connect() as s:
            s.sendall(head + b"x" * 65536)
            reply = recv_all(s)
        self.assertEqual(mask_date(reply), expected)
        chunked = (b"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                   b"500001\r\n" + b"y" * 1024)
        self.assertEqual(mask_date(self.raw(chunked)), expected)

    def test_hostile_requests_get_a_reply_or_a_silent_close(self):
        base = b"POST / HTTP/1.1\r\nHost: a\r\n"
        requests = [
            base + b"Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
            base + b"Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
            base + b"Content-Length : 3\r\n\r\nabc",
            base + b"Content-Length: -1\r\n\r\nabc",
            base + b"Content-Length: 99999999999999999999999\r\n\r\nabc",
            base + b"X\tY: a\x00b\r\nContent-Length: 0\r\n\r\n",
            base + b"Transfer-Encoding: chunked\r\n\r\n0_2e\r\n\r\n",
            base + b"Transfer-Encoding: chunked\r\n\r\nZ\r\n\r\n",
            base + b"Transfer-Encoding: chunked\r\n\r\n11111111111111111\r\n\r\n",
            base + b"Transfer-Encoding: chunked\r\n\r\n-1\r\n\r\n",
            b"GET / HTTP/1.1\nHost: a\n\n",
            b"GET / HTTP/1.32\r\nHost: a\r\n\r\n",
            bytes(range(256)) * 4,
        ]
        full = base + b"Content-Length: 5\r\n\r\nhello"
        requests += [full[:cut] for cut in range(0, len(full), 7)]
        for request in requests:
            with self.subTest(request=request[:60]):
                reply = self.raw_then_eof(request)
                self.assertTrue(reply == b"" or reply.startswith(b"HTTP/1.1 "), reply[:80])
        self.assert_still_serving()

    def test_ipv6_and_ipv4_both_accept(self):
        try:
            socket.create_connection(("::1", self.server.port), timeout=2).close()
        except OSError:
            self.skipTest("no IPv6 loopback")
        for family in (socket.AF_INET, socket.AF_INET6):
            reply = self.raw(b"GET / HTTP/1.1\r\n\r\n", family)
            self.assertTrue(reply.startswith(b"HTTP/1.1 400 Bad Request\r\n"), reply[:80])

    def test_many_concurrent_clients_each_get_their_reply(self):
        count = 200
        replies = [None] * count

        def client(i):
            try:
                replies[i] = self.raw(b"GET /c%d HTTP/1.1\r\n\r\n" % i)
            except OSError as e:
                replies[i] = repr(e).encode()

        threads = [threading.Thread(target=client, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        lost = [i for i, r in enumerate(replies) if not (r or b"").startswith(b"HTTP/1.1 400 Bad Request\r\n")]
        self.assertEqual(lost, [])


class StopWithClientsTest(unittest.TestCase):
    def test_esc_with_a_silent_client_stops_promptly(self):
        server = Server()
        try:
            server.start()
            silent = server.connect()
            half = server.connect()
            half.sendall(b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc")
            time.sleep(0.3)
            started = time.monotonic()
            code, _ = server.stop(timeout=10)
            self.assertEqual(code, 0)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(recv_all(silent), b"")
            silent.close()
            half.close()
        finally:
            server.cleanup()


if __name__ == "__main__":
    unittest.main()
