"""The installed layout: cmake --install puts the service, the client, the unit file and
a commented sample parameter file in one folder, makes the parameter file from the
sample only once, and the installed service runs from its unit's working directory,
where relative folder values are resolved. The Debian package holds the same files and
no parameter file."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from ostrivan_e2e import Server, free_port

BUILD = os.environ.get("OSTRIVAN_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
CMAKE = os.environ.get("OSTRIVAN_CMAKE") or shutil.which("cmake")
CPACK = os.environ.get("OSTRIVAN_CPACK") or shutil.which("cpack")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
FILES = ["Ostrivan", "ParametrOstrivan.ini.sample", "README.md", "ostrivan-client", "ostrivan.service"]


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def unit_settings(text):
    return dict(l.split("=", 1) for l in text.splitlines() if re.match(r"^[A-Za-z]+=", l))


class InstalledLayout(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ostrivan-install-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.prefix = os.path.join(self.tmp, "opt", "ostrivan")

    def install(self):
        run = subprocess.run([CMAKE, "--install", BUILD, "--prefix", self.prefix],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        return run.stdout

    def test_one_folder_and_a_parameter_file_made_once(self):
        self.install()
        self.assertEqual(sorted(os.listdir(self.prefix)), sorted(FILES + ["ParametrOstrivan.ini"]))
        for exe in ("Ostrivan", "ostrivan-client"):
            self.assertTrue(os.access(os.path.join(self.prefix, exe), os.X_OK), exe)
        sample = read(os.path.join(self.prefix, "ParametrOstrivan.ini.sample"))
        self.assertEqual(read(os.path.join(self.prefix, "ParametrOstrivan.ini")), sample)
        # Commented: every key is explained; the folder keys are left for the admin to set.
        settings = [l for l in sample.splitlines() if l and not l.startswith(";")]
        self.assertEqual(settings, ["[CONFIG]", "Porta=8080", "Nr_Macchina=0"])
        for key in ("Porta", "ExportLavoroDir", "ImportLavoroDir", "Nr_Macchina"):
            self.assertIn(f";{key}=" if "Dir" in key else f"{key}=", sample)

        unit = unit_settings(read(os.path.join(self.prefix, "ostrivan.service")))
        self.assertEqual(unit["ExecStart"], f"{self.prefix}/Ostrivan --service")
        self.assertEqual(unit["WorkingDirectory"], self.prefix)
        self.assertEqual(unit["Restart"], "on-failure")
        self.assertIn("User", unit)

        # A second installation (an update) keeps the admin's parameter file.
        ini = os.path.join(self.prefix, "ParametrOstrivan.ini")
        with open(ini, "w") as f:
            f.write("[CONFIG]\nPorta=9123\n")
        out = self.install()
        self.assertIn("Keeping: ", out)
        self.assertEqual(read(ini), "[CONFIG]\nPorta=9123\n")

    def test_installed_service_resolves_relative_folders_from_its_working_directory(self):
        self.install()
        port = free_port()
        with open(os.path.join(self.prefix, "ParametrOstrivan.ini"), "w") as f:
            f.write(f"[CONFIG]\nPorta={port}\nExportLavoroDir=jobs/export\nImportLavoroDir=jobs/import\nNr_Macchina=4\n")
        export = os.path.join(self.prefix, "jobs", "export")
        os.makedirs(os.path.join(export, "programs"))
        os.makedirs(os.path.join(self.prefix, "jobs", "import"))
        with open(os.path.join(export, "programs", "P9.NC"), "wb") as f:
            f.write(b"G0 X9\n")
        # As systemd starts it: WorkingDirectory is the install folder.
        srv = Server(port=port, ini=False, workdir=self.prefix, service=True, cwd=self.prefix)
        try:
            srv.start()
            out = os.path.join(self.tmp, "received")
            run = subprocess.run([os.path.join(self.prefix, "ostrivan-client"), "--server",
                                  f"http://localhost:{port}", "export", "--to", out],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.stdout, f"P9.zip from machine 4 unpacked into {out}\n")
            self.assertEqual(os.listdir(export), [])
            code, _ = srv.stop()
            self.assertEqual(code, 0)
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, "logs", "Ostrivan.00.torniomvc.log")))
        finally:
            srv.cleanup()

    @unittest.skipUnless(CPACK and shutil.which("dpkg-deb"), "cpack and dpkg-deb")
    def test_debian_package(self):
        pkg = os.path.join(self.tmp, "pkg")
        run = subprocess.run([CPACK, "-G", "DEB", "-B", pkg, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                             capture_output=True, text=True, timeout=300, cwd=BUILD)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        debs = [f for f in os.listdir(pkg) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(pkg))
        deb = os.path.join(pkg, debs[0])
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
        files = sorted(l.split()[-1] for l in listing.splitlines() if not l.startswith("d"))
        self.assertEqual(files, sorted("./opt/ostrivan/" + f for f in FILES))
        unit = subprocess.run(f"dpkg-deb --fsys-tarfile '{deb}' | tar -xO ./opt/ostrivan/ostrivan.service",
                              shell=True, capture_output=True, text=True, check=True).stdout
        self.assertEqual(unit_settings(unit)["WorkingDirectory"], "/opt/ostrivan")
        self.assertEqual(unit_settings(unit)["ExecStart"], "/opt/ostrivan/Ostrivan --service")
        # The parameter file is made on the target, only when there is none.
        control = os.path.join(self.tmp, "control")
        subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
        postinst = read(os.path.join(control, "postinst"))
        self.assertIn("dir=/opt/ostrivan\n", postinst)
        # Run on a stand-in folder: configure makes the file from the sample, then keeps it.
        target = os.path.join(self.tmp, "target")
        os.makedirs(target)
        shutil.copy(os.path.join(SOURCE, "packaging", "ParametrOstrivan.ini.sample"), target)
        script = os.path.join(self.tmp, "postinst")
        with open(script, "w") as f:
            f.write(postinst.replace("dir=/opt/ostrivan\n", f"dir='{target}'\n"))
        ini = os.path.join(target, "ParametrOstrivan.ini")
        for args, expected in ((["abort-upgrade"], None), (["configure", "1.0.0"], "sample"),
                               (["configure", "1.0.0"], "edited")):
            subprocess.run(["sh", script, *args], check=True)
            if expected is None:
                self.assertFalse(os.path.exists(ini))
            elif expected == "sample":
                self.assertEqual(read(ini), read(os.path.join(target, "ParametrOstrivan.ini.sample")))
                with open(ini, "w") as f:
                    f.write("[CONFIG]\nPorta=9\n")
            else:
                self.assertEqual(read(ini), "[CONFIG]\nPorta=9\n")
        info = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Depends"], capture_output=True, text=True,
                              check=True).stdout
        self.assertIn("Package: ostrivan", info)
        self.assertIn("libpcre2-8-0", info)


if __name__ == "__main__":
    unittest.main()
