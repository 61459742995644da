"""Every failure outside the job work, against the real executable: exact status line,
headers and body, the error log line, and normal service of the next request."""
import os
import re
import shutil
import unittest

from ostrivan_e2e import EXPORT, IMPORT, ScratchServerTestCase, header, request_bytes, split_reply

JSON_IN = ("Content-Type", "application/json")
ACCEPT_JSON = ("Accept", "application/json")

STYLE = ("body{\t\tfont-family: Arial, Helvetica, sans-serif;\t\tfont-size: 200%;\t}\t"
         ".info, .success, .warning, .error, .validation {\t\tborder: 1px solid;\t\tmargin: 10px 0px;\t\t"
         "padding: 15px 10px 15px 25px;\t\tbackground-repeat: no-repeat;\t\tbackground-position: 10px center;\t}\t"
         ".info {\t\tcolor: #00529B;\t\tbackground-color: #BDE5F8;\t\tfont-size: 50%;\t}\t"
         ".success {\t\tcolor: #4F8A10;\t\tbackground-color: #DFF2BF;\t}\t"
         ".warning {\t\tcolor: #9F6000;\t\tbackground-color: #FEEFB3;\t\tfont-size: 70%;\t}\t"
         ".error{\t\tcolor: #D8000C;\t\tbackground-color: #FFBABA;\t}"
         ".container {max-width: 1000px; margin: auto; margin-top: 3rem;}")


def html_page(status, message, class_name):
    return ("<!DOCTYPE html><html><head><title>TornioMVC Exception</title><style>" + STYLE +
            "</style></head><body><div class=\"container\"><h1>TornioMVC</h1>"
            f"<div class=\"error\"><p>HTTP {status}</p><p>{message}</p></div>\r\n"
            f"<div class=\"warning\">Exception Class Name: {class_name}</div>\r\n"
            "<div class=\"info\"><p></p>\r\n<p>Application Error Code: 0</p>\r\n<p>Error Items: <ul>\r\n"
            "<ul></p></div></div></body></html>").encode("utf-8")


def error_json(class_name, status, reason, message):
    message = message.replace("\\", "\\\\").replace('"', '\\"')
    return (f'{{"classname":"{class_name}","detailedmessage":"","apperrorcode":0,"items":[],'
            f'"statuscode":{status},"reasonstring":"{reason}","message":"{message}","data":null}}').encode("utf-8")


