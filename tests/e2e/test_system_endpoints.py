"""The built-in "/system" endpoints against the real executable: the exact server
description, the settings, the platform description, and 403 for callers that are
not local, reached from a network namespace the test builds for itself."""
import datetime
import os
import platform
import re
import socket
import subprocess
import unittest

from ostrivan_e2e import ServerTestCase, header, request_bytes, split_reply

SYSTEM_CONTROLLER = "TornioMVC.SysControllers.TMVCSystemController"
FORBIDDEN_PAGE = b"<HTML><BODY><B>403 Forbidden</B></BODY></HTML>"

DESCRIBE_SERVER = (
    b'{"TornioMVC.SysControllers.TMVCSystemController":{"resource_path":"/system",'
    b'"description":"Built-in TornioMVC System Controller","actions":['
    b'{"action_name":"DescribeServer","relative_path":"/describeserver.info","consumes":"","produces":"",'
    b'"http_methods":"httpGET","description":"Describe controllers and actions published by the RESTful server '
    b'per resources"},'
    b'{"action_name":"DescribePlatform","relative_path":"/describeplatform.info","consumes":"","produces":"",'
    b'"http_methods":"httpGET","description":"Describe the system where server is running"},'
    b'{"action_name":"ServerConfig","relative_path":"/serverconfig.info","consumes":"","produces":"",'
    b'"http_methods":"httpGET","description":"Server configuration"}]},'
    b'"RizOzudo.Controller.TRizOzudoController":{"resource_path":"/RizOzudo","actions":['
    b'{"action_name":"ExportLavoro","relative_path":"/ExportLavoro","consumes":"","produces":"application/json",'
    b'"http_methods":"httpPOST","description":""},'
    b'{"action_name":"ImportLavoro","relative_path":"/ImportLavoro","consumes":"","produces":"application/json",'
    b'"http_methods":"httpPOST","description":""}]}}')

SERVER_CONFIG = (
    b'{"sessiontimeout":"0","default_content_type":"application/json","default_content_charset":"UTF-8",'
    b'"default_view_file_extension":"html","view_path":"templates","pathprefix":"",'
    b'"allow_unhandled_action":"false","server_name":"TornioMVC","server_signature":"true",'
    b'"xpoweredby":"true","session_type":"memory","max_entities_record_count":"20",'
    b'"max_request_size":"5242880","hateos":"_links","load_system_controllers":"true"}')


# Run inside the namespace: one request to host:port, the raw reply on stdout.
CLIENT = r"""
import socket, sys
host, port, data = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3])
s = socket.create_connection((host, port), timeout=10)
s.sendall(data)
out = b""
while True:
    chunk = s.recv(65536)
    if not chunk:
        break
    out += chunk
sys.stdout.write(out.hex())
"""


