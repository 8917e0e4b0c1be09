"""An acknowledged registration reaches the hosts file under any traffic,
after failed writes and at stop; the hosts file is never left damaged, and
the service writes nowhere but there."""
import errno
import glob
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

import harness
from harness import ServiceTest

ENTRY = re.compile(rb"^(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})\t([A-Za-z0-9_-]+)$")


def block(entries, nl):
    """The hosts-file block for (address, name) pairs, oldest first."""
    lines = [b"#tarvik-begin"] + [a + b"\t" + n for a, n in entries] + [b"#tarvik-end"]
    return b"".join(line + nl for line in lines)


def copies_in(folder):
    """Copies the rewrite left beside the hosts file."""
    return sorted(n for n in os.listdir(folder) if n.startswith("hosts.tarvik-"))


class Noise:
    """Sends one datagram every `interval` seconds to a port until stopped."""

    def __init__(self, port, interval, data=b"noise"):
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(port, interval, data), daemon=True)
        self._thread.start()

    def _run(self, port, interval, data):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            next_send = time.monotonic()
            while not self._stop.is_set():
                s.sendto(data, ("127.0.0.1", port))
                next_send += interval
                self._stop.wait(max(0.0, next_send - time.monotonic()))

    def stop(self):
        self._stop.set()
        self._thread.join(5)


