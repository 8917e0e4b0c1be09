"""The DNS port of the running service, asked by real clients (dig, raw
sockets), with a real upstream server (dnsmasq) or a silent one on a loopback
address, port 53."""
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import harness
from harness import loopback_address


def dig(port, name, qtype="A", qclass="IN", timeout=2, edns=True, options=()):
    """Asks the service with dig over UDP; returns (status, flags, sections,
    output). Like most resolvers, dig sends an EDNS OPT record unless told not
    to."""
    out = subprocess.run(
        ["dig", "+edns" if edns else "+noedns", "+notcp", "+tries=1", "+time=%d" % timeout,
         "-p", str(port), "@127.0.0.1", "-c", qclass, "-t", qtype, "-q", name] + list(options),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout + 10).stdout.decode()
    status = re.search(r"status: (\w+)", out)
    flags = re.search(r";; flags: ([a-z ]*);", out)
    sections = {}
    current = None
    for line in out.splitlines():
        header = re.match(r";; (\w+) SECTION:", line)
        if header:
            current = sections.setdefault(header.group(1), [])
        elif not line.strip():
            current = None
        elif current is not None and not line.startswith(";"):
            current.append(tuple(line.split()))
    return (status.group(1) if status else None,
            set(flags.group(1).split()) if flags else set(), sections, out)


def kdig(port, name, qtype="A", options=()):
    """Asks the service with kdig over UDP; returns (status, flags, output)."""
    out = subprocess.run(
        ["kdig", "+notcp", "+retry=0", "+time=2", "-p", str(port), "@127.0.0.1", "-t", qtype,
         name] + list(options),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=15).stdout.decode()
    status = re.search(r"status: (\w+)", out)
    flags = re.search(r";; Flags: ([a-z ]*);", out)
    return (status.group(1) if status else None,
            set(flags.group(1).split()) if flags else set(), out)


def raw_query(name, qtype=1, qclass=1, ident=0x4242, flags=0x0100):
    labels = b"".join(bytes([len(l)]) + l for l in name.encode().split(b".") if l)
    return struct.pack(">HHHHHH", ident, flags, 1, 0, 0, 0) + labels + b"\0" + \
        struct.pack(">HH", qtype, qclass)


def can_bind_port_53(address):
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((address, 53))
        return True
    except OSError:
        return False


