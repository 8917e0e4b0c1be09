"""The command line, the service manager's side of the service (the Windows
service control manager under Wine; systemd's notify protocol, the unit file
and SIGTERM on Linux), the event-log report and the crash report."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

import harness
from harness import ServiceTest

USAGE = "Usage: Tarvik [run/install]\n"
LINUX_CRASH_REPORT = "/var/tmp/kro.dmp"
DATA_FOLDER = "C:\\ProgramData\\Quellard\\Tarvik"  # under Wine
PACKAGED_UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                             "packaging", "linux", "tarvik.service")


def run(argv, env=None, cwd=None, timeout=60):
    """Runs a program to its end; returns (exit code, stdout, stderr) as text."""
    done = subprocess.run(argv, env=env or harness.run_env(), cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return done.returncode, harness.text_of(done.stdout), harness.text_of(done.stderr)


class CommandLine(unittest.TestCase):
    def test_anything_but_run_or_install_prints_usage(self):
        cases = [["Install"], ["RUN"], ["run "], ["install "], ["run", "x"], ["install", "x"],
                 ["-t"], ["--helps"], ["-h", "x"], [""]]
        for args in cases:
            with self.subTest(args=args):
                code, out, err = run(harness.command(harness.PROGRAM, *args))
                self.assertEqual(code, 1)
                self.assertEqual(err, USAGE)
                self.assertEqual(out, "")

    def test_help_and_version_go_to_standard_output_and_exit_0(self):
        for args in (["--help"], ["-h"]):
            with self.subTest(args=args):
                code, out, err = run(harness.command(harness.PROGRAM, *args))
                self.assertEqual((code, err), (0, ""))
                self.assertTrue(out.startswith("Usage: tarvik [COMMAND]\n"), out)
                for command in ("run", "install", "check [FILE]", "status [--json]", "forget NAME", "reload"):
                    self.assertIn("\n  %s " % command, out)
        code, out, err = run(harness.command(harness.PROGRAM, "--version"))
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, r"^Tarvik \S+\n$")

    def test_usage_names_the_service_whatever_the_file_is_called(self):
        folder = tempfile.mkdtemp(prefix="tarvik-name-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        renamed = os.path.join(folder, "renamed.exe" if harness.WINE else "renamed")
        shutil.copy2(harness.PROGRAM, renamed)
        code, _, err = run(harness.command(renamed, "bogus"))
        self.assertEqual((code, err), (1, USAGE))


class CrashReport(unittest.TestCase):
    """The crash probe installs the product's crash handler and faults."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tarvik-crash-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        if harness.WINE:
            self.report = os.path.join(harness.WINE_ENV["WINEPREFIX"], "drive_c", "kro.dmp")
        else:
            self.report = LINUX_CRASH_REPORT
        self.remove_report()
        self.addCleanup(self.remove_report)

    def remove_report(self):
        if os.path.lexists(self.report):
            os.unlink(self.report)

    def read_log(self):
        with open(os.path.join(self.folder, "log"), "rb") as f:
            return f.read().decode("latin-1")

    def test_fault_writes_report_and_logs_before_the_process_ends(self):
        # On the main thread, and on a thread as the hosts-file writer's is
        # started (which takes no signal but a fault's).
        for args in ((), ("thread",)):
            with self.subTest(args=args):
                self.remove_report()
                log = os.path.join(self.folder, "log")
                if os.path.exists(log):
                    os.unlink(log)
                # No log-path is set before a crash here, so the line goes to ./log.
                code, _, err = run(harness.command(harness.CRASH_PROBE, *args), cwd=self.folder)
                self.assertIn("crash-probe: faulting now", err)
                with open(self.report, "rb") as f:
                    report = f.read()
                if harness.WINE:
                    # EXCEPTION_EXECUTE_HANDLER ends the process with the exception
                    # code, of which Linux keeps the low byte.
                    self.assertEqual(code, 0xC0000005 & 0xFF)
                    self.assertEqual(report[:4], b"MDMP")
                    line = "Exception with code c0000005 captured to c:\\kro.dmp"
                else:
                    # The default action still ends the process: the supervisor sees a crash.
                    self.assertEqual(code, -signal.SIGSEGV)
                    self.assertIn(b"signal 11 (SIGSEGV)\n", report)
                    self.assertIn(b"address 0x0\n", report)
                    self.assertRegex(report, rb"backtrace:\n(.*\n){3,}")
                    line = "Exception with code 000b captured to /var/tmp/kro.dmp"
                self.assertRegex(self.read_log(), r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} " + re.escape(line) + "\r\n$")

    @unittest.skipIf(harness.WINE, "the report's symlink guard is Linux-only")
    def test_report_is_not_written_through_a_planted_link(self):
        victim = os.path.join(self.folder, "victim")
        with open(victim, "wb") as f:
            f.write(b"keep me")
        os.symlink(victim, self.report)
        run(harness.command(harness.CRASH_PROBE), cwd=self.folder)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"keep me")
        self.assertFalse(os.path.islink(self.report))
        self.assertIn("Exception with code 000b", self.read_log())