class RemoteLink:
    """A veth pair between this namespace and a new one, with a private /30 of its own."""

    def __init__(self):
        pid = os.getpid()
        self.ns = f"ostrivan-sys-{pid}"
        self.root_if = f"osr{pid}"
        self.ns_if = f"osn{pid}"
        third, fourth = (pid >> 6) % 256, (pid % 64) * 4
        self.root_ip = f"10.213.{third}.{fourth + 1}"
        self.ns_ip = f"10.213.{third}.{fourth + 2}"
        self.made_ns = False
        self.made_link = False

    @staticmethod
    def run(*args):
        return subprocess.run(list(args), capture_output=True, text=True, timeout=30)

    def setup(self):
        """None when ready, else the reason it could not be built."""
        r = self.run("ip", "netns", "add", self.ns)
        if r.returncode != 0:
            return f"cannot create a network namespace: {r.stderr.strip()}"
        self.made_ns = True
        steps = [
            ("ip", "link", "add", self.root_if, "type", "veth", "peer", "name", self.ns_if),
            ("ip", "link", "set", self.ns_if, "netns", self.ns),
            ("ip", "addr", "add", f"{self.root_ip}/30", "dev", self.root_if),
            ("ip", "link", "set", self.root_if, "up"),
            ("ip", "netns", "exec", self.ns, "ip", "addr", "add", f"{self.ns_ip}/30", "dev", self.ns_if),
            ("ip", "netns", "exec", self.ns, "ip", "link", "set", self.ns_if, "up"),
        ]
        for step in steps:
            r = self.run(*step)
            if r.returncode != 0:
                return f"cannot set up the namespace link ({' '.join(step)}): {r.stderr.strip()}"
            if step[1] == "link" and step[2] == "add":
                self.made_link = True
        return None

    def request(self, port, data):
        r = subprocess.run(["ip", "netns", "exec", self.ns, "python3", "-c", CLIENT, self.root_ip, str(port),
                            data.hex()], capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            raise AssertionError(f"client in namespace failed: {r.stderr}")
        return bytes.fromhex(r.stdout)

    def cleanup(self):
        if self.made_link:
            self.run("ip", "link", "del", self.root_if)  # takes its peer along
        if self.made_ns:
            self.run("ip", "netns", "del", self.ns)


class SystemEndpoints(ServerTestCase):
    def send(self, method, path, headers=(), family=socket.AF_INET):
        return split_reply(self.srv.raw(request_bytes(method, path, headers), family=family))

    def assert_json_reply(self, status, lines, payload):
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(header(lines, "Content-Type"), "application/json; charset=utf-8")
        self.assertEqual(header(lines, "Server"), "TornioMVC")
        self.assertEqual(int(header(lines, "Content-Length")), len(payload))

    def test_describe_server_exact_body(self):
        for family in (socket.AF_INET, socket.AF_INET6):
            for path in ("/system/describeserver.info", "/SYSTEM/DescribeServer.INFO"):
                with self.subTest(family=family, path=path):
                    status, lines, payload = self.send("GET", path, [("Accept", "*/*")], family)
                    self.assert_json_reply(status, lines, payload)
                    self.assertEqual(payload, DESCRIBE_SERVER)
        self.srv.wait_log(f"GET:/system/describeserver.info [::1] -> {SYSTEM_CONTROLLER}.DescribeServer - 200 OK")

    def test_server_config_keys_and_values(self):
        status, lines, payload = self.send("GET", "/system/serverconfig.info")
        self.assert_json_reply(status, lines, payload)
        self.assertEqual(payload, SERVER_CONFIG)

    def test_describe_platform_shape(self):
        status, lines, payload = self.send("GET", "/system/describeplatform.info", [("Accept", "application/json")])
        self.assert_json_reply(status, lines, payload)
        text = payload.decode("utf-8")
        m = re.fullmatch(r'\{"OS":"(.*)","CPU_count":(\d+),"CPU_architecture":"(\w+)",'
                         r'"system_time":"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{1,3})Z"\}', text)
        self.assertIsNotNone(m, text)
        u = os.uname()
        self.assertEqual(m.group(1), f"{u.sysname} {u.release} {u.version}")
        self.assertEqual(int(m.group(2)), os.cpu_count())
        expected_arch = {"x86_64": "arIntelX64", "aarch64": "arARM64"}.get(platform.machine())
        if expected_arch:
            self.assertEqual(m.group(3), expected_arch)
        else:
            self.assertIn(m.group(3), ("arIntelX86", "arARM32"))
        stamp = datetime.datetime(*(int(g) for g in m.groups()[3:9]), int(m.group(10)) * 1000,
                                  tzinfo=datetime.timezone.utc)
        drift = abs((stamp - datetime.datetime.now(datetime.timezone.utc)).total_seconds())
        self.assertLess(drift, 600, text)  # UTC, not local time

    def test_only_get_is_served(self):
        for method in ("POST", "PUT", "DELETE"):
            with self.subTest(method=method):
                status, _, payload = self.send(method, "/system/serverconfig.info", [("Accept", "*/*")])
                self.assertEqual(status, "HTTP/1.1 404 [EMVCException] Not Found")
                self.assertEqual(payload, b"TornioMVC\r\nHTTP 404: [EMVCException] Not Found")

    def test_local_peer_relaying_a_remote_client_gets_403(self):
        # Local means the connection's peer and the client address (the forwarding
        # headers first) are both local.
        status, lines, payload = self.send("GET", "/system/serverconfig.info", [("HTTP_CLIENT_IP", "10.1.2.3")])
        self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        self.assertEqual(payload, FORBIDDEN_PAGE)
        self.srv.wait_log(f"GET:/system/serverconfig.info [10.1.2.3] -> {SYSTEM_CONTROLLER}.ServerConfig - 403 Forbidden")
        status, lines, payload = self.send("GET", "/system/serverconfig.info", [("HTTP_CLIENT_IP", "::1")])
        self.assert_json_reply(status, lines, payload)

    def test_non_local_caller_gets_403(self):
        link = RemoteLink()
        try:
            reason = link.setup()
            if reason:
                self.skipTest(reason)
            cases = [
                ("/system/serverconfig.info", [], link.ns_ip, "ServerConfig"),
                ("/system/describeserver.info", [("HTTP_CLIENT_IP", "127.0.0.1")], "127.0.0.1", "DescribeServer"),
                ("/system/describeplatform.info", [("HTTP_X_FORWARDED_FOR", "127.0.0.1")], "127.0.0.1",
                 "DescribePlatform"),
                ("/system/serverconfig.info", [("HTTP_CLIENT_IP", "localhost"), ("Accept", "application/json")],
                 "localhost", "ServerConfig"),
            ]
            for path, headers, logged_ip, action in cases:
                with self.subTest(path=path, headers=headers):
                    reply = link.request(self.srv.port, request_bytes("GET", path, headers))
                    status, lines, payload = split_reply(reply)
                    self.assertEqual(status, "HTTP/1.1 403 Forbidden")
                    self.assertEqual(payload, FORBIDDEN_PAGE)
                    self.assertEqual(header(lines, "Content-Type"), "text/html; charset=utf-8")
                    self.assertEqual(header(lines, "Server"), "TornioMVC")
                    self.srv.wait_log(f"GET:{path} [{logged_ip}] -> {SYSTEM_CONTROLLER}.{action} - 403 Forbidden")
            # A job route answers remote callers as usual, so the link itself is sound.
            reply = link.request(self.srv.port, request_bytes("POST", "/RizOzudo/Nowhere", [("Accept", "*/*")]))
            self.assertEqual(split_reply(reply)[0], "HTTP/1.1 404 [EMVCException] Not Found")
        finally:
            link.cleanup()
        # 403 is not a failure of the engine: no error line for it.
        self.assertNotRegex(self.srv.log_text(), r"\[ERROR *\] .*/system/")
        # The local caller is still served afterwards.
        status, lines, payload = self.send("GET", "/system/serverconfig.info")
        self.assertEqual(payload, SERVER_CONFIG)


if __name__ == "__main__":
    unittest.main()
