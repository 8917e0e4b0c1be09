"""Registration requests, the tarvik-register client and the hosts-file block
as the service writes it, loads it back and keeps the rest of the file."""
import glob
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

import harness
from harness import ServiceTest

EXAMPLE = b"tarvik1 rq meter1 192.168.1.20 6dd6ba8c"
EXAMPLE_ACK = b"tarvik1 ack 6dd6ba8c"
MESSAGE_TOO_LONG = 10040 if harness.WINE else 90  # WSAEMSGSIZE / EMSGSIZE
# Long enough for the 100 ms quiet wait, even under Wine on a busy machine.
REWRITE_TIMEOUT = 5.0


def block(entries, nl):
    """The hosts-file block for (address, name) pairs, oldest first."""
    lines = [b"#tarvik-begin"] + [a + b"\t" + n for a, n in entries] + [b"#tarvik-end"]
    return b"".join(line + nl for line in lines)


def temporary_copies(svc):
    """Copies named tarvik.tmp left in the service's temporary folder (Wine's
    own under Wine, whose GetTempPathA does not follow TMPDIR)."""
    if harness.WINE:
        pattern = os.path.join(harness.WINE_ENV["WINEPREFIX"], "drive_c", "users", "*", "Temp", "tarvik.tmp")
    else:
        pattern = os.path.join(svc.tmp_folder, "tarvik.tmp")
    return glob.glob(pattern)


def run_register(*args, timeout=60):
    done = subprocess.run(harness.command(harness.REGISTER, *args), env=harness.run_env(),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)
    return done.returncode, harness.text_of(done.stdout), harness.text_of(done.stderr)


class Requests(ServiceTest):
    def test_request_is_acknowledged_logged_and_written_to_hosts(self):
        svc = self.service(hosts=b"127.0.0.1 localhost\n")
        nl = self.hosts_nl()
        # Tag digits of either case are accepted; the ack has lower case.
        self.assertEqual(harness.exchange(svc.port, b"tarvik1 rq meter1 192.168.1.20 6DD6BA8C"),
                         EXAMPLE_ACK)
        self.assertIn("127.0.0.1: meter1 192.168.1.20", svc.log_messages())
        expected = b"127.0.0.1 localhost" + nl + nl + block([(b"192.168.1.20", b"meter1")], nl)
        self.assertEqual(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT) and svc.hosts(),
                         expected)
        # The copy was moved into place: none is left in the temporary folder.
        self.assertEqual(temporary_copies(svc), [])

        # A renewal under a known address drives the old name out; the file
        # is rewritten in place of the old block, without another blank line.
        self.assertEqual(svc.register("meter2", "192.168.1.20"),
                         b"tarvik1 ack %08x" % (zlib.crc32(b"tarvik1192.168.1.20meter2")))
        expected = b"127.0.0.1 localhost" + nl + nl + block([(b"192.168.1.20", b"meter2")], nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())
        self.assertEqual(svc.stop(), 0)
        self.assertEqual(svc.hosts(), expected)

    def test_invalid_requests_get_no_reply_and_no_log_line(self):
        svc = self.service(conf="pwd s3cret\n")
        rejected = [
            EXAMPLE,                                              # password left out
            harness.registration("meter1", "192.168.1.20", "s3cret") + b"\n",
            harness.registration("meter1", "192.168.1.20", "s3cret").replace(b"tarvik1 rq", b"TARVIK1 RQ"),
            harness.registration("meter1", "192.168.1.20", "wrong"),
            b"tarvik1 rq meter1  192.168.1.20 6dd6ba8c",
        ]
        for datagram in rejected:
            with self.subTest(datagram=datagram):
                self.assertIsNone(harness.exchange(svc.port, datagram, timeout=0.3))
        # The right password is acknowledged, and only it is logged.
        good = harness.registration("meter1", "192.168.1.20", "s3cret")
        self.assertEqual(harness.exchange(svc.port, good)[:12], b"tarvik1 ack ")
        self.assertTrue(svc.wait_log("meter1"))
        self.assertEqual([m for m in svc.log_messages() if "meter1" in m],
                         ["127.0.0.1: meter1 192.168.1.20"])

    def test_oversized_datagram_is_a_failed_receive_and_service_goes_on(self):
        svc = self.service()
        largest = harness.registration("n" * 166, "192.168.1.20")
        self.assertEqual(len(largest), 199)
        self.assertIsNotNone(harness.exchange(svc.port, largest))

        self.assertIsNone(harness.exchange(svc.port, largest + b"x", timeout=0.3))
        self.assertTrue(svc.wait_log("Recvfrom error: %d" % MESSAGE_TOO_LONG))
        self.assertEqual(svc.register("meter1", "192.168.1.20"), EXAMPLE_ACK)
        self.assertEqual(svc.stop(), 0)

    def test_unusable_names_and_addresses_are_acknowledged_but_leave_hosts_alone(self):
        original = b"127.0.0.1 localhost\n# keep me\n"
        svc = self.service(hosts=original)
        cases = [
            (b"bad\x01name", b"10.0.0.1",
             ["127.0.0.1: bad\\x01name 10.0.0.1", "bad\\x01name: name refused: control character"]),
            (b"cr\rname", b"10.0.0.2",
             ["127.0.0.1: cr\\x0Dname 10.0.0.2", "cr\\x0Dname: name refused: control character"]),
            (b"meter1", b"not-an-address", ["127.0.0.1: meter1 not-an-address"]),
        ]
        for name, address, lines in cases:
            with self.subTest(name=name):
                before = len(svc.log_messages())
                reply = svc.register(name, address)
                self.assertEqual(reply[:12], b"tarvik1 ack ")
                self.assertTrue(harness.wait_for(lambda: len(svc.log_messages()) >= before + len(lines), 3))
                self.assertEqual(svc.log_messages()[before:], lines)
        raw = svc.log().encode("latin-1")
        self.assertNotIn(b"\x01", raw)
        self.assertNotIn(b"cr\rname", raw)
        # Nothing entered the table, so nothing is written, not even at stop.
        time.sleep(0.5)
        self.assertEqual(svc.stop(), 0)
        self.assertEqual(svc.hosts(), original)


