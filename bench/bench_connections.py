#!/usr/bin/env python3
"""Connection benchmark against the real service, side by side with nginx in one run.

1. Small-request throughput: wrk with 16 connections, one connection per request
   ("Connection: close"), a failing export request whose JSON reply is the same bytes
   nginx returns from a fixed location with its access log on. Runs alternate between
   the two, and the ratio of the medians is printed.
2. Latency at 200 connections: wrk --latency, the 99th percentile of each.
3. Memory: 100 concurrent maximum-size imports against a fresh service; every one must
   succeed; the service's peak RSS is printed.
The load average is printed too: on a shared machine the figures move with it."""
import argparse
import http.client
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import ostrivan_e2e  # noqa: E402

MAKE_JOB = ostrivan_e2e.MAKE_JOB
EXPORT = "/RizOzudo/ExportLavoro"
IMPORT = "/RizOzudo/ImportLavoro"
REQUEST_BODY = '{"ModoGestioneFile":"NEWEN"}'
WRK_SCRIPT = f"""wrk.method = "POST"
wrk.body = '{REQUEST_BODY}'
wrk.headers["Accept"] = "application/json"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Connection"] = "close"
"""
NGINX_CONF = """worker_processes auto;
daemon off;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 4096; }}
http {{
  access_log {d}/access.log;
  client_body_temp_path {d}/body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  server {{
    listen 127.0.0.1:{port};
    location / {{
      default_type "application/json; charset=utf-8";
      return 200 '{body}';
    }}
  }}
}}
"""


def wrk(port, script, connections, seconds, latency=False):
    cmd = ["wrk", "-t2", f"-c{connections}", f"-d{seconds}s", "-s", script]
    if latency:
        cmd.append("--latency")
    out = subprocess.run(cmd + [f"http://127.0.0.1:{port}{EXPORT}"], check=True, capture_output=True,
                         text=True, timeout=seconds + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = None
    m = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
    if m:
        p99 = float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", out)
    return rps, p99, errors.group(0) if errors else ""


def start_nginx(work, port, body):
    d = os.path.join(work, "nginx")
    os.makedirs(d)
    conf = os.path.join(d, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(d=d, port=port, body=body.replace("'", "\\'")))
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", d], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.monotonic() + 10
    while time.monotonic() < end:
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            c.request("GET", "/")
            c.getresponse().read()
            c.close()
            return proc
        except OSError:
            time.sleep(0.1)
    proc.kill()
    raise SystemExit("nginx did not start")


def our_reply_body(port):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request("POST", EXPORT, body=REQUEST_BODY, headers={"Accept": "application/json",
                                                          "Content-Type": "application/json"})
    r = c.getresponse()
    body = r.read().decode()
    c.close()
    return body


def peak_rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return -1


def concurrent_imports(work, count):
    imp = os.path.join(work, "import")
    os.makedirs(imp)
    request_path = os.path.join(work, "max.json")
    subprocess.run([sys.executable, MAKE_JOB, "max", os.path.join(work, "max-src"), "--request", request_path],
                   check=True, capture_output=True)
    with open(request_path, "rb") as f:
        body = f.read()
    srv = ostrivan_e2e.Server(ini={"ImportLavoroDir": imp}).start()
    try:
        idle = peak_rss_mib(srv.proc.pid)
        results = []
        lock = threading.Lock()

        def one():
            try:
                c = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=600)
                c.request("POST", IMPORT, body=body, headers={"Accept": "application/json",
                                                              "Content-Type": "application/json"})
                r = c.getresponse()
                ok = r.status == 200 and json.loads(r.read()).get("Errore") is False
                c.close()
            except Exception:  # noqa: BLE001 - counted as a failure
                ok = False
            with lock:
                results.append(ok)

        start = time.monotonic()
        threads = [threading.Thread(target=one) for _ in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.monotonic() - start
        return idle, peak_rss_mib(srv.proc.pid), sum(results), len(body), took
    finally:
        srv.stop()
        srv.cleanup()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=int, default=8)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--imports", type=int, default=100)
    a = ap.parse_args()
    for tool in ("wrk", "nginx"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is missing: scripts/install-deps --bench installs it")
    ostrivan_e2e.EXE = os.path.abspath(os.path.join(a.build, "Ostrivan"))
    work = tempfile.mkdtemp(prefix="ostrivan-bench-conn-")
    nginx = None
    load_start = os.getloadavg()
    try:
        script = os.path.join(work, "post.lua")
        with open(script, "w") as f:
            f.write(WRK_SCRIPT)
        srv = ostrivan_e2e.Server().start()  # no export directory: every export fails fast
        try:
            body = our_reply_body(srv.port)
            nginx_port = ostrivan_e2e.free_port()
            nginx = start_nginx(work, nginx_port, body)
            ours, theirs = [], []
            for _ in range(a.rounds):
                ours.append(wrk(srv.port, script, 16, a.seconds)[0])
                theirs.append(wrk(nginx_port, script, 16, a.seconds)[0])
            our_lat = wrk(srv.port, script, 200, a.seconds, latency=True)
            their_lat = wrk(nginx_port, script, 200, a.seconds, latency=True)
        finally:
            srv.stop()
            srv.cleanup()
        print(f"small requests, 16 connections, one connection per request, reply of {len(body)} bytes")
        print("  Ostrivan req/s: " + " ".join(f"{x:8.0f}" for x in ours) + f"   median {statistics.median(ours):8.0f}")
        print("  nginx    req/s: " + " ".join(f"{x:8.0f}" for x in theirs) + f"   median {statistics.median(theirs):8.0f}")
        print(f"  ratio Ostrivan/nginx: {statistics.median(ours) / statistics.median(theirs):.2f} (target >= 0.5)")
        print("200 connections, 99th percentile latency (ms):")
        print(f"  Ostrivan {our_lat[1]:.1f} at {our_lat[0]:.0f} req/s {our_lat[2]}")
        print(f"  nginx    {their_lat[1]:.1f} at {their_lat[0]:.0f} req/s {their_lat[2]}")
        if a.imports > 0:
            idle, peak, ok, size, took = concurrent_imports(work, a.imports)
            print(f"{a.imports} concurrent maximum-size imports ({size} bytes each): {ok} succeeded in {took:.1f} s; "
                  f"peak RSS {peak:.1f} MiB (idle {idle:.1f} MiB; target <= 160 MiB)")
    finally:
        if nginx is not None:
            nginx.send_signal(signal.SIGQUIT)
            try:
                nginx.wait(10)
            except subprocess.TimeoutExpired:
                nginx.kill()
                nginx.wait()
        shutil.rmtree(work, ignore_errors=True)
    load_end = os.getloadavg()
    print(f"load average (1 min) at start {load_start[0]:.2f}, at end {load_end[0]:.2f} on {os.cpu_count()} processors")


if __name__ == "__main__":
    main()
