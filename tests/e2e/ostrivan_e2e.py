"""Shared harness for end-to-end tests: runs a copy of the real executable in a
temporary directory (parameter file and logs beside it) with a pseudo-terminal as
stdin, talks to it over loopback and stops it with ESC; or, as a service, with stdin
from /dev/null and --service, stopped by SIGTERM. Beside it, the one home of what the
tests share: files and trees, raw requests and replies, job requests and archives,
waiting on events, the journal."""
import base64
import ctypes
import ctypes.util
import io
import json
import os
import pty
import select
import shlex
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

EXE = os.environ.get("OSTRIVAN_EXE") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "Ostrivan")
# A command the executables run under, for example wine64 for a Windows build; empty: none.
WRAPPER = shlex.split(os.environ.get("OSTRIVAN_WRAPPER", ""))
CLIENT = os.environ.get("OSTRIVAN_CLIENT") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "ostrivan-client")
# The project's deterministic job-tree generator.
MAKE_JOB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "make_job.py")
EXPORT = "/RizOzudo/ExportLavoro"
IMPORT = "/RizOzudo/ImportLavoro"
# Where an import is unpacked before it takes the job's place.
STAGING = ".ostrivan-import"
# The largest request body the service takes.
BODY_LIMIT = 5242880
JSON_HEADERS = (("Accept", "application/json"), ("Content-Type", "application/json"))
READY_LINE = "Press ESC to stop the server"
SERVICE_READY_LINE = "Running as a service: SIGTERM or SIGINT stops the server"


