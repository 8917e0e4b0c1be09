"""The service at the machine's descriptor limits: a flood of queries to an
upstream server that never answers, TCP clients arriving and registrations,
all at once, under `prlimit --nofile`; and a listener whose accept fails."""
import re
import socket
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import harness
import test_dns as dns
from test_dns_transport import cpu_seconds, framed, rcode, read_message, tcp_connect

NATIVE_ONLY = ("prlimit sets a Linux process's descriptor limit; the Windows build has none "
               "to set and takes the wait set's capacity (the caps that gives are in the unit test)")

# Sends queries for names the upstream server is asked for, at `rate` a
# second for `seconds`, and keeps reading the replies until `linger` seconds
# after the last; prints: sent, answered, of those SERVFAIL.
FLOOD = textwrap.dedent("""
    import select, socket, struct, sys, time
    port, seconds, rate, linger = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    s.setblocking(False)
    answered, servfail, sent = set(), 0, 0
    start = time.monotonic()
    while True:
        elapsed = time.monotonic() - start
        if elapsed >= seconds + linger or (elapsed >= seconds and len(answered) == sent):
            break
        due = min(int(elapsed * rate), int(seconds * rate))
        while sent < due:
            q = struct.pack(">HHHHHH", sent & 0xFFFF, 0x100, 1, 0, 0, 0)
            q += b"\\x0amiss%06d\\x04test\\x00\\x00\\x01\\x00\\x01" % sent
            try:
                s.sendto(q, ("127.0.0.1", port))
            except OSError:
                pass
            sent += 1
        select.select([s], [], [], 0.002)
        while True:
            try:
                r = s.recv(4096)
            except BlockingIOError:
                break
            ident = struct.unpack(">H", r[:2])[0]
            if ident not in answered:
                answered.add(ident)
                servfail += (r[3] & 0x0F) == 2
    print(sent, len(answered), servfail, flush=True)
    """)


