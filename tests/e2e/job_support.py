"""Helpers the job fault tests share: job trees, snapshots, raw job requests and replies,
waiting on events, the journal."""
import base64
import io
import json
import os
import socket
import struct
import subprocess
import sys
import time
import zipfile

from ostrivan_e2e import MAKE_JOB

EXPORT = "/RizOzudo/ExportLavoro"
IMPORT = "/RizOzudo/ImportLavoro"
STAGING = ".ostrivan-import"


def make_job(root, size="max"):
    subprocess.run([sys.executable, MAKE_JOB, size, root], check=True, capture_output=True)


def snapshot(root):
    """Relative path -> (bytes, mtime_ns, mode) for files, None for directories."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            out[os.path.relpath(os.path.join(dirpath, d), root) + "/"] = None
        for f in filenames:
            p = os.path.join(dirpath, f)
            st = os.lstat(p)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, root)] = (fh.read(), st.st_mtime_ns, st.st_mode)
    return out


def files_of(snap):
    return {k: v[0] for k, v in snap.items() if v is not None}


def request(path, body):
    head = (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n")
    return head.encode("latin-1") + body


def export_request(mode="NEWEN"):
    return request(EXPORT, json.dumps({"ModoGestioneFile": mode}).encode())


def read_reply(sock):
    chunks = []
    while True:
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        chunks.append(chunk)
    data = b"".join(chunks)
    head, _, body = data.partition(b"\r\n\r\n")
    return head, body


def export_whole(port, mode="NEWEN"):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(export_request(mode))
        head, body = read_reply(s)
    return json.loads(body) if body else None


def archive_files(reply):
    with zipfile.ZipFile(io.BytesIO(base64.b64decode(reply["Stream"]))) as zf:
        return {n.replace("\\", "/"): zf.read(n) for n in zf.namelist()}


def wait_until(check, timeout=60, what="condition", pause=0.05):
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(pause)


def journal_lines(srv):
    return [line for line in srv.log_text("journal").splitlines() if line.strip()]


def reset(sock):
    """Closes with SO_LINGER 0: the peer gets a reset, not an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()
