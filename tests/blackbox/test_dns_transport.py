"""The DNS port's transports against the real binary: TCP beside UDP, answers
from the address that was asked, forwards to an upstream server that refuses
or never answers, and a flood of queries beside good ones."""
import os
import re
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import harness
import test_dns as dns

CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime + stime of a process, from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def tcp_connect(port, timeout=3.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def framed(message):
    return struct.pack(">H", len(message)) + message


def read_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            return None  # closed
        data += chunk
    return data


def read_message(s):
    """One length-prefixed message, or None when the connection closed."""
    prefix = read_exactly(s, 2)
    if prefix is None:
        return None
    return read_exactly(s, struct.unpack(">H", prefix)[0])


def closed_by_peer(s, timeout):
    """True when the peer closes `s` within `timeout` (reads stray data away)."""
    s.settimeout(timeout)
    try:
        while s.recv(65536):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def rcode(reply):
    return reply[3] & 0x0F


def answer_count(reply):
    return struct.unpack(">H", reply[6:8])[0]


def spoofed_udp(source, destination, payload):
    """An IPv4/UDP packet from `source` to `destination` ((address, port)
    each), for a raw socket; the kernel fills in the IP checksum."""
    udp = struct.pack(">HHHH", source[1], destination[1], 8 + len(payload), 0) + payload
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(source[0]), socket.inet_aton(destination[0]))
    return ip + udp


