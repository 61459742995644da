"""The installed layout: cmake --install puts the service, the client, the unit file, the
account helper and a commented sample parameter file in one folder, makes the parameter
file from the sample only once, and the installed service runs from its unit's working
directory, where relative folder values are resolved, also from a folder with a blank.
The Debian package holds the same files (stripped), the client on the PATH and its
Debian papers, passes lintian, and goes through install, remove and purge in a scratch
root: remove stops and disables the unit and keeps what the service made, purge
removes it."""
import gzip
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

from ostrivan_e2e import Server, free_port

BUILD = os.environ.get("OSTRIVAN_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
CMAKE = os.environ.get("OSTRIVAN_CMAKE") or shutil.which("cmake")
CPACK = os.environ.get("OSTRIVAN_CPACK") or shutil.which("cpack")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
FILES = ["Ostrivan", "ParametrOstrivan.ini.sample", "README.md", "ostrivan-account", "ostrivan-client",
         "ostrivan.service"]
# What only the package holds, outside /opt/ostrivan.
DEB_EXTRAS = ["./usr/bin/ostrivan-client", "./usr/share/doc/ostrivan/changelog.gz",
              "./usr/share/doc/ostrivan/copyright", "./usr/share/lintian/overrides/ostrivan"]
# What the service (and postinst) make beside the executable: purge removes them.
SERVICE_MADE = ["ParametrOstrivan.ini", "logs", "held", "sent", "unsent", "received"]


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def unit_settings(text):
    return dict(l.split("=", 1) for l in text.splitlines() if re.match(r"^[A-Za-z]+=", l))


def unit_command(value):
    """An ExecStart value as systemd splits it: quoted words, then %% -> %."""
    return [w.replace("%%", "%") for w in shlex.split(value)]


def build_package(tmp):
    pkg = os.path.join(tmp, "pkg")
    run = subprocess.run([CPACK, "-G", "DEB", "-B", pkg, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                         capture_output=True, text=True, timeout=300, cwd=BUILD)
    if run.returncode != 0:
        raise AssertionError(run.stdout + run.stderr)
    debs = [f for f in os.listdir(pkg) if f.endswith(".deb")]
    if len(debs) != 1:
        raise AssertionError(os.listdir(pkg))
    return os.path.join(pkg, debs[0])


def system_image(root):
    """A system image of our own, for ostrivan-account --root: the account goes into its
    etc/, never this system's."""
    os.makedirs(os.path.join(root, "etc"), exist_ok=True)
    for name, line in (("passwd", "root:x:0:0:root:/root:/bin/sh"), ("group", "root:x:0:"),
                       ("shadow", "root:*:19000:0:99999:7:::"), ("gshadow", "root:*::")):
        with open(os.path.join(root, "etc", name), "w") as f:
            f.write(line + "\n")


def image_ids(root, name):
    """(uid, gid) of an account in a system image."""
    for line in read(os.path.join(root, "etc", "passwd")).splitlines():
        fields = line.split(":")
        if fields[0] == name:
            return int(fields[2]), int(fields[3])
    raise AssertionError(f"no account {name} in {root}")


def run_as(ids, script, cwd):
    """script run by sh as the account ids = (uid, gid), no other group, umask 022."""
    return subprocess.run(["setpriv", f"--reuid={ids[0]}", f"--regid={ids[1]}", "--clear-groups", "sh", "-ec",
                           "umask 022; " + script], cwd=cwd, capture_output=True, text=True, timeout=60)


def has_symbol_table(path):
    sections = subprocess.run(["readelf", "-S", "-W", path], capture_output=True, text=True, check=True).stdout
    return ".symtab" in sections


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
        for key in ("Porta", "ExportLavoroDir", "ImportLavoroDir", "Nr_Macchina", "ClientAmmessi", "AttesaScrittura",
                    "AttesaConferma", "TenutiNumero", "TenutiMB"):
            self.assertIn(f"{key}=" if key in ("Porta", "Nr_Macchina") else f";{key}=", sample)
        # The allow-list left unset is pointed out where it is set.
        allow = sample[:sample.index(";ClientAmmessi=")]
        self.assertIn("every address", allow[allow.rindex("\n\n"):])

        unit = unit_settings(read(os.path.join(self.prefix, "ostrivan.service")))
        self.assertEqual(unit["ExecStart"], f'"{self.prefix}/Ostrivan" --service')
        self.assertEqual(unit["WorkingDirectory"], self.prefix)
        self.assertEqual(unit["Restart"], "on-failure")
        self.assertEqual((unit["User"], unit["Group"]), ("ostrivan", "ostrivan"))

        # A second installation (an update) keeps the admin's parameter file.
        ini = os.path.join(self.prefix, "ParametrOstrivan.ini")
        with open(ini, "w") as f:
            f.write("[CONFIG]\nPorta=9123\n")
        out = self.install()
        self.assertIn("Keeping: ", out)
        # The account the unit runs as is made by the helper, which the install names.
        self.assertIn(f"{self.prefix}/ostrivan-account", out)
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

    def test_prefix_with_a_blank_gives_a_working_unit(self):
        # systemd specifiers too: a "%" in the folder must not become one.
        self.prefix = os.path.join(self.tmp, "my opt", "100% ostrivan")
        self.install()
        text = read(os.path.join(self.prefix, "ostrivan.service"))
        unit = unit_settings(text)
        command = unit_command(unit["ExecStart"])
        self.assertEqual(command, [os.path.join(self.prefix, "Ostrivan"), "--service"])
        workdir = unit["WorkingDirectory"].replace("%%", "%")
        self.assertEqual(workdir, self.prefix)
        self.assertNotIn(" ", unit["Documentation"])  # one URL, not two
        if shutil.which("systemd-analyze"):
            # systemd's own reading: it checks that ExecStart names an executable.
            run = subprocess.run(["systemd-analyze", "verify", os.path.join(self.prefix, "ostrivan.service")],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            self.assertNotIn("not executable", run.stderr)
        # Started as the unit starts it: that command, from that working directory.
        port = free_port()
        with open(os.path.join(self.prefix, "ParametrOstrivan.ini"), "w") as f:
            f.write(f"[CONFIG]\nPorta={port}\nExportLavoroDir=jobs/export\nNr_Macchina=2\n")
        os.makedirs(os.path.join(self.prefix, "jobs", "export"))
        with open(os.path.join(self.prefix, "jobs", "export", "P3.NC"), "wb") as f:
            f.write(b"G0 X3\n")
        srv = Server(port=port, ini=False, workdir=self.prefix, service=True, cwd=workdir)
        self.assertEqual(srv.exe, command[0])
        try:
            srv.start()
            out = os.path.join(self.tmp, "got")
            run = subprocess.run([os.path.join(self.prefix, "ostrivan-client"), "--server", f"http://127.0.0.1:{port}",
                                  "export", "--mode", "ROTTLER", "--to", out], capture_output=True, text=True,
                                 timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(read(os.path.join(out, "P3.NC")), "G0 X3\n")
            self.assertEqual(srv.stop()[0], 0)
        finally:
            srv.cleanup()

    def test_account_helper_gives_the_service_folders_to_its_account(self):
        self.install()
        root = os.path.join(self.tmp, "image")
        system_image(root)
        os.makedirs(os.path.join(self.prefix, "logs"))
        with open(os.path.join(self.prefix, "logs", "Ostrivan.00.torniomvc.log"), "w") as f:
            f.write("written while running as root\n")
        outside = os.path.join(self.tmp, "outside.txt")
        with open(outside, "w") as f:
            f.write("not the service's\n")
        os.symlink(outside, os.path.join(self.prefix, "logs", "link"))
        helper = os.path.join(self.prefix, "ostrivan-account")
        host_passwd = read("/etc/passwd")
        for attempt in (1, 2):  # a second run changes nothing and fails nothing
            run = subprocess.run([helper, "--root", root], capture_output=True, text=True, timeout=60)
            if run.returncode != 0 and "Permission denied" in run.stderr and os.geteuid() != 0:
                self.skipTest("needs root to create the account and change owners")
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            passwd = [l.split(":") for l in read(os.path.join(root, "etc", "passwd")).splitlines()]
            group = [l.split(":") for l in read(os.path.join(root, "etc", "group")).splitlines()]
            accounts = [p for p in passwd if p[0] == "ostrivan"]
            self.assertEqual(len(accounts), 1, passwd)
            account = accounts[0]
            uid, gid = int(account[2]), int(account[3])
            self.assertLess(uid, 1000)  # a system account
            self.assertEqual(account[6], "/usr/sbin/nologin")
            self.assertEqual([g for g in group if g[0] == "ostrivan"][0][2], str(gid))
            for folder in ("logs", "held", "sent", "unsent", "received"):
                st = os.stat(os.path.join(self.prefix, folder))
                self.assertEqual((st.st_uid, st.st_gid), (uid, gid), folder)
            st = os.stat(os.path.join(self.prefix, "logs", "Ostrivan.00.torniomvc.log"))
            self.assertEqual((st.st_uid, st.st_gid), (uid, gid))
            # A link inside is changed itself, never what it points to.
            self.assertEqual(os.stat(outside).st_uid, os.geteuid())
            st = os.stat(os.path.join(self.prefix, "ParametrOstrivan.ini"))
            self.assertEqual(st.st_gid, gid)
            self.assertTrue(st.st_mode & 0o040)
        self.assertEqual(read("/etc/passwd"), host_passwd)  # this system untouched
        run = subprocess.run([helper, "--bogus"], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 2)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "root and setpriv")
    def test_job_folders_stay_shared_with_what_is_written_there_later(self):
        # The machine software (here the account nobody) owns the export and import
        # folders and keeps writing new subfolders after the helper ran, with umask 022.
        self.install()
        root = os.path.join(self.tmp, "image")
        system_image(root)
        os.chmod(self.tmp, 0o755)  # other accounts pass through to the job folders
        machine = (65534, 65534)
        folders = {kind: os.path.join(self.tmp, "jobs", kind) for kind in ("export", "import")}
        for folder in folders.values():
            os.makedirs(os.path.join(folder, "old"))
            with open(os.path.join(folder, "old", "P0.NC"), "w") as f:
                f.write("written before\n")
            for d, _, files in os.walk(os.path.dirname(folder)):
                os.chown(d, *machine)
                for name in files:
                    os.chown(os.path.join(d, name), *machine)
        run = subprocess.run([os.path.join(self.prefix, "ostrivan-account"), "--root", root, "--job-folder",
                              folders["export"], "--job-folder", folders["import"]], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        service = image_ids(root, "ostrivan")
        # Who writes, then who must move and delete it all: the service takes the
        # machine's export; the machine clears what the service unpacked.
        cases = [("export", machine, service), ("import", service, machine)]
        for kind, writer, remover in cases:
            with self.subTest(kind=kind):
                folder = folders[kind]
                run = run_as(writer, "mkdir -p new/deeper; echo G0 > new/P1.NC; echo G1 > new/deeper/P2.NC; "
                                     "echo G2 > T.NC", folder)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(os.stat(os.path.join(folder, "new", "deeper")).st_gid, service[1])
                made = ["T.NC", "new/P1.NC", "new/deeper/P2.NC"]
                for rel in made + (["old/P0.NC"] if kind == "export" else []):
                    run = run_as(remover, f"mv {rel} {rel}.moved; echo more >> {rel}.moved; rm {rel}.moved", folder)
                    self.assertEqual(run.returncode, 0, f"{rel}: {run.stderr}")
                run = run_as(remover, "rmdir new/deeper new", folder)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(os.listdir(folder), ["old"])
        run = subprocess.run([os.path.join(self.prefix, "ostrivan-account"), "--root", root, "--job-folder",
                              os.path.join(self.tmp, "missing")], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 2, run.stdout + run.stderr)


@unittest.skipUnless(CPACK and shutil.which("dpkg-deb"), "cpack and dpkg-deb")
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ostrivan-deb-")
        try:
            cls.deb = build_package(cls.tmp)
            cls.control = os.path.join(cls.tmp, "control")
            subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True)
        except BaseException:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self.tmp)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], capture_output=True, text=True,
                              check=True).stdout.rstrip("\n")

    def test_files_link_and_unit(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], capture_output=True, text=True, check=True).stdout
        entries = [l.split() for l in listing.splitlines() if not l.startswith("d")]
        names = sorted(e[5] for e in entries)
        self.assertEqual(names, sorted(["./opt/ostrivan/" + f for f in FILES] + DEB_EXTRAS))
        # ostrivan-client on the PATH: a link to the one in the package's folder.
        link = [e for e in entries if e[5] == "./usr/bin/ostrivan-client"][0]
        self.assertTrue(link[0].startswith("l"), link)
        self.assertEqual(link[-1], "/opt/ostrivan/ostrivan-client")
        unit = subprocess.run(f"dpkg-deb --fsys-tarfile '{self.deb}' | tar -xO ./opt/ostrivan/ostrivan.service",
                              shell=True, capture_output=True, text=True, check=True).stdout
        self.assertEqual(unit_settings(unit)["WorkingDirectory"], "/opt/ostrivan")
        self.assertEqual((unit_settings(unit)["User"], unit_settings(unit)["Group"]), ("ostrivan", "ostrivan"))
        self.assertEqual(unit_command(unit_settings(unit)["ExecStart"]), ["/opt/ostrivan/Ostrivan", "--service"])

    def test_binaries_are_stripped(self):
        subprocess.run(["dpkg-deb", "-x", self.deb, self.dir], check=True)
        for exe in ("Ostrivan", "ostrivan-client"):
            path = os.path.join(self.dir, "opt", "ostrivan", exe)
            self.assertFalse(has_symbol_table(path), exe)
        # The build's own binaries still have theirs: the check can tell.
        self.assertTrue(has_symbol_table(os.path.join(BUILD, "Ostrivan")))

    def test_binaries_carry_debian_hardening(self):
        subprocess.run(["dpkg-deb", "-x", self.deb, self.dir], check=True)
        for exe in ("Ostrivan", "ostrivan-client"):
            with self.subTest(exe=exe):
                path = os.path.join(self.dir, "opt", "ostrivan", exe)

                def readelf(*args):
                    return subprocess.run(["readelf", "-W", *args, path], capture_output=True, text=True,
                                          check=True).stdout

                # Relocations read-only after start, all bound then.
                self.assertIn("GNU_RELRO", readelf("-l"))
                self.assertRegex(readelf("-d"), r"\(FLAGS\)\s.*\bBIND_NOW\b")
                # The stack protector and _FORTIFY_SOURCE's checked calls, still named
                # in the stripped binary's dynamic symbols.
                names = {l.split()[7].split("@")[0] for l in readelf("--dyn-syms").splitlines()
                         if len(l.split()) >= 8 and l.split()[0].rstrip(":").isdigit()}
                self.assertIn("__stack_chk_fail", names)
                self.assertTrue([n for n in names if re.fullmatch(r"__\w+_chk", n) and n != "__stack_chk_fail"],
                                sorted(names))

    def test_control_fields_and_debian_papers(self):
        self.assertEqual(self.field("Package"), "ostrivan")
        self.assertRegex(self.field("Maintainer"), r"^[^<>@]+ <[^<>@\s]+@[^<>@\s]+\.[a-z]+>$")
        depends = [d.split()[0] for d in self.field("Depends").split(", ")]
        self.assertIn("libpcre2-8-0", depends)
        self.assertIn("acl", depends)  # setfacl for ostrivan-account --job-folder
        self.assertIn("passwd", depends)  # useradd for postinst
        description = self.field("Description").splitlines()
        self.assertEqual(description[0], "job-exchange service for machine-tool workstations")
        extended = [l for l in description[1:] if l.strip() not in ("", ".")]
        self.assertGreater(len(extended), 3)
        self.assertNotIn(description[0].strip(), [l.strip() for l in description[1:]])
        subprocess.run(["dpkg-deb", "-x", self.deb, self.dir], check=True)
        doc = os.path.join(self.dir, "usr", "share", "doc", "ostrivan")
        self.assertIn("Copyright", read(os.path.join(doc, "copyright")))
        with gzip.open(os.path.join(doc, "changelog.gz"), "rt") as f:
            changelog = f.read()
        # The newest entry is this version, signed in Debian's form.
        self.assertRegex(changelog.splitlines()[0], rf"^ostrivan \({re.escape(self.field('Version'))}\) \w+; urgency=\w+$")
        self.assertRegex(changelog, r"(?m)^ -- [^<]+ <[^>]+>  \w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} [+-]\d{4}$")

    @unittest.skipUnless(shutil.which("lintian"), "lintian")
    def test_lintian_finds_no_error_and_no_warning(self):
        run = subprocess.run(["lintian", "--tag-display-limit", "0", self.deb], capture_output=True, text=True,
                             timeout=300)
        lines = (run.stdout + run.stderr).splitlines()
        findings = [l for l in lines if re.match(r"^[EW]: ", l)]
        # dir-or-file-in-opt is explained in packaging/lintian-overrides, like the warnings.
        self.assertEqual(findings, [], run.stdout)
        self.assertIn(run.returncode, (0, 2), run.stdout + run.stderr)

    @unittest.skipUnless(os.geteuid() == 0, "root, to make the account and change owners")
    def test_postinst_makes_the_parameter_file_and_the_account_once(self):
        # In a stand-in root holding the package's files and a system image (DPKG_ROOT,
        # as dpkg sets it): configure makes the file from the sample, then keeps it, and
        # makes the account the unit runs as, owning the service's folders; nothing
        # happens before configure.
        subprocess.run(["dpkg-deb", "-x", self.deb, self.dir], check=True)
        system_image(self.dir)
        target = os.path.join(self.dir, "opt", "ostrivan")
        script = os.path.join(self.control, "postinst")
        env = dict(os.environ, DPKG_ROOT=self.dir)
        ini = os.path.join(target, "ParametrOstrivan.ini")
        passwd = os.path.join(self.dir, "etc", "passwd")
        for args, expected in ((["abort-upgrade"], None), (["configure", ""], "sample"),
                               (["configure", "1.0.0"], "edited")):
            run = subprocess.run(["sh", script, *args], env=env, capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            if expected is None:
                self.assertFalse(os.path.exists(ini))
                self.assertNotIn("ostrivan:", read(passwd))
                continue
            if expected == "sample":
                self.assertEqual(read(ini), read(os.path.join(target, "ParametrOstrivan.ini.sample")))
                with open(ini, "w") as f:
                    f.write("[CONFIG]\nPorta=9\n")
            else:
                self.assertEqual(read(ini), "[CONFIG]\nPorta=9\n")
            self.assertEqual(len([l for l in read(passwd).splitlines() if l.startswith("ostrivan:")]), 1)
            uid, gid = image_ids(self.dir, "ostrivan")
            for folder in ("logs", "held", "sent", "unsent", "received"):
                st = os.stat(os.path.join(target, folder))
                self.assertEqual((st.st_uid, st.st_gid), (uid, gid), folder)
            self.assertEqual(os.stat(ini).st_gid, gid)

    def test_prerm_stops_and_disables_on_removal_only(self):
        # On this system (no DPKG_ROOT), with a stand-in systemctl that notes its calls.
        bin_dir = os.path.join(self.dir, "bin")
        os.makedirs(bin_dir)
        calls = os.path.join(self.dir, "calls")
        with open(os.path.join(bin_dir, "systemctl"), "w") as f:
            f.write(f"#!/bin/sh\necho \"$*\" >> '{calls}'\n")
        os.chmod(os.path.join(bin_dir, "systemctl"), 0o755)
        env = {k: v for k, v in os.environ.items() if k != "DPKG_ROOT"}
        env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
        booted = os.path.isdir("/run/systemd/system")
        for args, expected in ((["upgrade", "1.0.1"], []),
                               (["remove"], (["stop ostrivan.service"] if booted else []) + ["disable ostrivan.service"]),
                               (["deconfigure", "in-favour", "x", "1"],
                                (["stop ostrivan.service"] if booted else []) + ["disable ostrivan.service"])):
            with self.subTest(args=args):
                if os.path.exists(calls):
                    os.remove(calls)
                subprocess.run(["sh", os.path.join(self.control, "prerm"), *args], check=True, env=env)
                self.assertEqual(read(calls).splitlines() if os.path.exists(calls) else [], expected)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("dpkg"), "dpkg as root (into a scratch root only)")
    def test_install_remove_and_purge_in_a_scratch_root(self):
        # dpkg works on a root of its own (its database and files there) and runs the
        # maintainer scripts on this system with DPKG_ROOT set: nothing outside it changes.
        root = os.path.join(self.dir, "root")
        os.makedirs(os.path.join(root, "var", "lib", "dpkg", "updates"))
        os.makedirs(os.path.join(root, "var", "lib", "dpkg", "info"))
        open(os.path.join(root, "var", "lib", "dpkg", "status"), "w").close()
        system_image(root)  # postinst makes the service's account there
        opt = os.path.join(root, "opt", "ostrivan")

        def dpkg(*args):
            run = subprocess.run(["dpkg", f"--root={root}", "--force-script-chrootless", "--force-depends",
                                  "--log=/dev/null", *args], capture_output=True, text=True, timeout=120)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            return run

        def status():
            run = subprocess.run(["dpkg-query", f"--root={root}", "-W", "-f=${db:Status-Abbrev}", "ostrivan"],
                                 capture_output=True, text=True)
            return run.stdout.strip() if run.returncode == 0 else "not installed"

        dpkg("-i", self.deb)
        self.assertEqual(status(), "ii")
        self.assertEqual(sorted(os.listdir(opt)), sorted(FILES + SERVICE_MADE))
        # The unit's account, owning the folders it writes.
        uid, gid = image_ids(root, "ostrivan")
        self.assertEqual({(os.stat(os.path.join(opt, f)).st_uid, os.stat(os.path.join(opt, f)).st_gid)
                          for f in SERVICE_MADE if f != "ParametrOstrivan.ini"}, {(uid, gid)})
        self.assertEqual(os.readlink(os.path.join(root, "usr", "bin", "ostrivan-client")),
                         "/opt/ostrivan/ostrivan-client")
        # What a running service and its administrator leave beside the executable.
        with open(os.path.join(opt, "ParametrOstrivan.ini"), "w") as f:
            f.write("[CONFIG]\nPorta=8099\n")
        for folder in ("logs", "held", "sent", "unsent", "received"):
            os.makedirs(os.path.join(opt, folder, "sub"))
            with open(os.path.join(opt, folder, "sub", "file"), "wb") as f:
                f.write(b"x" * 1000)
        links = [os.path.join(root, "etc", "systemd", "system", "ostrivan.service"),
                 os.path.join(root, "etc", "systemd", "system", "multi-user.target.wants", "ostrivan.service")]
        systemctl = shutil.which("systemctl")
        if systemctl:
            subprocess.run([systemctl, f"--root={root}", "enable", "/opt/ostrivan/ostrivan.service"],
                           capture_output=True, check=True, timeout=60)
            self.assertTrue(all(os.path.islink(l) for l in links))
        # An upgrade (the same package again) keeps the unit enabled and the edited file.
        dpkg("-i", self.deb)
        self.assertEqual(read(os.path.join(opt, "ParametrOstrivan.ini")), "[CONFIG]\nPorta=8099\n")
        if systemctl:
            self.assertTrue(all(os.path.islink(l) for l in links))

        dpkg("-r", "ostrivan")
        self.assertEqual(status(), "rc")
        self.assertEqual(sorted(os.listdir(opt)), sorted(SERVICE_MADE))  # the package's files gone, the rest kept
        self.assertEqual(read(os.path.join(opt, "ParametrOstrivan.ini")), "[CONFIG]\nPorta=8099\n")
        self.assertFalse(os.path.lexists(os.path.join(root, "usr", "bin", "ostrivan-client")))
        if systemctl:
            self.assertFalse(any(os.path.lexists(l) for l in links))  # disabled by prerm

        # Purge: a job in unsent/ was never delivered and waits for a person, one in held/
        # is not settled yet; both stay, and purge says where. Everything else goes.
        run = dpkg("--purge", "ostrivan")
        self.assertEqual(status(), "not installed")
        self.assertEqual(sorted(os.listdir(opt)), ["held", "unsent"])
        for kept in ("held", "unsent"):
            self.assertEqual(read(os.path.join(opt, kept, "sub", "file")), "x" * 1000)
            self.assertIn(f"{opt}/{kept} is kept", run.stdout + run.stderr)
        # Once dealt with, empty ones go with the rest.
        shutil.rmtree(os.path.join(opt, "unsent", "sub"))
        shutil.rmtree(os.path.join(opt, "held", "sub"))
        dpkg("-i", self.deb)
        run = dpkg("--purge", "ostrivan")
        self.assertEqual(status(), "not installed")
        self.assertNotIn("is kept", run.stdout + run.stderr)
        self.assertFalse(os.path.exists(opt))
        # Nothing of the package is left in the root but dpkg's own records and the
        # image's account files, where the account stays (files elsewhere may be its).
        left = [os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs]
        self.assertEqual([f for f in left if not f.startswith(("var/lib/dpkg/", "etc/"))], [])
        self.assertEqual(image_ids(root, "ostrivan"), (uid, gid))


if __name__ == "__main__":
    unittest.main()