class UnderTraffic(ServiceTest):
    def test_registration_is_written_within_2_s_under_steady_traffic(self):
        svc = self.service(hosts=b"127.0.0.1 localhost\n")
        nl = self.hosts_nl()
        # A datagram every 50 ms: never a quiet 100 ms wait.
        noise = Noise(svc.port, 0.05)
        self.addCleanup(noise.stop)
        time.sleep(0.3)
        self.assertIsNotNone(svc.register("meter1", "192.168.1.20"))
        acknowledged = time.monotonic()
        expected = b"127.0.0.1 localhost" + nl + nl + block([(b"192.168.1.20", b"meter1")], nl)
        written = harness.wait_for(lambda: svc.hosts() == expected, 2.0, 0.01)
        self.assertTrue(written, "not written within 2 s of the acknowledgement: %r" % svc.hosts())
        self.assertLess(time.monotonic() - acknowledged, 2.5)

    def test_registrations_sent_all_at_once_are_all_served(self):
        # Devices coming back together after a power cut: one burst, no pause.
        # It must be queued while the loop works through it, not dropped.
        with open("/proc/sys/net/core/rmem_max") as f:
            cap = int(f.read())
        if cap < 2 << 20:
            self.skipTest("the OS caps socket receive buffers at %d bytes (net.core.rmem_max)" % cap)
        svc = self.service(hosts=b"127.0.0.1 localhost\n")
        count = 1500
        requests = [harness.registration(b"burst%d" % i, b"10.2.%d.%d" % (i // 250, i % 250 + 1))
                    for i in range(count)]
        acks = set()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            for r in requests:
                s.sendto(r, ("127.0.0.1", svc.port))
            s.settimeout(5.0)
            try:
                while len(acks) < count:
                    acks.add(s.recv(100))
            except socket.timeout:
                pass
        self.assertEqual(len(acks), count, "acknowledged %d of %d" % (len(acks), count))
        self.assertTrue(harness.wait_for(lambda: (svc.hosts() or b"").count(b"\tburst") == count,
                                         5.0), "not every name reached the hosts file")
        self.assertEqual(sum(1 for m in svc.log_messages() if " burst" in m), count)

    def test_burst_of_registrations_costs_at_most_one_write_per_second(self):
        svc = self.service(hosts=b"127.0.0.1 localhost\n")
        count = 1000
        names = [b"dev%d" % i for i in range(count)]
        addresses = [b"10.1.%d.%d" % (i // 250, i % 250 + 1) for i in range(count)]

        # Every replacement gives the hosts file a new inode and change time.
        versions = []
        done = threading.Event()

        def watch():
            last = None
            while not done.is_set():
                try:
                    st = os.stat(svc.hosts_path)
                    key = (st.st_ino, st.st_ctime_ns)
                except FileNotFoundError:
                    key = None
                if key != last:
                    versions.append(time.monotonic())
                    last = key
                time.sleep(0.002)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        self.addCleanup(done.set)
        time.sleep(0.05)
        started = time.monotonic()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for i in range(count):
                s.sendto(harness.registration(names[i], addresses[i]), ("127.0.0.1", svc.port))
                time.sleep(0.0025)  # a burst of about 3 s, no pause of 100 ms in it
        sent = time.monotonic()
        last_line = addresses[-1] + b"\t" + names[-1]
        self.assertTrue(harness.wait_for(lambda: last_line in (svc.hosts() or b""), 5.0), "last entry not written")
        time.sleep(0.3)
        done.set()
        watcher.join(5)

        replacements = len(versions) - 1  # the first is the file as it was
        seconds = sent - started
        # The deadline writes once a second while the burst lasts, then the
        # quiet wait writes the rest once.
        self.assertGreaterEqual(replacements, 2, "no write during the burst of %.1f s" % seconds)
        self.assertLessEqual(replacements, int(seconds) + 2, "%d writes in %.1f s" % (replacements, seconds))
        text = svc.hosts()
        self.assertEqual(text.count(b"\t"), count)

    def test_block_lines_that_are_no_entries_are_gone_after_the_rewrite(self):
        nl = self.hosts_nl()
        hosts = nl.join([b"127.0.0.1 localhost", b"#tarvik-begin", b"# printers", b"", b"10.0.0.7",
                         b"192.168.1.20\tmeter1", b"#tarvik-end", b"10.9.9.9 user-entry", b""])
        svc = self.service(hosts=hosts, start=False)
        # A copy a killed run left goes at start; a name of another pattern stays.
        for name in ("hosts.tarvik-0badc0de.tmp", "hosts.tarvik-notmine"):
            with open(os.path.join(svc.folder, name), "wb") as f:
                f.write(b"x")
        svc.start()
        self.assertEqual(copies_in(svc.folder), ["hosts.tarvik-notmine"])
        expected = (b"127.0.0.1 localhost" + nl + block([(b"192.168.1.20", b"meter1")], nl)
                    + b"10.9.9.9 user-entry" + nl)
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, 5.0), svc.hosts())
        skipped = [m for m in svc.log_messages() if "not an entry, skipped" in m]
        path = harness.native_path(svc.hosts_path)
        self.assertEqual(skipped, [path + ":3: not an entry, skipped: '# printers'",
                                   path + ":4: not an entry, skipped: ''",
                                   path + ":5: not an entry, skipped: '10.0.0.7'"])
        # A registration after it writes the file again: still no such line.
        svc.register("meter2", "192.168.1.21")
        self.assertTrue(harness.wait_for(lambda: b"meter2" in svc.hosts(), 5.0))
        self.assertEqual(svc.stop(), 0)
        self.assertNotIn(b"255.255.255.255", svc.hosts())
        self.assertNotIn(b"printers", svc.hosts())

    def test_zero_bytes_and_ctrl_z_outside_the_block_survive_byte_for_byte(self):
        nl = self.hosts_nl()
        before = (b"127.0.0.1 localhost" + nl + b"10.0.0.1 file\x00server # a zero byte" + nl
                  + b"# \x1a a Ctrl+Z, then more lines" + nl + b"10.0.0.2 fileserver" + nl)
        after = b"10.9.9.9 after\x00" + nl + b"\x1a"
        hosts = before + block([], nl) + after
        svc = self.service(hosts=hosts)
        svc.register("meter1", "192.168.1.20")
        expected = before + block([(b"192.168.1.20", b"meter1")], nl) + after
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, 5.0), svc.hosts())
        self.assertEqual(svc.stop(), 0)
        # Loaded back, the block is found where it was.
        again = harness.Service(folder=svc.folder)
        self.addCleanup(again.kill)
        again.start()
        again.register("meter2", "192.168.1.21")
        expected = before + block([(b"192.168.1.20", b"meter1"), (b"192.168.1.21", b"meter2")], nl) + after
        self.assertTrue(harness.wait_for(lambda: again.hosts() == expected, 5.0), again.hosts())
        self.assertEqual(again.stop(), 0)


