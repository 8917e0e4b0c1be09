"""The control channel of a running service: `tarvik status [--json]`,
`tarvik forget NAME` and `tarvik reload` over the real channel (a Unix socket
in the run's own runtime folder natively, the named pipe under Wine), who
may use it, and clients that must not hold up the service."""
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import threading
import time
import unittest

import harness
from harness import ServiceTest, wait_for
from test_dns import dig, raw_query

REWRITE_TIMEOUT = 5.0


def block(entries, nl):
    lines = [b"#tarvik-begin"] + [a + b"\t" + n for a, n in entries] + [b"#tarvik-end"]
    return b"".join(line + nl for line in lines)


def row(table, name):
    """The line of the status table that starts with NAME."""
    for line in table.splitlines():
        if line.split(" ", 1)[0] == name:
            return line
    return None


def raw_exchange(path, *pieces, pause=0.0):
    """Sends the pieces to the control socket at `path` and returns all it
    answers (Linux)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(path)
        for piece in pieces:
            s.sendall(piece)
            time.sleep(pause)
        answer = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return answer
            answer += chunk


class StatusAndForget(ServiceTest):
    def test_status_shows_devices_and_counters_and_forget_removes_a_name(self):
        nl = self.hosts_nl()
        dns_port = harness.free_udp_port()
        svc = self.service(conf="pwd pw\n", hosts=block([(b"10.0.0.9", b"old")], nl), dns_port=dns_port)
        started = time.time()
        for name, address in (("meter1", "192.168.1.20"), ("meter1", "192.168.1.20"), ("meter2", "192.168.1.21")):
            self.assertIsNotNone(svc.register(name, address, pwd="pw"))
        self.assertIsNone(svc.register("meter3", "192.168.1.22", pwd="wrong", timeout=0.3))
        harness.send(svc.port, b"junk")
        self.assertTrue(wait_for(lambda: b"\tmeter2" in (svc.hosts() or b""), REWRITE_TIMEOUT), svc.hosts())
        # The loop takes the writer's result a moment after the file is in
        # place; the status shows the write from then on.
        self.assertTrue(wait_for(lambda: "hosts written" in svc.control("status")[1], 5, 0.1))

        code, out, err = svc.control("status")
        self.assertEqual((code, err), (0, ""), out)
        print("\n  [status]\n" + out, end=" ")
        self.assertRegex(out, r"^Tarvik: 3 names; DNS on port %d; hosts written \d\d:\d\d:\d\d\n"
                              r"Running since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n\n"
                              r"NAME +ADDRESS +SENDER +FIRST REGISTERED +LAST REGISTERED +RENEWALS\n" % dns_port)
        time_text = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
        self.assertRegex(row(out, "meter1"), r"^meter1 +192\.168\.1\.20 +127\.0\.0\.1 +%s +%s +1$" % (time_text, time_text))
        self.assertRegex(row(out, "meter2"), r"^meter2 +192\.168\.1\.21 +127\.0\.0\.1 +%s +%s +0$" % (time_text, time_text))
        # Loaded from the block at start: what happened before is not known.
        self.assertRegex(row(out, "old"), r"^old +10\.0\.0\.9 +- +before start +before start +0$")
        self.assertIn("\n  registrations_acknowledged    3\n", out)
        self.assertIn("\n  registrations_wrong_password  1\n", out)
        self.assertIn("\n  registrations_malformed       1\n", out)

        code, out, err = svc.control("status", "--json")
        self.assertEqual((code, err), (0, ""), out)
        status = json.loads(out)
        self.assertEqual(status["names"], 3)
        self.assertEqual(status["dns_port"], dns_port)
        self.assertRegex(status["summary"], r"^3 names; DNS on port %d; hosts written \d\d:\d\d:\d\d$" % dns_port)
        devices = {d["name"]: d for d in status["devices"]}
        self.assertEqual([d["name"] for d in status["devices"]], ["meter1", "meter2", "old"])
        self.assertEqual(devices["old"], {"name": "old", "address": "10.0.0.9", "sender": None,
                                          "first_registration": None, "last_registration": None,
                                          "renewals": 0})
        meter1 = devices["meter1"]
        self.assertEqual((meter1["address"], meter1["sender"], meter1["renewals"]), ("192.168.1.20", "127.0.0.1", 1))
        # Seconds since 1970, as this clock sees them (the service reckons
        # them from its own monotonic clock).
        self.assertLessEqual(started - 2, meter1["first_registration"])
        self.assertLessEqual(meter1["first_registration"], meter1["last_registration"])
        self.assertLessEqual(meter1["last_registration"], time.time() + 2)
        counters = status["counters"]
        self.assertEqual((counters["registrations_acknowledged"], counters["registrations_stored"],
                          counters["registrations_wrong_password"], counters["registrations_malformed"]),
                         (3, 3, 1, 1))
        self.assertGreaterEqual(status["hosts_written"], int(started) - 1)
        self.assertIsNone(status["hosts_failing_since"])

        # Forget, in any case: gone from the block and the DNS answers, and
        # logged with who asked.
        self.assertEqual(dig(dns_port, "meter1.tarvik")[0], "NOERROR")
        self.assertEqual(svc.control("forget", "METER1"), (0, "meter1: forgotten\n", ""))
        self.assertEqual(dig(dns_port, "meter1.tarvik")[0], "NXDOMAIN")
        expected = block([(b"10.0.0.9", b"old"), (b"192.168.1.21", b"meter2")], nl)
        self.assertTrue(wait_for(lambda: svc.hosts() == expected, REWRITE_TIMEOUT), svc.hosts())
        who = r"user \S+ pid \d+" if harness.WINE else r"uid 0 pid \d+"
        self.assertTrue([m for m in svc.log_messages() if re.fullmatch("meter1: forgotten, asked by " + who, m)],
                        svc.log_messages())
        # Once more: no such name.
        self.assertEqual(svc.control("forget", "meter1"), (1, "", "meter1: no such name\n"))
        self.assertEqual(json.loads(svc.control("status", "--json")[1])["names"], 2)
        # The name stays forgotten: the stop's write and the next start.
        self.assertEqual(svc.stop(), 0)
        self.assertEqual(svc.hosts(), expected)

    def test_forgotten_name_leaves_the_site_zone(self):
        from test_publish import DnsServer, update_conf
        if shutil.which("named") is None and not os.path.exists("/usr/sbin/named"):
            self.skipTest("named is not installed")
        server = DnsServer("bind")
        self.addCleanup(server.cleanup)
        server.start()
        svc = self.service(conf=update_conf(server.port))
        self.assertIsNotNone(svc.register("dev1", "10.9.0.1"))
        self.assertTrue(wait_for(lambda: server.addresses("dev1") == ["10.9.0.1"], 5), server.log()[-2000:])
        self.assertEqual(svc.control("forget", "dev1"), (0, "dev1: forgotten\n", ""))
        self.assertTrue(wait_for(lambda: server.addresses("dev1") == [], 5), server.log()[-2000:])
        self.assertTrue(svc.wait_log("update dev1 deleted: NOERROR"), svc.log())

    def test_summary_says_when_dns_is_off_and_hosts_writes_fail(self):
        dns_port = harness.free_udp_port()
        svc = self.service(start=False, dns_port=dns_port)
        # The hosts file in a folder that does not exist: every write fails.
        missing = os.path.join(svc.folder, "no-such-folder", "hosts")
        rewrite_conf(svc, [])
        with open(os.path.join(svc.folder, "main.conf"), "a") as f:
            f.write("hosts-file %s\n" % harness.native_path(missing))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", dns_port))
            svc.start()
        self.assertIsNotNone(svc.register("meter1", "10.0.0.1"))
        failing = r"^1 name; DNS off: port %d could not be opened; hosts writes failing since \d\d:\d\d:\d\d$" % dns_port
        status = {}

        def summary():
            status.update(json.loads(svc.control("status", "--json")[1]))
            return re.match(failing, status["summary"])
        self.assertTrue(wait_for(summary, 5, 0.2), status)
        self.assertEqual((status["dns_port"], status["dns_off_port"], status["hosts_written"]), (None, dns_port, None))
        self.assertGreater(status["hosts_failing_since"], 0)
        self.assertEqual(svc.stop(), 0)

    def test_commands_that_cannot_be_served(self):
        usage = harness.text_of(subprocess.run(harness.command(harness.PROGRAM, "bogus"), env=harness.run_env(),
                                               stderr=subprocess.PIPE).stderr)
        svc = self.service(start=False)
        # Arguments that fit no command: the usage line, as for any other.
        for args in (["forget"], ["forget", ""], ["forget", "a", "b"], ["status", "--yaml"], ["status", "x", "y"],
                     ["reload", "now"]):
            with self.subTest(args=args):
                self.assertEqual(svc.control(*args), (1, "", usage))
        # No service at all.
        code, out, err = svc.control("status")
        self.assertEqual((code, out), (1, ""))
        if harness.WINE:
            self.assertRegex(err, r"^cannot reach the service: \\\\\.\\pipe\\Tarvik: .*\(is the service running\?\)\n$")
        else:
            self.assertEqual(err, "cannot reach the service: %s/control: No such file or directory "
                                  "(is the service running?)\n" % svc.runtime_folder)


def rewrite_conf(svc, lines):
    """main.conf with the harness's own lines (port, files, DNS port) and
    `lines` after them; its mode stays."""
    path = os.path.join(svc.folder, "main.conf")
    with open(path) as f:
        kept = [l for l in f.read().splitlines() if l.split(" ", 1)[0] in ("port", "hosts-file", "log-path", "dns-port")]
    with open(path, "w") as f:
        f.write("\n".join(kept + lines) + "\n")


class Reload(ServiceTest):
    def test_reload_takes_a_new_pwd_and_keeps_what_runs_when_the_file_is_broken(self):
        svc = self.service(conf="pwd old\n")
        self.assertIsNotNone(svc.register("meter1", "10.0.0.1", pwd="old"))

        rewrite_conf(svc, ["pwd new"])
        self.assertEqual(svc.control("reload"), (0, "reload of ./main.conf done: pwd changed\n", ""))
        self.assertIsNone(svc.register("meter2", "10.0.0.2", pwd="old", timeout=0.3))
        self.assertIsNotNone(svc.register("meter2", "10.0.0.2", pwd="new"))
        self.assertEqual(svc.control("reload"), (0, "reload of ./main.conf done: nothing changed\n", ""))

        # What needs a restart is said so, and the rest is taken.
        other = harness.free_udp_port()
        conf = os.path.join(svc.folder, "main.conf")
        with open(conf) as f:
            text = f.read().replace("port %d\n" % svc.port, "port %d\n" % other, 1)
        with open(conf, "w") as f:
            f.write(text.replace("pwd new", "pwd third") + "allow-from 127.0.0.0/8\nmax-age 48\n")
        code, out, err = svc.control("reload")
        restart = "port changed to %d, which needs a restart; %d stays in force until then" % (other, svc.port)
        self.assertEqual((code, out, err),
                         (0, "reload of ./main.conf done: pwd, allow-from, max-age changed\n" + restart + "\n", ""))
        self.assertIn("reload: " + restart, svc.log_messages())
        self.assertIsNotNone(svc.register("meter3", "10.0.0.3", pwd="third"))

        # A file with an error is not taken: the running settings stay.
        broken = [("pwd fourth\ndns-port 5x3", "./main.conf:5: '5x3' is not a port number")]
        if not harness.WINE:
            broken.append(("pwd fourth", "./main.conf: refused, it is writable by group or others"))
        for lines, reason in broken:
            with self.subTest(reason=reason):
                rewrite_conf(svc, lines.split("\n"))
                if "refused" in reason:
                    os.chmod(conf, 0o666)
                self.addCleanup(os.chmod, conf, 0o600)
                line = "reload of ./main.conf not taken: %s; the running configuration stays" % reason
                self.assertEqual(svc.control("reload"), (1, "", line + "\n"))
                self.assertEqual(svc.log_messages()[-1], line)
                self.assertIsNone(svc.register("meter4", "10.0.0.4", pwd="fourth", timeout=0.3))
                self.assertIsNotNone(svc.register("meter4", "10.0.0.4", pwd="third"))
                os.chmod(conf, 0o600)
        self.assertEqual(svc.stop(), 0)

    @unittest.skipIf(harness.WINE, "SIGHUP")
    def test_sighup_reloads_and_no_longer_stops(self):
        svc = self.service(conf="pwd old\n")
        rewrite_conf(svc, ["pwd new"])
        svc.process.send_signal(signal.SIGHUP)
        self.assertTrue(svc.wait_log("reload of ./main.conf done: pwd changed"), svc.log())
        self.assertIn("reload of ./main.conf (SIGHUP)", svc.log_messages())
        self.assertIsNone(svc.process.poll())
        self.assertIsNotNone(svc.register("meter1", "10.0.0.1", pwd="new"))
        self.assertEqual(svc.stop(), 0)


@unittest.skipIf(harness.WINE, "the Unix socket")
class UnixSocket(ServiceTest):
    def test_socket_is_for_administrators_only_and_one_run_owns_it(self):
        svc = self.service(conf="pwd pw\n")
        path = os.path.join(svc.runtime_folder, "control")
        folder = os.stat(svc.runtime_folder)
        sock = os.lstat(path)
        self.assertTrue(stat.S_ISSOCK(sock.st_mode))
        self.assertEqual((sock.st_uid, stat.S_IMODE(sock.st_mode)), (os.geteuid(), 0o600))
        self.assertEqual((folder.st_uid, stat.S_IMODE(folder.st_mode)), (os.geteuid(), 0o700))

        if os.geteuid() == 0:
            def as_nobody():
                os.setgid(65534)
                os.setuid(65534)
            done = subprocess.run(harness.command(harness.PROGRAM, "status"), preexec_fn=as_nobody,
                                  env=harness.run_env({"RUNTIME_DIRECTORY": svc.runtime_folder}),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
            self.assertEqual((done.returncode, done.stdout), (1, b""))
            self.assertEqual(done.stderr.decode(), "cannot reach the service: %s: Permission denied "
                                                   "(administrators only)\n" % path)

        # A second run on the same folder leaves the channel to the first.
        second = self.service(conf="pwd pw\n", start=False)
        second.runtime_folder = svc.runtime_folder
        second.start()
        self.assertTrue(second.wait_log("control: %s: another running instance answers there; "
                                        "this run has no control channel" % path), second.log())
        self.assertEqual(second.stop(), 0)
        self.assertEqual(svc.control("status")[0], 0)
        # The first run removes its socket at stop...
        self.assertEqual(svc.stop(), 0)
        self.assertFalse(os.path.lexists(path))
        # ...and a socket that a killed run left behind is taken over. (The
        # harness's start sees the first run's "Started" line: wait for the
        # socket instead.)
        svc.start(wait=False)
        self.assertTrue(wait_for(lambda: os.path.lexists(path), harness.START_TIMEOUT))
        svc.kill()
        self.assertTrue(os.path.lexists(path))
        svc.start(wait=False)
        self.assertTrue(wait_for(lambda: svc.control("status")[0] == 0, harness.START_TIMEOUT), svc.log())
        self.assertNotIn("control:", svc.log())

    def test_requests_the_service_does_not_take(self):
        svc = self.service(conf="pwd pw\n")
        path = os.path.join(svc.runtime_folder, "control")
        cases = [
            ((b"bogus\n",), b"error\nunknown command 'bogus'\nend\n"),
            ((b"forget\n",), b"error\nunknown command 'forget'\nend\n"),
            ((b"x" * 600,), b"error\nrequest longer than 512 bytes\nend\n"),
            ((b"forget meter9\r\n",), b"error\nmeter9: no such name\nend\n"),
            # A request in pieces is one request.
            ((b"forget me", b"ter9\n"), b"error\nmeter9: no such name\nend\n"),
        ]
        for pieces, answer in cases:
            with self.subTest(pieces=pieces):
                self.assertEqual(raw_exchange(path, *pieces, pause=0.05), answer)
        # A client that says nothing is let go after 2 s without an answer.
        started = time.monotonic()
        self.assertEqual(raw_exchange(path), b"")
        self.assertLess(time.monotonic() - started, 4)
        self.assertEqual(svc.stop(), 0)


class SilentClients(ServiceTest):
    """Clients that connect to the control channel and send nothing, many
    at once: registrations and answers go on as before, and an admin's
    command still gets through."""

    SECONDS = 3.0
    PROBE_INTERVAL = 0.05
    LATE = 0.25  # as the flood tests: lenient for a loaded machine

    def probe(self, svc, seconds):
        """Local answers every 50 ms, a registration every 4th time; returns
        the latencies and the count of missing replies."""
        latencies, missing, i = [], 0, 0
        deadline = time.monotonic() + seconds
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(1.0)
            while time.monotonic() < deadline:
                i += 1
                if i % 4 == 0:
                    target, data = svc.port, harness.registration("dev%d" % i, "10.1.0.%d" % (i % 250 + 1), "pw")
                else:
                    target, data = svc.dns_port, raw_query("meter1.tarvik", ident=i & 0xFFFF)
                started = time.monotonic()
                s.sendto(data, ("127.0.0.1", target))
                try:
                    s.recvfrom(4096)
                    latencies.append(time.monotonic() - started)
                except socket.timeout:
                    missing += 1
                time.sleep(self.PROBE_INTERVAL)
        return sorted(latencies), missing

    def silent_unix_clients(self, path, stop, opened):
        """Keeps 64 silent connections open, opening new ones as the service
        lets old ones go."""
        held = []
        while not stop.is_set():
            held = [c for c in held if c.fileno() >= 0]
            while len(held) < 64:
                c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                c.setblocking(False)
                try:
                    c.connect(path)
                except OSError:
                    pass  # the backlog is full: the service is behind
                held.append(c)
                opened[0] += 1
            time.sleep(0.01)
            # Those the service has closed read as at their end.
            for c in held:
                try:
                    if c.recv(1) == b"":
                        c.close()
                except OSError as e:
                    if not isinstance(e, BlockingIOError):
                        c.close()
        for c in held:
            c.close()

    def test_silent_clients_hold_up_nobody(self):
        svc = self.service(conf="pwd pw\n", dns_port=harness.free_udp_port())
        self.assertIsNotNone(svc.register("meter1", "192.168.1.20", pwd="pw"))
        stop = threading.Event()
        opened = [0]
        if harness.WINE:
            # One client that holds the pipe and sends nothing: Wine's
            # programs cannot be made to open many from here.
            probe = os.path.join(os.path.dirname(harness.PROGRAM), "file-probe.exe")
            holder = subprocess.Popen(harness.command(probe, "hold", "\\\\.\\pipe\\Tarvik"),
                                      env=harness.run_env({"TMPDIR": svc.tmp_folder}),
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            self.addCleanup(holder.kill)
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            opened[0] = 1
        else:
            path = os.path.join(svc.runtime_folder, "control")
            flood = threading.Thread(target=self.silent_unix_clients, args=(path, stop, opened), daemon=True)
            flood.start()
        try:
            latencies, missing = self.probe(svc, self.SECONDS)
            # An admin's command gets through while the silent clients go on.
            started = time.monotonic()
            code, out, err = svc.control("status", "--json")
            waited = time.monotonic() - started
        finally:
            stop.set()
            if harness.WINE:
                holder.stdin.close()
                holder.wait(10)
            else:
                flood.join()
        print("\n  [silent clients] %d connections tried, %d probes, %d unanswered, median %.1f ms, max %.1f ms; "
              "status took %.2f s" % (opened[0], len(latencies) + missing, missing,
                                      1000 * latencies[len(latencies) // 2], 1000 * latencies[-1], waited), end=" ")
        self.assertEqual((code, err), (0, ""))
        self.assertGreaterEqual(json.loads(out)["counters"]["registrations_stored"], 2)
        self.assertEqual(missing, 0)
        if not harness.WINE:
            self.assertGreater(opened[0], 64)
            self.assertLess(latencies[-1], self.LATE)
        # Under Wine the pipe thread lets the silent client go after 2 s.
        self.assertLess(waited, 5.0)
        self.assertEqual(svc.stop(), 0)


if __name__ == "__main__":
    unittest.main()