def free_port():
    """A port that is free on both loopback families right now."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s6:
                s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                s6.bind(("::1", port))
        except OSError:
            continue
        return port
    raise RuntimeError("no free port")


def write_ini(directory, values=None, raw=None):
    path = os.path.join(directory, "ParametrOstrivan.ini")
    if raw is not None:
        mode = "wb" if isinstance(raw, bytes) else "w"
        with open(path, mode) as f:
            f.write(raw)
        return path
    with open(path, "w") as f:
        f.write("[CONFIG]\n")
        for k, v in (values or {}).items():
            f.write(f"{k}={v}\n")
    return path


class Server:
    """A running copy of the service. Use as a context manager, or start()/stop()."""

    def __init__(self, port=None, ini=None, raw_ini=None, workdir=None, env=None, service=False, cwd="/",
                 prefix=()):
        self.own_dir = workdir is None
        self.dir = workdir or tempfile.mkdtemp(prefix="ostrivan-e2e-")
        # A Windows build keeps its .exe ending, which Wine goes by.
        self.exe = os.path.join(self.dir, "Ostrivan" + os.path.splitext(EXE)[1])
        if not os.path.exists(self.exe):
            shutil.copy2(EXE, self.exe)
        self.port = port if port is not None else free_port()
        values = {"Porta": self.port}
        values.update(ini or {})
        if raw_ini is not None:
            write_ini(self.dir, raw=raw_ini)
        elif ini is not False:
            write_ini(self.dir, values)
        # A port free_port chose can be taken by another program before the service binds
        # it: start() then tries another one. Not for a port the test fixed or wrote itself.
        self.ini_values = values if port is None and raw_ini is None and ini is not False else None
        self.env = env
        self.service = service
        self.cwd = cwd
        # A command the executable runs under, for example setpriv for another account.
        self.prefix = list(prefix)
        self.proc = None
        self.master = None
        self.output = b""

    # -- process ------------------------------------------------------------------
    def start(self, wait_ready=True, timeout=15, port_tries=5):
        for attempt in range(port_tries):
            self.launch()
            if not wait_ready:
                return self
            try:
                self.wait_output(SERVICE_READY_LINE if self.service else READY_LINE, timeout)
                return self
            except AssertionError:
                if attempt + 1 == port_tries or not self.lost_port_race():
                    raise
            self.retry_on_new_port()
        return self

    def lost_port_race(self):
        """True when the process ended because the chosen port was taken meanwhile."""
        return (self.ini_values is not None and self.proc.poll() is not None
                and b"ECouldNotBindSocket" in self.output)

    def retry_on_new_port(self):
        self.proc.wait()
        if self.proc.stdout is not None:
            self.proc.stdout.close()
        if self.master is not None:
            os.close(self.master)
            self.master = None
        self.proc = None
        self.output = b""
        self.port = free_port()
        self.ini_values["Porta"] = self.port
        write_ini(self.dir, self.ini_values)

    def launch(self):
        """Starts the process without waiting for its ready line."""
        env = dict(os.environ)
        env.update(self.env or {})
        if self.service:
            args, stdin, slave = [self.exe, "--service"], subprocess.DEVNULL, None
        else:
            self.master, slave = pty.openpty()
            args, stdin = [self.exe], slave
        args = self.prefix + WRAPPER + args
        # stderr goes to a file: an unread pipe could fill up and block the server.
        with open(os.path.join(self.dir, "stderr.txt"), "ab") as err:
            self.proc = subprocess.Popen(args, cwd=self.cwd, stdin=stdin,
                                         stdout=subprocess.PIPE, stderr=err,
                                         env=env, close_fds=True)
        if slave is not None:
            os.close(slave)
        return self

    def read_available(self, timeout=0.0):
        """Collects whatever the process wrote to stdout within timeout seconds."""
        fd = self.proc.stdout.fileno()
        end = time.monotonic() + timeout
        while True:
            left = max(0.0, end - time.monotonic())
            r, _, _ = select.select([fd], [], [], left)
            if not r:
                return
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            self.output += chunk
            if time.monotonic() >= end:
                return

    def wait_output(self, text, timeout=15):
        end = time.monotonic() + timeout
        while text.encode() not in self.output:
            if time.monotonic() > end:
                raise AssertionError(f"timed out waiting for {text!r}; output so far: {self.output!r}")
            if self.proc.poll() is not None:
                self.read_available(0.2)
                if text.encode() in self.output:
                    break
                raise AssertionError(f"process ended before {text!r}; output: {self.output!r}")
            self.read_available(0.1)

    def press(self, data):
        os.write(self.master, data)

    def stop(self, timeout=15):
        """Presses ESC (a service gets SIGTERM) and waits for the process; returns
        (exit code, stdout text)."""
        if self.proc is None:
            return None, ""
        if self.proc.poll() is None:
            try:
                if self.service:
                    self.proc.send_signal(signal.SIGTERM)
                else:
                    self.press(b"\x1b")
            except OSError:
                pass
            try:
                out, _ = self.proc.communicate(timeout=timeout)
                self.output += out or b""
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.communicate()
                raise AssertionError("server did not stop after ESC")
        else:
            self.read_available(0.2)
        if self.master is not None:
            try:
                os.close(self.master)
            except OSError:
                pass
            self.master = None
        return self.proc.returncode, self.output.decode("utf-8", "replace")

    def stderr_text(self):
        with open(os.path.join(self.dir, "stderr.txt"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def cleanup(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            if self.proc.stdout is not None:
                self.proc.stdout.close()
        if self.master is not None:
            try:
                os.close(self.master)
            except OSError:
                pass
            self.master = None
        if self.own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            self.cleanup()

    # -- files ----------------------------------------------------------------------
    def log_path(self, tag="torniomvc", index=0):
        return os.path.join(self.dir, "logs", f"Ostrivan.{index:02d}.{tag}.log")

    def log_text(self, tag="torniomvc"):
        try:
            with open(self.log_path(tag), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=10):
        end = time.monotonic() + timeout
        while text not in self.log_text():
            if time.monotonic() > end:
                raise AssertionError(f"log never showed {text!r}; log: {self.log_text()[-2000:]!r}")
            time.sleep(0.05)

    # -- network ----------------------------------------------------------------------
    def connect(self, family=socket.AF_INET, timeout=10):
        host = "127.0.0.1" if family == socket.AF_INET else "::1"
        s = socket.socket(family, socket.SOCK_STREAM)
        s.settimeout(timeout)
        s.connect((host, self.port))
        return s

    def raw(self, data, family=socket.AF_INET, timeout=10):
        """Sends raw bytes and returns everything the server sends until it closes."""
        with self.connect(family, timeout) as s:
            if data:
                s.sendall(data)
            return recv_all(s)


# -- raw requests and replies ---------------------------------------------------------

def recv_all(sock, timeout=None):
    """Everything the peer sends until it closes (or resets); timeout, when given, is set
    on the socket first."""
    if timeout is not None:
        sock.settimeout(timeout)
    chunks = []
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def read_reply(sock):
    """(head, body) of what the peer sends until it closes, resets or stays silent past
    the socket's timeout."""
    chunks = []
    while True:
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        chunks.append(chunk)
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    return head, body


