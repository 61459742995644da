"""The README's commands are tests: every fenced sh and python block of README.md that
talks to the service is read out of README.md, pointed at a live service and run in a
scratch folder as a reader would run it (sh blocks with sh, as a saved script; python
blocks with python3), and its effect is checked: the job fetched and unpacked, the
maximum job imported through the curl snippet, and the failure branches (service down,
a reply-less close, "Errore":true, a damaged archive) ending non-zero with an existing
job.zip left as it was.

Which blocks run (the rule, kept here and nowhere else):
  - a block runs when it names the service's default address `localhost:8080` or has a
    command line that starts with `ostrivan-client`;
  - a block that uses `sudo` or `systemctl` shows commands for an installed system and
    is not run, and neither are blocks without the address or the client (make, cmake,
    dpkg, the service's own command line);
  - `localhost:8080` becomes 127.0.0.1:<the test service's port>; `ostrivan-client`
    is the built client, pointed at the same port.
Blocks recognised as the curl export, the curl import, the Python export or the client
block get the checks of their flow; any other block that runs must end with status 0
against a service that holds a job."""
import io
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

from ostrivan_e2e import CLIENT, EXPORT, IMPORT, ScratchServerTestCase, archive_files, free_port, make_job, read_tree

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
README = os.path.join(SOURCE, "README.md")
DEFAULT_ADDRESS = "localhost:8080"
FENCE = re.compile(r"^( *)```(\w*)[ \t]*\n(.*?)^\1```[ \t]*$", re.M | re.S)


def readme_blocks():
    """(language, text) of every fenced block of README.md, indentation removed."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for m in FENCE.finditer(text):
        indent = len(m.group(1))
        lines = [l[indent:] if l[:indent].strip() == "" else l for l in m.group(3).splitlines()]
        blocks.append((m.group(2), "\n".join(lines) + "\n"))
    return blocks


def talks_to_service(language, text):
    if language not in ("sh", "python"):
        return False
    if re.search(r"(?m)^\s*sudo\s|\bsystemctl\b", text):
        return False
    return DEFAULT_ADDRESS in text or re.search(r"(?m)^\s*ostrivan-client\s", text) is not None


def kind_of(language, text):
    if language == "python":
        return "python export" if EXPORT in text else "other"
    if re.search(r"(?m)^\s*ostrivan-client\s", text):
        return "client"
    if "curl" in text and EXPORT in text:
        return "curl export"
    if "curl" in text and IMPORT in text:
        return "curl import"
    return "other"


def runnable_blocks():
    """kind -> [text] of the blocks the rule runs."""
    found = {}
    for language, text in readme_blocks():
        if talks_to_service(language, text):
            found.setdefault(kind_of(language, text), []).append((language, text))
    return found


class ReplyLessServer:
    """A listener on loopback that reads a request and closes without a reply, as a
    connection cut by a stop looks to a client."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            with conn:
                conn.settimeout(5)
                try:
                    conn.recv(65536)
                except OSError:
                    pass

    def close(self):
        self.stopping.set()
        self.thread.join(10)
        self.sock.close()


class ReadmeRule(unittest.TestCase):
    def test_the_rule_finds_every_flow_and_skips_the_setup_blocks(self):
        found = runnable_blocks()
        for kind in ("curl export", "curl import", "python export", "client"):
            self.assertEqual(len(found.get(kind, [])), 1, f"README.md must hold one {kind} block: {found.keys()}")
        skipped = [(lang, text) for lang, text in readme_blocks() if lang in ("sh", "python")
                   and not talks_to_service(lang, text)]
        # make, systemctl and dpkg lines are shown, not run.
        self.assertTrue(any("make test" in t for _, t in skipped))
        self.assertTrue(any("dpkg -i" in t for _, t in skipped))
        self.assertTrue(any("systemctl" in t for _, t in skipped))
        for _, text in skipped:
            if DEFAULT_ADDRESS in text:
                self.assertRegex(text, r"\bsudo\s|\bsystemctl\b")

    def test_make_run_port_sets_the_demo_parameter_file(self):
        # `make run PORT=8081` hands the port to the demo-config script.
        # (A make of its own: not the flags of a make that may be running this test.)
        env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "BUILD")}
        run = subprocess.run(["make", "-n", "-C", SOURCE, "run", "PORT=8081"], capture_output=True, text=True,
                             timeout=60, env=env)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"(?m)^\./scripts/demo-config build 8081$")
        script = os.path.join(SOURCE, "scripts", "demo-config")
        build = tempfile.mkdtemp(prefix="ostrivan-demo-config-")
        self.addCleanup(shutil.rmtree, build, True)
        ini = os.path.join(build, "ParametrOstrivan.ini")

        def porta():
            with open(ini) as f:
                return re.findall(r"(?mi)^porta=(.*)$", f.read())

        for args, expected in (([], ["8080"]), (["8081"], ["8081"]), ([], ["8081"]), (["9123"], ["9123"])):
            with self.subTest(args=args):
                subprocess.run([script, build, *args], check=True, capture_output=True, timeout=30)
                self.assertEqual(porta(), expected)
        with open(ini) as f:
            self.assertIn(f"ExportLavoroDir={os.path.realpath(build)}/jobs/export\n", f.read())
        # An edited file keeps everything but its port; one without Porta gets it under [CONFIG].
        with open(ini, "w") as f:
            f.write("; mine\n[config]\nNr_Macchina=3\nImportLavoroDir=/srv/in\n")
        subprocess.run([script, build, "8082"], check=True, capture_output=True, timeout=30)
        with open(ini) as f:
            self.assertEqual(f.read(), "; mine\n[config]\nPorta=8082\nNr_Macchina=3\nImportLavoroDir=/srv/in\n")
        for bad in ("0", "70000", "80a"):
            run = subprocess.run([script, build, bad], capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 2, bad)
            self.assertEqual(porta(), ["8082"])


