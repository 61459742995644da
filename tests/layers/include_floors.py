"""Checks that every `#include "<folder>/..."` in src/ keeps to the floors the README's
layout section writes down: a folder includes its own headers and those of lower
floors, never one above it or beside it on the same floor. Headers under
`src/<folder>/detail/` are that folder's own: no other folder includes them.

The ground floor (the first folder of that line) is also the only one that talks to the
operating system: a file anywhere else that includes an operating-system header
(<unistd.h>, <sys/...>, <windows.h>, ...) or tests the platform in a preprocessor
condition (_WIN32, __linux__, ...) is reported too.

Each folder's CMakeLists.txt links exactly the folders it includes: a library named
ostrivan_<folder> (or ostrivan_<folder>_<part>) for every other folder its files include,
and none it does not include; ostrivan_subsystem links common by itself.

Usage: include_floors.py <source root>. Exit status 0 when every include keeps to the
floors, 1 with one line per offending include (file:line: folder -> folder) otherwise.
Example: in src/http/x.cpp, `#include "web/engine.h"` is reported, as web is above http,
and in src/web/y.cpp, `#include "json/detail/json_scan.h"` as a header internal to json.
"""
import os
import re
import sys

FLOORS_START = "From the ground up:"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/([^"]*)"')
INTERNAL = "detail"
SYSTEM_INCLUDE = re.compile(r'^\s*#\s*include\s+<([^>]+)>')
# Headers of an operating system, POSIX or Windows; the C and C++ standard headers are
# everyone's.
OS_HEADERS = re.compile(
    r"^(unistd|fcntl|dirent|poll|termios|pthread|signal|netdb|ifaddrs|pwd|grp|dlfcn|syslog|spawn|sched|semaphore"
    r"|windows|winsock2?|ws2tcpip|ws2def|mswsock|iphlpapi|winioctl|winbase|winternl|shlobj|shellapi|objbase"
    r"|io|direct|process|conio|wincon|winsvc|aclapi|sddl|mstcpip|ntstatus|versionhelpers|bcrypt)\.h$"
    r"|^(sys|netinet|arpa|linux|systemd|net|asm)/", re.IGNORECASE)
PLATFORM_TEST = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif)\b.*\b(_WIN32|_WIN64|WIN32|__linux__|__unix__|__APPLE__"
                           r"|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|_POSIX_VERSION)\b")


def read_floors(readme_path):
    """{folder: floor number} from the README's "- Floors:" bullet."""
    with open(readme_path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for i, line in enumerate(lines):
        if line.startswith("- Floors:"):
            bullet = [line]
            for more in lines[i + 1:]:
                if not more.startswith("  "):
                    break
                bullet.append(more.strip())
            text = " ".join(bullet)
            break
    else:
        raise SystemExit(f"{readme_path}: no '- Floors:' bullet in the layout section")
    if FLOORS_START not in text:
        raise SystemExit(f"{readme_path}: the Floors bullet lacks '{FLOORS_START}'")
    order = text.split(FLOORS_START, 1)[1].split("(", 1)[0].strip().rstrip(".")
    floors = {}
    for number, floor in enumerate(order.split("→")):
        for name in floor.split(","):
            name = name.strip().strip("`").strip()
            if not re.fullmatch(r"[a-z0-9_]+", name):
                raise SystemExit(f"{readme_path}: cannot read folder name {name!r} in the Floors bullet")
            floors[name] = number
    if len(floors) < 2:
        raise SystemExit(f"{readme_path}: the Floors bullet names fewer than two floors")
    return floors


def offences(src_root, floors):
    found = []
    ground = min(floors.values())
    for folder in sorted(os.listdir(src_root)):
        if not os.path.isdir(os.path.join(src_root, folder)):
            continue
        if folder not in floors:
            found.append(f"src/{folder}: folder is on no floor of the README")
            continue
        for dirpath, _, files in os.walk(os.path.join(src_root, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        if floors[folder] != ground:
                            rel = os.path.relpath(path, os.path.dirname(src_root))
                            system = SYSTEM_INCLUDE.match(line)
                            if system and OS_HEADERS.search(system.group(1)):
                                found.append(f"{rel}:{number}: {folder} includes <{system.group(1)}>, "
                                             "an operating-system header (only the ground floor may)")
                            if PLATFORM_TEST.match(line):
                                found.append(f"{rel}:{number}: {folder} tests the platform "
                                             "(only the ground floor may)")
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target, rest = match.group(1), match.group(2)
                        if target == folder:
                            continue
                        if target not in floors:
                            continue  # not a folder of src: a generated or test header
                        rel = os.path.relpath(path, os.path.dirname(src_root))
                        if rest.split("/", 1)[0] == INTERNAL:
                            found.append(f"{rel}:{number}: {folder} -> {target}/{rest} (internal to {target})")
                        elif floors[target] >= floors[folder]:
                            where = "beside" if floors[target] == floors[folder] else "above"
                            found.append(f"{rel}:{number}: {folder} -> {target} ({target} is {where} {folder})")
    return found


# Files whose operating-system calls still wait to move into the ground floor: reported,
# not failed. A file here that no longer offends fails the check, so the list only shrinks.
OS_PENDING = {
    "src/common/file_descriptor.h",
    "src/jobfiles/import_staging.cpp",
    "src/jobfiles/job_files.cpp",
    "src/jobfiles/job_files.h",
    "src/jobfiles/working_directory.cpp",
}
OS_OFFENCE = re.compile(r"^(src/[^:]+):\d+: \S+ (includes <[^>]+>, an operating-system header|tests the platform)")


def split_pending(found):
    """(offences, pending notes): OS offences of the files in OS_PENDING become notes."""
    failing, notes, seen = [], [], set()
    for line in found:
        match = OS_OFFENCE.match(line)
        if match and match.group(1) in OS_PENDING:
            notes.append(f"pending: {line}")
            seen.add(match.group(1))
        else:
            failing.append(line)
    return failing, notes, seen


LINKED = re.compile(r"\bostrivan_([a-z0-9]+)")


def link_offences(src_root, floors):
    """Folders whose CMakeLists.txt links other folders than the ones their files include."""
    found = []
    for folder in sorted(floors):
        lists = os.path.join(src_root, folder, "CMakeLists.txt")
        if not os.path.isfile(lists):
            continue
        with open(lists, encoding="utf-8") as f:
            text = "\n".join(line.split("#", 1)[0] for line in f)
        linked = {name for name in LINKED.findall(text) if name in floors and name != folder}
        if "ostrivan_subsystem(" in text:
            linked.add("common")
        included = set()
        for dirpath, _, files in os.walk(os.path.join(src_root, folder)):
            for name in files:
                if name.endswith((".h", ".cpp")):
                    with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as f:
                        for line in f:
                            match = INCLUDE.match(line)
                            if match and match.group(1) in floors and match.group(1) != folder:
                                included.add(match.group(1))
        for name in sorted(included - linked):
            found.append(f"src/{folder}/CMakeLists.txt: includes {name} but does not link ostrivan_{name}")
        for name in sorted(linked - included):
            found.append(f"src/{folder}/CMakeLists.txt: links ostrivan_{name} but includes nothing of it")
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    floors = read_floors(os.path.join(root, "README.md"))
    found = offences(os.path.join(root, "src"), floors)
    found += link_offences(os.path.join(root, "src"), floors)
    found, notes, seen = split_pending(found)
    for line in notes:
        print(line)
    pending_here = {path for path in OS_PENDING if os.path.exists(os.path.join(root, path))}
    found += [f"{path}: no longer calls the operating system: take it off OS_PENDING"
              for path in sorted(pending_here - seen)]
    for line in found:
        print(line)
    if found:
        return 1
    print(f"includes keep to the floors: {', '.join(sorted(floors, key=lambda n: (floors[n], n)))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
