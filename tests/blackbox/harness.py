"""Shared pieces of the black-box suite: start the real service as a child
process in a folder of its own, talk to it over UDP on loopback, read its log
and hosts file. The same tests run against the Linux binary and, under Wine,
against the Windows exe; `WINE` tells which, and `native_path` maps a Linux
path to what the program under test expects."""
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import zlib

PROGRAM = None
REGISTER = None
CRASH_PROBE = None
WINE = False
WINE_ENV = None  # environment for wine commands (private prefix)
# The 64-bit loader, when the 32-bit Wine is installed too: /usr/bin/wine then
# starts every program through the 32-bit loader, which runs emulated here
# and costs about a minute per start.
WINE_LOADER = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine"
_wine_root = None

# Windows builds run under Wine start far slower than native ones.
START_TIMEOUT = 10.0


def configure(program, register, crash_probe, wine):
    global PROGRAM, REGISTER, CRASH_PROBE, WINE, WINE_ENV, _wine_root, START_TIMEOUT
    PROGRAM = os.path.abspath(program)
    REGISTER = os.path.abspath(register)
    CRASH_PROBE = os.path.abspath(crash_probe)
    WINE = wine
    if wine:
        START_TIMEOUT = 40.0
        _wine_root = tempfile.mkdtemp(prefix="tarvik-wine-")
        WINE_ENV = new_wine_env(os.path.join(_wine_root, "prefix"))
        init_wine_prefix(WINE_ENV)


def new_wine_env(prefix):
    """An environment for wine commands in the private prefix `prefix`."""
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono/Gecko install dialogs
    return env