class Attack(ServiceTest):
    def test_nothing_outside_the_hosts_file_is_written(self):
        for setup in ("links", "files of another user"):
            with self.subTest(setup=setup):
                self.check_attack(setup)

    def check_attack(self, setup):
        svc = self.service(hosts=b"127.0.0.1 localhost\n", start=False)
        os.chmod(svc.hosts_path, 0o604)
        before = os.stat(svc.hosts_path)
        victim = os.path.join(svc.folder, "victim")
        with open(victim, "wb") as f:
            f.write(b"precious\n")
        # Where the copy used to be written: the temporary folder (the
        # service's TMPDIR, and Wine's own) and beside the hosts file.
        old_paths = [os.path.join(svc.tmp_folder, "tarvik.tmp"), svc.hosts_path + ".tarvik.tmp"]
        if harness.WINE:
            users = os.path.join(harness.WINE_ENV["WINEPREFIX"], "drive_c", "users")
            for temp in glob.glob(os.path.join(users, "*", "Temp")):
                old_paths.append(os.path.join(temp, "tarvik.tmp"))
        for path in old_paths:
            self.addCleanup(lambda p=path: os.path.lexists(p) and os.unlink(p))
            if setup == "links":
                os.symlink(victim, path)
            else:
                with open(path, "wb") as f:
                    f.write(b"planted\n")
                os.chmod(path, 0o666)
                if os.geteuid() == 0:
                    os.chown(path, 65534, 65534)
        snapshot = {p: self.state(p) for p in old_paths + [victim]}

        svc.start()
        svc.register("meter1", "192.168.1.20")
        self.assertTrue(harness.wait_for(lambda: b"meter1" in svc.hosts(), 5.0), svc.hosts())
        svc.register("meter2", "192.168.1.21")
        self.assertTrue(harness.wait_for(lambda: b"meter2" in svc.hosts(), 5.0), svc.hosts())
        self.assertEqual(svc.stop(), 0)

        self.assertEqual({p: self.state(p) for p in snapshot}, snapshot)
        after = os.lstat(svc.hosts_path)
        self.assertTrue(os.path.isfile(svc.hosts_path) and not os.path.islink(svc.hosts_path))
        self.assertEqual((after.st_uid, after.st_gid), (before.st_uid, before.st_gid))
        if not harness.WINE:  # Wine keeps no Windows ACL in the Unix mode bits
            self.assertEqual(after.st_mode & 0o7777, 0o604)
        self.assertIn(b"#tarvik-begin", svc.hosts())
        self.assertEqual(copies_in(svc.folder), [])

    @staticmethod
    def state(path):
        """What a write, a replacement or a change of owner would change."""
        st = os.lstat(path)
        if os.path.islink(path):
            return ("link", os.readlink(path), st.st_ino)
        with open(path, "rb") as f:
            return ("file", f.read(), st.st_ino, st.st_uid, st.st_mode, st.st_mtime_ns)


