"""GET /ostrivan/, the operator's page of one machine, against the real executable: what
it lists (escaped), a real headless Chromium that requeues an unsent job with the page's
own form, and the form's guard (token and same origin) seen from a raw socket."""
import html
import json
import os
import re
import shutil
import socket
import sys
import tempfile
import unittest
import urllib.parse

from ostrivan_e2e import (EXPORT, ScratchServerTestCase, export_body, header, job_request, journal_lines, read_tree,
                          recv_all, request_bytes, split_reply, wait_until, write, zip_bytes)


def _selenium():
    """Debian's python3-selenium (scripts/install-deps installs it), also when another
    Python runs the test."""
    for extra in (None, "/usr/lib/python3/dist-packages"):
        if extra and extra not in sys.path and os.path.isdir(extra):
            sys.path.append(extra)
        try:
            from selenium import webdriver
            from selenium.webdriver.chrome.options import Options
            from selenium.webdriver.chrome.service import Service
            from selenium.webdriver.common.by import By
            return webdriver, Options, Service, By
        except ImportError:
            continue
    return None


SELENIUM = _selenium()
CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver")
                                                else None)
# A name a careless page would turn into markup.
ODD = "20261210-101010.000-P<9>&\"x\""


def send(port, data, source="127.0.0.1", timeout=10):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(data)
        return split_reply(recv_all(s))


class PageCase(ScratchServerTestCase):
    scratch_prefix = "ostrivan-page-"

    def setUp(self):
        super().setUp()
        self.exp = os.path.join(self.dir, "export")
        self.imp = os.path.join(self.dir, "import")
        os.makedirs(self.exp)
        os.makedirs(self.imp)
        self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, Nr_Macchina=7)
        self.unsent = os.path.join(self.srv.dir, "unsent")
        shutil.rmtree(self.unsent, ignore_errors=True)

    def tearDown(self):
        shutil.rmtree(self.unsent, ignore_errors=True)
        hold = os.path.join(self.srv.dir, "held", "20261211-080000.000-P7")
        shutil.rmtree(hold, ignore_errors=True)
        if os.path.exists(hold + ".hold"):
            os.remove(hold + ".hold")
        super().tearDown()

    def put_unsent(self, name):
        entry = os.path.join(self.unsent, name)
        write(os.path.join(entry, "P9.zip"), b"PK archive stand-in")
        write(os.path.join(entry, "files", "programs", "P9.NC"), "G1 X9\n")
        write(os.path.join(entry, "files", "T9.TXT"), "tool 9\n")
        return entry

    def page(self, source="127.0.0.1"):
        return send(self.srv.port, request_bytes("GET", "/ostrivan/", host=f"127.0.0.1:{self.srv.port}"), source)

    def token(self):
        status, _, body = self.page()
        self.assertEqual(status, "HTTP/1.1 200 OK")
        found = re.search(rb'name="token" value="([0-9a-f]+)"', body)
        self.assertIsNotNone(found, body)
        return found.group(1).decode()

    def post(self, name, fields, headers):
        path = "/ostrivan/jobs/unsent/" + urllib.parse.quote(name, safe="") + "/requeue"
        body = urllib.parse.urlencode(fields).encode()
        hdrs = [("Content-Type", "application/x-www-form-urlencoded")] + list(headers)
        return send(self.srv.port, request_bytes("POST", path, hdrs, body, host=f"127.0.0.1:{self.srv.port}"))


class Page(PageCase):
    def test_lists_jobs_status_and_journal_escaped(self):
        # A real delivered export: sent/ gets its archive, the journal its line.
        write(os.path.join(self.exp, "programs", "P1001.NC"), "G1 X1\n")
        status, _, _ = send(self.srv.port, job_request(EXPORT, export_body()))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        wait_until(lambda: any('job="P1001"' in l for l in journal_lines(self.srv)), 20, "the journal line")
        # The journal line comes before the export's hold is settled.
        wait_until(lambda: json.loads(send(self.srv.port, request_bytes("GET", "/ostrivan/status"))[2])["held"] == 0, 20,
                   "the export's hold settled")
        self.put_unsent(ODD)
        # A hold kept beside the executable: its record and its folder are one job.
        write(os.path.join(self.srv.dir, "held", "20261211-080000.000-P7.hold"), "x\n")
        write(os.path.join(self.srv.dir, "held", "20261211-080000.000-P7", "manifest"), "programs/P7.NC\n")
        status, lines, body = self.page()
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(header(lines, "Content-Type"), "text/html; charset=utf-8")
        text = body.decode()
        self.assertIn("<h1>Ostrivan machine 7</h1>", text)
        self.assertIn(html.escape(self.exp, quote=False), text)
        # The odd name only ever appears escaped, its link percent-encoded.
        self.assertNotIn("P<9>", text)
        self.assertIn("P&lt;9&gt;&amp;&quot;x&quot;", text)
        self.assertIn('href="/ostrivan/jobs/unsent/20261210-101010.000-P%3C9%3E%26%22x%22"', text)
        self.assertIn("<h2>Unsent (1)</h2>", text)
        self.assertIn("<h2>Held (1)</h2>", text)
        self.assertIn('href="/ostrivan/jobs/held/20261211-080000.000-P7"', text)
        sent = sorted(os.listdir(os.path.join(self.srv.dir, "sent")))
        self.assertTrue(any(n.endswith("P1001.zip") for n in sent), sent)
        for n in sent:
            self.assertIn(f'href="/ostrivan/jobs/sent/{urllib.parse.quote(n, safe="")}"', text)
        journal = re.search(r'<pre id="journal">(.*)</pre>', text, re.S).group(1)
        self.assertIn("job=&quot;P1001&quot;", journal)
        self.assertLessEqual(len(journal.strip().splitlines()), 50)

    def test_caller_rule_is_the_operator_rule(self):
        # A list without 127.0.0.2 refuses it a job, but the page follows the operator
        # rule: loopback always (a refusal from elsewhere is in the allow-list's unit test).
        self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, ClientAmmessi="127.0.0.1")
        status, _, _ = send(self.srv.port, job_request(EXPORT, export_body()), source="127.0.0.2")
        self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        status, _, body = self.page(source="127.0.0.2")
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertIn(b"<h1>Ostrivan machine", body)


