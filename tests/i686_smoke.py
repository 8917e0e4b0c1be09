"""The shipped exe, the i686 build, under Wine. This kernel may run no 32-bit
x86 code itself; the 32-bit Wine loader then runs through the user-mode
emulator (see scripts/install-deps), and each emulated process start costs
about a minute, so this run starts the exe twice:

1. console mode (`run`): a registration acknowledged and written to the
   hosts file, a local DNS answer and one relayed from an upstream server.
   It is ended with the prefix: Ctrl+C cannot be delivered under the
   emulator (the emulated loader dies of the signal instead).
2. the installer, silently with START=1, over a main.conf the admin already
   wrote (which it must keep): the service runs and acknowledges a
   registration; it stops through the service control manager with
   "Stopped" logged, and the removal leaves no service behind.

In both, the control channel's pipe is held by a 64-bit program of the
prefix, so the exe runs without its channel ("another running instance
answers there"): under the emulator the pipe's thread is not dependable
(one created at the service's start died at its first instruction, with a
trap number the emulator leaves unset, in 3 of 4 runs, and a stop with it
pending never ended in another), while the same sources' channel is tested
under the 64-bit Wine by the black-box suite.

Before both, in the same prefix, the installer's checks of tests/msi_test.py
(install and removal; the upgrade is left to the x86_64 packages, see
ShippedExe).

    python3 tests/i686_smoke.py build/win32/tarvik.exe OLD.msi NEW.msi
Where the i686 exe cannot run, it prints SKIP and the reason and runs only
the installer's checks.
"""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "blackbox"))
import harness  # noqa: E402
import msi_test  # noqa: E402

PROGRAM = MSI = NEW_MSI = None
# The 32-bit loader itself: /usr/bin/wine would pick it too, but naming it
# keeps the 64-bit programs of the prefix (msiexec, sc, net) on wine64.
LOADER32 = "/usr/lib/wine/wine"
EMULATED_START = 300  # seconds allowed for an emulated start on a loaded machine
PASSWORD = b"smoke-test"
RELAYED_ADDRESS = "192.0.2.77"