def split_reply(reply):
    """(status line, [header lines], body) of a raw HTTP reply."""
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    return lines[0], lines[1:], body


def header(lines, name):
    """The value of the first header line called name (any case), or None."""
    for line in lines:
        key, _, value = line.partition(": ")
        if key.lower() == name.lower():
            return value
    return None


def request_bytes(method, path, headers=(), body=b"", host="127.0.0.1"):
    """A raw HTTP/1.1 request; Content-Length is sent with a body and on POST/PUT/PATCH."""
    lines = [f"{method} {path} HTTP/1.1", f"Host: {host}"]
    lines += [f"{name}: {value}" for name, value in headers]
    if body or method in ("POST", "PUT", "PATCH"):
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def reset(sock):
    """Closes with SO_LINGER 0: the peer gets a reset, not an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


# -- jobs ---------------------------------------------------------------------------------

def job_request(path, body, headers=()):
    """A job POST as clients send it: JSON both ways, then any further headers."""
    return request_bytes("POST", path, JSON_HEADERS + tuple(headers), body)


def export_body(mode="NEWEN"):
    return json.dumps({"ModoGestioneFile": mode}).encode()


def export_request(mode="NEWEN"):
    return job_request(EXPORT, export_body(mode))


def b64_lines(data):
    """Base64 as the service writes it: CR LF after every 76 characters of full groups."""
    text = base64.b64encode(data).decode()
    full = len(data) // 57
    return "".join(text[i * 76:(i + 1) * 76] + "\r\n" for i in range(full)) + text[full * 76:]


def import_body(archive, name="Job.zip", wrapped=False):
    """The JSON body of an import of archive as name; wrapped breaks Stream into lines as
    the service does."""
    stream = b64_lines(archive) if wrapped else base64.b64encode(archive).decode()
    return json.dumps({"NomeFile": name, "Stream": stream}).encode()


def export_whole(port, mode="NEWEN"):
    """The JSON reply of an export read to its end (None when the server sent no body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(export_request(mode))
        head, body = read_reply(s)
    return json.loads(body) if body else None


def make_job(root, size="max", *options):
    """Lays the project's generated job of that size in root; options go to the generator
    (--zip PATH, --request PATH)."""
    subprocess.run([sys.executable, MAKE_JOB, size, root, *options], check=True, capture_output=True, timeout=300)


def zip_bytes(entries, method=zipfile.ZIP_DEFLATED):
    """A zip archive made by Python's zipfile. entries: name -> bytes (None for a folder
    entry), or ZipInfo -> bytes."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as zf:
        for name, data in entries.items():
            if isinstance(name, zipfile.ZipInfo):
                zf.writestr(name, data)
            elif data is None:
                zf.writestr(zipfile.ZipInfo(name), b"")
            else:
                zf.writestr(name, data)
    return buf.getvalue()


def archive_files(data):
    """Relative path ('/' separators) -> bytes of the file entries of a zip archive."""
    out = {}
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        for info in zf.infolist():
            if info.filename.endswith(("/", "\\")):
                continue
            out[info.filename.replace("\\", "/")] = zf.read(info)
    return out


def stream_entries(reply):
    """Every entry, folder entries too, of the archive in an export reply's Stream:
    name ('/' separators) -> bytes."""
    with zipfile.ZipFile(io.BytesIO(base64.b64decode(reply["Stream"]))) as zf:
        return {n.replace("\\", "/"): zf.read(n) for n in zf.namelist()}


def journal_lines(srv):
    return [line for line in srv.log_text("journal").splitlines() if line.strip()]


# -- files and trees ---------------------------------------------------------------------

def write(path, data):
    """Writes bytes (or text as UTF-8) to path, making its folders."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def snapshot(root):
    """Relative path -> (content, mtime_ns, mode) for files, None for folders (their path
    ends in "/"). A regular file's content is its bytes; anything else that is not a
    folder (a FIFO, a link) is not opened and reads "special". Nothing when root is not
    there."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            out[os.path.relpath(os.path.join(dirpath, d), root) + "/"] = None
        for f in filenames:
            p = os.path.join(dirpath, f)
            st = os.lstat(p)
            content = read_file(p) if stat.S_ISREG(st.st_mode) else "special"
            out[os.path.relpath(p, root)] = (content, st.st_mtime_ns, st.st_mode)
    return out


def files_of(snap):
    """The files of a snapshot: relative path -> content."""
    return {k: v[0] for k, v in snap.items() if v is not None}


def tree(root):
    """Relative path -> content for files, None for folders."""
    return {k: None if v is None else v[0] for k, v in snapshot(root).items()}


def read_tree(root):
    """Relative path -> content of every file below root."""
    return files_of(snapshot(root))


# -- waiting ------------------------------------------------------------------------------

def wait_until(check, timeout=60, what="condition", pause=0.05):
    """check()'s first true value; the timeout only guards against a hang."""
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(pause)


class FolderWatch:
    """Tells, with the kernel's own notice (inotify), the moment something happens in some
    folders: wait() returns at the first event that matches, so a kill can follow within a
    fraction of a millisecond."""
    IN_CREATE = 0x100
    IN_DELETE = 0x200
    IN_ISDIR = 0x40000000
    IN_CLOEXEC = 0o2000000

    def __init__(self, folders, mask):
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        self.fd = libc.inotify_init1(self.IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        for folder in folders:
            if libc.inotify_add_watch(self.fd, os.fsencode(folder), mask) < 0:
                raise OSError(ctypes.get_errno(), f"inotify on {folder}")

    def wait_for(self, timeout, matches, what):
        """matches(mask, name) picks the event; what names it in the failure."""
        end = time.monotonic() + timeout
        try:
            while True:
                left = end - time.monotonic()
                if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                    raise AssertionError(f"{what} within {timeout} s")
                data = os.read(self.fd, 65536)
                at = 0
                while at < len(data):
                    _, mask, _, length = struct.unpack_from("iIII", data, at)
                    name = data[at + 16:at + 16 + length].rstrip(b"\0")
                    at += 16 + length
                    if matches(mask, name):
                        return
        finally:
            os.close(self.fd)


class FileCreationWatch(FolderWatch):
    """The moment a name is created in a folder."""

    def __init__(self, folder, name):
        super().__init__([folder], self.IN_CREATE)
        self.name = os.fsencode(name)

    def wait(self, timeout):
        self.wait_for(timeout, lambda mask, name: name == self.name, f"{self.name!r} not created")


class FileRemovalWatch(FolderWatch):
    """The moment the first file below root is removed."""

    def __init__(self, root):
        super().__init__([dirpath for dirpath, _, _ in os.walk(root)], self.IN_DELETE)

    def wait(self, timeout):
        self.wait_for(timeout, lambda mask, name: mask & self.IN_DELETE and not mask & self.IN_ISDIR,
                      "no file removed")


class ServerTestCase(unittest.TestCase):
    """One running server shared by the tests of a class; it must stop with status 0.
    A subclass may set server_options (Server keyword arguments) before setUpClass runs."""
    server_options = {}

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(**cls.server_options).start()

    @classmethod
    def tearDownClass(cls):
        try:
            code, _ = cls.srv.stop()
            assert code == 0, code
        finally:
            cls.srv.cleanup()


class ScratchServerTestCase(ServerTestCase):
    """A ServerTestCase with scratch folders: cls.base for the class (made before the
    server starts, removed after it stops) and a fresh self.dir below it for each test.
    scratch_prefix names the class folder; prepare_scratch() may fill it and set
    server_options before the server starts."""
    scratch_prefix = "ostrivan-e2e-"

    @classmethod
    def prepare_scratch(cls):
        pass

    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix=cls.scratch_prefix)
        try:
            cls.prepare_scratch()
            super().setUpClass()
        except BaseException:
            # unittest skips tearDownClass when setUpClass fails.
            shutil.rmtree(cls.base, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            shutil.rmtree(cls.base, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.dir = tempfile.mkdtemp(dir=self.base)

    def configure(self, **values):
        # The parameter file is read anew on every request: no restart in between.
        values.setdefault("Porta", self.srv.port)
        write_ini(self.srv.dir, values)
