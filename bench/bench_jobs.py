#!/usr/bin/env python3
"""End-to-end job benchmark: export and import of a typical (~1 MB) and a maximum-size
job over loopback against the real service, side by side with the command-line tools
doing the same work on the same tree (zip -r + base64 for export, base64 -d + unzip for
import). Prints medians of several runs and the service's peak memory during a
maximum-size import."""
import argparse
import base64
import http.client
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import ostrivan_e2e  # noqa: E402

MAKE_JOB = ostrivan_e2e.MAKE_JOB
HEADERS = {"Accept": "application/json", "Content-Type": "application/json"}


def post(port, path, body):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    conn.request("POST", path, body=body, headers=HEADERS)
    resp = conn.getresponse()
    data = resp.read()
    conn.close()
    if resp.status != 200:
        raise SystemExit(f"{path}: HTTP {resp.status} {data[:200]!r}")
    reply = json.loads(data)
    if reply.get("Errore"):
        raise SystemExit(f"{path}: {reply.get('Messaggio')}")
    return reply


def wait_until_gone(path, timeout=30.0):
    """After its reply the service removes the delivered job's files; that work must not
    run inside the next timed command-line run, which it would slow."""
    end = time.monotonic() + timeout
    while os.path.exists(path) and time.monotonic() < end:
        time.sleep(0.002)


def clear(d):
    for name in os.listdir(d):
        p = os.path.join(d, name)
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        else:
            os.remove(p)


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--runs", type=int, default=5)
    a = ap.parse_args()
    ostrivan_e2e.EXE = os.path.abspath(os.path.join(a.build, "Ostrivan"))
    work = tempfile.mkdtemp(prefix="ostrivan-bench-")
    try:
        exp, imp, cli = (os.path.join(work, n) for n in ("export", "import", "cli"))
        hold = os.path.join(work, ".export.ostrivan-held")  # the service's hold folder beside exp
        for d in (exp, imp, cli):
            os.makedirs(d)
        rows = []
        srv = ostrivan_e2e.Server(ini={"ExportLavoroDir": exp, "ImportLavoroDir": imp,
                                       "Nr_Macchina": 1}).start()
        try:
            for size in ("typical", "max"):
                src = os.path.join(work, "src-" + size)
                zpath = os.path.join(work, size + ".zip")
                rpath = os.path.join(work, size + ".json")
                info = subprocess.run([sys.executable, MAKE_JOB, size, src, "--zip", zpath,
                                       "--request", rpath], check=True, capture_output=True,
                                      text=True).stdout.strip()
                with open(rpath, "rb") as f:
                    request = f.read()
                ours_exp, cli_exp, ours_imp, cli_imp = [], [], [], []
                for _ in range(a.runs):
                    clear(exp)
                    shutil.copytree(src, exp, dirs_exist_ok=True)
                    replies = []
                    ours_exp.append(timed(lambda: replies.append(post(srv.port, "/RizOzudo/ExportLavoro",
                                                                      b'{"ModoGestioneFile":"NEWEN"}'))))
                    wait_until_gone(hold)
                    clear(cli)
                    tree = os.path.join(cli, "tree")
                    shutil.copytree(src, tree)
                    cli_exp.append(timed(lambda: subprocess.run(
                        f"cd {tree} && zip -r -q ../job.zip . && base64 -w 76 ../job.zip > ../job.b64",
                        shell=True, check=True)))
                    ours_imp.append(timed(lambda: post(srv.port, "/RizOzudo/ImportLavoro", request)))
                    clear(cli)
                    b64 = os.path.join(cli, "job.b64")
                    subprocess.run(f"base64 -w 76 {zpath} > {b64}", shell=True, check=True)
                    # The service flushes an imported job to disk before it replies; so does the peer.
                    cli_imp.append(timed(lambda: subprocess.run(
                        f"cd {cli} && base64 -d job.b64 > job.zip && unzip -q -o job.zip && rm job.zip && sync",
                        shell=True, check=True)))
                med = lambda xs: statistics.median(xs) * 1000
                info += f" service_zip_bytes={len(base64.b64decode(replies[-1]['Stream']))}"
                rows.append((size, info, med(ours_exp), med(cli_exp), med(ours_imp), med(cli_imp)))
        finally:
            srv.stop()
            srv.cleanup()

        # Peak memory of a fresh service doing one maximum-size import.
        clear(imp)
        mem = ostrivan_e2e.Server(ini={"ImportLavoroDir": imp}).start()
        try:
            with open(os.path.join(work, "max.json"), "rb") as f:
                post(mem.port, "/RizOzudo/ImportLavoro", f.read())
            peak = peak_rss_kib(mem.proc.pid)
        finally:
            mem.stop()
            mem.cleanup()

        print(f"{'job':8} {'export ms':>10} {'zip+b64 ms':>11} {'ratio':>6}   "
              f"{'import ms':>10} {'b64+unzip+sync':>14} {'ratio':>6}")
        for size, info, oe, ce, oi, ci in rows:
            print(f"{size:8} {oe:10.1f} {ce:11.1f} {oe / ce:6.2f}   {oi:10.1f} {ci:14.1f} {oi / ci:6.2f}")
            print(f"         ({info})")
        print(f"peak memory of the service during a maximum-size import: {peak / 1024:.1f} MiB")
        # Export packs on every processor: other work on the machine shows in its figures.
        print("load average at the end (1/5/15 min): " + " ".join(f"{x:.2f}" for x in os.getloadavg()) +
              f" on {os.cpu_count()} processors")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