class Guard(PageCase):
    def check_refused(self, fields, headers):
        entry = self.put_unsent("J1")
        before = read_tree(entry)
        status, _, body = self.post("J1", fields, headers)
        self.assertEqual(status, "HTTP/1.1 403 Forbidden", body)
        self.assertEqual(read_tree(entry), before)
        self.assertEqual(os.listdir(self.exp), [])

    def test_without_token_refused(self):
        origin = f"http://127.0.0.1:{self.srv.port}"
        self.check_refused({}, [("Origin", origin)])
        self.check_refused({"token": "0" * 32}, [("Origin", origin)])

    def test_foreign_origin_refused(self):
        self.put_unsent("J1")
        token = self.token()
        self.check_refused({"token": token}, [("Origin", "http://evil.example")])
        self.check_refused({"token": token}, [("Referer", "http://evil.example/ostrivan/")])
        # Neither header: nothing proves the page sent it.
        self.check_refused({"token": token}, [])
        # A browser's post to another kind's requeue is held to the same rule.
        sent = os.path.join(os.path.dirname(self.unsent), "sent", "20261211-000000.000-P9.zip")
        write(sent, zip_bytes({"P9.NC": b"G1 X9\n"}))
        path = "/ostrivan/jobs/sent/" + urllib.parse.quote(os.path.basename(sent), safe="") + "/requeue"
        status, _, body = send(self.srv.port, request_bytes("POST", path, [("Origin", "http://evil.example")], b"",
                                                            host=f"127.0.0.1:{self.srv.port}"))
        self.assertEqual(status, "HTTP/1.1 403 Forbidden", body)
        self.assertEqual(os.listdir(self.exp), [])

    def test_same_origin_with_token_requeues_and_a_full_folder_is_a_conflict(self):
        entry = self.put_unsent("J1")
        token = self.token()
        origin = [("Origin", f"http://127.0.0.1:{self.srv.port}")]
        write(os.path.join(self.exp, "NEW.NC"), "new\n")
        status, _, _ = self.post("J1", {"token": token}, origin)
        self.assertEqual(status, "HTTP/1.1 409 Conflict")
        self.assertEqual(read_tree(self.exp), {"NEW.NC": b"new\n"})
        self.assertEqual(read_tree(os.path.join(entry, "files")), {"programs/P9.NC": b"G1 X9\n", "T9.TXT": b"tool 9\n"})
        os.remove(os.path.join(self.exp, "NEW.NC"))
        status, lines, _ = self.post("J1", {"token": token}, [("Referer", f"http://127.0.0.1:{self.srv.port}/ostrivan/")])
        self.assertEqual(status, "HTTP/1.1 303 See Other")
        self.assertEqual(header(lines, "Location"), "/ostrivan/")
        self.assertEqual(read_tree(self.exp), {"programs/P9.NC": b"G1 X9\n", "T9.TXT": b"tool 9\n"})
        self.assertFalse(os.path.exists(entry))
        status, _, _ = self.post("J1", {"token": token}, origin)
        self.assertEqual(status, "HTTP/1.1 404 Not Found")


@unittest.skipUnless(SELENIUM and CHROMIUM and CHROMEDRIVER,
                     "chromium, chromium-driver or python3-selenium is not installed (scripts/install-deps)")
class Browser(PageCase):
    @staticmethod
    def body_text(driver, By):
        """The page's text, or "" while the form's reply replaces the page."""
        from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
        try:
            return driver.find_element(By.TAG_NAME, "body").text
        except (NoSuchElementException, StaleElementReferenceException):
            return ""

    def test_requeue_from_the_page(self):
        webdriver, Options, Service, By = SELENIUM
        self.put_unsent(ODD)
        profile = tempfile.mkdtemp(dir=self.dir)
        options = Options()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    f"--user-data-dir={profile}", "--window-size=1200,900"):
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        try:
            driver.set_page_load_timeout(30)
            driver.get(f"http://127.0.0.1:{self.srv.port}/ostrivan/")
            self.assertEqual(driver.title, "Ostrivan machine 7")
            rows = driver.find_elements(By.CSS_SELECTOR, "table#unsent tr")
            row = [r for r in rows if ODD in r.text]
            self.assertEqual(len(row), 1, [r.text for r in rows])
            row[0].find_element(By.TAG_NAME, "button").click()
            wait_until(lambda: "Unsent (0)" in self.body_text(driver, By), 20, "the page after the requeue")
            self.assertEqual(read_tree(self.exp), {"programs/P9.NC": b"G1 X9\n", "T9.TXT": b"tool 9\n"})
            self.assertIn("P9", driver.find_element(By.ID, "status").text)
            out = os.environ.get("OSTRIVAN_BUILD_DIR")
            out = os.path.join(out, "e2e-output") if out else tempfile.mkdtemp(prefix="ostrivan-page-shot-")
            os.makedirs(out, exist_ok=True)
            shot = os.path.join(out, "operator_page.png")
            self.assertTrue(driver.save_screenshot(shot))
            with open(shot, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            print(f"screenshot: {shot}", file=sys.stderr)
        finally:
            driver.quit()


if __name__ == "__main__":
    unittest.main()