class DnsTransportTest(harness.ServiceTest):

    def dns_service(self, conf="", env=None):
        dns_port = harness.free_udp_port()
        svc = self.service(conf="tarvik-server-ip 10.0.0.53\n" + conf, dns_port=dns_port,
                           start=False)
        svc.start(env=env)
        return svc

    def register(self, svc, name, address):
        self.assertIsNotNone(svc.register(name, address), "registration not acknowledged")

    def upstream(self, records):
        address = harness.loopback_address()
        if not dns.can_bind_port_53(address):
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        server = dns.Dnsmasq(address, records)
        self.addCleanup(server.stop)
        return server

    def connection(self, port):
        s = tcp_connect(port)
        self.addCleanup(s.close)
        return s

    # --- TCP -----------------------------------------------------------------

    def test_tcp_answers_several_queries_per_connection_in_order(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")

        s = self.connection(svc.dns_port)
        queries = [dns.raw_query("dev.tarvik", ident=1), dns.raw_query("nobody.tarvik", ident=2),
                   dns.raw_query("DEV.tarvik", ident=3), dns.raw_query("dev.tarvik", ident=4)]
        # All in one write; then one more sent a byte at a time, so that its
        # length prefix and body arrive in pieces.
        s.sendall(b"".join(framed(q) for q in queries))
        for byte in framed(dns.raw_query("dev.tarvik", ident=5)):
            s.send(bytes([byte]))
            time.sleep(0.01)
        replies = [read_message(s) for _ in range(5)]
        self.assertNotIn(None, replies, "connection closed early")
        self.assertEqual([struct.unpack(">H", r[:2])[0] for r in replies], [1, 2, 3, 4, 5])
        self.assertEqual([rcode(r) for r in replies], [0, 3, 0, 0, 0])
        self.assertEqual(replies[0][-4:], bytes([10, 0, 0, 53]))  # glue of the positive answer
        self.assertIn(bytes([192, 168, 1, 20]), replies[4])

        # The connection stays open for more; dig's own TCP client agrees.
        s.sendall(framed(dns.raw_query("dev.tarvik", ident=6)))
        self.assertEqual(read_message(s)[:2], b"\x00\x06")
        out = subprocess.run(["dig", "+tcp", "+tries=1", "+time=3", "-p", str(svc.dns_port),
                              "@127.0.0.1", "dev.tarvik", "nobody.tarvik"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20).stdout.decode()
        self.assertRegex(out, r"(?s)status: NOERROR.*dev\.tarvik\.\s+32\s+IN\s+A\s+192\.168\.1\.20"
                              r".*status: NXDOMAIN", out)
        self.assertIn("(TCP)", out)

    def test_tcp_client_that_reads_late_gets_every_answer_in_order(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(s.close)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # fills at once
        s.connect(("127.0.0.1", svc.dns_port))
        # About 6 MB of answers: beyond what the kernel queues for a socket
        # (4 MB at most here), so the service meets a full connection.
        count = 60000
        queries = b"".join(framed(dns.raw_query("dev.tarvik", ident=i)) for i in range(count))
        # The service stops taking queries while its answers wait, so the
        # client's own send must not hold up its reading.
        sender = threading.Thread(target=s.sendall, args=(queries,), daemon=True)
        sender.start()
        time.sleep(1.0)
        s.settimeout(5.0)
        idents = []
        for _ in range(count):
            reply = read_message(s)
            self.assertIsNotNone(reply, "closed after %d answers" % len(idents))
            idents.append(struct.unpack(">H", reply[:2])[0])
        self.assertEqual(idents, list(range(count)))
        sender.join(5.0)
        self.assertFalse(sender.is_alive())

    def test_tcp_clients_limited_to_64_and_closed_when_idle(self):
        svc = self.dns_service()
        query = framed(dns.raw_query("nobody.tarvik"))
        clients = []
        for i in range(64):
            s = self.connection(svc.dns_port)
            s.sendall(query)  # each one active once, in this order
            self.assertIsNotNone(read_message(s), "client %d not answered" % i)
            clients.append(s)
        # The first becomes active again: the longest idle is now the second.
        clients[0].sendall(query)
        self.assertIsNotNone(read_message(clients[0]))

        newcomer = self.connection(svc.dns_port)
        newcomer.sendall(query)
        self.assertIsNotNone(read_message(newcomer), "the 65th client is served")
        self.assertTrue(closed_by_peer(clients[1], 2.0), "the longest idle client stays open")
        for i in (0, 2, 63):
            clients[i].sendall(query)
            self.assertIsNotNone(read_message(clients[i]), "client %d was closed" % i)

        # 10 s without a word closes a connection; not long before.
        quiet = self.connection(svc.dns_port)
        opened = time.monotonic()
        self.assertFalse(closed_by_peer(quiet, 9.0), "closed before 10 s of quiet")
        self.assertTrue(closed_by_peer(quiet, 3.0), "still open after 12 s of quiet")
        self.assertGreater(time.monotonic() - opened, 9.5)
        self.assertIsNone(svc.process.poll())

    def test_truncated_relayed_answer_fetched_whole_over_tcp(self):
        # 40 addresses: about 700 bytes, more than a plain (non-EDNS) UDP
        # answer may carry.
        records = [("many.example.test", "192.0.2.%d" % i) for i in range(1, 41)]
        upstream = self.upstream(records)
        svc = self.dns_service("dns-server-ip %s\n" % upstream.address)
        self.register(svc, "dev", "192.168.1.20")

        def ask(*options):
            return subprocess.run(["dig", "+noedns", "+tries=1", "+time=3", "-p", str(svc.dns_port),
                                   "@127.0.0.1", "many.example.test"] + list(options),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=20).stdout.decode()

        # Over UDP the upstream's truncated answer arrives as it is, TC set.
        out = ask("+ignore")
        self.assertRegex(out, r";; flags: [a-z ]*\btc\b", out)
        # dig then asks again over TCP and gets every address.
        out = ask()
        self.assertIn("Truncated, retrying in TCP mode", out)
        self.assertIn("(TCP)", out)
        self.assertEqual(len(re.findall(r"many\.example\.test\.\s+\d+\s+IN\s+A\s+192\.0\.2\.", out)),
                         40, out)

        # Over one TCP connection, relayed and local answers keep their order.
        s = self.connection(svc.dns_port)
        s.sendall(framed(dns.raw_query("many.example.test", ident=1)) +
                  framed(dns.raw_query("dev.tarvik", ident=2)))
        first, second = read_message(s), read_message(s)
        self.assertEqual(first[:2], b"\x00\x01")
        self.assertEqual(answer_count(first), 40)
        self.assertEqual(second[:2], b"\x00\x02")
        self.assertEqual(answer_count(second), 1)

    def slow_tcp_upstream(self):
        """A TCP server on port 53 that answers every query with one A record
        (192.0.2.1) after 200 ms, or after 3 s for names starting "slow";
        returns its address."""
        address = harness.loopback_address()
        if not dns.can_bind_port_53(address):
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        server = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import socket, struct, sys, threading, time
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((sys.argv[1], 53))
            listener.listen(256)
            print("ready", flush=True)

            def serve(c):
                with c:
                    while True:
                        head = c.recv(2, socket.MSG_WAITALL)
                        if len(head) < 2:
                            return
                        q = c.recv(struct.unpack(">H", head)[0], socket.MSG_WAITALL)
                        time.sleep(3.0 if q[13:17] == b"slow" else 0.2)
                        a = q[:2] + b"\\x81\\x80" + q[4:6] + b"\\x00\\x01\\x00\\x00\\x00\\x00" + q[12:]
                        a += b"\\xc0\\x0c\\x00\\x01\\x00\\x01\\x00\\x00\\x00\\x3c\\x00\\x04\\xc0\\x00\\x02\\x01"
                        c.sendall(struct.pack(">H", len(a)) + a)

            while True:
                c, _ = listener.accept()
                threading.Thread(target=serve, args=(c,), daemon=True).start()
            """), address], stdout=subprocess.PIPE)
        self.addCleanup(lambda: (server.kill(), server.wait()))
        self.assertEqual(server.stdout.readline().strip(), b"ready")
        return address

    def test_tcp_clients_waiting_for_relayed_answers_keep_their_places(self):
        svc = self.dns_service("dns-server-ip %s\n" % self.slow_tcp_upstream())

        # Every place waits for a relayed answer: a newcomer is closed at
        # once, and none of them loses its place to it.
        waiting = []
        for i in range(64):
            c = self.connection(svc.dns_port)
            c.sendall(framed(dns.raw_query("slow%d.example.test" % i, ident=i)))
            waiting.append(c)
        time.sleep(0.3)
        newcomer = self.connection(svc.dns_port)
        self.assertTrue(closed_by_peer(newcomer, 1.0), "newcomer kept while no place is free")
        for i, c in enumerate(waiting):
            c.settimeout(5.0)
            reply = read_message(c)
            self.assertIsNotNone(reply, "client %d lost its place" % i)
            self.assertEqual((struct.unpack(">H", reply[:2])[0], rcode(reply)), (i, 0))
            c.close()

        # 500 connections a second, each held for a moment, while 20 relayed
        # queries (answered upstream after 200 ms) are asked one by one.
        seconds = 5.0
        churn = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import collections, socket, sys, time
            port, seconds, rate = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
            held = collections.deque()
            start = time.monotonic()
            made = 0
            while time.monotonic() - start < seconds:
                due = int((time.monotonic() - start) * rate)
                while made < due:
                    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    s.setblocking(False)
                    s.connect_ex(("127.0.0.1", port))
                    held.append((time.monotonic(), s))
                    made += 1
                while held and held[0][0] < time.monotonic() - 0.3:
                    held.popleft()[1].close()
                time.sleep(0.002)
            print(made, flush=True)
            """), str(svc.dns_port), str(seconds), "500"], stdout=subprocess.PIPE)
        self.addCleanup(lambda: (churn.kill(), churn.wait()))
        results = {}

        def relayed(i):
            try:
                c = tcp_connect(svc.dns_port)
                with c:
                    c.sendall(framed(dns.raw_query("name%d.example.test" % i, ident=100 + i)))
                    c.settimeout(4.0)
                    results[i] = read_message(c)
            except OSError as e:
                results[i] = e

        askers = []
        for i in range(20):
            time.sleep(seconds / 22)
            askers.append(threading.Thread(target=relayed, args=(i,), daemon=True))
            askers[-1].start()
        for t in askers:
            t.join(6.0)
        made = int(churn.stdout.readline() or 0)
        answered = [i for i, r in results.items()
                    if isinstance(r, bytes) and r[:2] == struct.pack(">H", 100 + i) and rcode(r) == 0]
        print("\n  [churn] %d connections in %.0f s; %d of 20 relayed queries answered"
              % (made, seconds, len(answered)), end=" ")
        self.assertGreater(made, 0.8 * 500 * seconds)
        self.assertEqual(sorted(answered), list(range(20)), results)
        self.assertIsNone(svc.process.poll())

    def test_tcp_idle_time_counts_from_the_last_whole_query(self):
        svc = self.dns_service()
        query = framed(dns.raw_query("ns.tarvik"))
        steady = self.connection(svc.dns_port)
        trickler = self.connection(svc.dns_port)
        # Empty: a zero-length message closes the connection, after the
        # answer to what came before it; what follows is not taken.
        empty = self.connection(svc.dns_port)
        empty.sendall(query + b"\x00\x00" + query)
        empty.settimeout(2.0)
        self.assertIsNotNone(read_message(empty))
        self.assertTrue(closed_by_peer(empty, 2.0), "open after a zero-length message")

        trickler.sendall(query)
        trickler.settimeout(2.0)
        self.assertIsNotNone(read_message(trickler))
        last_whole = time.monotonic()
        partial = framed(dns.raw_query("ns.tarvik", ident=9))
        closed_after = None
        start = time.monotonic()
        # A query every 3 s keeps one open; a byte every 3 s never finishing
        # a query does not keep the other.
        for step in range(5):
            steady.sendall(query)
            steady.settimeout(2.0)
            self.assertIsNotNone(read_message(steady), "steady client closed after %d s" % (3 * step))
            if closed_after is None:
                try:
                    trickler.send(partial[step:step + 1])
                except OSError:
                    closed_after = time.monotonic() - last_whole
            if closed_after is None and closed_by_peer(trickler, max(0.0, start + 3 * (step + 1) - time.monotonic())):
                closed_after = time.monotonic() - last_whole
            else:
                time.sleep(max(0.0, start + 3 * (step + 1) - time.monotonic()))
        self.assertIsNotNone(closed_after, "a trickling client is never idle")
        self.assertGreater(closed_after, 9.5)
        self.assertLess(closed_after, 12.5)

    def test_tcp_streams_do_not_hold_up_udp_answers(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        seconds = 4.0
        # 48 clients, each writing queries as fast as the service takes them
        # and reading the answers away.
        streams = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import selectors, socket, struct, sys, time
            port, seconds = int(sys.argv[1]), float(sys.argv[2])
            q = b"\\x12\\x34\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x03dev\\x06tarvik\\x00\\x00\\x01\\x00\\x01"
            block = (struct.pack(">H", len(q)) + q) * 2000
            sel = selectors.DefaultSelector()
            for _ in range(48):
                s = socket.create_connection(("127.0.0.1", port))
                s.setblocking(False)
                sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, [0])
            received = 0
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                for key, events in sel.select(0.1):
                    s, state = key.fileobj, key.data
                    if events & selectors.EVENT_READ:
                        try:
                            received += len(s.recv(1 << 20))
                        except BlockingIOError:
                            pass
                    if events & selectors.EVENT_WRITE:
                        try:
                            state[0] = (state[0] + s.send(block[state[0]:])) % len(block)
                        except BlockingIOError:
                            pass
            print(received, flush=True)
            """), str(svc.dns_port), str(seconds)], stdout=subprocess.PIPE)
        self.addCleanup(lambda: (streams.kill(), streams.wait()))
        time.sleep(0.5)
        asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(asker.close)
        latencies, unanswered = [], 0
        end = time.monotonic() + seconds - 1.0
        ident = 0
        while time.monotonic() < end:
            ident += 1
            sent_at = time.monotonic()
            asker.sendto(dns.raw_query("dev.tarvik", ident=ident), ("127.0.0.1", svc.dns_port))
            asker.settimeout(1.0)
            try:
                while asker.recv(512)[:2] != struct.pack(">H", ident):
                    pass
                latencies.append(time.monotonic() - sent_at)
            except socket.timeout:
                unanswered += 1
            time.sleep(max(0.0, sent_at + 0.05 - time.monotonic()))
        streamed = int(streams.stdout.readline() or 0)
        latencies.sort()
        print("\n  [48 TCP streams] %.1f MB of answers streamed; UDP probes %d, unanswered %d, "
              "median %.1f ms, max %.1f ms"
              % (streamed / 1e6, len(latencies) + unanswered, unanswered,
                 1000 * latencies[len(latencies) // 2], 1000 * latencies[-1]), end=" ")
        self.assertGreater(streamed, 1e6, "the streams were not served")
        self.assertEqual(unanswered, 0)
        # Lenient: the machine running the tests is shared; the figures are
        # printed for the record.
        if not harness.WINE:
            self.assertLess(latencies[-1], 0.25)

    # --- Forwards that fail ----------------------------------------------------

    def test_refusing_upstream_gets_servfail_at_once_without_spinning(self):
        address = harness.loopback_address()  # nothing listens there
        svc = self.dns_service("dns-server-ip %s\n" % address)
        self.register(svc, "meter1", "192.168.1.20")
        pid = svc.process.pid
        time.sleep(0.3)
        if not harness.WINE:
            baseline = dns.open_fds(pid)

        asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(asker.close)
        asker.settimeout(2.0)
        cpu_before = cpu_seconds(pid)
        asker.sendto(dns.raw_query("www.example.test", ident=7), ("127.0.0.1", svc.dns_port))
        s = self.connection(svc.dns_port)
        # A relayed query with a local one pipelined behind it.
        s.sendall(framed(dns.raw_query("www.example.test", ident=9)) +
                  framed(dns.raw_query("meter1.tarvik", ident=10)))

        # TCP: the refused connect answers SERVFAIL with the question, and the
        # connection goes on with the query behind, in order.
        s.settimeout(2.0)
        first = read_message(s)
        self.assertIsNotNone(first, "client closed after the refused forward")
        self.assertEqual((first[:2], rcode(first)), (b"\x00\x09", 2))
        self.assertIn(b"\x03www\x07example\x04test\x00", first)
        second = read_message(s)
        self.assertEqual((second[:2], rcode(second), answer_count(second)), (b"\x00\x0a", 0, 1))
        refused = 10061 if harness.WINE else 111  # WSAECONNREFUSED / ECONNREFUSED
        self.assertTrue(svc.wait_log("dns i->s tcp error: %d" % refused, 2.0), svc.log())
        if harness.WINE:
            # Wine reports no "port unreachable" to a UDP socket: that forward
            # waits out its 5 s, and then gets its SERVFAIL.
            print("\n  [wine] UDP refusal not reported by Wine; descriptor count not checked: "
                  + dns.WINE_FD_REASON, end=" ")
            asker.settimeout(7.0)
        reply = asker.recv(512)
        self.assertEqual((reply[:2], rcode(reply)), (b"\x00\x07", 2))
        if not harness.WINE:
            self.assertTrue(svc.wait_log("dns i->s recvfrom error: 111", 1.0), svc.log())
            self.assertTrue(harness.wait_for(lambda: dns.open_fds(pid) - 1 == baseline, 1.0),
                            "forward sockets not closed at once")
        # Meanwhile the loop waits instead of spinning on the error.
        time.sleep(3.0)
        used = cpu_seconds(pid) - cpu_before
        self.assertLess(used, 0.3, "the service used %.2f s of CPU in 3 s" % used)
        self.assertIsNone(svc.process.poll())

    def test_silent_upstream_gets_servfail_after_its_5_s(self):
        address = harness.loopback_address()
        if not dns.can_bind_port_53(address):
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        # Takes queries over UDP and connections over TCP, answers nothing.
        silent_udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(silent_udp.close)
        silent_udp.bind((address, 53))
        silent_tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(silent_tcp.close)
        silent_tcp.bind((address, 53))
        silent_tcp.listen(8)
        svc = self.dns_service("dns-server-ip %s\n" % address)
        started = time.monotonic()
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(udp.close)
        udp.sendto(dns.raw_query("www.example.test", ident=21), ("127.0.0.1", svc.dns_port))
        s = self.connection(svc.dns_port)
        s.sendall(framed(dns.raw_query("www.example.test", ident=22)))
        udp.settimeout(8.0)
        reply = udp.recv(512)
        waited = time.monotonic() - started
        self.assertEqual((reply[:2], rcode(reply)), (b"\x00\x15", 2))
        self.assertGreater(waited, 4.5)
        self.assertLess(waited, 7.0)
        s.settimeout(3.0)
        reply = read_message(s)
        self.assertIsNotNone(reply)
        self.assertEqual((reply[:2], rcode(reply)), (b"\x00\x16", 2))
        # The connection stays open for the next query.
        s.sendall(framed(dns.raw_query("ns.tarvik", ident=23)))
        self.assertEqual(read_message(s)[:2], b"\x00\x17")

    def test_queries_sent_all_at_once_are_all_answered(self):
        # A burst from many resolvers at once is queued while the loop works
        # through it, not dropped.
        with open("/proc/sys/net/core/rmem_max") as f:
            cap = int(f.read())
        if cap < 2 << 20:
            self.skipTest("the OS caps socket receive buffers at %d bytes (net.core.rmem_max)" % cap)
        svc = self.dns_service()
        self.register(svc, "meter1", "192.168.1.20")
        count = 1500
        answered = set()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            for i in range(count):
                s.sendto(dns.raw_query("meter1.tarvik", ident=i), ("127.0.0.1", svc.dns_port))
            s.settimeout(5.0)
            try:
                while len(answered) < count:
                    reply = s.recv(512)
                    if rcode(reply) == 0 and answer_count(reply) == 1:
                        answered.add(struct.unpack(">H", reply[:2])[0])
            except socket.timeout:
                pass
        self.assertEqual(len(answered), count, "answered %d of %d" % (len(answered), count))

    def test_flood_to_a_silent_upstream_does_not_delay_good_answers(self):
        address = harness.loopback_address()
        if not dns.can_bind_port_53(address):
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        # The upstream answers good.example.test and ignores everything else.
        upstream = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import socket, sys
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((sys.argv[1], 53))
            print("ready", flush=True)
            while True:
                q, peer = s.recvfrom(4096)
                if b"\\x04good\\x07example" in q:
                    # The query with QR and RA set, one A record 192.0.2.1.
                    a = q[:2] + b"\\x81\\x80" + q[4:6] + b"\\x00\\x01\\x00\\x00\\x00\\x00" + q[12:]
                    a += b"\\xc0\\x0c\\x00\\x01\\x00\\x01\\x00\\x00\\x00\\x3c\\x00\\x04\\xc0\\x00\\x02\\x01"
                    s.sendto(a, peer)
            """), address], stdout=subprocess.PIPE)
        self.addCleanup(lambda: (upstream.kill(), upstream.wait()))
        self.assertEqual(upstream.stdout.readline().strip(), b"ready")
        svc = self.dns_service("dns-server-ip %s\n" % address)
        pid = svc.process.pid
        time.sleep(0.3)
        if not harness.WINE:
            baseline = dns.open_fds(pid)

        seconds, rate = 10, 2000
        flood = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import socket, struct, sys, time
            port, seconds, rate = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            start = time.monotonic()
            sent = 0
            while time.monotonic() - start < seconds:
                due = int((time.monotonic() - start) * rate)
                while sent < due:
                    q = struct.pack(">HHHHHH", sent & 0xFFFF, 0x100, 1, 0, 0, 0)
                    q += b"\\x04junk%06d\\x04test\\x00\\x00\\x01\\x00\\x01" % sent
                    try:
                        s.sendto(q, ("127.0.0.1", port))
                    except OSError:
                        pass
                    sent += 1
                time.sleep(0.002)
            print(sent, flush=True)
            """), str(svc.dns_port), str(seconds), str(rate)], stdout=subprocess.PIPE)
        self.addCleanup(lambda: (flood.kill(), flood.wait()))

        asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(asker.close)
        late = []
        slowest = 0.0
        asked = 0
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            ident = asked & 0xFFFF
            sent_at = time.monotonic()
            asker.sendto(dns.raw_query("good.example.test", ident=ident), ("127.0.0.1", svc.dns_port))
            asked += 1
            got = None
            asker.settimeout(0.1)
            try:
                while got is None:
                    reply = asker.recv(4096)
                    if reply[:2] == struct.pack(">H", ident):
                        got = time.monotonic() - sent_at
                        asker.settimeout(max(0.001, 0.1 - got))
            except socket.timeout:
                pass
            if got is None:
                late.append(ident)
            else:
                slowest = max(slowest, got)
            time.sleep(max(0.0, sent_at + 0.1 - time.monotonic()))
        sent = int(flood.stdout.readline() or 0)
        flood_end = time.monotonic()
        self.assertGreater(sent, 0.9 * seconds * rate, "the flood was not sent in full")
        self.assertIsNone(svc.process.poll())
        if harness.WINE:
            # Under Wine every wait on the ~4,100 sockets, and every socket
            # made or closed, goes through wineserver: tens of milliseconds
            # a wait, and a relayed answer needs two. On an idle machine the
            # bound holds; beside other work it does not, so the figures are
            # shown, not judged.
            print("\n  [wine] %d of %d good answers later than 100 ms (slowest answered: %d ms)"
                  % (len(late), asked, slowest * 1000), end=" ")
            self.skipTest("under Wine the bound depends on wineserver's share of the machine")
        self.assertEqual(late, [], "%d of %d good answers later than 100 ms" % (len(late), asked))
        # Forwards live 5 s; the next sweep (at most 0.5 s later) closes them.
        harness.wait_for(lambda: dns.open_fds(pid) <= baseline, flood_end + 6.0 - time.monotonic())
        self.assertEqual(dns.open_fds(pid), baseline,
                         "%.1f s after the flood" % (time.monotonic() - flood_end))

    def test_datagram_from_its_own_port_starts_no_loop(self):
        try:
            raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        except PermissionError:
            self.skipTest("a raw socket needs root")
        self.addCleanup(raw.close)
        svc = self.dns_service("verbose\n")
        self.register(svc, "dev", "192.168.1.20")
        own = ("127.0.0.1", svc.dns_port)
        cpu_before = cpu_seconds(svc.process.pid)
        # A query that seems to come from the DNS port itself: its answer
        # goes to the service, which must not answer that answer in turn.
        raw.sendto(spoofed_udp(own, own, dns.raw_query("dev.tarvik", ident=0x51)), own)
        # And a response from there: nothing at all.
        raw.sendto(spoofed_udp(own, own, dns.raw_query("dev.tarvik", ident=0x52, flags=0x8100)), own)
        time.sleep(2.0)
        heard = [m for m in svc.log_messages() if m == "dns query: 'dev.tarvik'"]
        self.assertEqual(len(heard), 3, "the query, its own answer and the response; no more")
        used = cpu_seconds(svc.process.pid) - cpu_before
        self.assertLess(used, 0.3, "the service used %.2f s of CPU in 2 s" % used)

    # --- Addresses -----------------------------------------------------------

    def test_answer_leaves_from_the_address_that_was_asked(self):
        upstream, address = dns.DnsTest.plain_upstream(self)
        svc = self.dns_service("dns-server-ip %s\n" % address)
        self.register(svc, "dev", "192.168.1.20")
        asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(asker.close)
        asker.settimeout(2.0)

        asker.sendto(dns.raw_query("dev.tarvik"), ("127.0.0.2", svc.dns_port))
        _, local_source = asker.recvfrom(4096)
        # A relayed answer too: it leaves from the address the query went to.
        asker.sendto(dns.raw_query("www.example.test"), ("127.0.0.3", svc.dns_port))
        upstream.settimeout(2.0)
        query, forward = upstream.recvfrom(4096)
        upstream.sendto(query[:2] + b"\x81\x80" + query[4:], forward)
        _, relayed_source = asker.recvfrom(4096)
        if harness.WINE:
            # Wine receives the destination (IP_PKTINFO with WSARecvMsg) but
            # its WSASendMsg ignores the source it is given.
            print("\n  [wine] answers came from %s and %s" % (local_source, relayed_source), end=" ")
            self.skipTest("Wine's WSASendMsg does not set the source address")
        self.assertEqual(local_source, ("127.0.0.2", svc.dns_port))
        self.assertEqual(relayed_source, ("127.0.0.3", svc.dns_port))

    def test_unreachable_reports_switched_off_on_windows(self):
        if not harness.WINE:
            self.skipTest("POSIX reports a \"port unreachable\" only to connected UDP sockets")
        # Wine never fails a receive with 10054, so what can be shown is that
        # the option is set: its trace names each socket as it is bound and
        # as SIO_UDP_CONNRESET is applied to it.
        svc = self.dns_service(env={"WINEDEBUG": "-all,trace+winsock"})
        self.assertEqual(svc.stop(), 0)
        trace = svc.stderr()
        bound = {}
        for handle, port in re.findall(r"bind socket (0x[0-9a-f]+), addr \{ family AF_INET, "
                                       r"address 0\.0\.0\.0, port (\d+) \}", trace):
            bound.setdefault(int(port), handle)  # the UDP socket is bound first
        switched = set(re.findall(r"WSAIoctl socket (0x[0-9a-f]+), SIO_UDP_CONNRESET", trace))
        self.assertIn(bound.get(svc.port), switched, "registration socket")
        self.assertIn(bound.get(svc.dns_port), switched, "DNS socket")


if __name__ == "__main__":
    unittest.main()