class Client(ServiceTest):
    def test_client_registers_with_password_file(self):
        svc = self.service(conf="pwd s3cret\n")
        pwd_file = os.path.join(svc.folder, "pwd.txt")
        with open(pwd_file, "wb") as f:
            f.write(b"s3cret\r\n")
        code, out, err = run_register("meter1", "192.168.1.20", "--server", "127.0.0.1", "--port",
                                      str(svc.port), "--password-file", harness.native_path(pwd_file))
        self.assertEqual(code, 0, err)
        tag = zlib.crc32(b"tarvik1192.168.1.20meter1s3cret")
        self.assertEqual(out, "tarvik1 ack %08x\n" % tag)
        self.assertIn("127.0.0.1: meter1 192.168.1.20", svc.log_messages())

    def test_client_without_acknowledgement_exits_1_after_its_tries(self):
        svc = self.service(conf="pwd s3cret\n")
        started = time.monotonic()
        code, _, err = run_register("meter1", "192.168.1.20", "--port", str(svc.port),
                                    "--password", "wrong", "--timeout-ms", "300", "--tries", "2")
        self.assertEqual(code, 1)
        self.assertIn("no acknowledgement", err)
        self.assertGreaterEqual(time.monotonic() - started, 0.55)
        self.assertFalse(any("meter1" in m for m in svc.log_messages()))

    def test_client_tries_again_until_the_service_answers(self):
        svc = self.service(start=False)
        client = subprocess.Popen(
            harness.command(harness.REGISTER, "meter1", "192.168.1.20", "--port", str(svc.port),
                            "--timeout-ms", "300", "--tries", "200"),
            env=harness.run_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self.addCleanup(lambda: client.poll() is None and client.kill())
        time.sleep(1.0)
        self.assertIsNone(client.poll())
        svc.start()
        out, _ = client.communicate(timeout=30)
        self.assertEqual(client.returncode, 0)
        self.assertEqual(harness.text_of(out), EXAMPLE_ACK.decode() + "\n")

    def test_usage_errors_exit_2(self):
        cases = [[], ["meter1"], ["meter1", "10.0.0.1", "extra"], ["meter1", "10.0.0.1", "--port", "0"],
                 ["meter1", "10.0.0.1", "--port"], ["meter1", "10.0.0.1", "--server", "nowhere"],
                 ["meter1", "10.0.0.1", "--tries", "0"], ["meter1", "10.0.0.1", "--bogus", "1"],
                 ["n" * 170, "10.0.0.100"]]
        for args in cases:
            with self.subTest(args=args):
                code, _, err = run_register(*args)
                self.assertEqual(code, 2)
                self.assertIn("Usage: tarvik-register", err)


class HostsBlock(ServiceTest):
    def test_burst_of_registrations_is_written_once_after_the_quiet_wait(self):
        original = b"127.0.0.1 localhost\n"
        svc = self.service(hosts=original)
        nl = self.hosts_nl()
        names = [b"dev%d" % i for i in range(20)]
        for i, name in enumerate(names):
            harness.send(svc.port, harness.registration(name, b"10.0.1.%d" % i))
            time.sleep(0.01)
            # Traffic keeps coming faster than every 100 ms: no rewrite yet.
            self.assertEqual(svc.hosts(), original, "rewritten during the burst at %d" % i)
        expected = b"127.0.0.1 localhost" + nl + nl + block(
            [(b"10.0.1.%d" % i, n) for i, n in enumerate(names)], nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())
        # Once written, the file is left alone: no second rewrite follows.
        inode = os.stat(svc.hosts_path).st_ino
        time.sleep(1.0)
        self.assertEqual(os.stat(svc.hosts_path).st_ino, inode)
        self.assertEqual(sum(1 for m in svc.log_messages() if m.startswith("127.0.0.1: dev")), 20)

    def test_stop_while_dirty_writes_the_block(self):
        original = b"127.0.0.1 localhost\n"
        svc = self.service(hosts=original)
        svc.register("meter1", "192.168.1.20")
        # Keep the loop busy so that no quiet wait comes before the stop.
        deadline = time.monotonic() + 0.3
        while time.monotonic() < deadline:
            harness.send(svc.port, b"noise")
            time.sleep(0.01)
        self.assertEqual(svc.hosts(), original)
        svc.process.send_signal(signal.SIGINT)
        for _ in range(50):
            if svc.process.poll() is not None:
                break
            harness.send(svc.port, b"noise")
            time.sleep(0.01)
        self.assertEqual(svc.wait(10), 0)
        nl = self.hosts_nl()
        self.assertEqual(svc.hosts(), b"127.0.0.1 localhost" + nl + nl +
                         block([(b"192.168.1.20", b"meter1")], nl))

    def test_restart_loads_the_block_back(self):
        nl = self.hosts_nl()
        hosts = (b"127.0.0.1 localhost\n#tarvik-begin\n10.0.0.5   meter1 old words\n"
                 b"\t10.0.0.6\tmeter2\n#tarvik-end\n10.9.9.9 user-entry\n")
        first = self.service(hosts=hosts)
        # The loaded table is dirty: the block comes back in the service's format.
        expected = (b"127.0.0.1 localhost" + nl + block([(b"10.0.0.5", b"meter1"), (b"10.0.0.6", b"meter2")], nl)
                    + b"10.9.9.9 user-entry" + nl)
        self.assertTrue(harness.wait_for(lambda: first.hosts() == expected, REWRITE_TIMEOUT), first.hosts())
        first.register("meter3", "10.0.0.7")
        self.assertEqual(first.stop(), 0)

        second = harness.Service(folder=first.folder)
        self.addCleanup(second.kill)
        second.start()
        # meter1 goes by its address; meter2 and meter3 were loaded, in order.
        second.register("meter4", "10.0.0.5")
        expected = (b"127.0.0.1 localhost" + nl +
                    block([(b"10.0.0.6", b"meter2"), (b"10.0.0.7", b"meter3"), (b"10.0.0.5", b"meter4")], nl)
                    + b"10.9.9.9 user-entry" + nl)
        self.assertTrue(harness.wait_for(lambda: second.hosts() == expected, REWRITE_TIMEOUT), second.hosts())
        self.assertEqual(second.stop(), 0)

    def test_hosts_file_on_another_volume_than_the_temporary_folder(self):
        shm = "/dev/shm"
        if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(tempfile.gettempdir()).st_dev:
            self.skipTest("no second file system at /dev/shm")
        other = tempfile.mkdtemp(prefix="tarvik-shm-", dir=shm)
        self.addCleanup(shutil.rmtree, other, ignore_errors=True)
        hosts = os.path.join(other, "hosts")
        with open(hosts, "wb") as f:
            f.write(b"127.0.0.1 localhost\n")
        svc = self.service(conf="hosts-file %s\n" % harness.native_path(hosts))
        svc.register("meter1", "192.168.1.20")
        nl = self.hosts_nl()
        expected = b"127.0.0.1 localhost" + nl + nl + block([(b"192.168.1.20", b"meter1")], nl)

        def content():
            with open(hosts, "rb") as f:
                return f.read()
        self.assertTrue(harness.wait_for(lambda: content() == expected, REWRITE_TIMEOUT), content())
        # The move across volumes went through a copy beside the hosts file;
        # neither copy is left behind, and nothing was logged as failed.
        self.assertEqual(os.listdir(other), ["hosts"])
        self.assertEqual(temporary_copies(svc), [])
        self.assertFalse(any("Update error" in m for m in svc.log_messages()))

    def test_port_taken_after_a_dirty_load_reports_the_binds_own_error(self):
        # The failed start writes the loaded block back before it logs the
        # bind's error: that write must not replace the error code.
        hosts = b"127.0.0.1 localhost\n#tarvik-begin\n10.0.0.5   meter1 old words\n#tarvik-end\n"
        svc = self.service(hosts=hosts, start=False)
        # A temporary folder on another file system, as /tmp often is: the
        # write then meets a failed call of its own (the move across file
        # systems) even though it succeeds in the end.
        shm = "/dev/shm"
        if os.path.isdir(shm) and os.stat(shm).st_dev != os.stat(svc.folder).st_dev:
            svc.tmp_folder = tempfile.mkdtemp(prefix="tarvik-shm-", dir=shm)
            self.addCleanup(shutil.rmtree, svc.tmp_folder, ignore_errors=True)
        messages = self.start_with_registration_port_taken(svc)
        nl = self.hosts_nl()
        self.assertEqual(svc.hosts(), b"127.0.0.1 localhost" + nl + block([(b"10.0.0.5", b"meter1")], nl))

    def test_missing_hosts_file_is_created_with_the_block_alone(self):
        svc = self.service()
        svc.register("meter1", "192.168.1.20")
        nl = self.hosts_nl()
        expected = block([(b"192.168.1.20", b"meter1")], nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())
        self.assertIn(harness.native_path(svc.hosts_path) + ": No such file or directory",
                      svc.log_messages())


# Runs inside a private mount namespace: /etc/hosts is a bind-mounted scratch
# file there, so the real one is never touched.
RESOLVER_SCRIPT = r"""
import json, os, signal, subprocess, sys, time
args = json.loads(sys.argv[1])
subprocess.run(["mount", "--bind", args["scratch"], "/etc/hosts"], check=True)
service = subprocess.Popen([args["program"], "run"], cwd=args["folder"],
                           env=dict(os.environ, TMPDIR=args["tmp"],
                                    RUNTIME_DIRECTORY=os.path.join(args["folder"], "run")),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
result = {}
try:
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            if "Started 1.0b" in open(os.path.join(args["folder"], "log"), "rb").read().decode("latin-1"):
                break
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    result["register"] = subprocess.run([args["register"], "resolvertest1", "192.0.2.77", "--port",
                                         str(args["port"])], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, timeout=20).returncode
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        found = subprocess.run(["getent", "hosts", "resolvertest1"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=10)
        result["getent"] = found.stdout.decode("latin-1")
        if found.returncode == 0:
            break
        time.sleep(0.05)
    result["etc_hosts"] = open("/etc/hosts", "rb").read().decode("latin-1")
finally:
    service.send_signal(signal.SIGINT)
    result["exit"] = service.wait(timeout=10)
print(json.dumps(result))
"""


def under_sanitizer(program):
    """True for a build with AddressSanitizer, which reserves terabytes of
    address space and so cannot run under an address-space limit."""
    with open(program, "rb") as f:
        return b"__asan_init" in f.read()


class Limits(ServiceTest):
    def test_full_table_refuses_new_names_and_still_takes_renewals(self):
        svc = self.service(hosts=b"127.0.0.1 localhost\n", conf="max-names 100\n")
        for i in range(100):
            self.assertIsNotNone(svc.register("dev%d" % i, "10.0.%d.%d" % (i // 200, i % 200 + 1)))
        name, address = "extra", "10.0.9.9"
        self.assertEqual(svc.register(name, address), b"tarvik1 ack %08x"
                         % harness.zlib.crc32(("tarvik1" + address + name).encode()))
        self.assertTrue(svc.wait_log("extra: name refused: table full"), svc.log())
        # A stored name moves to another address, and the table is still full.
        self.assertIsNotNone(svc.register("dev5", "10.0.8.8"))
        self.assertIsNotNone(svc.register("extra2", "10.0.9.10"))
        self.assertTrue(svc.wait_log("extra2: name refused: table full"), svc.log())
        self.assertEqual(svc.stop(), 0)
        nl = self.hosts_nl()
        entries = [(b"10.0.0.%d" % (i + 1), b"dev%d" % i) for i in range(100) if i != 5]
        entries.append((b"10.0.8.8", b"dev5"))
        self.assertEqual(svc.hosts(), b"127.0.0.1 localhost" + nl + nl + block(entries, nl))

    def test_block_longer_than_the_cap_is_kept_whole_and_new_names_wait(self):
        lines = b"".join(b"10.1.%d.%d\tdev%d\n" % (i // 200, i % 200 + 1, i) for i in range(150))
        original = b"#tarvik-begin\n" + lines + b"#tarvik-end\n"
        svc = self.service(hosts=original, conf="max-names 100\n")
        self.assertIn("%s: the block holds 150 names, over max-names 100: new names are refused until "
                      "the table is below it" % harness.native_path(svc.hosts_path), svc.log_messages())
        # A new name is refused; a stored one still renews and moves.
        self.assertIsNotNone(svc.register("newcomer", "10.9.0.1"))
        self.assertTrue(svc.wait_log("newcomer: name refused: table full"), svc.log())
        self.assertIsNotNone(svc.register("dev0", "10.9.0.2"))
        nl = self.hosts_nl()
        entries = [(b"10.1.%d.%d" % (i // 200, i % 200 + 1), b"dev%d" % i) for i in range(1, 150)]
        expected = block(entries + [(b"10.9.0.2", b"dev0")], nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())
        self.assertEqual(svc.stop(), 0)
        self.assertEqual(svc.hosts(), expected)

    def test_names_the_machine_already_has_are_refused(self):
        own = socket.gethostname().split(".")[0]
        original = b"127.0.0.1 localhost\n10.0.0.1 router gw # printer\n::1 ip6-localhost ip6-loopback\n"
        svc = self.service(hosts=original)
        cases = [("GW", "defined outside the block"), ("IP6-localhost", "defined outside the block"),
                 (own.upper(), "the machine's own name"), ("printer", None), ("meter1", None)]
        for i, (name, reason) in enumerate(cases):
            with self.subTest(name=name):
                address = "10.0.1.%d" % (i + 1)
                self.assertIsNotNone(svc.register(name, address))
                self.assertTrue(svc.wait_log("127.0.0.1: %s %s" % (name, address)))
                if reason:
                    self.assertTrue(svc.wait_log("%s: name refused: %s" % (name, reason)), svc.log())
        nl = self.hosts_nl()
        expected = original.replace(b"\n", nl) + nl + block([(b"10.0.1.4", b"printer"), (b"10.0.1.5", b"meter1")], nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())

        # Someone gives meter1 a line of its own: the next write leaves it out.
        with open(svc.hosts_path, "ab") as f:
            f.write(b"10.0.0.2 Meter1" + nl)
        self.assertIsNotNone(svc.register("meter2", "10.0.1.6"))
        self.assertTrue(svc.wait_log("meter1: name refused: defined outside the block"), svc.log())
        expected = (original.replace(b"\n", nl) + nl + block([(b"10.0.1.4", b"printer"), (b"10.0.1.6", b"meter2")], nl)
                    + b"10.0.0.2 Meter1" + nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())
        self.assertEqual(svc.stop(), 0)

    @unittest.skipIf(harness.WINE, "an address-space limit on Wine's loader says nothing of the exe's heap")
    def test_short_of_memory_it_starts_with_what_fits_and_serves(self):
        if under_sanitizer(harness.PROGRAM):
            self.skipTest("AddressSanitizer cannot run under an address-space limit")
        # About 85 MB of entries: the file and its table together do not
        # fit in 128 MB of address space.
        count = 3000000
        with tempfile.TemporaryDirectory(prefix="tarvik-bb-big-") as scratch:
            hosts = os.path.join(scratch, "hosts")
            with open(hosts, "wb") as f:
                f.write(b"127.0.0.1 localhost\n#tarvik-begin\n")
                for first in range(0, count, 100000):
                    f.write(b"".join(b"10.%d.%d.%d\tdevice-%d\n" % (i >> 16, (i >> 8) & 255, i & 255, i)
                                     for i in range(first, first + 100000)))
                f.write(b"#tarvik-end\n")
            with open(hosts, "rb") as f:
                original = f.read()
            svc = self.service(start=False, conf="max-names 1000000\n")
            shutil.move(hosts, svc.hosts_path)

        def low_memory():
            resource.setrlimit(resource.RLIMIT_AS, (128 << 20, 128 << 20))

        svc.start(preexec_fn=low_memory)
        path = svc.hosts_path
        skipped = [m for m in svc.log_messages() if m.startswith(path + ": ") and " entries skipped: " in m]
        self.assertTrue(skipped, svc.log_messages())
        self.assertEqual(svc.register("meter1", "192.168.1.20"), EXAMPLE_ACK)
        self.assertTrue(svc.wait_log("127.0.0.1: meter1 192.168.1.20"))
        self.assertIsNone(svc.process.poll())
        self.assertEqual(svc.stop(30), 0)
        # Whatever the writes could not do, the file is whole: either as it
        # was or with a complete block.
        text = svc.hosts()
        if text != original:
            self.assertTrue(text.startswith(b"127.0.0.1 localhost\n#tarvik-begin\n"), text[:100])
            self.assertTrue(text.endswith(b"\n#tarvik-end\n"), text[-100:])


class Resolver(ServiceTest):
    def test_getent_finds_a_device_registered_a_moment_before(self):
        if harness.WINE:
            self.skipTest("the system resolver is Linux's; under Wine the Windows build cannot "
                          "replace a bind-mounted file")
        if shutil.which("unshare") is None or shutil.which("getent") is None:
            self.skipTest("unshare or getent is not installed")
        probe = subprocess.run(["unshare", "-m", "true"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        if probe.returncode != 0:
            self.skipTest("private mount namespaces are not allowed here")

        folder = tempfile.mkdtemp(prefix="tarvik-resolver-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        scratch = os.path.join(folder, "hosts")
        with open(scratch, "wb") as f:
            f.write(b"127.0.0.1 localhost\n")
        tmp = os.path.join(folder, "tmp")
        os.makedirs(tmp)
        port = harness.free_udp_port()
        with open(os.path.join(folder, "main.conf"), "w") as f:
            f.write("port %d\nhosts-file /etc/hosts\nlog-path %s\n" % (port, folder))
        os.chmod(os.path.join(folder, "main.conf"), 0o644)  # one others may write is refused
        args = {"scratch": scratch, "program": harness.PROGRAM, "register": harness.REGISTER,
                "folder": folder, "tmp": tmp, "port": port}
        done = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, "-c",
                               RESOLVER_SCRIPT, json.dumps(args)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode("latin-1"))
        result = json.loads(done.stdout)
        self.assertEqual(result["register"], 0)
        self.assertEqual(result["getent"].split(), ["192.0.2.77", "resolvertest1"])
        # The mount point cannot be renamed over, so the file was written in
        # place, whole.
        self.assertEqual(result["etc_hosts"],
                         "127.0.0.1 localhost\n\n#tarvik-begin\n192.0.2.77\tresolvertest1\n#tarvik-end\n")
        self.assertEqual(result["exit"], 0)
        with open(scratch, "rb") as f:
            self.assertIn(b"192.0.2.77\tresolvertest1\n", f.read())


if __name__ == "__main__":
    unittest.main()
