"""Checks that the command-line client carries none of the service's engine, HTTP server,
controller, host or service-manager code, and no PCRE2 or libsystemd: it links json,
jobfiles, archive, common and platform only.

Usage: client_links.py <client executable> <library.a>...
Each library named is one the client must not draw from: a strong symbol it defines
(code or data, not an inline or template copy every user may hold) must not be defined
in the client. Exit status 0 when none is, 1 with the symbols found otherwise.
"""
import subprocess
import sys

STRONG = set("TDBR")  # code, data, zeroed data, read-only data


def defined_symbols(path):
    out = subprocess.run(["nm", "--defined-only", "-g", path], check=True, capture_output=True, text=True,
                         ).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[-2] in STRONG:
            names.add(parts[-1])
    return names


def demangled(names):
    if not names:
        return []
    out = subprocess.run(["c++filt"], input="\n".join(names), check=True, capture_output=True, text=True).stdout
    return out.splitlines()


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    client, libraries = sys.argv[1], sys.argv[2:]
    in_client = defined_symbols(client)
    problems = []
    for library in libraries:
        drawn = sorted(defined_symbols(library) & in_client)
        for name in demangled(drawn[:20]):
            problems.append(f"{library}: {name}")
        if len(drawn) > 20:
            problems.append(f"{library}: ... {len(drawn) - 20} more")
    all_symbols = subprocess.run(["nm", client], check=True, capture_output=True, text=True).stdout
    problems += [f"{client}: {line.split()[-1]}" for line in all_symbols.splitlines() if "pcre2" in line][:20]
    needed = subprocess.run(["ldd", client], capture_output=True, text=True).stdout
    problems += [f"{client} needs {line.strip()}" for line in needed.splitlines() if "pcre" in line or "systemd" in line]
    for line in problems:
        print(line)
    if problems:
        print(f"{len(problems)} problem(s): the client draws on code it must not link")
        return 1
    print(f"{client}: nothing from {len(libraries)} libraries, no PCRE2, no libsystemd")
    return 0


if __name__ == "__main__":
    sys.exit(main())