# Runs inside a private mount namespace: puts a datagram socket at /dev/log,
# starts the service (argv[1]) in service mode in argv[2] with NOTIFY_SOCKET
# naming nothing, prints the first syslog record and stops the service.
SYSLOG_CATCHER = r"""
import os, signal, socket, subprocess, sys
program, folder, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind("/dev/log")
log.settimeout(10)
env = dict(os.environ, NOTIFY_SOCKET=os.path.join(folder, "no-such-socket"),
           RUNTIME_DIRECTORY=os.path.join(folder, "run"))
service = subprocess.Popen([program], cwd=folder, env=env, stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
try:
    for _ in range(count):
        sys.stdout.write(log.recv(4096).decode() + "\n")
finally:
    service.send_signal(signal.SIGTERM)
    service.communicate(timeout=10)
"""


class NotifyListener:
    """An AF_UNIX datagram socket standing in for systemd's notify socket."""

    def __init__(self, abstract, folder):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = "tarvik-test-%d-%d" % (os.getpid(), time.monotonic_ns())
            self.sock.bind("\0" + name)
            self.env_value = "@" + name
        else:
            self.env_value = os.path.join(folder, "notify")
            self.sock.bind(self.env_value)

    def next(self, timeout=10.0):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(4096).decode()
        except socket.timeout:
            return None

    def until(self, pattern, timeout=10.0):
        """The messages up to the first that matches `pattern`, that one
        last; the list ends early (without a match) after `timeout`."""
        seen = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            message = self.next(max(0.01, deadline - time.monotonic()))
            if message is None:
                break
            seen.append(message)
            if re.search(pattern, message):
                break
        return seen

    def close(self):
        self.sock.close()


