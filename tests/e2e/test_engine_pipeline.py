"""The web engine over loopback: routing table, request media types and charsets,
size checks, the exact head of a routed reply and the engine's log lines."""
import re
import socket
import unittest

from ostrivan_e2e import EXPORT, IMPORT, ServerTestCase, header, request_bytes, split_reply

EXPORT_ACTION = "RizOzudo.Controller.TRizOzudoController.ExportLavoro"
NOT_FOUND_TEXT = b"TornioMVC\r\nHTTP 404: [EMVCException] Not Found"


class EngineOverLoopback(ServerTestCase):
    def send(self, method, path, headers=(), body=b"", family=socket.AF_INET):
        reply = self.srv.raw(request_bytes(method, path, headers, body), family=family)
        status, header_lines, payload = split_reply(reply)
        return status, header_lines, payload

    def test_routing_table(self):
        json_body = [("Content-Type", "application/json")]
        cases = [
            # (method, path, extra headers, expected status)
            ("POST", EXPORT, [("Accept", "application/json")], 200),
            ("POST", "/rizozudo/EXPORTLAVORO", [("Accept", "application/json")], 200),
            ("POST", IMPORT, [("Accept", "application/json")], 200),
            ("POST", EXPORT + "/", [("Accept", "application/json")], 404),
            ("POST", "//RizOzudo/ExportLavoro", [("Accept", "application/json")], 404),
            ("GET", EXPORT, [("Accept", "application/json")], 404),
            ("POST", EXPORT, [], 404),
            ("POST", EXPORT, [("Accept", "text/plain")], 404),
            ("POST", EXPORT, [("Accept", "application/*")], 404),
            ("POST", EXPORT, [("Accept", "text/html, application/json")], 404),
            ("POST", EXPORT, [("Accept", "Application/JSON")], 200),
            ("POST", EXPORT, [("Accept", "application/json; q=0.9")], 200),
            ("POST", EXPORT, [("Accept", "application/json, text/plain")], 200),
            ("POST", EXPORT, [("Accept", "*/*")], 200),
            ("POST", EXPORT, [("Accept", "text/plain, */*")], 200),
            ("POST", EXPORT, [("Accept", "*/*"), ("X-HTTP-Method-Override", "GET")], 404),
            ("GET", "/system/describeserverXinfo", [], 200),
            ("GET", "/SYSTEM/DescribeServer.INFO", [], 200),
            ("POST", "/system/serverconfig.info", [("Accept", "*/*")], 404),
        ]
        for method, path, headers, expected in cases:
            with self.subTest(method=method, path=path, headers=headers):
                body = b'{"CodiceCommessa":"1"}' if method == "POST" else b""
                status, lines, payload = self.send(method, path, headers + json_body, body)
                self.assertEqual(int(status.split()[1]), expected, (status, payload))
                if expected == 404:
                    accept = dict(headers).get("Accept", "")
                    if accept in ("", "*/*", "text/plain", "text/plain, */*", "application/*"):
                        self.assertEqual(status, "HTTP/1.1 404 [EMVCException] Not Found")
                        self.assertEqual(payload, NOT_FOUND_TEXT)
                    self.assertEqual(header(lines, "Server"), "TornioMVC")

    def test_longest_paths_are_refused_and_serving_goes_on(self):
        # The request line may hold up to 16 KiB; such paths reach every route expression.
        room = 16384 - len("POST  HTTP/1.1\r\n")
        for path in ("/RizOzudo/" + "a" * (room - 10), "/" + "a/" * ((room - 1) // 2), "/" + "%25" * (room // 3)):
            with self.subTest(length=len(path)):
                status, _, payload = self.send("POST", path, [("Accept", "*/*")], b"{}")
                self.assertEqual(status, "HTTP/1.1 404 [EMVCException] Not Found")
        status, _, _ = self.send("POST", EXPORT, [("Accept", "*/*")], b"{}")
        self.assertEqual(status, "HTTP/1.1 200 OK")

    def test_unknown_method_gets_raw_error_reply(self):
        status, lines, payload = self.send("PROPFIND", EXPORT, [("Accept", "*/*")])
        self.assertEqual(status, "HTTP/1.1 500 [EMVCException] Unknown HTTP method [PROPFIND]")
        self.assertEqual(payload, b"TornioMVC\r\nHTTP 500: [EMVCException] Unknown HTTP method [PROPFIND]")
        self.assertEqual(header(lines, "Content-Type"), "text/plain; charset=utf-8")

    def test_not_found_as_json(self):
        status, lines, payload = self.send("POST", "/RizOzudo/Unknown", [("Accept", "application/json")], b"{}")
        self.assertEqual(status, "HTTP/1.1 404 [EMVCException] Not Found")
        self.assertEqual(header(lines, "Content-Type"), "application/json; charset=utf-8")
        self.assertEqual(payload, b'{"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],'
                                  b'"statuscode":404,"reasonstring":"","message":"[EMVCException] Not Found",'
                                  b'"data":null}')

    def test_request_media_types_and_charsets(self):
        cases = [
            ("application/json; charset=UTF-8", 200, None, None),
            ("Application/JSON", 500, "EMVCDeserializationException",
             'Body ContentType \\"application/json;charset=utf-8\\" not supported'),
            ("application/json ;charset=utf-8", 500, "EMVCDeserializationException",
             'Body ContentType \\"application/json;charset=utf-8\\" not supported'),
            ("text/plain", 500, "EMVCDeserializationException",
             'Body ContentType \\"text/plain;charset=utf-8\\" not supported'),
            ("text/html", 500, "EMVCException", "Not Implemented"),
            ("application/json; charset=x-unknown-9", 500, "EEncodingError", "Invalid encoding name"),
        ]
        for content_type, expected, class_name, message in cases:
            with self.subTest(content_type=content_type):
                status, lines, payload = self.send(
                    "POST", IMPORT, [("Accept", "application/json"), ("Content-Type", content_type)],
                    b'{"NomeFile":"a.zip"}')
                if expected == 200:
                    self.assertEqual(status, "HTTP/1.1 200 OK")
                    continue
                self.assertEqual(status, "HTTP/1.1 500 Internal Server Error")
                self.assertEqual(header(lines, "Content-Type"), "application/json; charset=utf-8")
                text = payload.decode("utf-8")
                self.assertIn(f'"classname":"{class_name}"', text)
                self.assertIn(f'"message":"{message}"', text)
                self.assertIn('"statuscode":500,"reasonstring":"error"', text)

    def test_size_checks(self):
        # A valid JSON body of exactly the limit passes; one byte more is refused before routing.
        limit = 5242880
        head = b'{"CodiceCommessa":"'
        tail = b'"}'
        body = head + b"a" * (limit - len(head) - len(tail)) + tail
        self.assertEqual(len(body), limit)
        status, _, _ = self.send("POST", EXPORT, [("Accept", "application/json"),
                                                   ("Content-Type", "application/json")], body)
        self.assertEqual(status, "HTTP/1.1 200 OK")
        for path in (EXPORT, "/no/such/route"):
            with self.subTest(path=path):
                status, lines, payload = self.send("POST", path, [("Accept", "application/json")],
                                                   body + b" ")
                self.assertEqual(status.split()[1], "413")
                self.assertEqual(payload, b"Request size exceeded the max allowed size [5120 KiB] (1)")
                self.assertIsNone(header(lines, "Server"))
                self.assertIsNone(header(lines, "X-Powered-By"))

    def test_exact_head_of_a_routed_reply(self):
        status, lines, payload = self.send(
            "POST", EXPORT, [("Accept", "application/json"), ("Content-Type", "application/json")],
            '{"CodiceCommessa":"\u00e8"}'.encode("utf-8"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        names = [line.partition(": ")[0] for line in lines]
        self.assertEqual(names, ["Connection", "Content-Type", "Content-Length", "Date", "Server", "X-Powered-By"])
        self.assertEqual(header(lines, "Connection"), "close")
        self.assertEqual(header(lines, "Content-Type"), "application/json; charset=utf-8")
        self.assertEqual(int(header(lines, "Content-Length")), len(payload))
        self.assertRegex(header(lines, "Date"), r"^[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT$")
        self.assertEqual(header(lines, "Server"), "TornioMVC")
        self.assertEqual(header(lines, "X-Powered-By"), "TornioMVC 1.0.0")
        self.assertFalse(payload.startswith(b"\xef\xbb\xbf"))
        self.assertTrue(payload.startswith(b"{"), payload)
        payload.decode("utf-8")

    def test_log_lines_for_start_up_routing_and_client_ip(self):
        self.send("POST", EXPORT, [("Accept", "application/json"), ("Content-Type", "application/json"),
                                   ("HTTP_CLIENT_IP", "10.1.2.3")], b"{}")
        self.send("GET", "/nowhere", [("Accept", "*/*")])
        self.send("POST", EXPORT, [("Accept", "*/*"), ("Content-Type", "application/json")], b"{}",
                  family=socket.AF_INET6)
        self.srv.wait_log(f"POST:{EXPORT} [10.1.2.3] -> {EXPORT_ACTION} - 200 OK")
        self.srv.wait_log("GET:/nowhere [127.0.0.1] -> {NOT FOUND} - 404 Not Found")
        self.srv.wait_log(f"POST:{EXPORT} [::1] -> {EXPORT_ACTION} - 200 OK")
        self.srv.wait_log('[EMVCException] Not Found [PathInfo "GET /nowhere"] (Custom message: "GET /nowhere")')
        log = self.srv.log_text()
        start_up = ["ENTER: Config default values", "EXIT: Config default values",
                    ">> Custom configuration method", "<< Custom configuration method",
                    "ENTER: LoadSystemControllers", "EXIT: LoadSystemControllers"]
        positions = [log.find(line) for line in start_up]
        self.assertTrue(all(p >= 0 for p in positions), positions)
        self.assertEqual(positions, sorted(positions))
        not_found_info = log.find("GET:/nowhere [127.0.0.1] -> {NOT FOUND}")
        not_found_error = log.find('[EMVCException] Not Found [PathInfo "GET /nowhere"]')
        self.assertLess(not_found_info, not_found_error)
        self.assertRegex(log, re.compile(r"\[TID \d+ *\]\[INFO *\] ENTER: Config default values \[torniomvc\]"))


if __name__ == "__main__":
    unittest.main()
