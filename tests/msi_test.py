"""The Windows installer under Wine, in a prefix of its own: a silent
install, the service's and the event source's registry keys, the sample
main.conf, an upgrade that keeps an edited main.conf, and a silent removal
that leaves no service and no event source but keeps main.conf. Nothing is
started here (installing and reading the registry need no emulated 32-bit
program), so it runs with the 64-bit loader in seconds; the i686 smoke run
starts the installed service.

    python3 tests/msi_test.py OLD.msi NEW.msi
    python3 tests/msi_test.py --upgrade-running OLD-x64.msi NEW-x64.msi NEWER-x64.msi
    python3 tests/msi_test.py --silent-install FIRST-x64.msi REBUILD-x64.msi

The other forms start the service: they take the packages of the x86_64
build (scripts/build-msi VERSION x64), which run under the 64-bit Wine
without the emulator. --upgrade-running checks that an upgrade over a
running service asks for its start at the end and one over a stopped
service does not (and leaves it stopped). Whether the restarted service then
runs depends, under Wine, on a race of Wine's installer (see the test); it
is checked when the race allows and printed otherwise. --silent-install
takes two builds of one version: a silent install without a password must
leave no service that acknowledges a registration without one, at the next
boot either; the second build, given PWD=, replaces the first and puts the
password into main.conf, and not into the install log.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "blackbox"))
import harness  # noqa: E402

OLD = NEW = NEWER = FIRST = REBUILD = None
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\Tarvik"
SOURCE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\Tarvik"


def z_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def installed_versions(wine):
    """DisplayVersion of each installed product named Tarvik, in both views
    of the registry (a 32-bit package is listed in the 32-bit one)."""
    versions = []
    for view in ("Software\\Wow6432Node", "Software"):
        _, out = wine("reg", "query", "HKLM\\%s\\Microsoft\\Windows\\CurrentVersion\\Uninstall" % view, "/s")
        for block in re.split(r"\n(?=HKEY_)", out):
            values = dict(re.findall(r"^[ \t]+(\w+)[ \t]+REG_\w+[ \t]*(.*?)[ \t]*$", block, re.M))
            if values.get("DisplayName") == "Tarvik":
                versions.append(values.get("DisplayVersion"))
    return versions


class InstallerChecks:
    """The checks, for any test case whose prefix (self.env) has no Tarvik
    installed yet; the i686 smoke run uses them in its own prefix."""

    msiexec_timeout = 120
    # Set where the upgrade cannot be run, saying why.
    skip_upgrade_why = None

    def wine(self, *args):
        timeout = self.msiexec_timeout if args[0] == "msiexec" else 120
        done = subprocess.run([harness.WINE_LOADER] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return done.returncode, harness.text_of(done.stdout)

    def values(self, key):
        code, out = self.wine("reg", "query", key)
        if code != 0:
            return None
        return dict(re.findall(r"^[ \t]+(\w+)[ \t]+REG_\w+[ \t]*(.*?)[ \t]*$", out, re.M))

    def installed_version(self):
        return installed_versions(self.wine)

    def check_install_upgrade_remove(self, old, new):
        # Wine starts every automatic service whenever its server starts
        # afresh, which it does after each idle moment. Kept up, it boots the
        # prefix once, before the install: the service (which can run where
        # the 32-bit Wine is installed) is not started behind the checks, and
        # its exe is not in use at the removal.
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=30)
        subprocess.run([harness.WINE_LOADER, "wineboot"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        try:
            self._check_install_upgrade_remove(old, new)
        finally:
            harness.stop_wineserver(self.env)

    def _check_install_upgrade_remove(self, old, new):
        # A 32-bit package: Program Files (x86) in a 64-bit prefix.
        program_dir = os.path.join(self.env["WINEPREFIX"], "drive_c", "Program Files (x86)", "Tarvik")
        data_dir = os.path.join(self.env["WINEPREFIX"], "drive_c", "ProgramData", "Quellard", "Tarvik")
        self.assertEqual(self.wine("msiexec", "/i", z_path(old), "/qn")[0], 0)
        exe = "C:\\Program Files (x86)\\Tarvik\\tarvik.exe"
        service = self.values(SERVICE_KEY)
        self.assertIsNotNone(service, "no service key")
        # The service control manager splits an unquoted path at its spaces;
        # accept the path with or without the quotes the installer may add.
        self.assertIn(service.get("ImagePath"), (exe, '"%s"' % exe))
        self.assertEqual((service.get("Type"), service.get("Start"), service.get("ObjectName")),
                         ("0x10", "0x2", "LocalSystem"))  # own process, automatic
        self.assertTrue(service.get("Description", "").startswith("Acknowledges device registrations"))
        self.assertEqual(self.values(SOURCE_KEY), {"EventMessageFile": exe, "TypesSupported": "0x7"})
        self.assertEqual(sorted(os.listdir(program_dir)), ["tarvik-register.exe", "tarvik.exe"])
        conf = os.path.join(data_dir, "main.conf")
        with open(conf, "rb") as f:
            sample = f.read()
        self.assertIn(b"\r\nport 5000\r\n", sample)
        self.assertIn(b"\r\n#pwd ", sample)  # no password until the admin sets one
        self.assertNotIn(b"\r\npwd", sample)

        with open(conf, "ab") as f:
            f.write(b"pwd edited\r\n")
        installed = old
        if self.skip_upgrade_why:
            print("\n  upgrade not checked here: " + self.skip_upgrade_why, end=" ")
        else:
            self.assertEqual(self.wine("msiexec", "/i", z_path(new), "/qn")[0], 0)
            self.assertEqual(self.installed_version(), [version_of(new)])  # the old one is gone
            installed = new
            with open(conf, "rb") as f:
                self.assertEqual(f.read(), sample + b"pwd edited\r\n")
            self.assertIsNotNone(self.values(SERVICE_KEY))
            self.assertIsNotNone(self.values(SOURCE_KEY))

        self.assertEqual(self.wine("msiexec", "/x", z_path(installed), "/qn")[0], 0)
        self.assertIsNone(self.values(SERVICE_KEY))
        self.assertIsNone(self.values(SOURCE_KEY))
        self.assertEqual(self.installed_version(), [])
        self.assertFalse(os.path.exists(program_dir) and os.listdir(program_dir))
        with open(conf, "rb") as f:
            self.assertEqual(f.read(), sample + b"pwd edited\r\n")


class Installer(InstallerChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tarvik-msi-")
        cls.env = harness.new_wine_env(os.path.join(cls.root, "prefix"))
        harness.init_wine_prefix(cls.env, timeout=600)

    @classmethod
    def tearDownClass(cls):
        harness.stop_wineserver(cls.env)
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_install_upgrade_remove(self):
        self.check_install_upgrade_remove(OLD, NEW)


def version_of(msi):
    return re.search(r"tarvik-([0-9.]+)(-x64)?\.msi$", msi).group(1)


class X64Case(unittest.TestCase):
    """A prefix of its own for packages of the x86_64 build, whose service
    runs under the 64-bit Wine."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tarvik-msi-x64-")
        cls.env = harness.new_wine_env(os.path.join(cls.root, "prefix"))
        cls.data = os.path.join(cls.env["WINEPREFIX"], "drive_c", "ProgramData", "Quellard", "Tarvik")
        try:
            harness.init_wine_prefix(cls.env, timeout=600)
        except BaseException:
            cls.tearDownClass()  # not called when this fails
            raise

    @classmethod
    def tearDownClass(cls):
        harness.stop_wineserver(cls.env)
        shutil.rmtree(cls.root, ignore_errors=True)

    def wine(self, *args):
        done = subprocess.run([harness.WINE_LOADER] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=180)
        return done.returncode, harness.text_of(done.stdout)

    def state(self):
        _, out = self.wine("sc", "query", "Tarvik")
        match = re.search(r"STATE\s*:\s*(\d+)", out)
        return int(match.group(1)) if match else None

    def boot(self):
        """Starts Wine's service manager afresh, as a Windows boot starts
        it: every automatic service is started. Kept up afterwards, so that
        a running service is not ended with the server."""
        harness.stop_wineserver(self.env)
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=30)
        subprocess.run([harness.WINE_LOADER, "wineboot"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)

    def make_test_folder(self):
        """A folder with an empty hosts file, and main.conf lines that point
        a service at it and at a free port."""
        folder = tempfile.mkdtemp(dir=self.root)
        with open(os.path.join(folder, "hosts"), "wb") as f:
            f.write(b"127.0.0.1 localhost\r\n")
        port = harness.free_udp_port()
        lines = ("port %d\r\nhosts-file %s\r\nlog-path %s\r\n"
                 % (port, harness.native_path(os.path.join(folder, "hosts")), harness.native_path(folder)))
        return folder, port, lines.encode()


class UpgradeOfRunningService(X64Case):
    """An upgrade over a running service restarts it; over a stopped one it
    stays stopped."""

    def upgrade(self, package, name):
        """Installs `package` with a log; returns msiexec's exit code,
        whether the service's start was asked for, and the log."""
        log = os.path.join(self.root, name + ".log")
        code = self.wine("msiexec", "/i", z_path(package), "/qn", "/l*v", z_path(log))[0]
        try:
            with open(log, "rb") as f:
                text = f.read().decode("latin-1").replace("\r\n", "\n")
        except FileNotFoundError:
            text = ""
        # Wine logs the service's display name, empty once it is gone.
        start_asked = re.search(r"Action start [^\n]*: StartServices\.\nService: ", text) is not None
        return code, start_asked, text

    def test_upgrade_keeps_the_service_running_or_stopped(self):
        folder, _, lines = self.make_test_folder()
        data = self.data
        os.makedirs(data)
        with open(os.path.join(data, "main.conf"), "wb") as f:
            f.write(b"pwd upgrade-test\r\n" + lines)
        os.chmod(os.path.join(data, "main.conf"), 0o600)  # it holds a password
        log = os.path.join(folder, "log")
        with open(os.path.join(data, "main.conf"), "rb") as f:
            conf = f.read()

        def started_count():
            try:
                with open(log, "rb") as f:
                    return f.read().count(b"Started 1.0b")
            except FileNotFoundError:
                return 0

        # The boot's own service starts are over before the install begins.
        self.boot()
        try:
            self.assertEqual(self.wine("msiexec", "/i", z_path(OLD), "/qn", "START=1")[0], 0)
            self.assertTrue(harness.wait_for(lambda: self.state() == 4 and started_count() == 1, 60, 1.0))

            code, start_asked, text = self.upgrade(NEW, "over-running")
            self.assertIn("TARVIKWASRUNNING = 1", text)
            self.assertTrue(start_asked, "the upgrade did not ask for the service's start")
            # Stopped for the upgrade and started again: a second start.
            restarted = code == 0 and harness.wait_for(
                lambda: self.state() == 4 and started_count() == 2, 30, 1.0)
            if not restarted:
                # Wine's installer sends the stop and deletes the old service
                # at once, without waiting for it to stop as Windows does:
                # the new version's service is created while the old one is
                # still stopping, and either its start fails (1627, the
                # install rolled back), or the old one's deletion takes it
                # along when it stops, or the old exe is still running when
                # its file is replaced (3010: done, the file is replaced at
                # the next boot). What the package asks for is checked
                # above; the outcome depends on that race.
                self.assertIn(code, (0, 1627 & 0xFF, 3010 & 0xFF), text[-3000:])
                print("\n  [wine] upgrade over the running service: exit %d, then state %s, %d starts"
                      % (code, self.state(), started_count()), end=" ")

            self.wine("net", "stop", "Tarvik")
            self.assertTrue(harness.wait_for(lambda: self.state() in (1, None), 60, 1.0))
            starts = started_count()
            code, start_asked, text = self.upgrade(NEWER, "over-stopped")
            self.assertEqual(code, 0, text[-3000:])
            self.assertNotIn("TARVIKWASRUNNING", text)
            self.assertFalse(start_asked, "the upgrade asked for the start of a stopped service")
            time.sleep(3)
            self.assertEqual((self.state(), started_count()), (1, starts))  # left stopped
            with open(os.path.join(data, "main.conf"), "rb") as f:
                self.assertEqual(f.read(), conf)  # the admin's file, through both upgrades
            self.assertEqual(self.wine("msiexec", "/x", z_path(NEWER), "/qn")[0], 0)
        finally:
            harness.stop_wineserver(self.env)


class SilentInstall(X64Case):
    """A silent install without PWD starts nothing, and no later boot runs
    a service that acknowledges registrations without a password; a second
    build of the same version, given PWD=, replaces the first (one entry)
    and writes the password into main.conf, not into the install log."""

    def test_file_table_has_the_versions(self):
        # A versioned file is replaced by version, not by date, and the
        # version is the package's (the build passed it to the exes).
        out = subprocess.run(["msiinfo", "export", FIRST, "File"], stdout=subprocess.PIPE, check=True).stdout
        versions = {row[0]: row[4] for row in (line.split("\t") for line in out.decode().splitlines())
                    if len(row) > 4}
        self.assertEqual((versions["TarvikExe"], versions["RegisterExe"]), (version_of(FIRST) + ".0",) * 2)

    def test_without_password_then_with(self):
        conf = os.path.join(self.data, "main.conf")
        self.boot()
        try:
            self.assertEqual(self.wine("msiexec", "/i", z_path(FIRST), "/qn")[0], 0)
            self.assertEqual(installed_versions(self.wine), [version_of(FIRST)])
            # 64-bit components under Program Files, built as the package's version.
            self.assertEqual(self.wine("C:\\Program Files\\Tarvik\\tarvik.exe", "--version"),
                             (0, "Tarvik %s\n" % version_of(FIRST)))
            self.assertEqual(self.state(), 1)  # installed, not started
            with open(conf, "rb") as f:
                sample = f.read()
            self.assertNotRegex(sample, rb"(?m)^[ \t]*pwd[ \t]+\S")

            # The sample as installed, on a port and files of the test.
            folder, port, lines = self.make_test_folder()
            with open(conf, "wb") as f:
                f.write(sample.replace(b"\r\nport 5000\r\n", b"\r\n") + lines)
            # Closed to all but its owner, as Wine shows the list the package
            # sets on Windows (it keeps no list itself; see docs/install.md).
            os.chmod(conf, 0o600)
            log = os.path.join(folder, "log")
            self.boot()
            # Started at the boot; refused (stopped) or running, it has
            # logged by now.
            harness.wait_for(lambda: os.path.exists(log) and os.path.getsize(log) > 0, 30, 0.5)
            time.sleep(1)
            reply = harness.exchange(port, harness.registration("intruder", "10.66.66.66"), timeout=3)
            with open(log, "rb") as f:
                logged = f.read()
            # The steps after it need no refusal: they run either way.
            with self.subTest("no acknowledgement without a password after a boot"):
                self.assertIsNone(reply, "acknowledged without a password after a boot (state %s); log:\n%s"
                                  % (self.state(), logged.decode("latin-1")))

            # Stopped first if it runs after all: Wine's installer deletes a
            # running service without waiting for its stop (see above).
            self.wine("net", "stop", "Tarvik")
            harness.wait_for(lambda: self.state() == 1, 30, 1.0)

            # The second build of the version, with the password.
            password = "Zq7-silent-install-%d" % port
            install_log = os.path.join(self.root, "with-password.log")
            code = self.wine("msiexec", "/i", z_path(REBUILD), "/qn", "PWD=" + password,
                             "/l*v", z_path(install_log))[0]
            with open(install_log, "rb") as f:
                logged = f.read()
            text = logged.decode("utf-16-le" if logged[:2] == b"\xff\xfe" else "latin-1")
            self.assertEqual(code, 0, text[-3000:])
            self.assertEqual(installed_versions(self.wine), [version_of(REBUILD)])  # replaced, not beside
            self.assertNotIn(password, text)
            self.assertIn("WriteConfiguration", text)  # the log is the install's, and verbose
            with open(conf, "rb") as f:
                self.assertTrue(f.read().endswith(b"\r\npwd " + password.encode() + b"\r\n"))
            self.assertEqual(os.stat(conf).st_mode & 0o077, 0)  # a closed list was left as it was
            # Given a password, the install starts the service.
            self.assertTrue(harness.wait_for(lambda: self.state() == 4, 30, 1.0), "not started")
            self.assertTrue(harness.wait_for(lambda: harness.exchange(
                port, harness.registration("meter1", "192.168.1.20", password.encode()), timeout=2), 20, 0.5))

            self.assertEqual(self.wine("msiexec", "/x", z_path(REBUILD), "/qn")[0], 0)
            # Wine's installer does not wait for the stop it asks for; the
            # service's last hosts write may still be under way.
            self.assertTrue(harness.wait_for(lambda: self.state() is None, 30, 0.5), self.state())
            with open(conf, "rb") as f:
                self.assertIn(b"\r\npwd " + password.encode() + b"\r\n", f.read())  # kept
        finally:
            harness.stop_wineserver(self.env)

if __name__ == "__main__":
    harness.WINE = True  # paths as the exe sees them (Z:\\...)
    args = sys.argv[1:]
    if args[:1] == ["--upgrade-running"]:
        OLD, NEW, NEWER = args[1:4]
        case = UpgradeOfRunningService
    elif args[:1] == ["--silent-install"]:
        FIRST, REBUILD = args[1:3]
        OLD, NEW = FIRST, None
        case = SilentInstall
        if version_of(FIRST) != version_of(REBUILD) or os.path.samefile(FIRST, REBUILD):
            sys.exit("--silent-install takes two builds of one version")
    else:
        OLD, NEW = args[0], args[1]
        case = Installer
    if NEW is not None and version_of(OLD) == version_of(NEW):
        sys.exit("the packages must differ in version")
    tests = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(tests).wasSuccessful() else 1)