def namespaces_usable():
    if harness.WINE:
        return "the faults are made with Linux mounts and limits around the native binary"
    if shutil.which("unshare") is None:
        return "unshare is not installed"
    probe = subprocess.run(["unshare", "-m", "true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        return "private mount namespaces are not allowed here"
    return None


# Runs the service in a private mount namespace with a small tmpfs as its
# hosts folder ($1, the hosts file copied there from $2, size $4 KiB). With
# $3 = bind the hosts file is a mount point, as in a container: it lies on a
# second small tmpfs, $1/.data, and is bound onto $1/hosts, so it cannot be
# renamed over. A sleeping keeper holds the namespace, so the test can still
# read the tmpfs after the service has ended.
NAMESPACE_SCRIPT = r'''
set -e
mount -t tmpfs -o size=$4k tarvik-test "$1"
if [ "$3" = bind ]; then
  mkdir "$1/.data"
  mount -t tmpfs -o size=$4k tarvik-data "$1/.data"
  cp "$2" "$1/.data/hosts"
  touch "$1/hosts"
  mount --bind "$1/.data/hosts" "$1/hosts"
else
  cp "$2" "$1/hosts"
fi
sleep 600 </dev/null >/dev/null 2>&1 &
echo $! > "$1/../keeper.pid"
shift 4
exec "$@"
'''


class Faults(ServiceTest):
    """Full disk, no descriptors left, an in-place write on a full disk."""

    def setUp(self):
        reason = namespaces_usable()
        if reason:
            self.skipTest(reason)

    def namespaced_service(self, hosts, bind=False, size_kb=256, inner=()):
        """`inner`: argv put right before the program's, inside the namespace."""
        svc = harness.Service(hosts=hosts)
        self.addCleanup(svc.cleanup)
        etc = os.path.join(svc.folder, "etc")
        os.makedirs(etc)
        # Inside the namespace the hosts file lies on the tmpfs.
        with open(os.path.join(svc.folder, "main.conf"), "a") as f:
            f.write("hosts-file %s/hosts\n" % etc)
        wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE_SCRIPT, "sh", etc,
                   svc.hosts_path, "bind" if bind else "plain", str(size_kb)] + list(inner)
        svc.start(wrapper=wrapper)
        with open(os.path.join(svc.folder, "keeper.pid")) as f:
            keeper = int(f.read())
        self.addCleanup(os.kill, keeper, signal.SIGKILL)
        # The test reaches the tmpfs through the namespace's own view of it.
        svc.ns_etc = "/proc/%d/root%s" % (keeper, etc)
        svc.ns_hosts = os.path.join(svc.ns_etc, "hosts")
        return svc

    def fill(self, folder):
        """Fills the file system of `folder` to the last byte."""
        path = os.path.join(folder, "filler")
        with open(path, "wb", buffering=0) as f:
            for size in (65536, 4096, 1):
                try:
                    while True:
                        f.write(b"\0" * size)
                except OSError as e:
                    self.assertEqual(e.errno, errno.ENOSPC)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_full_disk_then_space_comes_back(self):
        original = b"127.0.0.1 localhost\n"
        svc = self.namespaced_service(original)
        filler = self.fill(svc.ns_etc)
        self.assertEqual(svc.register("meter1", "192.168.1.20")[:12], b"tarvik1 ack ")
        self.assertTrue(svc.wait_log("Can not write: No space left on device"), svc.log())
        line = [m for m in svc.log_messages() if "Can not write" in m][0]
        self.assertRegex(line, r"^%s/hosts\.tarvik-[0-9a-f]{8}\.tmp: Can not write: No space left on device$"
                         % re.escape(os.path.join(svc.folder, "etc")))
        self.assertEqual(self.read(svc.ns_hosts), original)
        self.assertEqual(copies_in(svc.ns_etc), [])
        time.sleep(1.5)  # a failure or two more
        os.unlink(filler)
        freed = time.monotonic()
        expected = original + b"\n" + block([(b"192.168.1.20", b"meter1")], b"\n")
        self.assertTrue(harness.wait_for(lambda: self.read(svc.ns_hosts) == expected, 5.0),
                        self.read(svc.ns_hosts))
        self.assertLess(time.monotonic() - freed, 5.0)
        self.assertEqual(copies_in(svc.ns_etc), [])
        self.assertEqual(svc.stop(), 0)

    def test_full_until_just_before_sigterm_the_stop_writes_it(self):
        original = b"127.0.0.1 localhost\n"
        svc = self.namespaced_service(original)
        filler = self.fill(svc.ns_etc)
        svc.register("meter1", "192.168.1.20")
        self.assertTrue(svc.wait_log("No space left on device"), svc.log())
        failures = len([m for m in svc.log_messages() if "Can not write" in m])
        os.unlink(filler)
        svc.process.send_signal(signal.SIGTERM)
        # The next retry was a second away: it is the stop that writes.
        self.assertEqual(svc.wait(10), 0)
        self.assertEqual(len([m for m in svc.log_messages() if "Can not write" in m]), failures)
        self.assertEqual(self.read(svc.ns_hosts), original + b"\n" + block([(b"192.168.1.20", b"meter1")], b"\n"))
        self.assertEqual(copies_in(svc.ns_etc), [])

    def test_in_place_write_on_a_full_disk_leaves_the_old_file_whole(self):
        # Just short of two pages: with the block the file needs a third,
        # which the full tmpfs does not have.
        original = b"127.0.0.1 localhost\n" + b"".join(b"10.9.%d.%d user%d\n" % (i // 200, i % 200, i)
                                                      for i in range(300))
        original += b"#" * (8180 - len(original) - 1) + b"\n"
        self.assertEqual(len(original), 8180)
        svc = self.namespaced_service(original, bind=True)
        # The hosts file's own file system is full; its folder has room for
        # the copy, which cannot be renamed over the mount point.
        filler = self.fill(os.path.join(svc.ns_etc, ".data"))
        svc.register("meter1", "192.168.1.20")
        self.assertTrue(svc.wait_log("Update error %d: %s" % (errno.ENOSPC, os.strerror(errno.ENOSPC))), svc.log())
        self.assertEqual(self.read(svc.ns_hosts), original)
        time.sleep(1.2)
        self.assertEqual(self.read(svc.ns_hosts), original)
        os.unlink(filler)
        expected = original + b"\n" + block([(b"192.168.1.20", b"meter1")], b"\n")
        self.assertTrue(harness.wait_for(lambda: self.read(svc.ns_hosts) == expected, 5.0))
        # Shorter again: written over and cut to its length.
        svc.register("meter1", "10.0.0.1")
        expected = original + b"\n" + block([(b"10.0.0.1", b"meter1")], b"\n")
        self.assertTrue(harness.wait_for(lambda: self.read(svc.ns_hosts) == expected, 5.0))
        self.assertEqual(svc.stop(), 0)
        self.assertFalse(any("Can not restore" in m for m in svc.log_messages()))

    def test_in_place_write_failing_after_its_reservation_puts_the_old_bytes_back(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        original = b"127.0.0.1 localhost\n" + b"# padding\n" * 50
        # The first cut to length fails: the new bytes are then already over
        # the old ones, and only the way back leaves the file whole.
        svc = self.namespaced_service(original, bind=True, inner=[
            "strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=ftruncate",
            "-e", "inject=ftruncate:error=EIO:when=1"])
        svc.register("meter1", "192.168.1.20")
        self.assertTrue(svc.wait_log("Update error %d: %s" % (errno.EIO, os.strerror(errno.EIO))), svc.log())
        self.assertEqual(self.read(svc.ns_hosts), original)
        self.assertFalse(any("Can not restore" in m for m in svc.log_messages()), svc.log())
        # The retry a second later is not injected a fault.
        expected = original + b"\n" + block([(b"192.168.1.20", b"meter1")], b"\n")
        self.assertTrue(harness.wait_for(lambda: self.read(svc.ns_hosts) == expected, 5.0),
                        self.read(svc.ns_hosts))
        with open("/proc/%d/task/%d/children" % (svc.process.pid, svc.process.pid)) as f:
            children = [int(p) for p in f.read().split()]
        service = [p for p in children if open("/proc/%d/comm" % p).read().strip() == "tarvik"]
        os.kill(service[0], signal.SIGINT)
        # strace, the keeper's parent since the exec, waits for the keeper
        # too: the stop is seen in the log.
        self.assertTrue(svc.wait_log("Stopped", 10.0), svc.log())

    def test_pending_forwards_leave_descriptors_for_the_hosts_write(self):
        # A silent upstream on port 53 that would hold every forward for 5 s.
        upstream, address = self.plain_upstream()
        original = b"127.0.0.1 localhost\n"
        dns_port = harness.free_udp_port()
        svc = self.service(hosts=original, dns_port=dns_port, start=False,
                           conf="tarvik-server-ip 10.0.0.53\ndns-server-ip %s\n" % address)
        limit = 48

        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        svc.start(preexec_fn=low_limit)
        query = b"\x42\x42\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x03www\x07example\x04test\x00\x00\x01\x00\x01"

        def use_up():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as asker:
                for _ in range(2 * limit):
                    asker.sendto(query, ("127.0.0.1", dns_port))
                    time.sleep(0.002)
            time.sleep(0.2)

        use_up()
        # The forwards took what the limit leaves them, not the rest.
        self.assertLessEqual(len(os.listdir("/proc/%d/fd" % svc.process.pid)), limit - 16)
        self.assertIsNotNone(svc.register("meter1", "192.168.1.20"))
        # Written at once, not once the forwards have expired.
        expected = original + b"\n" + block([(b"192.168.1.20", b"meter1")], b"\n")
        self.assertTrue(harness.wait_for(lambda: svc.hosts() == expected, 3.0), svc.hosts())
        self.assertIn("127.0.0.1: meter1 192.168.1.20", svc.log_messages())
        self.assertEqual(copies_in(svc.folder), [])

        # Again, and the stop writes what the loop had no time to.
        use_up()
        svc.register("meter2", "192.168.1.21")
        svc.process.send_signal(signal.SIGTERM)
        self.assertEqual(svc.wait(10), 0)
        self.assertEqual(svc.hosts(), original + b"\n" + block([(b"192.168.1.20", b"meter1"),
                                                                  (b"192.168.1.21", b"meter2")], b"\n"))
        self.assertNotIn("Too many open files", svc.stderr())


class KillNine(ServiceTest):
    RUNS = 100

    def test_kill_9_at_random_moments_never_damages_the_hosts_file(self):
        if harness.WINE:
            self.skipTest("kill -9 of the native process; under Wine it would hit wine's loader, "
                          "and 100 starts take minutes")
        # A large file outside the block, so that a write takes a while.
        user_before = b"127.0.0.1 localhost\n" + b"".join(b"# user line %d %s\n" % (i, b"x" * 60)
                                                          for i in range(8000))
        user_after = b"10.9.9.9 user-after\n"
        svc = self.service(hosts=user_before + block([], b"\n") + user_after, start=False)
        folder = svc.folder
        rng = random.Random()
        sent = set()
        counter = [0]
        runs = passed = copies_seen = 0
        problems = []
        deadline = time.monotonic() + 50

        def burst(s, port):
            for _ in range(rng.randint(1, 6)):
                i = counter[0]
                counter[0] += 1
                name = b"k%d" % (i % 400)
                address = b"10.3.%d.%d" % ((i // 250) % 250, i % 250 + 1)
                sent.add((address, name))
                s.sendto(harness.registration(name, address), ("127.0.0.1", port))
                time.sleep(0.001)

        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sender.close)
        while runs < self.RUNS and time.monotonic() < deadline:
            run = harness.Service(folder=folder)
            run.start(wait=False)
            harness.wait_for(lambda: "Started 1.0b" in run.stderr() or run.process.poll() is not None, 10, 0.005)
            # One to three bursts; the kill lands at a random moment around the
            # quiet-wait write that follows the last one.
            for _ in range(rng.randint(0, 2)):
                burst(sender, run.port)
                time.sleep(rng.uniform(0.0, 0.15))
            burst(sender, run.port)
            time.sleep(rng.uniform(0.095, 0.13))
            run.process.send_signal(signal.SIGKILL)
            run.process.wait()
            runs += 1
            copies_seen += len(copies_in(folder))
            problem = self.damage(run.hosts(), user_before, user_after, sent)
            if problem:
                problems.append("run %d: %s" % (runs, problem))
            else:
                passed += 1
        print("\n  kill -9: %d of %d runs left a whole hosts file; %d stray copies seen after kills"
              % (passed, runs, copies_seen), end=" ")
        self.assertEqual(problems, [])
        self.assertGreaterEqual(runs, self.RUNS, "only %d runs in the time allowed" % runs)

        # A clean start removes what the kills left, and only that.
        with open(os.path.join(folder, "hosts.tarvik-notmine"), "wb") as f:
            f.write(b"x")
        last = harness.Service(folder=folder)
        self.addCleanup(last.kill)
        last.start()
        self.assertEqual(copies_in(folder), ["hosts.tarvik-notmine"])
        self.assertEqual(last.stop(), 0)
        self.assertIsNone(self.damage(last.hosts(), user_before, user_after, sent))
        self.assertEqual(copies_in(folder), ["hosts.tarvik-notmine"])

    @staticmethod
    def damage(hosts, user_before, user_after, sent):
        """What is wrong with the hosts file, or None."""
        if hosts is None:
            return "no hosts file"
        if not hosts.startswith(user_before):
            return "lines before the block changed"
        if not hosts.endswith(user_after):
            return "lines after the block changed"
        middle = hosts[len(user_before):len(hosts) - len(user_after)].split(b"\n")
        if middle[0] != b"#tarvik-begin" or middle[-2:] != [b"#tarvik-end", b""]:
            return "not one whole block: %r" % hosts[len(user_before):][:200]
        names, addresses = set(), set()
        for line in middle[1:-2]:
            match = ENTRY.match(line)
            if not match:
                return "malformed entry %r" % line
            address, name = match.groups()
            if (address, name) not in sent or name in names or address in addresses:
                return "entry never registered or twice: %r" % line
            names.add(name)
            addresses.add(address)
        return None


if __name__ == "__main__":
    unittest.main()