class ErrorReplies(ScratchServerTestCase):
    scratch_prefix = "ostrivan-errors-"

    @classmethod
    def prepare_scratch(cls):
        cls.export_dir = os.path.join(cls.base, "export")
        cls.import_dir = os.path.join(cls.base, "import")
        os.makedirs(cls.export_dir)
        os.makedirs(cls.import_dir)
        cls.server_options = {"ini": {"ExportLavoroDir": cls.export_dir,
                                      "ImportLavoroDir": cls.import_dir, "Nr_Macchina": "7"}}

    def setUp(self):
        super().setUp()
        # A lone file in each working directory shows whether job work was done.
        for d in (self.export_dir, self.import_dir):
            shutil.rmtree(d)
            os.makedirs(d)
            with open(os.path.join(d, "keep.nc"), "w") as f:
                f.write("G0 X0\n")

    def send(self, method, path, headers=(), body=b""):
        return split_reply(self.srv.raw(request_bytes(method, path, headers, body)))

    def assert_error_logged(self, text):
        self.srv.wait_log(text)
        pattern = r"\[ERROR *\] " + re.escape(text) + r" \[torniomvc\]\r\n"
        self.assertRegex(self.srv.log_text(), pattern)

    def assert_serving_goes_on(self):
        status, lines, payload = self.send("GET", "/system/serverconfig.info", [("Accept", "*/*")])
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertIn(b'"server_name":"TornioMVC"', payload)

    def assert_routed_head(self, lines, content_type, payload):
        self.assertEqual(header(lines, "Connection"), "close")
        self.assertEqual(header(lines, "Server"), "TornioMVC")
        self.assertEqual(header(lines, "X-Powered-By"), "TornioMVC 1.0.0")
        self.assertEqual(header(lines, "Content-Type"), content_type)
        self.assertEqual(int(header(lines, "Content-Length")), len(payload))

    def assert_no_job_work(self):
        for d in (self.export_dir, self.import_dir):
            self.assertEqual(os.listdir(d), ["keep.nc"], d)

    def test_not_found_in_each_format(self):
        not_found = "[EMVCException] Not Found"
        cases = [
            # (accept header or None, content type, exact body)
            ("application/json", "application/json; charset=utf-8",
             error_json("EMVCException", 404, "", not_found)),
            ("*/*", "text/plain; charset=utf-8", b"TornioMVC\r\nHTTP 404: [EMVCException] Not Found"),
            (None, "text/plain; charset=utf-8", b"TornioMVC\r\nHTTP 404: [EMVCException] Not Found"),
            ("text/html,application/xhtml+xml", "text/html; charset=utf-8",
             html_page(404, not_found, "EMVCException")),
        ]
        for accept, content_type, body in cases:
            for method, path in (("POST", "/RizOzudo/Unknown"), ("GET", EXPORT)):
                with self.subTest(accept=accept, method=method, path=path):
                    headers = [JSON_IN] + ([("Accept", accept)] if accept is not None else [])
                    status, lines, payload = self.send(method, path, headers, b"{}" if method == "POST" else b"")
                    self.assertEqual(status, "HTTP/1.1 404 [EMVCException] Not Found")
                    self.assertEqual(payload, body)
                    self.assert_routed_head(lines, content_type, payload)
        self.srv.wait_log("POST:/RizOzudo/Unknown [127.0.0.1] -> {NOT FOUND} - 404 Not Found")
        self.assert_error_logged('[EMVCException] Not Found [PathInfo "POST /RizOzudo/Unknown"] '
                                 '(Custom message: "POST /RizOzudo/Unknown")')
        self.assert_error_logged(f'[EMVCException] Not Found [PathInfo "GET {EXPORT}"] '
                                 f'(Custom message: "GET {EXPORT}")')
        log = self.srv.log_text()
        self.assertLess(log.find("POST:/RizOzudo/Unknown [127.0.0.1] -> {NOT FOUND}"),
                        log.find('[EMVCException] Not Found [PathInfo "POST /RizOzudo/Unknown"]'))
        self.assert_no_job_work()
        self.assert_serving_goes_on()

    def test_unknown_method_in_each_format(self):
        message = "[EMVCException] Unknown HTTP method [PROPFIND]"
        cases = [
            ("*/*", "text/plain; charset=utf-8", b"TornioMVC\r\nHTTP 500: " + message.encode()),
            ("application/json", "application/json; charset=utf-8", error_json("EMVCException", 500, "", message)),
            ("text/html", "text/html; charset=utf-8", html_page(500, message, "EMVCException")),
        ]
        for accept, content_type, body in cases:
            with self.subTest(accept=accept):
                status, lines, payload = self.send("PROPFIND", EXPORT, [("Accept", accept)])
                self.assertEqual(status, "HTTP/1.1 500 " + message)
                self.assertEqual(payload, body)
                self.assert_routed_head(lines, content_type, payload)
        self.assert_error_logged(f'[EMVCException] Unknown HTTP method [PROPFIND] [PathInfo "PROPFIND {EXPORT}"] '
                                 '(Custom message: "")')
        self.assert_serving_goes_on()

    def test_control_characters_from_the_request_never_reach_the_head(self):
        # The override names the method, which the 500 reason repeats: its CR must not
        # end the status line and start a header of the client's choosing.
        status, lines, payload = self.send("POST", EXPORT, [("Accept", "*/*"), JSON_IN,
                                                            ("X-HTTP-Method-Override", "FOO\rSet-Cookie: a=b")], b"{}")
        self.assertEqual(status, "HTTP/1.1 500 [EMVCException] Unknown HTTP method [FOO SET-COOKIE: A=B]")
        self.assertIsNone(header(lines, "Set-Cookie"))
        self.assertTrue(all("\r" not in line for line in lines), lines)
        self.assert_routed_head(lines, "text/plain; charset=utf-8", payload)
        self.assert_serving_goes_on()

    def test_text_from_the_request_stays_one_line_in_the_log(self):
        forged = "2026-12-11 00:00:00:000  [TID 1       ][ERROR     ] FORGED LINE"
        cases = [
            # (method, path, headers): decoded CR LF, NUL and ESC in the path, in the routing
            # and error lines; a method override naming a method with a CR.
            ("GET", "/x%0d%0a" + forged.replace(" ", "%20"), [("Accept", "*/*")]),
            ("GET", "/nul%00here%1b[31m", [("Accept", "*/*")]),
            ("POST", EXPORT + "%0a" + forged.replace(" ", "%20"), [("Accept", "*/*"), JSON_IN]),
            ("POST", EXPORT, [("Accept", "*/*"), JSON_IN, ("X-HTTP-Method-Override", "FOO\rFORGED")]),
        ]
        for method, path, headers in cases:
            with self.subTest(path=path):
                self.send(method, path, headers, b"{}")
        self.srv.wait_log("nul\\x00here\\x1B[31m")
        self.srv.wait_log("x\\r\\n" + forged)
        with open(self.srv.log_path("torniomvc"), "rb") as f:
            raw = f.read()
        self.assertNotIn(b"\x00", raw)
        self.assertNotIn(b"\x1b", raw)
        for line in raw.split(b"\r\n"):
            self.assertFalse(line.startswith(forged.encode()[:24]) and b"FORGED" in line, line)
            self.assertNotIn(b"\r", line)
            self.assertNotIn(b"\n", line)
        self.assert_serving_goes_on()

    def test_nesting_at_and_past_the_reader_limit_leaves_the_service_running(self):
        bodies = [b"[" * 100000, b'{"a":' * 100000,
                  # Just under the limit, in a member of a job request.
                  b'{"ModoGestioneFile":"NEWEN","x":' + b"[" * 998 + b"]" * 998 + b"}"]
        for body in bodies:
            with self.subTest(body=body[:40]):
                status, lines, payload = self.send("POST", EXPORT, [("Accept", "application/json"), JSON_IN], body)
                self.assertTrue(status.startswith("HTTP/1.1 "), status)
                self.assert_serving_goes_on()
        self.srv.wait_log("Nesting deeper than 1000 levels")
        self.assert_no_job_work()

    def test_request_body_failures(self):
        cases = [
            # (path, content type, body, status line, class, message, custom log text)
            (IMPORT, "text/plain", b'{"NomeFile":"a.zip"}', "500 Internal Server Error",
             "EMVCDeserializationException", 'Body ContentType "text/plain;charset=utf-8" not supported', ""),
            (IMPORT, "text/html", b'{"NomeFile":"a.zip"}', "500 Internal Server Error",
             "EMVCException", "Not Implemented", ""),
            (EXPORT, "application/json; charset=x-no-such-set", b"{}", "500 Internal Server Error",
             "EEncodingError", "Invalid encoding name", "Global Action Exception Handler"),
            (EXPORT, "application/json", b"", "400 Bad Request", "EMVCException", "Invalid body", ""),
            (IMPORT, "application/json", b"", "400 Bad Request", "EMVCException", "Invalid body", ""),
            (EXPORT, "application/json", b"123", "400 Bad Request",
             "EMVCException", 'Expected "{" but found value (1, 4)', ""),
            (IMPORT, "application/json", b"[]", "500 Internal Server Error",
             "EMVCSerializationException", "Invalid JSON. Expected TJsonObject got TJsonArray", ""),
            (EXPORT, "application/json", b'{"CodiceCommessa":12}', "400 Bad Request", "EMVCException",
             'Invalid class typecast for property "CodiceCommessa" [Expected: string, Actual: Int]', ""),
        ]
        for path, content_type, body, status_line, class_name, message, custom in cases:
            with self.subTest(path=path, content_type=content_type, body=body):
                status, lines, payload = self.send("POST", path, [ACCEPT_JSON, ("Content-Type", content_type)], body)
                self.assertEqual(status, "HTTP/1.1 " + status_line)
                code = int(status_line.split()[0])
                self.assertEqual(payload, error_json(class_name, code, "error", message))
                self.assert_routed_head(lines, "application/json; charset=utf-8", payload)
                self.assert_no_job_work()
                self.assert_error_logged(f'[{class_name}] {message} [PathInfo "POST {path}"] '
                                         f'(Custom message: "{custom}")')
                self.assert_serving_goes_on()
        # A request that failed after routing gets no "found" routing line.
        self.assertNotRegex(self.srv.log_text(), r"-> RizOzudo\.Controller\.TRizOzudoController\.\w+ - (400|500) ")

    def test_oversized_body_is_refused_before_routing(self):
        body = b"{" + b" " * (5242880 - 1)  # one byte over the limit with the closing brace
        body += b"}"
        self.assertEqual(len(body), 5242881)
        for path in (EXPORT, "/no/such/route"):
            with self.subTest(path=path):
                status, lines, payload = self.send("POST", path, [ACCEPT_JSON, JSON_IN], body)
                self.assertEqual(status, "HTTP/1.1 413 Request Entity Too Long")
                self.assertEqual(payload, b"Request size exceeded the max allowed size [5120 KiB] (1)")
                self.assertEqual(header(lines, "Content-Type"), "text/html; charset=utf-8")
                self.assertEqual(header(lines, "Connection"), "close")
                self.assertIsNone(header(lines, "Server"))
                self.assertIsNone(header(lines, "X-Powered-By"))
        self.assert_error_logged("[EMVCException] Request size exceeded the max allowed size [5120 KiB] (1)")
        self.assertNotIn("/no/such/route", self.srv.log_text())  # neither routed nor logged by path
        self.assert_no_job_work()
        self.assert_serving_goes_on()

    def test_job_request_still_works_after_errors(self):
        self.send("POST", EXPORT, [ACCEPT_JSON, JSON_IN], b"")
        self.send("PROPFIND", EXPORT, [("Accept", "*/*")])
        status, lines, payload = self.send("POST", IMPORT, [ACCEPT_JSON, JSON_IN], b"{}")
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertTrue(payload.startswith(b'{"Errore":'), payload)
        self.srv.wait_log(f"POST:{IMPORT} [127.0.0.1] -> RizOzudo.Controller.TRizOzudoController.ImportLavoro"
                          " - 200 OK")


if __name__ == "__main__":
    unittest.main()