def why_not_runnable():
    if not os.path.exists(LOADER32):
        return "the 32-bit Wine loader (wine32:i386) is not installed"
    try:
        done = subprocess.run([LOADER32, "--version"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=120)
    except OSError as e:
        return "the 32-bit Wine loader cannot run here (%s): register the i386 emulator (scripts/install-deps)" % e
    if done.returncode != 0:
        return "the 32-bit Wine loader fails: %s" % done.stderr.decode(errors="replace").strip()
    return None


def upstream_answers(sock, stop):
    """A minimal upstream server: every A query gets RELAYED_ADDRESS."""
    sock.settimeout(0.2)
    while not stop.is_set():
        try:
            query, peer = sock.recvfrom(512)
        except socket.timeout:
            continue
        except OSError:  # closed at the end of the test
            return
        if len(query) < 12:
            continue
        end = 12
        while end < len(query) and query[end] != 0:
            end += 1 + query[end]
        question = query[12:end + 5]
        answer = (query[:2] + b"\x81\x80" + struct.pack(">HHHH", 1, 1, 0, 0) + question +
                  b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + socket.inet_aton(RELAYED_ADDRESS))
        sock.sendto(answer, peer)


def dig(port, name):
    done = subprocess.run(["dig", "@127.0.0.1", "-p", str(port), "+short", "+tries=1", "+time=5", name],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    return done.stdout.decode().strip()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


class ShippedExe(msi_test.InstallerChecks, unittest.TestCase):
    msiexec_timeout = EMULATED_START
    # The upgrade runs the package's 32-bit custom action; under Wine through
    # the emulator that msiexec did not end within 120 s, nor in another run
    # within 300 s, so the upgrade (the same package logic) is checked with
    # the x86_64 packages by tests/msi_test.py --upgrade-running.
    skip_upgrade_why = "its 32-bit custom action does not finish under the emulator"
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tarvik-i686-")
        cls.env = harness.new_wine_env(os.path.join(cls.root, "prefix"))
        started = time.monotonic()
        harness.init_wine_prefix(cls.env, timeout=600)
        print("\n  prefix ready in %.0f s" % (time.monotonic() - started), end=" ")

    @classmethod
    def tearDownClass(cls):
        harness.stop_wineserver(cls.env)
        shutil.rmtree(cls.root, ignore_errors=True)

    def hold_control_pipe(self):
        """Takes the control channel's pipe name with a 64-bit program of the
        prefix until the test ends (see the top of this file)."""
        probe = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "win64",
                             "file-probe.exe")
        self.assertTrue(os.path.exists(probe), "build the x86_64 exes first: " + probe)
        holder = subprocess.Popen([harness.WINE_LOADER, probe, "pipe", "\\\\.\\pipe\\Tarvik"], env=self.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

        def release():
            holder.stdin.close()
            try:
                holder.wait(timeout=30)
            except subprocess.TimeoutExpired:
                holder.kill()
                holder.wait()
        self.addCleanup(release)
        self.assertEqual(holder.stdout.readline().strip(), b"held")

    def assert_ran_without_control_channel(self, log):
        self.assertIn(b"control: \\\\.\\pipe\\Tarvik: another running instance answers there; "
                      b"this run has no control channel", read(log))

    def wine64(self, *args, timeout=120):
        done = subprocess.run([harness.WINE_LOADER] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return done.returncode, harness.text_of(done.stdout)

    def folder(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path)
        with open(os.path.join(path, "hosts"), "wb") as f:
            f.write(b"127.0.0.1 localhost\r\n")
        return path

    def conf(self, folder, port, extra=""):
        return ("port %d\r\npwd %s\r\nhosts-file %s\r\nlog-path %s\r\n%s"
                % (port, PASSWORD.decode(), harness.native_path(os.path.join(folder, "hosts")),
                   harness.native_path(folder), extra))

    def register(self, port):
        return harness.exchange(port, harness.registration("meter1", "192.168.1.20", PASSWORD), timeout=5)

    def test_0_installer_installs_upgrades_and_removes(self):
        # In this prefix too, as a fresh one costs minutes once the 32-bit
        # Wine is installed.
        try:
            self.check_install_upgrade_remove(MSI, NEW_MSI)
        finally:
            # The kept main.conf would be read before the console run's own.
            data = os.path.join(self.env["WINEPREFIX"], "drive_c", "ProgramData", "Quellard", "Tarvik")
            shutil.rmtree(data, ignore_errors=True)

    def test_1_console_run_registers_and_answers(self):
        folder = self.folder("console")
        port, dns_port = harness.free_udp_port(), harness.free_udp_port()
        upstream_address = harness.loopback_address()
        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(upstream.close)
        try:
            upstream.bind((upstream_address, 53))
        except OSError:
            self.skipTest("cannot bind %s:53 for the upstream server (needs root)" % upstream_address)
        stop = threading.Event()
        self.addCleanup(stop.set)
        threading.Thread(target=upstream_answers, args=(upstream, stop), daemon=True).start()
        with open(os.path.join(folder, "main.conf"), "w", newline="") as f:
            f.write(self.conf(folder, port, "dns-port %d\r\ntarvik-server-ip 127.0.0.1\r\ndns-server-ip %s\r\n"
                              % (dns_port, upstream_address)))
        os.chmod(os.path.join(folder, "main.conf"), 0o600)  # it holds the password
        log = os.path.join(folder, "log")
        self.hold_control_pipe()
        started = time.monotonic()
        # Output goes to a file: Wine's own processes keep inherited pipes open.
        with open(os.path.join(folder, "console.out"), "wb") as out:
            process = subprocess.Popen([LOADER32, PROGRAM, "run"], cwd=folder, env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        self.assertTrue(harness.wait_for(lambda: b"Started 1.0b" in read(log) or process.poll() is not None,
                                         EMULATED_START, 1.0) and b"Started 1.0b" in read(log),
                        "no start:\n%s\n%s" % (read(log), read(os.path.join(folder, "console.out"))))
        print("\n  console start took %.0f s" % (time.monotonic() - started), end=" ")
        self.assert_ran_without_control_channel(log)

        reply = self.register(port)
        self.assertIsNotNone(reply)
        self.assertRegex(reply, rb"^tarvik1 ack [0-9a-f]{8}$")
        block = b"#tarvik-begin\r\n192.168.1.20\tmeter1\r\n#tarvik-end\r\n"
        self.assertTrue(harness.wait_for(lambda: block in read(os.path.join(folder, "hosts")), 10),
                        read(os.path.join(folder, "hosts")))
        self.assertEqual(dig(dns_port, "meter1.tarvik"), "192.168.1.20")
        self.assertEqual(dig(dns_port, "relayed.example"), RELAYED_ADDRESS)

        harness.stop_wineserver(self.env)  # ends the run; no Ctrl+C under the emulator
        process.wait(timeout=60)
        self.assertNotIn(b"Exception", read(log))

    def test_2_installed_service_starts_serves_stops_and_is_removed(self):
        folder = self.folder("service")
        port = harness.free_udp_port()
        data = os.path.join(self.env["WINEPREFIX"], "drive_c", "ProgramData", "Quellard", "Tarvik")
        os.makedirs(data, exist_ok=True)
        conf = self.conf(folder, port).encode()
        with open(os.path.join(data, "main.conf"), "wb") as f:
            f.write(conf)
        os.chmod(os.path.join(data, "main.conf"), 0o600)  # it holds the password
        log = os.path.join(folder, "log")
        # A running service dies with Wine's server unless it is persistent.
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=30)
        subprocess.run([harness.WINE_LOADER, "wineboot"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        self.hold_control_pipe()

        def state():
            _, out = self.wine64("sc", "query", "Tarvik")
            match = re.search(r"STATE\s*:\s*(\d+)", out)
            return int(match.group(1)) if match else None

        started = time.monotonic()
        msi = harness.native_path(MSI)
        self.assertEqual(self.wine64("msiexec", "/i", msi, "/qn", "START=1", timeout=EMULATED_START)[0], 0)
        self.assertEqual(read(os.path.join(data, "main.conf")), conf)  # the admin's file is kept
        self.assertTrue(harness.wait_for(lambda: state() == 4, EMULATED_START, 2.0),
                        "not RUNNING; log:\n%s" % read(log))
        self.assertTrue(harness.wait_for(lambda: b"Started 1.0b" in read(log), 30), read(log))
        print("\n  install and service start took %.0f s" % (time.monotonic() - started), end=" ")
        self.assert_ran_without_control_channel(log)

        reply = self.register(port)
        self.assertIsNotNone(reply)
        self.assertRegex(reply, rb"^tarvik1 ack [0-9a-f]{8}$")

        stopping = time.monotonic()
        self.wine64("net", "stop", "Tarvik", timeout=EMULATED_START)
        # The stop makes the last hosts write on the writer thread, which
        # runs below the loop. Emulated, the stop did not end within a
        # minute in 3 of 6 runs (the build before stopped in 0.4 s): it gets
        # the emulated start's time, and the log if it still does not end.
        self.assertTrue(harness.wait_for(lambda: state() == 1, EMULATED_START, 1.0),
                        "state %s; log:\n%s" % (state(), read(log).decode("latin-1")))
        print("stop took %.0f s" % (time.monotonic() - stopping), end=" ")
        self.assertTrue(harness.wait_for(lambda: b"Stopped" in read(log), 10), read(log))
        self.assertIn(b"#tarvik-begin\r\n192.168.1.20\tmeter1\r\n#tarvik-end\r\n", read(os.path.join(folder, "hosts")))

        self.assertEqual(self.wine64("msiexec", "/x", msi, "/qn", timeout=EMULATED_START)[0], 0)
        self.assertNotEqual(self.wine64("reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\Tarvik")[0], 0)
        self.assertIsNone(state())
        self.assertEqual(read(os.path.join(data, "main.conf")), conf)


if __name__ == "__main__":
    PROGRAM, MSI, NEW_MSI = (os.path.abspath(a) for a in sys.argv[1:4])
    harness.WINE = True  # paths as the exe sees them (Z:\\...)
    msi_test.OLD, msi_test.NEW = MSI, NEW_MSI
    reason = why_not_runnable()
    started = time.monotonic()
    if reason:
        # The installer's own checks need no 32-bit program: run them alone.
        print("SKIP: i686 smoke run: " + reason)
        # An upgrade runs the package's 32-bit custom actions, which need
        # the 32-bit Wine as well.
        msi_test.Installer.skip_upgrade_why = reason
        tests = unittest.defaultTestLoader.loadTestsFromTestCase(msi_test.Installer)
    else:
        tests = unittest.defaultTestLoader.loadTestsFromTestCase(ShippedExe)
    result = unittest.TextTestRunner(verbosity=2).run(tests)
    print("i686 smoke run: %.0f s" % (time.monotonic() - started))
    sys.exit(0 if result.wasSuccessful() else 1)