class Dnsmasq:
    """A real upstream DNS server on `address`:53 answering from its own
    records; everything else it refuses."""

    def __init__(self, address, records):
        self.address = address
        self.folder = tempfile.mkdtemp(prefix="tarvik-dnsmasq-")
        args = ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "-C", "/dev/null",
                "--listen-address=" + address, "--bind-interfaces", "--port=53",
                "--pid-file=" + os.path.join(self.folder, "pid"), "--user=root",
                "--log-queries", "--log-facility=" + os.path.join(self.folder, "log")]
        args += ["--host-record=%s,%s" % (name, ip) for name, ip in records]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        probe = raw_query(records[0][0])
        if not harness.wait_for(lambda: self._answers(probe), 5.0):
            self.stop()
            raise AssertionError("dnsmasq did not start")

    def _answers(self, probe):
        if self.process.poll() is not None:
            return True  # exited: reported by the caller's first query
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            s.sendto(probe, (self.address, 53))
            try:
                return bool(s.recv(512))
            except socket.timeout:
                return False

    def log(self):
        try:
            with open(os.path.join(self.folder, "log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


WINE_FD_REASON = "wineserver holds a copy of every socket, so /proc shows no count of the exe's own"


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class DnsTest(harness.ServiceTest):

    def dns_service(self, conf=""):
        # The upstream server is used only while tarvik-server-ip is set.
        dns_port = harness.free_udp_port()
        return self.service(conf="tarvik-server-ip 10.0.0.53\n" + conf, dns_port=dns_port)

    def register(self, svc, name, address):
        ack = svc.register(name, address)
        self.assertIsNotNone(ack, "registration of %s not acknowledged" % name)

    def upstream(self, records):
        address = loopback_address()
        if not can_bind_port_53(address):
            self.skipTest("cannot bind %s:53 (needs root)" % address)
        server = Dnsmasq(address, records)
        self.addCleanup(server.stop)
        return server

    def test_local_names_answered_with_authority_and_glue(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        self.register(svc, "lab.printer", "192.168.1.21")

        for edns in (True, False):
            with self.subTest(edns=edns):
                status, flags, sections, out = dig(svc.dns_port, "dev.tarvik", edns=edns)
                self.assertEqual(status, "NOERROR", out)
                self.assertNotIn("malformed", out)
                self.assertNotIn("extra bytes", out)
                self.assertTrue({"qr", "aa"} <= flags, out)
                self.assertEqual(sections.get("ANSWER"),
                                 [("dev.tarvik.", "32", "IN", "A", "192.168.1.20")])
                self.assertEqual(sections.get("AUTHORITY"),
                                 [("tarvik.", "32", "IN", "NS", "ns.tarvik.")])
                self.assertEqual(sections.get("ADDITIONAL"),
                                 [("ns.tarvik.", "32", "IN", "A", "10.0.0.53")])

        # A dotted name is acknowledged but never stored.
        status, _, sections, out = dig(svc.dns_port, "lab.printer.tarvik")
        self.assertEqual(status, "NXDOMAIN", out)

        cases = [  # name, type, status; none carries a record but the SOA
            ("nobody.tarvik", "A", "NXDOMAIN"),
            ("dev.tarvik", "AAAA", "NOERROR"),
            ("dev.tarvik", "MX", "NOERROR"),
            ("nobody.tarvik", "AAAA", "NXDOMAIN"),
        ]
        for name, qtype, expected in cases:
            with self.subTest(name=name, qtype=qtype):
                status, flags, sections, out = dig(svc.dns_port, name, qtype)
                self.assertEqual(status, expected, out)
                self.assertIn("aa", flags, out)
                self.assertIn("ANSWER: 0,", out)
                self.assertNotIn("ANSWER", sections, out)
                self.assertEqual([r[3] for r in sections.get("AUTHORITY", [])], ["SOA"], out)

    def test_zone_rules_seen_by_dig(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        soa = ("tarvik.", "32", "IN", "SOA", "ns.tarvik.", "hostmaster.ns.tarvik.")
        glue = [("ns.tarvik.", "32", "IN", "A", "10.0.0.53")]
        cases = [  # name, type, class, dig options, status, ANSWER, AUTHORITY, ADDITIONAL
            ("DeV.TaRvIk", "A", "IN", (), "NOERROR",
             [("DeV.TaRvIk.", "32", "IN", "A", "192.168.1.20")],
             [("tarvik.", "32", "IN", "NS", "ns.tarvik.")], glue),
            ("nobody.tarvik", "A", "IN", (), "NXDOMAIN", None, [soa], None),
            ("NOBODY.Tarvik", "MX", "IN", (), "NXDOMAIN", None, [soa], None),
            ("dev.tarvik", "AAAA", "IN", (), "NOERROR", None, [soa], None),
            ("tarvik", "SOA", "IN", (), "NOERROR", [soa], None, None),
            ("tarvik", "NS", "IN", (), "NOERROR", [("tarvik.", "32", "IN", "NS", "ns.tarvik.")],
             None, glue),
            ("ns.tarvik", "A", "IN", (), "NOERROR", glue, None, None),
            ("dev.tarvik", "ANY", "IN", (), "NOERROR",
             [("dev.tarvik.", "32", "IN", "A", "192.168.1.20")],
             [("tarvik.", "32", "IN", "NS", "ns.tarvik.")], glue),
            ("dev.tarvik", "A", "CH", (), "REFUSED", None, None, None),
            ("dev.tarvik", "A", "IN", ("+opcode=status",), "NOTIMP", None, None, None),
            ("dev.tarvik", "A", "IN", ("+edns=1", "+noednsnegotiation"), "BADVERS", None, None,
             None),
            # One label holding a dot is outside the zone: refused without an
            # upstream server.
            ("dev\\.tarvik", "A", "IN", (), "REFUSED", None, None, None),
            ("ns\\.tarvik", "A", "IN", (), "REFUSED", None, None, None),
            # A signed query: the server knows no key, and says so unsigned.
            ("dev.tarvik", "A", "IN",
             ("-y", "hmac-sha256:some-key:c2VjcmV0c2VjcmV0c2VjcmV0c2VjcmV0MTI="), "NOTAUTH",
             None, None, None),
        ]
        for name, qtype, qclass, options, expected, answer, authority, additional in cases:
            with self.subTest(name=name, qtype=qtype, qclass=qclass, options=options):
                status, flags, sections, out = dig(svc.dns_port, name, qtype, qclass,
                                                   options=options)
                self.assertEqual(status, expected, out)
                self.assertIn("qr", flags, out)
                self.assertEqual("aa" in flags, expected in ("NOERROR", "NXDOMAIN"), out)
                # Records compared up to the SOA's names.
                for section, records in (("ANSWER", answer), ("AUTHORITY", authority),
                                         ("ADDITIONAL", additional)):
                    self.assertEqual([r[:6] for r in sections.get(section, [])] or None, records,
                                     out)
                # The server's own OPT record, whatever the query's.
                self.assertIn("; EDNS: version: 0, flags:; udp: 1232", out)
                if "-y" in options:  # the key's TSIG: no MAC, BADKEY
                    self.assertRegex(out, r"\nsome-key\.\s+0\s+ANY\s+TSIG\s+hmac-sha256\. "
                                          r"\d+ 300 0 \d+ BADKEY 0\s", out)
                self.assertNotIn("COOKIE", out)
                self.assertNotIn("malformed", out)

        # The SOA's serial grows with every change of the table.
        def serial():
            return int(dig(svc.dns_port, "tarvik", "SOA")[2]["ANSWER"][0][6])
        before = serial()
        self.register(svc, "other", "192.168.1.30")
        self.assertGreater(serial(), before)

    def test_header_bits_and_edns_seen_by_dig(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        # AD and CD asked, DO set, a client cookie: CD and DO come back, AD
        # and the cookie do not.
        status, flags, _, out = dig(svc.dns_port, "dev.tarvik",
                                    options=("+adflag", "+cdflag", "+dnssec", "+cookie"))
        self.assertEqual(status, "NOERROR", out)
        self.assertEqual(flags, {"qr", "aa", "rd", "cd"}, out)
        self.assertIn("; EDNS: version: 0, flags: do; udp: 1232", out)
        self.assertNotIn("COOKIE", out)
        # No EDNS asked, none given.
        status, _, _, out = dig(svc.dns_port, "dev.tarvik", edns=False)
        self.assertNotIn("OPT PSEUDOSECTION", out)
        self.assertIn("MSG SIZE  rcvd: 98", out)

    def test_zone_rules_seen_by_kdig(self):
        if shutil.which("kdig") is None:
            self.skipTest("kdig is not installed (knot-dnsutils, scripts/install-deps)")
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        cases = [  # name, type, options, status, text in the output
            ("dEv.TARVIK", "A", ("+edns",), "NOERROR", "dEv.TARVIK.         \t32\tIN\tA\t192.168.1.20"),
            ("nobody.tarvik", "A", ("+edns", "+dnssec"), "NXDOMAIN",
             "tarvik.             \t32\tIN\tSOA\tns.tarvik. hostmaster.ns.tarvik."),
            ("dev.tarvik", "AAAA", ("+noedns",), "NOERROR", "ANSWER: 0; AUTHORITY: 1"),
            ("tarvik", "NS", ("+edns",), "NOERROR", "ns.tarvik.          \t32\tIN\tA\t10.0.0.53"),
        ]
        for name, qtype, options, expected, text in cases:
            with self.subTest(name=name, qtype=qtype):
                status, flags, out = kdig(svc.dns_port, name, qtype, options)
                self.assertEqual(status, expected, out)
                self.assertIn("aa", flags, out)
                self.assertIn(text.lower(), out.lower())  # kdig prints names in lower case
                self.assertNotIn("WARNING", out)
                if "+noedns" in options:
                    self.assertNotIn("EDNS PSEUDOSECTION", out)
                else:
                    self.assertIn(";; Version: 0; flags: %s; UDP size: 1232 B" %
                                  ("do" if "+dnssec" in options else ""), out)

    def test_responses_and_odd_messages(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        question = b"\x03dev\x06tarvik\x00\x00\x01\x00\x01"
        cases = [  # flags, QDCOUNT, expected reply (None: no reply)
            (0x8100, 1, None),                                        # a response
            (0x8500, 1, None),                                        # an answer, even
            (0x0900, 1, struct.pack(">HHHHHH", 9, 0x8904, 1, 0, 0, 0) + question),  # IQUERY
            (0x0100, 2, struct.pack(">HHHHHH", 9, 0x8101, 0, 0, 0, 0)),  # two questions
            (0x0100, 0, struct.pack(">HHHHHH", 9, 0x8101, 0, 0, 0, 0)),  # none
        ]
        for flags, qdcount, expected in cases:
            with self.subTest(flags=hex(flags), qdcount=qdcount):
                query = struct.pack(">HHHHHH", 9, flags, qdcount, 0, 0, 0) + question
                reply = harness.exchange(svc.dns_port, query, timeout=0.5 if expected is None else 2)
                self.assertEqual(reply, expected)

    def test_other_names_relayed_through_upstream(self):
        upstream = self.upstream([("www.example.test", "192.0.2.7"),
                                  ("dev.tarvik", "192.0.2.99")])
        svc = self.dns_service("dns-server-ip %s\n" % upstream.address)
        self.register(svc, "dev", "192.168.1.20")
        # Without allow-from, relaying is for local senders; loopback is one.
        self.assertIn("dns: relaying for local subnets only", svc.log_messages())

        # dig accepts the answer only from the address and port it asked.
        status, _, sections, out = dig(svc.dns_port, "www.example.test")
        self.assertEqual(status, "NOERROR", out)
        self.assertEqual(sections.get("ANSWER"),
                         [("www.example.test.", "0", "IN", "A", "192.0.2.7")], out)
        self.assertIn("SERVER: 127.0.0.1#%d" % svc.dns_port, out)

        # Ours whatever the case of the name, and in class ANY: answered here
        # (with RA, since there is an upstream server), never relayed.
        for name, qclass in (("DEV.TARVIK", "IN"), ("dev.tarvik", "ANY")):
            with self.subTest(name=name, qclass=qclass):
                status, flags, sections, out = dig(svc.dns_port, name, "A", qclass)
                self.assertEqual(status, "NOERROR", out)
                self.assertTrue({"aa", "ra"} <= flags, out)
                self.assertEqual(sections.get("ANSWER"),
                                 [(name + ".", "32", "IN", "A", "192.168.1.20")], out)
        self.assertIsNone(re.search(r"query\[\w+\] dev\.tarvik", upstream.log(), re.I),
                          upstream.log())
        # AAAA of a local name never leaves the service.
        status, _, _, out = dig(svc.dns_port, "dev.tarvik", "AAAA")
        self.assertEqual(status, "NOERROR", out)
        self.assertNotIn("query[AAAA] dev.tarvik", upstream.log())
        # One label holding a dot is not a name of the zone: relayed (dnsmasq
        # logs such a name as unprintable and refuses it), and the upstream
        # server's answer comes back.
        status, flags, _, out = dig(svc.dns_port, "dev\\.tarvik")
        self.assertEqual(status, "REFUSED", out)
        self.assertNotIn("aa", flags, out)
        self.assertIn("query[A] <name unprintable>", upstream.log())

        # The service still holds no forward: each relayed answer closed one.
        if harness.WINE:
            print("\n  [wine] descriptor count not checked: " + WINE_FD_REASON, end=" ")
        else:
            baseline = open_fds(svc.process.pid)
            for i in range(20):
                self.assertIsNotNone(harness.exchange(svc.dns_port, raw_query("www.example.test",
                                                                              ident=i)))
            # The socket is closed right after the answer is passed on.
            harness.wait_for(lambda: open_fds(svc.process.pid) == baseline, 2.0)
            self.assertEqual(open_fds(svc.process.pid), baseline)

    def test_without_upstream_other_names_are_refused_at_once(self):
        svc = self.dns_service()
        self.register(svc, "dev", "192.168.1.20")
        for name in ("www.example.test", "tarvikx", "dev.tarvik.example"):
            with self.subTest(name=name):
                reply = harness.exchange(svc.dns_port, raw_query(name), timeout=0.5)
                self.assertIsNotNone(reply, "no answer within 0.5 s")
                self.assertEqual(reply[2:4], b"\x81\x05", "REFUSED, RD kept, no RA")
                self.assertEqual(reply[12:], raw_query(name)[12:])
        status, flags, _, out = dig(svc.dns_port, "www.example.test")
        self.assertEqual(status, "REFUSED", out)
        self.assertNotIn("ra", flags)
        # Shorter than a header: nobody to answer.
        self.assertIsNone(harness.exchange(svc.dns_port, b"hello", timeout=0.3))
        status, _, _, out = dig(svc.dns_port, "dev.tarvik")
        self.assertEqual(status, "NOERROR", out)

    def test_silent_upstream_forward_expires(self):
        silent, address = self.plain_upstream()
        svc = self.dns_service("dns-server-ip %s\n" % address)
        time.sleep(0.2)
        if not harness.WINE:
            baseline = open_fds(svc.process.pid)

        asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(asker.close)
        asker.settimeout(0.5)
        query = raw_query("www.example.test")
        asker.sendto(query, ("127.0.0.1", svc.dns_port))
        silent.settimeout(2)
        data, forward = silent.recvfrom(65536)
        sent = time.monotonic()
        self.assertEqual(data[2:], query[2:], "the query must reach upstream unchanged but for its ID")

        if harness.WINE:
            print("\n  [wine] descriptor count not checked: " + WINE_FD_REASON, end=" ")
        else:
            self.assertEqual(open_fds(svc.process.pid), baseline + 1, "one socket per forward")
            time.sleep(max(0, sent + 4.0 - time.monotonic()))
            self.assertEqual(open_fds(svc.process.pid), baseline + 1, "expired too early")
            self.assertTrue(harness.wait_for(
                lambda: open_fds(svc.process.pid) == baseline, 3.0), "forward socket not closed")
        time.sleep(max(0, sent + 5.8 - time.monotonic()))
        # The asker has had its SERVFAIL; whatever upstream sends now reaches
        # nobody.
        reply, _ = asker.recvfrom(65536)
        self.assertEqual((reply[:2], reply[3] & 0x0F), (query[:2], 2))
        silent.sendto(b"late answer", forward)
        with self.assertRaises(socket.timeout):
            asker.recvfrom(65536)

    def test_forward_answered_by_upstream_only(self):
        upstream, address = self.plain_upstream()
        svc = self.dns_service("dns-server-ip %s\n" % address)
        asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(asker.close)
        asker.settimeout(1.0)
        query = raw_query("www.example.test")
        asker.sendto(query, ("127.0.0.1", svc.dns_port))
        upstream.settimeout(2)
        data, forward = upstream.recvfrom(65536)
        # The query goes unchanged but for its ID: the forward's own, so that
        # whoever cannot see it must guess 16 bits beside the source port.
        self.assertEqual(data[2:], query[2:])
        ident = data[:2]

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rogue:
            rogue.sendto(ident + b"forged", forward)
        # From the upstream server's own address, but under another ID: no answer.
        upstream.sendto(bytes([ident[0] ^ 0x80, ident[1]]) + b"wrong id", forward)
        upstream.sendto(ident + b"genuine", forward)
        reply, sender = asker.recvfrom(65536)
        self.assertEqual(reply, query[:2] + b"genuine")
        self.assertEqual(sender, ("127.0.0.1", svc.dns_port))
        with self.assertRaises(socket.timeout):
            asker.recvfrom(65536)  # a second answer to one forward is lost

    def test_verbose_logs_every_query_name(self):
        svc = self.dns_service("verbose\n")
        self.register(svc, "dev", "192.168.1.20")
        dig(svc.dns_port, "dev.tarvik")
        harness.send(svc.dns_port, b"\x00" * 5)
        self.assertTrue(svc.wait_log("dns query: 'dev.tarvik'"), svc.log())
        self.assertTrue(svc.wait_log("dns query: ''"), svc.log())
        # A dot inside a label is told apart from the dot between labels.
        dig(svc.dns_port, "dev\\.tarvik")
        self.assertTrue(svc.wait_log("dns query: 'dev\\.tarvik'"), svc.log())
        # A name carrying a line end cannot forge a record of its own.
        forged = struct.pack(">HHHHHH", 7, 0x0100, 1, 0, 0, 0) + b"\x0cx\r\nStopped\r\n\x00\x00\x01\x00\x01"
        harness.send(svc.dns_port, forged)
        self.assertTrue(svc.wait_log("dns query: 'x\\x0D\\x0AStopped\\x0D\\x0A'"), svc.log())
        self.assertNotIn("Stopped", svc.log_messages())

    def test_hostile_datagrams_do_not_stop_the_service(self):
        svc = self.dns_service("verbose\n")
        self.register(svc, "dev", "192.168.1.20")
        header = struct.pack(">HHHHHH", 7, 0x0100, 1, 0, 0, 0)
        hostile = [
            b"",
            b"\xff",
            header,
            header + b"\xc0\x0c\x00\x01\x00\x01",           # pointer to itself
            header + b"\x03dev\xc0\x0c\x00\x01\x00\x01",    # pointer after a label
            header + b"\x3fabc",                             # label past the end
            header + b"\x03dev\x06tarvik\x00\x00",           # type and class cut short
            struct.pack(">HHHHHH", 7, 0x0100, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF) +
            b"\x03dev\x06tarvik\x00\x00\x01\x00\x01",        # counts that lie
            header + bytes([63]) + b"a" * 63 + bytes([255]) + b"b" * 200,
            b"\x01" * 12000,                                 # longer than the receive buffer
        ]
        for datagram in hostile:
            harness.send(svc.dns_port, datagram)
        # Counts that promise records which are not there: a format error,
        # with the question.
        question = b"\x03dev\x06tarvik\x00\x00\x01\x00\x01"
        reply = harness.exchange(svc.dns_port, struct.pack(">HHHHHH", 8, 0x0100, 1, 9, 9, 9) +
                                 question)
        self.assertEqual(reply, struct.pack(">HHHHHH", 8, 0x8101, 1, 0, 0, 0) + question)

        error = 10040 if harness.WINE else 90  # WSAEMSGSIZE / EMSGSIZE
        self.assertTrue(svc.wait_log("g_dns_s recvfrom error: %d" % error), svc.log())
        status, _, sections, out = dig(svc.dns_port, "dev.tarvik")
        self.assertEqual(status, "NOERROR", out)
        self.assertIsNone(svc.process.poll())
        self.assertEqual(svc.stop(), 0)


if __name__ == "__main__":
    unittest.main()