def init_wine_prefix(env, timeout=180):
    """Creates the prefix and checks that a program starts in it. A creation
    cut short leaves a prefix where every program fails with "could not load
    kernel32.dll"; that prefix is removed and made again, once."""
    for _ in range(2):
        subprocess.run([WINE_LOADER, "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=False)
        # The boot's last programs (the 32-bit setup, where the 32-bit Wine
        # is installed) may still run when wineboot returns.
        subprocess.run(["wineserver", "-w"], env=env, timeout=timeout, check=False)
        check = subprocess.run([WINE_LOADER, "cmd", "/c", "exit", "0"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                               check=False)
        # Down again, as after the boot alone: callers start from a stopped server.
        subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)
        if check.returncode == 0:
            return
        stop_wineserver(env)
        shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)
    raise RuntimeError("no usable Wine prefix at %s" % env["WINEPREFIX"])


def stop_wineserver(env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False, timeout=60)


def teardown():
    if WINE and WINE_ENV is not None:
        stop_wineserver(WINE_ENV)
        shutil.rmtree(_wine_root, ignore_errors=True)


def command(program, *args):
    """The argv that runs `program` (a path of the build under test)."""
    return ([WINE_LOADER, program] if WINE else [program]) + list(args)


def run_env(extra=None):
    env = dict(WINE_ENV if WINE else os.environ)
    if extra:
        env.update(extra)
    return env


def native_path(path):
    """A Linux path as the program under test must be told it."""
    if not WINE:
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def text_of(data):
    """Program output as text with LF line ends (Wine's console ends lines in CR LF)."""
    return data.decode("latin-1").replace("\r\n", "\n")


def _ephemeral_low():
    """The lowest port the OS hands out to sockets bound to port 0 (and to
    every outgoing connection): a port picked there and released can be taken
    by any program's next socket before the service binds it."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_udp_port():
    """A port that is free on all interfaces right now for UDP and for a TCP
    listener alike: the DNS port is both, and a TCP socket of another program
    in TIME_WAIT on a port that is free for UDP makes the listener's bind
    fail. Picked at random below the ephemeral range, where the OS gives no
    port to anyone unasked."""
    high = _ephemeral_low()
    low = 10000 if high > 12000 else 1024
    for _ in range(200):
        port = random.randrange(low, high)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u, \
                socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
            try:
                u.bind(("0.0.0.0", port))
                t.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no port free for both UDP and TCP below %d" % high)


def registration(name, address, pwd=b""):
    """The registration datagram a device sends."""
    name, address, pwd = (x.encode("latin-1") if isinstance(x, str) else x
                          for x in (name, address, pwd))
    tag = zlib.crc32(b"tarvik1" + address + name + pwd) & 0xFFFFFFFF
    return b"tarvik1 rq " + name + b" " + address + b" " + b"%08x" % tag


def exchange(port, data, timeout=2.0, host="127.0.0.1"):
    """Sends one datagram and returns the first reply, or None after `timeout`."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(data, (host, port))
        try:
            return s.recvfrom(65536)[0]
        except socket.timeout:
            return None


def send(port, data, host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(data, (host, port))


def loopback_address():
    """A 127.x address of our own for an upstream server on port 53, so that
    concurrent runs do not meet."""
    return "127.53.%d.%d" % (random.randint(1, 254), random.randint(1, 254))


def wait_for(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns a true value or `timeout` passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Service:
    """One run of the service in console mode (`run`) in a temporary folder.

    The folder holds main.conf (found through the ./main.conf fallback, since
    the data folder has none), the hosts file and the log. `conf` lines are
    appended to the defaults (port, hosts-file, log-path)."""

    def __init__(self, conf="", hosts=None, dns_port=None, folder=None, write_conf=True):
        self.folder = folder or tempfile.mkdtemp(prefix="tarvik-bb-")
        self.port = free_udp_port()
        self.dns_port = dns_port
        self.hosts_path = os.path.join(self.folder, "hosts")
        self.log_path = os.path.join(self.folder, "log")
        self.tmp_folder = os.path.join(self.folder, "tmp")
        os.makedirs(self.tmp_folder, exist_ok=True)
        if hosts is not None:
            with open(self.hosts_path, "wb") as f:
                f.write(hosts)
        if write_conf:
            lines = ["port %d" % self.port,
                     "hosts-file %s" % native_path(self.hosts_path),
                     "log-path %s" % native_path(self.folder)]
            if dns_port:
                lines.append("dns-port %d" % dns_port)
            with open(os.path.join(self.folder, "main.conf"), "w") as f:
                f.write("\n".join(lines) + "\n" + conf)
            # Whatever the umask: a main.conf others may write, or read when
            # it holds a password, is refused.
            os.chmod(os.path.join(self.folder, "main.conf"), 0o600)
        self.process = None
        self._stderr = bytearray()
        self._reader = None

    # --- life cycle -------------------------------------------------------
    def start(self, wait=True, args=("run",), wrapper=(), preexec_fn=None, env=None):
        """`wrapper`: argv put before the program's (it must exec it, so that
        signals reach the service); `preexec_fn` runs in the child first;
        `env`: further environment variables for the program (e.g. WINEDEBUG)."""
        env = run_env(dict({"TMPDIR": self.tmp_folder}, **(env or {})))
        self.process = subprocess.Popen(list(wrapper) + command(PROGRAM, *args), cwd=self.folder, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        self._reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._reader.start()
        if wait:
            ok = wait_for(lambda: "Started 1.0b" in self.stderr() or self.process.poll() is not None,
                          START_TIMEOUT)
            if "Started 1.0b" not in self.stderr():
                raise AssertionError("service did not start:\n" + self.stderr())
            del ok
        return self

    def _read_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(4096), b""):
            self._stderr.extend(chunk)

    def stop(self, timeout=10.0):
        """Sends the console stop (SIGINT = Ctrl+C) and returns the exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        return self.wait(timeout)

    def wait(self, timeout=START_TIMEOUT):
        code = self.process.wait(timeout=timeout)
        self._reader.join(timeout=5)
        return code

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def cleanup(self):
        self.kill()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()

    # --- what it shows ----------------------------------------------------
    def stderr(self):
        return text_of(bytes(self._stderr))

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def log_messages(self):
        """The log's records without their timestamps."""
        return [line[24:] for line in self.log().split("\r\n") if line]

    def wait_log(self, text, timeout=5.0):
        return wait_for(lambda: text in self.log(), timeout)

    def hosts(self):
        try:
            with open(self.hosts_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def register(self, name, address, pwd=b"", timeout=2.0):
        return exchange(self.port, registration(name, address, pwd), timeout)


class ServiceTest(unittest.TestCase):
    """Base class: self.service(...) makes a Service that is cleaned up."""

    def service(self, *args, start=True, **kwargs):
        svc = Service(*args, **kwargs)
        self.addCleanup(svc.cleanup)
        if start:
            svc.start()
        return svc

    def start_with_registration_port_taken(self, svc):
        """Starts `svc` while its registration port is taken: the start must
        fail with the bind's own error code. Returns the log's records."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as blocker:
            blocker.bind(("0.0.0.0", svc.port))
            svc.start(wait=False)
            self.assertEqual(svc.wait(), 0)
        in_use = 10048 if WINE else 98  # WSAEADDRINUSE / EADDRINUSE
        messages = svc.log_messages()
        # The number, then the system's words for it.
        line = [m for m in messages if m.startswith("UDP bind on port %d error: %d: " % (svc.port, in_use))]
        self.assertEqual(len(line), 1, messages)
        self.assertRegex(line[0], r": \d+: \w+ \w+")
        self.assertEqual(messages[-1], "service_start() failed")
        return messages

    def plain_upstream(self):
        """A bare UDP socket on a loopback address, port 53, that answers only
        what the test sends through it; returns it and its address. Skips
        the test where port 53 cannot be bound (it needs root)."""
        address = loopback_address()
        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(upstream.close)
        try:
            upstream.bind((address, 53))
        except OSError:
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        return upstream, address

    @staticmethod
    def hosts_nl():
        """Line end of the hosts file: text mode writes CR LF on Windows."""
        return b"\r\n" if WINE else b"\n"