class ReadmeBlocksAgainstService(ScratchServerTestCase):
    scratch_prefix = "ostrivan-readme-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.blocks = runnable_blocks()
        # The client as the README calls it: on the PATH, pointed at the test service.
        cls.bin = os.path.join(cls.base, "bin")
        os.makedirs(cls.bin)
        wrapper = os.path.join(cls.bin, "ostrivan-client")
        with open(wrapper, "w") as f:
            f.write(f"#!/bin/sh\nexec {shlex.quote(os.path.abspath(CLIENT))} "
                    f"--server http://127.0.0.1:{cls.srv.port} \"$@\"\n")
        os.chmod(wrapper, 0o755)

    def setUp(self):
        super().setUp()
        self.exp = os.path.join(self.dir, "export")
        self.imp = os.path.join(self.dir, "import")
        self.work = os.path.join(self.dir, "work")
        for d in (self.exp, self.imp, self.work):
            os.makedirs(d)
        self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp, Nr_Macchina=5)

    def block(self, kind):
        blocks = self.blocks.get(kind, [])
        self.assertEqual(len(blocks), 1, kind)
        return blocks[0]

    def run_block(self, block, port=None):
        """Runs a block in the scratch work folder with the port substituted."""
        language, text = block
        text = text.replace(DEFAULT_ADDRESS, f"127.0.0.1:{port or self.srv.port}")
        suffix = ".py" if language == "python" else ".sh"
        script = os.path.join(self.dir, "snippet" + suffix)
        with open(script, "w") as f:
            f.write(text)
        command = [sys.executable, script] if language == "python" else ["sh", script]
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ.get("PATH", ""))
        return subprocess.run(command, cwd=self.work, capture_output=True, text=True, timeout=300, env=env)

    def put_job(self, size="small"):
        make_job(os.path.join(self.dir, "job"), size)
        shutil.rmtree(self.exp)
        shutil.copytree(os.path.join(self.dir, "job"), self.exp)
        return {k: v for k, v in read_tree(self.exp).items()}

    def job_zip(self):
        with open(os.path.join(self.work, "job.zip"), "rb") as f:
            return f.read()

    def test_curl_export_fetches_and_unpacks_the_job(self):
        job = self.put_job()
        run = self.run_block(self.block("curl export"))
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(archive_files(self.job_zip()), job)
        self.assertIn("programs\\", run.stdout)  # the unzip -l listing
        self.assertEqual(os.listdir(self.exp), [])
        self.assertFalse(os.path.exists(os.path.join(self.work, "job.zip.part")))

    def test_curl_import_of_the_maximum_job(self):
        # Far beyond what one command-line argument can carry.
        source = os.path.join(self.dir, "max")
        make_job(source, "max", "--zip", os.path.join(self.work, "job.zip"))
        self.assertGreater(os.path.getsize(os.path.join(self.work, "job.zip")), 3_000_000)
        with open(os.path.join(self.imp, "OLD.NC"), "wb") as f:
            f.write(b"old job")
        run = self.run_block(self.block("curl import"))
        self.assertEqual(run.returncode, 0, run)
        self.assertIn("job.zip imported", run.stdout)
        self.assertEqual(read_tree(self.imp), read_tree(source))

    def test_curl_export_then_import_round_trip(self):
        job = self.put_job()
        self.assertEqual(self.run_block(self.block("curl export")).returncode, 0)
        run = self.run_block(self.block("curl import"))
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(read_tree(self.imp), job)

    def test_curl_export_failures_exit_non_zero_and_keep_job_zip(self):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w") as zf:
            zf.writestr("programs\\P1.NC", b"G0 X1\n")
        previous = buf.getvalue()
        closed = free_port()
        reply_less = ReplyLessServer()
        self.addCleanup(reply_less.close)
        cases = [
            ("service down", closed, {}, "no reply from the service"),
            ("reply-less close", reply_less.port, {}, "no reply from the service"),
            ("Errore:true, no directory set", None, {"ImportLavoroDir": self.imp},
             "export failed: Directory ExportLavoroDir non specificata"),
            ("Errore:true, nothing waiting", None, None, f"export failed: Nessun file trovato in {self.exp}"),
        ]
        for what, port, ini, message in cases:
            with self.subTest(what=what):
                if ini is not None:
                    self.configure(**ini)
                else:
                    self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=self.imp)
                with open(os.path.join(self.work, "job.zip"), "wb") as f:
                    f.write(previous)
                run = self.run_block(self.block("curl export"), port=port)
                self.assertNotEqual(run.returncode, 0, run)
                self.assertIn(message, run.stderr)
                self.assertEqual(self.job_zip(), previous)
                self.assertFalse(os.path.exists(os.path.join(self.work, "job.zip.part")))

    def test_curl_import_failures_exit_non_zero_and_send_nothing_damaged(self):
        good = io.BytesIO()
        with zipfile.ZipFile(good, "w", zipfile.ZIP_STORED) as zf:
            zf.writestr("programs\\P2.NC", b"G0 X2\n" * 100)
        good = good.getvalue()
        at = good.index(b"G0 X2")
        damaged = good[:at] + b"G1" + good[at + 2:]
        missing = os.path.join(self.dir, "nowhere")
        closed = free_port()
        cases = [
            ("service down", good, closed, {}, "import failed"),
            ("Errore:true", good, None, {"ImportLavoroDir": missing}, f"import failed: Directory {missing} non trovata"),
            ("damaged archive", damaged, None, {}, "job.zip is missing or damaged; nothing sent"),
            ("no archive", None, None, {}, "job.zip is missing or damaged; nothing sent"),
        ]
        for what, data, port, ini, message in cases:
            with self.subTest(what=what):
                self.configure(ExportLavoroDir=self.exp, ImportLavoroDir=ini.get("ImportLavoroDir", self.imp))
                with open(os.path.join(self.imp, "KEEP.NC"), "wb") as f:
                    f.write(b"current job")
                zip_path = os.path.join(self.work, "job.zip")
                if data is None:
                    if os.path.exists(zip_path):
                        os.remove(zip_path)
                else:
                    with open(zip_path, "wb") as f:
                        f.write(data)
                run = self.run_block(self.block("curl import"), port=port)
                self.assertNotEqual(run.returncode, 0, run)
                self.assertIn(message, run.stderr)
                self.assertEqual(read_tree(self.imp), {"KEEP.NC": b"current job"})

    def test_python_export_unpacks_the_tree(self):
        job = self.put_job()
        run = self.run_block(self.block("python export"))
        self.assertEqual(run.returncode, 0, run)
        self.assertRegex(run.stdout, r"^P\d+\.zip from machine 5\n$")
        self.assertEqual(read_tree(os.path.join(self.work, "job")), job)
        # Failures end non-zero and unpack nothing.
        for what, port, ini in (("Errore:true", None, {"ImportLavoroDir": self.imp}), ("service down", free_port(), None)):
            with self.subTest(what=what):
                shutil.rmtree(os.path.join(self.work, "job"), ignore_errors=True)
                if ini is not None:
                    self.configure(**ini)
                run = self.run_block(self.block("python export"), port=port)
                self.assertNotEqual(run.returncode, 0, run)
                self.assertFalse(os.path.exists(os.path.join(self.work, "job")))

    def test_client_block_exports_and_imports(self):
        job = self.put_job()
        run = self.run_block(self.block("client"))
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(read_tree(os.path.join(self.work, "job")), job)  # fetched and unpacked
        self.assertEqual(read_tree(self.imp), job)  # and sent back by the block's import line
        self.assertEqual(os.listdir(self.exp), [])

    def test_other_blocks_that_talk_to_the_service_succeed(self):
        others = self.blocks.get("other", [])
        if not others:
            self.skipTest("every block that talks to the service has checks of its own")
        for block in others:
            with self.subTest(block=block[1][:60]):
                self.put_job()
                run = self.run_block(block)
                self.assertEqual(run.returncode, 0, run)


if __name__ == "__main__":
    unittest.main()
