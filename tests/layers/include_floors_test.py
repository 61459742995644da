"""The include checker on small made-up trees: what it accepts and what it reports."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "include_floors.py")
README = """# x

- Floors: a folder includes its own headers and those below it. From the ground up:
  `base` → `left`, `right` → `top` (folders named together share a floor).
"""


class IncludeFloors(unittest.TestCase):
    def check(self, files):
        """Runs the checker on a tree of files {path under src: text}; (status, lines)."""
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "README.md"), "w", encoding="utf-8") as f:
                f.write(README)
            for folder in ("base", "left", "right", "top"):
                os.makedirs(os.path.join(root, "src", folder))
            for path, text in files.items():
                full = os.path.join(root, "src", path)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "w", encoding="utf-8") as f:
                    f.write(text)
            run = subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True, timeout=60)
            return run.returncode, run.stdout.splitlines()

    def test_cases(self):
        cases = [
            # (files, status, the lines reported)
            ({"top/a.cpp": '#include "left/x.h"\n#include "base/y.h"\n#include "top/z.h"\n'}, 0, []),
            ({"base/a.cpp": '#include "top/x.h"\n'}, 1, ["src/base/a.cpp:1: base -> top (top is above base)"]),
            ({"left/a.cpp": '\n#include "right/x.h"\n'}, 1,
             ["src/left/a.cpp:2: left -> right (right is beside left)"]),
            # A folder's detail headers are its own: its files may include them ...
            ({"base/a.cpp": '#include "base/detail/scan.h"\n', "base/detail/scan.h": "#pragma once\n"}, 0, []),
            ({"base/detail/b.cpp": '#include "base/detail/scan.h"\n'}, 0, []),
            # ... no other folder may, however high it stands.
            ({"top/a.cpp": '#include "base/detail/scan.h"\n'}, 1,
             ["src/top/a.cpp:1: top -> base/detail/scan.h (internal to base)"]),
            ({"left/a.h": '#  include "base/detail/deep/scan.h"\n'}, 1,
             ["src/left/a.h:1: left -> base/detail/deep/scan.h (internal to base)"]),
            # A folder named detail elsewhere in the path is no marker.
            ({"top/a.cpp": '#include "base/x/detail.h"\n'}, 0, []),
            ({"stray/a.cpp": "\n"}, 1, ["src/stray: folder is on no floor of the README"]),
            # The ground floor alone talks to the operating system.
            ({"base/a.cpp": "#include <unistd.h>\n#include <sys/stat.h>\n#ifdef _WIN32\n#endif\n"}, 0, []),
            ({"top/a.cpp": "#include <string>\n#include <cerrno>\n#include <system_error>\n"}, 0, []),
            ({"left/a.cpp": "#include <string>\n# include <sys/socket.h>\n"}, 1,
             ["src/left/a.cpp:2: left includes <sys/socket.h>, an operating-system header (only the ground floor may)"]),
            ({"top/a.h": "#include <Windows.h>\n"}, 1,
             ["src/top/a.h:1: top includes <Windows.h>, an operating-system header (only the ground floor may)"]),
            ({"right/a.cpp": "#if defined(__linux__)\n#endif\n"}, 1,
             ["src/right/a.cpp:1: right tests the platform (only the ground floor may)"]),
            # A folder links what it includes, no more and no less.
            ({"top/a.cpp": '#include "left/x.h"\n', "top/CMakeLists.txt": "add_library(ostrivan_top x.cpp)\n"
              "target_link_libraries(ostrivan_top PRIVATE ostrivan_left)  # not ostrivan_right\n"}, 0, []),
            ({"top/a.cpp": '#include "left/x.h"\n#include "base/y.h"\n',
              "top/CMakeLists.txt": "target_link_libraries(ostrivan_top PRIVATE ostrivan_right ostrivan_base)\n"}, 1,
             ["src/top/CMakeLists.txt: includes left but does not link ostrivan_left",
              "src/top/CMakeLists.txt: links ostrivan_right but includes nothing of it"]),
        ]
        for files, status, lines in cases:
            with self.subTest(files=files):
                got_status, got_lines = self.check(files)
                self.assertEqual(got_status, status, got_lines)
                if status:
                    self.assertEqual(got_lines, lines)
                else:
                    self.assertTrue(got_lines[-1].startswith("includes keep to the floors"), got_lines)


if __name__ == "__main__":
    unittest.main()