@unittest.skipIf(harness.WINE, NATIVE_ONLY)
class DescriptorLimit(harness.ServiceTest):

    def limited_service(self, limit, upstream):
        svc = self.service(conf="tarvik-server-ip 10.0.0.53\ndns-server-ip %s\n" % upstream,
                           dns_port=harness.free_udp_port(),
                           start=False)
        svc.start(wrapper=("prlimit", "--nofile=%d:%d" % (limit, limit), "--"))
        return svc

    def silent_upstream(self):
        """A UDP socket on port 53 that takes queries and never answers."""
        address = harness.loopback_address()
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(silent.close)
        try:
            silent.bind((address, 53))
        except OSError:
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        silent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        return address

    def test_flood_at_each_limit_loses_nothing_acknowledged(self):
        upstream = self.silent_upstream()
        caps_line = re.compile(r"dns: at most (\d+) pending forwards, (\d+) TCP clients "
                               r"\(descriptor limit (\d+)\)")
        # Long enough that the forwards reach the cap at every limit here.
        seconds, rate = 4.5, 1000
        for limit in (64, 1024, 4096):
            with self.subTest(limit=limit):
                svc = self.limited_service(limit, upstream)
                caps = caps_line.search(svc.stderr())
                self.assertIsNotNone(caps, svc.stderr())
                self.assertEqual(int(caps.group(3)), limit)
                forwards, clients = int(caps.group(1)), int(caps.group(2))
                self.assertGreater(forwards, 0)
                self.assertGreater(clients, 0)
                # Everything the DNS side may hold, and a reserve beside it.
                self.assertLessEqual(forwards + 2 * clients + 16, limit)

                flood = subprocess.Popen([sys.executable, "-c", FLOOD, str(svc.dns_port),
                                          str(seconds), str(rate), "7.0"], stdout=subprocess.PIPE)
                self.addCleanup(lambda p=flood: (p.kill(), p.wait()))
                # Meanwhile: 20 TCP clients a second, each asking a local
                # name and staying connected; and a registration every 100 ms.
                tcp_asked, tcp_answered, tcp_failures = [0], [0], []
                held = []
                self.addCleanup(lambda: [c.close() for c in held])

                def tcp_clients():
                    end = time.monotonic() + seconds
                    while time.monotonic() < end:
                        tcp_asked[0] += 1
                        try:
                            c = tcp_connect(svc.dns_port, timeout=2.0)
                            held.append(c)
                            c.sendall(framed(dns.raw_query("ns.tarvik", ident=tcp_asked[0])))
                            reply = read_message(c)
                            if reply is not None and rcode(reply) == 0:
                                tcp_answered[0] += 1
                            else:
                                tcp_failures.append(reply)
                        except OSError as e:
                            tcp_failures.append(e)
                        time.sleep(0.05)

                connector = threading.Thread(target=tcp_clients, daemon=True)
                connector.start()
                acknowledged = []
                for i in range(int(seconds * 10)):
                    entry = ("dev%d" % i, "192.168.7.%d" % (i + 1))
                    if svc.register(*entry, timeout=1.0) is not None:
                        acknowledged.append(entry)
                    time.sleep(0.1)
                connector.join(10)
                sent, answered, servfail = (int(x) for x in flood.stdout.readline().split())

                # Idle again: the loop waits rather than spins.
                cpu_before = cpu_seconds(svc.process.pid)
                time.sleep(2.0)
                idle_cpu = cpu_seconds(svc.process.pid) - cpu_before

                def hosts_lines():
                    return set((svc.hosts() or b"").decode("latin-1").splitlines())

                harness.wait_for(lambda: all("%s\t%s" % (a, n) in hosts_lines()
                                             for n, a in acknowledged), 3.0)
                lines, log = hosts_lines(), svc.log_messages()
                in_hosts = [(n, a) for n, a in acknowledged if "%s\t%s" % (a, n) in lines]
                in_log = [(n, a) for n, a in acknowledged if "127.0.0.1: %s %s" % (n, a) in log]
                print("\n  [limit %d] caps %d forwards, %d TCP clients; UDP queries sent %d, "
                      "answered %d, SERVFAIL %d; TCP clients %d, answered %d; registrations "
                      "acknowledged %d, in log %d, in hosts %d; idle CPU %.3f s in 2 s"
                      % (limit, forwards, clients, sent, answered, servfail, tcp_asked[0],
                         tcp_answered[0], len(acknowledged), len(in_log), len(in_hosts), idle_cpu),
                      end=" ")
                # Once seen ending with 0 right after its start: its log says why.
                self.assertIsNone(svc.process.poll(), "the service ended (exit %s); stderr:\n%s\nlog:\n%s"
                                  % (svc.process.poll(), svc.stderr(), svc.log()))
                self.assertGreater(sent, 0.9 * seconds * rate)
                # Every asker has an answer: none can come from the upstream.
                self.assertEqual((answered, servfail), (sent, sent))
                self.assertEqual(tcp_answered[0], tcp_asked[0], tcp_failures)
                self.assertGreater(len(acknowledged), 0.8 * seconds * 10)
                self.assertEqual(in_log, acknowledged)
                self.assertEqual(in_hosts, acknowledged)
                self.assertNotIn("Too many open files", svc.log())
                self.assertNotIn("socket error: 24", svc.log())
                self.assertLess(idle_cpu, 0.3)
                svc.stop()

    def test_failing_accept_leaves_the_loop_waiting(self):
        svc = self.service(dns_port=harness.free_udp_port())
        pid = svc.process.pid
        # No descriptor left at all: every accept fails (EMFILE) while the
        # newcomers wait in the listener's queue, keeping it readable.
        open_now = dns.open_fds(pid)
        subprocess.run(["prlimit", "--pid", str(pid), "--nofile=%d:" % open_now],
                       check=True)
        waiting = [tcp_connect(svc.dns_port) for _ in range(5)]
        self.addCleanup(lambda: [c.close() for c in waiting])
        waiting[0].sendall(framed(dns.raw_query("ns.tarvik", ident=77)))
        time.sleep(0.3)
        cpu_before = cpu_seconds(pid)
        time.sleep(2.0)
        used = cpu_seconds(pid) - cpu_before
        print("\n  [accept failing] CPU %.3f s in 2 s" % used, end=" ")
        self.assertLess(used, 0.3, "the loop used %.2f s of CPU in 2 s" % used)
        # Recorded (on stderr: the log file cannot be opened either).
        self.assertIn("dns: TCP accept error: 24", svc.stderr())
        # Room again: the waiting client is taken and answered.
        subprocess.run(["prlimit", "--pid", str(pid), "--nofile=1024:"], check=True)
        waiting[0].settimeout(3.0)
        reply = read_message(waiting[0])
        self.assertIsNotNone(reply)
        self.assertEqual(reply[:2], b"\x00\x4d")


if __name__ == "__main__":
    unittest.main()