@unittest.skipIf(harness.WINE, "systemd's side of the service: Linux only")
class LinuxServiceMode(ServiceTest):
    """No argument: service mode. main.conf comes from the ./main.conf fallback,
    which relies on /etc/tarvik/main.conf not existing."""

    @classmethod
    def setUpClass(cls):
        if os.path.exists("/etc/tarvik/main.conf"):
            raise unittest.SkipTest("/etc/tarvik/main.conf exists on this machine")

    def test_status_reaches_notify_socket_and_sigterm_stops(self):
        # None: without a service manager it still runs, with SIGTERM as stop.
        for kind in ("path", "abstract", None):
            with self.subTest(notify_socket=kind):
                svc = self.service(conf="pwd pw\n", start=False)
                listener = None
                if kind is not None:
                    listener = NotifyListener(kind == "abstract", svc.folder)
                    self.addCleanup(listener.close)
                # The harness passes this process's environment on.
                with mock.patch.dict(os.environ):
                    os.environ.pop("NOTIFY_SOCKET", None)
                    if listener:
                        os.environ["NOTIFY_SOCKET"] = listener.env_value
                    svc.start(args=())
                if listener:
                    self.assertEqual(listener.next(), "STATUS=Starting\n")
                    self.assertEqual(listener.next(), "READY=1\nSTATUS=Running\n")
                    # Then what runs, as `systemctl status` shows it.
                    self.assertEqual(listener.next(), "STATUS=0 names; hosts not written since start\n")
                self.assertIsNotNone(svc.register("meter1", "192.168.1.20", pwd="pw"))
                if listener:
                    # Sent when it changes (at most once a second), not every turn.
                    seen = listener.until(r"^STATUS=1 name; hosts written \d\d:\d\d:\d\d\n$", 5)
                    self.assertRegex(seen[-1], r"^STATUS=1 name; hosts written \d\d:\d\d:\d\d\n$", seen)
                    self.assertLessEqual(len(seen), 2, seen)
                    self.assertIsNone(listener.next(timeout=1.5))

                # SIGHUP (`systemctl reload`) reloads, and the service goes on.
                svc.process.send_signal(signal.SIGHUP)
                self.assertTrue(svc.wait_log("reload of ./main.conf done: nothing changed"), svc.log())
                if listener:
                    self.assertEqual(listener.next(), "RELOADING=1\n")
                    self.assertEqual(listener.next(), "READY=1\n")
                self.assertIsNone(svc.process.poll())
                self.assertIsNotNone(svc.register("meter1", "192.168.1.20", pwd="pw"))

                svc.process.send_signal(signal.SIGTERM)
                self.assertEqual(svc.wait(10), 0)
                if listener:
                    self.assertEqual(listener.next(), "STOPPING=1\nSTATUS=Stopping\n")
                    self.assertEqual(listener.next(), "STATUS=Stopped\n")
                    self.assertIsNone(listener.next(timeout=0.2))
                self.assertEqual(svc.log_messages()[-1], "Stopped")
                self.assertIn(b"#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n", svc.hosts())

    def test_start_failure_never_reports_ready(self):
        svc = self.service(start=False, write_conf=False)
        listener = NotifyListener(True, svc.folder)
        self.addCleanup(listener.close)
        env = harness.run_env({"NOTIFY_SOCKET": listener.env_value})
        code, _, err = run([harness.PROGRAM], env=env, cwd=svc.folder, timeout=20)
        # A failed start is no clean exit (systemd would call an exit 0
        # before READY a protocol error and restart it into its start limit).
        self.assertEqual(code, 1)
        self.assertIn("service_start() failed", err)
        self.assertEqual(listener.next(), "STATUS=Starting\n")
        self.assertEqual(listener.next(), "STATUS=Stopped\n")

    def test_no_pwd_refuses_the_service_and_warns_in_a_console(self):
        for conf in ("", "pwd   \n"):
            with self.subTest(conf=conf):
                svc = self.service(conf=conf, start=False)
                listener = NotifyListener(True, svc.folder)
                self.addCleanup(listener.close)
                env = harness.run_env({"NOTIFY_SOCKET": listener.env_value,
                                       "RUNTIME_DIRECTORY": svc.runtime_folder})
                code, _, err = run([harness.PROGRAM], env=env, cwd=svc.folder, timeout=20)
                self.assertEqual(code, 1, err)
                reason = "./main.conf: no pwd set, registrations would need no password: not started"
                self.assertEqual(svc.log_messages()[-2:], [reason, "service_start() failed"])
                self.assertEqual(listener.next(), "STATUS=Starting\n")
                self.assertEqual(listener.next(), "STATUS=Stopped\n")
                self.assertFalse(os.path.exists(svc.runtime_folder))

                # In a console the admin sees the warning, and it runs.
                svc.start()
                self.assertIn("./main.conf: no pwd set: registrations need no password", svc.log_messages())
                self.assertIsNotNone(svc.register("meter1", "192.168.1.20"))
                self.assertEqual(svc.stop(), 0)

    def test_unreachable_notify_socket_is_reported_to_syslog(self):
        # syslog() writes to /dev/log, which this machine may not have: give
        # the service one of our own, on a private /dev in a mount namespace.
        if subprocess.run(["unshare", "-m", "true"], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("mount namespaces are not allowed here")
        svc = self.service(conf="pwd pw\n", start=False)
        code, out, err = run(["unshare", "-m", "--propagation", "private", sys.executable, "-c",
                              SYSLOG_CATCHER, harness.PROGRAM, svc.folder, "1"], timeout=30)
        self.assertEqual(code, 0, err)
        # <27>: facility daemon (3), priority error (3).
        self.assertRegex(out, r"^<27>.* Tarvik\[\d+\]: sd_notify failed with 2\n$")  # ENOENT
        self.assertIn("Stopped", svc.log_messages())

        # A start that fails (here: its registration port is taken) says
        # why in the journal too, not only in a log file the admin must go
        # and find.
        failing = self.service(conf="pwd pw\n", start=False)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as blocker:
            blocker.bind(("0.0.0.0", failing.port))
            code, out, err = run(["unshare", "-m", "--propagation", "private", sys.executable, "-c",
                                  SYSLOG_CATCHER, harness.PROGRAM, failing.folder, "2"], timeout=30)
        self.assertEqual(code, 0, err)
        self.assertRegex(out, r"\n<27>.* Tarvik\[\d+\]: service_start\(\) failed: UDP bind on port %d "
                              r"error: 98: Address already in use\n$" % failing.port, out)

    def test_sigsegv_in_service_writes_crash_report(self):
        if os.path.lexists(LINUX_CRASH_REPORT):
            os.unlink(LINUX_CRASH_REPORT)
        self.addCleanup(lambda: os.path.lexists(LINUX_CRASH_REPORT) and os.unlink(LINUX_CRASH_REPORT))
        svc = self.service(conf="pwd pw\n", start=False)
        with mock.patch.dict(os.environ):
            os.environ.pop("NOTIFY_SOCKET", None)
            svc.start(args=())
        svc.process.send_signal(signal.SIGSEGV)
        self.assertEqual(svc.wait(10), -signal.SIGSEGV)
        with open(LINUX_CRASH_REPORT, "rb") as f:
            self.assertIn(b"signal 11 (SIGSEGV)\n", f.read())
        self.assertIn("Exception with code 000b captured to /var/tmp/kro.dmp", svc.log_messages())
        self.assertNotIn("Stopped", svc.log_messages())


@unittest.skipIf(harness.WINE, "the systemd unit: Linux only")
class LinuxInstall(unittest.TestCase):
    """`install` in a private mount namespace, with /etc under a scratch
    overlay (where the data folder lands) and a scratch folder bound over
    /etc/systemd/system: the machine's own folders are never touched."""

    def setUp(self):
        if shutil.which("unshare") is None:
            self.skipTest("unshare is not available")
        probe = subprocess.run(["unshare", "-m", "true"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
        if probe.returncode != 0:
            self.skipTest("mount namespaces are not allowed here: " + probe.stderr.decode().strip())
        root = tempfile.mkdtemp(prefix="tarvik-install-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        self.scratch, self.etc = os.path.join(root, "units"), os.path.join(root, "etc")
        for folder in (self.scratch, self.etc, os.path.join(root, "work")):
            os.mkdir(folder)
        self.mounts = ("set -e; mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc\n"
                       "mount --bind %s /etc/systemd/system\n"
                       % (self.etc, os.path.join(root, "work"), self.scratch))

    def install_in_namespace(self, times=1, read_only=False, program=None, umask="022"):
        """Runs `install` `times` times with the scratch folder as the unit folder."""
        script = self.mounts + "umask %s\n" % umask
        if read_only:
            script += "mount -o remount,bind,ro /etc/systemd/system\n"
        script += "for i in $(seq %d); do \"$1\" install; echo \"rc=$?\"; done\n" % times
        code, out, err = run(["unshare", "-m", "--propagation", "private", "sh", "-c", script,
                              "sh", program or harness.PROGRAM], timeout=30)
        self.assertEqual(code, 0, err)
        return out

    def test_writes_and_enables_the_unit_once(self):
        out = self.install_in_namespace(times=2)
        self.assertEqual(out, "Service installed successfully\nrc=0\n"
                              "CreateService failed (17)\nrc=0\n")
        with open(os.path.join(self.scratch, "tarvik.service")) as f:
            unit = f.read()
        # The packaged unit, sandbox and all, with this program in ExecStart=.
        with open(PACKAGED_UNIT) as f:
            packaged = f.read()
        self.assertEqual(unit, packaged.replace("\nExecStart=/usr/sbin/tarvik\n",
                                                "\nExecStart=%s\n" % os.path.realpath(harness.PROGRAM)))
        self.assertIn("\n[Service]\nType=notify\n", unit)
        self.assertIn("\nRestart=on-failure\n", unit)
        self.assertIn("\n[Install]\nWantedBy=multi-user.target\n", unit)
        link = os.path.join(self.scratch, "multi-user.target.wants", "tarvik.service")
        self.assertEqual(os.readlink(link), "/etc/systemd/system/tarvik.service")

    def test_path_with_spaces_is_quoted(self):
        folder = tempfile.mkdtemp(prefix="tarvik dir ")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        program = os.path.join(folder, "tarvik")
        shutil.copy2(harness.PROGRAM, program)
        self.assertEqual(self.install_in_namespace(program=program), "Service installed successfully\nrc=0\n")
        with open(os.path.join(self.scratch, "tarvik.service")) as f:
            self.assertIn('\nExecStart="%s"\n' % os.path.realpath(program), f.read())

    def test_unwritable_folder_is_the_managers_failure(self):
        out = self.install_in_namespace(read_only=True)
        self.assertEqual(out, "OpenSCManager failed (30)\nrc=0\n")  # EROFS
        self.assertEqual(os.listdir(self.scratch), [])
        self.assertFalse(os.path.exists(os.path.join(self.etc, "tarvik")))

    def test_data_folder_is_roots_alone(self):
        data = os.path.join(self.etc, "tarvik")
        for case in ("missing", "made by another user", "root's, readable by all"):
            with self.subTest(case=case):
                shutil.rmtree(data, ignore_errors=True)
                shutil.rmtree(self.scratch)
                os.mkdir(self.scratch)
                if case.startswith("root's"):
                    # Written by hand before: it holds the password, so it
                    # becomes root's alone, its text kept.
                    os.mkdir(data)
                    with open(os.path.join(data, "main.conf"), "w") as f:
                        f.write("pwd s3cret\n")
                    os.chmod(os.path.join(data, "main.conf"), 0o644)
                elif case != "missing":
                    # Someone made the folder first, open to all, and left a
                    # main.conf there: the folder becomes root's, the file is
                    # left for the start's own check to refuse.
                    os.mkdir(data)
                    os.chmod(data, 0o777)
                    os.chown(data, 65534, 65534)
                    with open(os.path.join(data, "main.conf"), "w") as f:
                        f.write("hosts-file /tmp/elsewhere\n")
                    os.chown(os.path.join(data, "main.conf"), 65534, 65534)
                # Under a umask that would close a new folder to readers.
                out = self.install_in_namespace(umask="077")
                self.assertEqual(out, "Service installed successfully\nrc=0\n")
                st = os.stat(data)
                self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (0, 0, 0o755))
                conf = os.stat(os.path.join(data, "main.conf"))
                if case == "missing":
                    self.assertEqual((conf.st_uid, conf.st_mode & 0o7777, conf.st_size), (0, 0o600, 0))
                elif case.startswith("root's"):
                    self.assertEqual((conf.st_uid, conf.st_mode & 0o7777, conf.st_size), (0, 0o600, 11))
                else:
                    self.assertEqual(conf.st_uid, 65534)


@unittest.skipUnless(harness.WINE, "the exe's message table: Windows only")
class EventMessages(unittest.TestCase):
    """Event Viewer builds an event's text from the source's message file (the
    exe) and the event's insertion strings; a probe does the same."""

    def probe(self, *args):
        probe = os.path.join(os.path.dirname(harness.PROGRAM), "message-probe.exe")
        self.assertTrue(os.path.exists(probe), probe)
        code, out, _ = run(harness.command(probe, harness.native_path(harness.PROGRAM), *args),
                           env=harness.run_env())
        return code, out

    def test_failure_event_reads_in_words(self):
        self.assertEqual(self.probe("C0020001", "Tarvik", "StartServiceCtrlDispatcher failed with 1063"),
                         (0, "[Tarvik: StartServiceCtrlDispatcher failed with 1063]\n"))

    def test_only_the_reported_event_has_a_text(self):
        # 317: ERROR_MR_MID_NOT_FOUND. The same code in another facility or
        # severity is another event.
        for event in ("C0020003", "C0010001", "80020001"):
            with self.subTest(event=event):
                self.assertEqual(self.probe(event, "a", "b"), (1, "FormatMessage failed (317)\n"))


@unittest.skipUnless(harness.WINE, "the Windows service control manager: Wine only")
class WindowsService(unittest.TestCase):
    """The exe as a real service under Wine, in a prefix of its own: the service
    is registered for automatic start, so it would start in any prefix that
    boots after the install."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tarvik-svc-")
        cls.env = harness.new_wine_env(os.path.join(cls.root, "prefix"))
        cls.prefix = cls.env["WINEPREFIX"]
        try:
            cls._boot_and_install()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _boot_and_install(cls):
        harness.init_wine_prefix(cls.env)
        # Wine's server would otherwise exit with the last ordinary process
        # and take a running service with it.
        subprocess.run(["wineserver", "-p"], env=cls.env, timeout=30)
        # The command that boots the prefix lends its stdout and stderr to
        # Wine's own services for as long as the server lives: boot with one
        # whose output nobody waits for.
        subprocess.run([harness.WINE_LOADER, "wineboot"], env=cls.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        # Started while the prefix boots, the program could take the control
        # pipe of a system service being started; booted, it finds none. Wine
        # prints each string of an error event on the reporting process's
        # stderr under the eventlog channel.
        cls.no_argument = run([harness.WINE_LOADER, harness.PROGRAM],
                              env=dict(cls.env, WINEDEBUG="-all,+eventlog"), timeout=90)
        # The data folder's ACL is read back after each install: the first
        # makes the folder, the second finds it there.
        probe = os.path.join(os.path.dirname(harness.PROGRAM), "file-probe.exe")
        cls.installs, cls.folder_acls = [], []
        for _ in range(2):
            cls.installs.append(run([harness.WINE_LOADER, harness.PROGRAM, "install"], env=cls.env))
            cls.folder_acls.append(run([harness.WINE_LOADER, probe, "acl", DATA_FOLDER], env=cls.env))

    @classmethod
    def tearDownClass(cls):
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        try:
            subprocess.run([harness.WINE_LOADER, "net", "stop", "Tarvik"], env=cls.env, **quiet)
            subprocess.run([harness.WINE_LOADER, "sc", "delete", "Tarvik"], env=cls.env, **quiet)
        finally:
            harness.stop_wineserver(cls.env)
            shutil.rmtree(cls.root, ignore_errors=True)

    def wine(self, *args, timeout=60):
        return run([harness.WINE_LOADER] + list(args), env=self.env, timeout=timeout)

    def service_state(self):
        _, out, _ = self.wine("sc", "query", "Tarvik")
        match = re.search(r"STATE\s*:\s*(\d+)", out)
        return int(match.group(1)) if match else None

    def test_started_from_a_console_reports_dispatcher_failure(self):
        code, out, err = self.no_argument
        self.assertEqual((code, out), (0, ""))  # nothing printed
        # Each line starts with the thread's id, "0110:".
        events = [re.sub(r"^[0-9a-f]+:", "", line) for line in err.splitlines()
                  if "ReportEventW" in line]
        self.assertEqual(events, ['err:eventlog:ReportEventW L"Tarvik"',
                                  'err:eventlog:ReportEventW L"StartServiceCtrlDispatcher failed with 1063"'],
                         err)
        self.assertNotIn("main.conf", err)  # the service body never ran

    def test_install_registers_once(self):
        self.assertEqual(self.installs[0], (0, "Service installed successfully\n", ""))
        self.assertEqual(self.installs[1][:2], (0, "CreateService failed (1073)\n"))
        code, out, _ = self.wine("reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\Tarvik")
        self.assertEqual(code, 0)
        values = dict(re.findall(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", out, re.M))
        self.assertEqual(values.get("ImagePath"), harness.native_path(harness.PROGRAM))
        self.assertEqual(values.get("Type"), "0x10")  # own process
        self.assertEqual(values.get("Start"), "0x2")  # automatic
        self.assertEqual(values.get("ErrorControl"), "0x1")
        self.assertEqual(values.get("DisplayName"), "Tarvik")

    def test_install_leaves_the_data_folder_to_the_administrators(self):
        # Wine keeps no ACL of its own for a file: it shows the Unix owner and
        # mode as one (Everyone stands for "others"), and maps an ACL it is
        # given onto the mode. What can be shown is that, read back, nobody
        # but SYSTEM, the Administrators and the owner may change the folder
        # (before, install made no folder at all).
        change = 0x2 | 0x4 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000
        for n, (code, out, _) in enumerate(self.folder_acls):
            with self.subTest(install=n + 1):
                self.assertEqual(code, 0, out)
                print("\n  [wine] data folder after install %d: %s" % (n + 1, out.strip()), end=" ")
                owner = re.match(r"O:([^D]+)D:", out).group(1)
                aces = re.findall(r"\((A|D);([A-Z]*);([^;]*);;;([^)]+)\)", out)
                self.assertTrue(aces, out)
                for kind, _, rights, who in aces:
                    if kind != "A" or who in ("SY", "BA", owner):
                        continue
                    mask = int(rights, 16) if rights.startswith("0x") else (
                        change if rights in ("FA", "GA", "GW", "FW") else 0)
                    self.assertEqual(mask & change, 0, "%s may change the folder: %s" % (who, out))

    def test_a_start_that_fails_is_reported_as_a_failure(self):
        # No main.conf in the data folder (nor in the service's working
        # folder): the start fails, and the service manager must not show a
        # clean stop.
        conf = os.path.join(self.prefix, "drive_c", "ProgramData", "Quellard", "Tarvik", "main.conf")
        if os.path.exists(conf):
            os.remove(conf)
        self.wine("net", "start", "Tarvik")
        self.assertTrue(harness.wait_for(lambda: self.service_state() == 1, 30, 0.5))
        _, out, _ = self.wine("sc", "query", "Tarvik")
        self.assertRegex(out, r"WIN32_EXIT_CODE\s*:\s*1066\b", out)  # ERROR_SERVICE_SPECIFIC_ERROR
        self.assertRegex(out, r"SERVICE_EXIT_CODE\s*:\s*1\b", out)

        # A main.conf without pwd (a silent install that set none): never a
        # service that takes registrations sent without one.
        folder = tempfile.mkdtemp(prefix="tarvik-svc-nopwd-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        port = harness.free_udp_port()
        os.makedirs(os.path.dirname(conf), exist_ok=True)
        with open(conf, "w") as f:
            f.write("port %d\nlog-path %s\n" % (port, harness.native_path(folder)))
        self.addCleanup(os.remove, conf)
        self.wine("net", "start", "Tarvik")
        self.assertTrue(harness.wait_for(lambda: self.service_state() == 1, 30, 0.5))
        _, out, _ = self.wine("sc", "query", "Tarvik")
        self.assertRegex(out, r"SERVICE_EXIT_CODE\s*:\s*1\b", out)
        self.assertIsNone(harness.exchange(port, harness.registration("intruder", "10.66.66.66"), timeout=0.5))
        with open(os.path.join(folder, "log"), "rb") as f:
            self.assertIn("C:\\ProgramData\\Quellard\\Tarvik\\main.conf: no pwd set, registrations would need "
                          "no password: not started\r\n", f.read().decode("latin-1"))

    def test_start_serve_and_stop(self):
        folder = tempfile.mkdtemp(prefix="tarvik-svc-data-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        port = harness.free_udp_port()
        data = os.path.join(self.prefix, "drive_c", "ProgramData", "Quellard", "Tarvik")
        os.makedirs(data, exist_ok=True)
        hosts = os.path.join(folder, "hosts")
        with open(hosts, "wb") as f:
            f.write(b"127.0.0.1 localhost\r\n")
        conf = "port %d\nhosts-file %s\nlog-path %s\n" % (port, harness.native_path(hosts), harness.native_path(folder))
        with open(os.path.join(data, "main.conf"), "w") as f:
            f.write(conf + "pwd pw\n")
        # It holds the password: others may not read it (Wine shows the
        # file's mode as its ACL).
        os.chmod(os.path.join(data, "main.conf"), 0o600)
        log = os.path.join(folder, "log")

        def log_text():
            try:
                with open(log, "rb") as f:
                    return f.read().decode("latin-1")
            except FileNotFoundError:
                return ""

        self.wine("net", "start", "Tarvik")
        self.assertTrue(harness.wait_for(lambda: self.service_state() == 4, 30, 0.5),
                        "service not RUNNING; log:\n" + log_text())
        self.assertIn("Started 1.0b", log_text())

        reply = harness.exchange(port, harness.registration("meter1", "192.168.1.20", "pw"), timeout=5)
        self.assertIsNotNone(reply)
        self.assertRegex(reply, rb"^tarvik1 ack [0-9a-f]{8}$")

        # The control channel: the named pipe, for SYSTEM and the
        # Administrators alone (its DACL read back), network logons denied.
        # The hosts write follows the acknowledgement a little later: ask
        # again until the status has its time to show.
        for _ in range(10):
            code, out, err = self.wine(harness.PROGRAM, "status")
            self.assertEqual((code, err), (0, ""), out)
            if "hosts not written" not in out:
                break
            time.sleep(0.5)
        self.assertRegex(out, r"^Tarvik: 1 name; hosts written \d\d:\d\d:\d\d\n")
        self.assertRegex(out, r"\nmeter1 +192\.168\.1\.20 +127\.0\.0\.1 ")
        file_probe = os.path.join(os.path.dirname(harness.PROGRAM), "file-probe.exe")
        code, out, _ = self.wine(file_probe, "acl", "\\\\.\\pipe\\Tarvik")
        print("\n  [wine] control pipe: %s" % out.strip(), end=" ")
        self.assertEqual(code, 0, out)
        self.assertEqual(re.sub(r"^O:[^D]*", "", out.strip()), "D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)")

        # Stop, shutdown and parameter change (1 | 4 | 8): at system shutdown
        # the service gets its own control and makes its final write before
        # it is ended; `sc control Tarvik paramchange` reloads main.conf.
        probe = os.path.join(os.path.dirname(harness.PROGRAM), "service-probe.exe")
        self.assertTrue(os.path.exists(probe), probe)
        self.assertEqual(self.wine(probe)[:2], (0, "state 4 accepted 0xd\n"))
        with open(os.path.join(data, "main.conf"), "w") as f:
            f.write(conf + "pwd new\n")
        self.assertEqual(self.wine(probe, "paramchange")[:2], (0, "state 4 accepted 0xd\n"))
        path = "C:\\ProgramData\\Quellard\\Tarvik\\main.conf"
        self.assertTrue(harness.wait_for(lambda: "reload of %s done: pwd changed" % path in log_text(), 10),
                        log_text())
        self.assertIn("reload of %s (PARAMCHANGE)" % path, log_text())
        self.assertIsNotNone(harness.exchange(port, harness.registration("meter2", "192.168.1.21", "new"), timeout=5))
        self.assertEqual(self.wine(harness.PROGRAM, "reload"),
                         (0, "reload of %s done: nothing changed\n" % path, ""))
        self.wine("wineboot", "--shutdown")
        if self.service_state() == 4:
            print("\n  [wine] shutdown control not shown: Wine does not deliver SERVICE_CONTROL_SHUTDOWN "
                  "(wineboot --shutdown leaves the service running) nor a console close, logoff or "
                  "shutdown event", end=" ")
        else:
            self.assertTrue(harness.wait_for(lambda: "Stopped" in log_text(), 10))
            with open(hosts, "rb") as f:
                self.assertIn(b"#tarvik-begin\r\n192.168.1.20\tmeter1\r\n192.168.1.21\tmeter2\r\n#tarvik-end\r\n",
                              f.read())
            return

        self.wine("net", "stop", "Tarvik")
        self.assertTrue(harness.wait_for(lambda: self.service_state() == 1, 30, 0.5))
        self.assertTrue(harness.wait_for(lambda: "Stopped" in log_text(), 10))
        with open(hosts, "rb") as f:
            self.assertIn(b"#tarvik-begin\r\n192.168.1.20\tmeter1\r\n192.168.1.21\tmeter2\r\n#tarvik-end\r\n",
                          f.read())
        self.assertNotIn("Exception", log_text())


if __name__ == "__main__":
    unittest.main()
