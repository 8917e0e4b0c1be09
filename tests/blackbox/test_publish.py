"""Publishing into a site DNS server: the service sends every change of its
table as a signed dynamic update to a real BIND (named) and Knot (knotd),
each run with its own configuration, zone and key in a temporary folder on
a free loopback port; and to a fake server that answers with forged
responses."""
import base64
import hashlib
import hmac
import itertools
import os
import re
import shutil
import socket
import statistics
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import ServiceTest, wait_for
from test_dns import dig

ZONE = "devices.example.lan"
KEY_NAME = "tarvik-key"
SECRET = base64.b64encode(b"a secret of 32 bytes for tests!!").decode()
WRONG_SECRET = base64.b64encode(b"another secret, which is wrong!!").decode()

ZONE_FILE = """$TTL 300
@ IN SOA ns.%(zone)s. hostmaster.example.lan. 1 3600 900 604800 300
@ IN NS ns.%(zone)s.
ns IN A 127.0.0.1
%(extra)s"""

NAMED_CONF = """options {
  directory "%(dir)s";
  pid-file "%(dir)s/named.pid";
  session-keyfile "%(dir)s/session.key";
  managed-keys-directory "%(dir)s";
  listen-on port %(port)d { 127.0.0.1; };
  listen-on-v6 { none; };
  recursion no;
  notify no;
  dnssec-validation no;
};
controls { };
key "%(key)s" { algorithm %(algorithm)s; secret "%(secret)s"; };
zone "%(zone)s" {
  type primary;
  file "%(dir)s/zone.db";
  update-policy { %(policy)sgrant %(key)s zonesub A TXT; };
};
"""

KNOT_CONF = """server:
  rundir: "%(dir)s"
  listen: 127.0.0.1@%(port)d
database:
  storage: "%(dir)s"
key:
  - id: %(key)s
    algorithm: %(algorithm)s
    secret: %(secret)s
acl:
  - id: tarvik-update
    key: %(key)s
    action: update
    update-type: [A, TXT]
zone:
  - domain: %(zone)s
    storage: "%(dir)s"
    file: zone.db
    acl: tarvik-update
    zonefile-sync: -1
log:
  - target: stderr
    any: info
"""


class DnsServer:
    """One run of named or knotd on 127.0.0.1 and a free port."""

    def __init__(self, kind, algorithm="hmac-sha256", records="", policy=""):
        """`records`: zone-file lines of the admin's own; `policy`: BIND
        update-policy rules put before the grant."""
        self.kind = kind
        self.zone_text = ZONE_FILE % {"zone": ZONE, "extra": records}
        self.dir = tempfile.mkdtemp(prefix="tarvik-%s-" % kind)
        self.port = harness.free_udp_port()
        self.process = None
        self.output = None
        values = {"dir": self.dir, "port": self.port, "key": KEY_NAME, "secret": SECRET,
                  "algorithm": algorithm, "zone": ZONE, "policy": policy}
        with open(os.path.join(self.dir, "zone.db"), "w") as f:
            f.write(self.zone_text)
        self.conf = os.path.join(self.dir, "server.conf")
        with open(self.conf, "w") as f:
            f.write((NAMED_CONF if kind == "bind" else KNOT_CONF) % values)

    def start(self):
        argv = (["named", "-g", "-c", self.conf] if self.kind == "bind"
                else ["knotd", "-c", self.conf])
        if os.geteuid() == 0 and self.kind == "bind":
            argv += ["-u", "root"]
        self.output = open(os.path.join(self.dir, "server.log"), "ab")
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT)
        if not wait_for(lambda: self.serial() is not None or self.process.poll() is not None, 20):
            raise AssertionError("%s did not start:\n%s" % (self.kind, self.log()))
        if self.process.poll() is not None:
            raise AssertionError("%s ended:\n%s" % (self.kind, self.log()))
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.output is not None:
            self.output.close()
            self.output = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log(self):
        try:
            with open(os.path.join(self.dir, "server.log"), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def addresses(self, name):
        """The A records of NAME.ZONE, sorted; None when the server did not answer."""
        status, _, sections, _ = dig(self.port, "%s.%s" % (name, ZONE), timeout=1,
                                     options=["+norecurse"])
        if status is None:
            return None
        return sorted(r[4] for r in sections.get("ANSWER", []) if r[3] == "A")

    def texts(self, name):
        """The TXT records of NAME.ZONE as dig shows them, sorted."""
        _, _, sections, _ = dig(self.port, "%s.%s" % (name, ZONE), qtype="TXT", timeout=1,
                                options=["+norecurse"])
        return sorted(" ".join(r[4:]) for r in sections.get("ANSWER", []) if r[3] == "TXT")

    def serial(self):
        status, _, sections, _ = dig(self.port, ZONE, qtype="SOA", timeout=1)
        if status != "NOERROR" or not sections.get("ANSWER"):
            return None
        return int(sections["ANSWER"][0][6])


def update_conf(server_port, secret=SECRET, algorithm="hmac-sha256"):
    """The service's update lines; unsigned updates when `secret` is None."""
    conf = "update-server 127.0.0.1:%d\nupdate-zone %s\n" % (server_port, ZONE)
    if secret is not None:
        conf += "update-key %s %s %s\n" % (KEY_NAME, algorithm, secret)
    return conf


class PublishTestBase(ServiceTest):
    def server(self, kind, algorithm="hmac-sha256", records="", policy=""):
        program = "named" if kind == "bind" else "knotd"
        if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
            self.skipTest("%s is not installed" % program)
        server = DnsServer(kind, algorithm, records, policy)
        self.addCleanup(server.cleanup)
        return server.start()

    def registered(self, svc, name, address):
        reply = svc.register(name, address)
        self.assertIsNotNone(reply, "no acknowledgement for %s" % name)
        return time.monotonic()

    def restart(self, svc):
        """Starts a stopped service again and waits for its new start: its
        stderr still holds the first run's "Started" line."""
        starts = svc.log_messages().count("Started 1.0b")
        svc.start(wait=False)
        self.assertTrue(wait_for(lambda: svc.log_messages().count("Started 1.0b") > starts,
                                 harness.START_TIMEOUT), svc.log())

    def assert_published(self, server, name, addresses, timeout=3.0):
        got = wait_for(lambda: server.addresses(name) == addresses, timeout)
        self.assertTrue(got, "%s.%s: %r, expected %r\n%s"
                        % (name, ZONE, server.addresses(name), addresses, server.log()[-3000:]))


class PublishTest(PublishTestBase):
    def check_changes_follow_the_table(self, kind, algorithm):
        server = self.server(kind, algorithm)
        svc = self.service(update_conf(server.port, algorithm=algorithm))
        self.registered(svc, "dev1", "10.9.0.1")
        self.assert_published(server, "dev1", ["10.9.0.1"])
        # An address change replaces the record.
        self.registered(svc, "dev1", "10.9.0.2")
        self.assert_published(server, "dev1", ["10.9.0.2"])
        # Another name takes that address: dev1 goes from the table and the zone.
        self.registered(svc, "dev2", "10.9.0.2")
        self.assert_published(server, "dev2", ["10.9.0.2"])
        self.assert_published(server, "dev1", [])
        # A renewal that changes nothing sends nothing: the serial stays.
        serial = server.serial()
        self.registered(svc, "dev2", "10.9.0.2")
        self.registered(svc, "DEV2", "10.9.0.2")
        time.sleep(1.5)
        self.assertEqual(server.serial(), serial)
        self.assertIn("update dev2 10.9.0.2: NOERROR", svc.log_messages())
        self.assertIn("update dev1 deleted: NOERROR", svc.log_messages())

        # At start every entry of the block is published again: a server
        # that lost the zone's changes gets them back.
        svc.stop()
        server.stop()
        with open(os.path.join(server.dir, "zone.db"), "w") as f:
            f.write(server.zone_text)
        for leftover in os.listdir(server.dir):
            if leftover.endswith(".jnl") or leftover.startswith("journal"):
                path = os.path.join(server.dir, leftover)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        server.start()
        self.assertEqual(server.addresses("dev2"), [])
        self.restart(svc)
        self.assert_published(server, "dev2", ["10.9.0.2"])

    def test_bind_follows_the_table(self):
        self.check_changes_follow_the_table("bind", "hmac-sha256")

    def test_knot_follows_the_table(self):
        # The other algorithm, so that both meet a real server.
        self.check_changes_follow_the_table("knot", "hmac-sha512")

    def test_wrong_key_is_logged_and_costs_nothing_else(self):
        server = self.server("bind")
        dns_port = harness.free_udp_port()
        svc = self.service(update_conf(server.port, secret=WRONG_SECRET), dns_port=dns_port)
        self.registered(svc, "dev1", "10.9.1.1")
        # The server's BADSIG comes unsigned, as anyone could send it: it is
        # logged, and the signed answer is waited for until the time-out.
        self.assertTrue(svc.wait_log("update dev1 10.9.1.1: unsigned BADSIG answer ignored"), svc.log())
        self.registered(svc, "dev2", "10.9.1.2")
        self.assertTrue(svc.wait_log("update dev1 10.9.1.1: no answer", timeout=8), svc.log())
        # Retried with back-off, but each kind is logged once.
        time.sleep(1.5)
        self.assertEqual(sum("BADSIG" in m for m in svc.log_messages()), 1, svc.log())
        self.assertEqual(sum(m.endswith(": no answer") for m in svc.log_messages()), 1, svc.log())
        # Registrations and local answers go on as before.
        self.registered(svc, "dev3", "10.9.1.3")
        status, _, sections, _ = dig(dns_port, "dev3.tarvik")
        self.assertEqual(status, "NOERROR")
        self.assertEqual([r[4] for r in sections["ANSWER"]], ["10.9.1.3"])
        self.assertEqual(server.addresses("dev1"), [])
        # With the right key in place the start publishes what is in the block.
        svc.stop()
        with open(os.path.join(svc.folder, "main.conf"), "a") as f:
            f.write("update-key %s hmac-sha256 %s\n" % (KEY_NAME, SECRET))
        self.restart(svc)
        for name, address in (("dev1", "10.9.1.1"), ("dev2", "10.9.1.2"), ("dev3", "10.9.1.3")):
            self.assert_published(server, name, [address])

    def test_outage_ends_with_the_latest_addresses(self):
        """The server unreachable for 10 s while names change (a relay in
        front of it drops everything), then back: each name ends at its
        latest address, and no name ever has two messages under way."""
        server = self.server("bind")
        relay = Relay(server.port)
        self.addCleanup(relay.close)
        svc = self.service(update_conf(relay.port))
        relay.down = True
        names = ["dev%d" % i for i in range(8)]
        for round_number in range(3):
            for i, name in enumerate(names):
                self.registered(svc, name, "10.9.%d.%d" % (2 + round_number, i + 1))
            time.sleep(3.3)
        relay.down = False
        for i, name in enumerate(names):
            self.assert_published(server, name, ["10.9.4.%d" % (i + 1)], timeout=40)
        self.assertGreater(relay.dropped, 0)
        self.assertEqual(relay.overlaps, [])

    def test_forged_responses_are_ignored(self):
        """A server that answers with the right ID but no MAC, or a wrong one:
        the service waits on, gives up after 5 s and sends again."""
        fake = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(fake.close)
        fake.bind(("127.0.0.1", 0))
        fake.settimeout(15)
        svc = self.service(update_conf(fake.getsockname()[1]))
        self.registered(svc, "dev1", "10.9.5.1")
        arrivals = []
        for forge in (unsigned_response, wrongly_signed_response):
            request, peer = fake.recvfrom(4096)
            arrivals.append(time.monotonic())
            self.assertIn(b"\x04dev1\x07devices", request)
            fake.sendto(forge(request), peer)
        self.assertGreater(arrivals[1] - arrivals[0], 4.5, svc.log())
        self.assertTrue(svc.wait_log("NOERROR answer with a wrong signature ignored"), svc.log())
        messages = svc.log_messages()
        self.assertIn("update dev1 10.9.5.1: no answer", messages)
        self.assertIn("update dev1 10.9.5.1: unsigned NOERROR answer ignored", messages)
        self.assertIn("update dev1 10.9.5.1: NOERROR answer with a wrong signature ignored", messages)
        self.assertFalse([m for m in messages if m.endswith(": NOERROR")], svc.log())

    def test_burst_is_published_without_delaying_the_service(self):
        """1,000 new names in a burst: each becomes one update (BIND's serial
        moves by exactly 1,000) while registrations and local answers go on
        at their usual pace."""
        server = self.server("bind")
        dns_port = harness.free_udp_port()
        svc = self.service(update_conf(server.port), dns_port=dns_port)
        serial = server.serial()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            for i in range(1000):
                s.sendto(harness.registration("b%d" % i, "10.8.%d.%d" % (i // 250, i % 250 + 1)),
                         ("127.0.0.1", svc.port))
                s.recv(100)  # the acknowledgement, one at a time
        # The queue is full now: the service still answers at once.
        started = time.monotonic()
        self.assertIsNotNone(svc.register("late", "10.8.9.9"))
        status, _, sections, _ = dig(dns_port, "b999.tarvik")
        self.assertEqual(status, "NOERROR")
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertTrue(wait_for(lambda: server.serial() == serial + 1001, 30),
                        "serial %r, expected %d" % (server.serial(), serial + 1001))
        self.assertEqual(server.addresses("b999"), ["10.8.3.250"])

    def test_stop_waits_a_second_for_answers_then_drops_the_rest(self):
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.settimeout(5)
        svc = self.service(update_conf(silent.getsockname()[1]))
        for i in range(3):
            self.registered(svc, "dev%d" % i, "10.9.7.%d" % (i + 1))
        for _ in range(3):
            silent.recvfrom(4096)
        started = time.monotonic()
        self.assertEqual(svc.stop(), 0)
        # A second for the answers under way, and not much more.
        self.assertGreater(time.monotonic() - started, 0.9)
        self.assertLess(time.monotonic() - started, 4.0)
        self.assertIn("update: 3 changes not published at stop", svc.log_messages())

    def test_truncated_answer_is_taken_over_tcp(self):
        """A server whose UDP answer is truncated: the same message goes
        again over TCP, and the TCP answer counts."""
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(udp.close)
        udp.bind(("127.0.0.1", 0))
        udp.settimeout(10)
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(tcp.close)
        tcp.bind(("127.0.0.1", udp.getsockname()[1]))
        tcp.listen(1)
        tcp.settimeout(10)
        svc = self.service(update_conf(udp.getsockname()[1], secret=None))
        self.registered(svc, "dev1", "10.9.6.1")
        request, peer = udp.recvfrom(4096)
        truncated = bytearray(unsigned_response(request))
        truncated[2] |= 0x02
        udp.sendto(bytes(truncated), peer)
        connection, _ = tcp.accept()
        self.addCleanup(connection.close)
        connection.settimeout(10)
        data = b""
        while len(data) < 2 or len(data) < 2 + int.from_bytes(data[:2], "big"):
            chunk = connection.recv(4096)
            self.assertTrue(chunk, "connection closed early")
            data += chunk
        self.assertEqual(data[2:], request)
        self.assertFalse([m for m in svc.log_messages() if m.startswith("update ")], svc.log())
        answer = unsigned_response(request)
        connection.sendall(len(answer).to_bytes(2, "big") + answer)
        self.assertTrue(svc.wait_log("update dev1 10.9.6.1: NOERROR"), svc.log())


def request_parts(request):
    """The zone section's end and the TSIG record's start of a signed request."""
    zone_end = request.index(b"\x00", 12) + 5
    tsig = request.rindex(b"\x0a" + KEY_NAME.encode() + b"\x00")
    return zone_end, tsig


def unsigned_response(request, rcode=0):
    zone_end = request.index(b"\x00", 12) + 5
    return (request[:2] + bytes([0xa8, rcode]) + b"\x00\x01\x00\x00\x00\x00\x00\x00"
            + request[12:zone_end])


def request_tsig(request):
    """The key name and algorithm (wire form), time signed and MAC of a
    signed request."""
    _, at = request_parts(request)
    rdata = request.index(b"\x00", at) + 1 + 10
    algorithm_end = request.index(b"\x00", rdata) + 1
    time_signed = int.from_bytes(request[algorithm_end:algorithm_end + 6], "big")
    mac_size = int.from_bytes(request[algorithm_end + 8:algorithm_end + 10], "big")
    mac = request[algorithm_end + 10:algorithm_end + 10 + mac_size]
    return request[at:rdata - 10], request[rdata:algorithm_end], time_signed, mac


def tsig_rdata(algorithm, time_signed, mac, original_id, error, other):
    return (algorithm + time_signed.to_bytes(6, "big") + (300).to_bytes(2, "big")
            + len(mac).to_bytes(2, "big") + mac + original_id + error.to_bytes(2, "big")
            + len(other).to_bytes(2, "big") + other)


def signed_response(request, rcode=0, time_signed=None, error=0, other=b"", secret=SECRET):
    """The answer a server holding the key signs (RFC 8945, hmac-sha256),
    dated `time_signed` (the request's time when None)."""
    key_name, algorithm, request_time, request_mac = request_tsig(request)
    if time_signed is None:
        time_signed = request_time
    answer = unsigned_response(request, rcode)
    variables = (key_name + b"\x00\xff\x00\x00\x00\x00" + algorithm + time_signed.to_bytes(6, "big")
                 + (300).to_bytes(2, "big") + error.to_bytes(2, "big")
                 + len(other).to_bytes(2, "big") + other)
    mac = hmac.new(base64.b64decode(secret),
                   len(request_mac).to_bytes(2, "big") + request_mac + answer + variables,
                   hashlib.sha256).digest()
    rdata = tsig_rdata(algorithm, time_signed, mac, request[:2], error, other)
    return (answer[:10] + b"\x00\x01" + answer[12:] + key_name + b"\x00\xfa\x00\xff\x00\x00\x00\x00"
            + len(rdata).to_bytes(2, "big") + rdata)


def unsigned_key_error(request, error):
    """NOTAUTH with a TSIG record that carries `error` and no MAC, as a
    server sends for a key or signature it refuses, and a forger can."""
    key_name, algorithm, request_time, _ = request_tsig(request)
    answer = unsigned_response(request, 9)
    rdata = tsig_rdata(algorithm, request_time, b"", request[:2], error, b"")
    return (answer[:10] + b"\x00\x01" + answer[12:] + key_name + b"\x00\xfa\x00\xff\x00\x00\x00\x00"
            + len(rdata).to_bytes(2, "big") + rdata)


def wrongly_signed_response(request):
    zone_end, tsig = request_parts(request)
    record = bytearray(request[tsig:])
    mac_at = len(record) - 6 - 32
    for i in range(mac_at, mac_at + 32):
        record[i] ^= 0x5A
    return (request[:2] + b"\xa8\x00\x00\x01\x00\x00\x00\x00\x00\x01" + request[12:zone_end]
            + bytes(record))


def owner_name(request):
    """The owner of the first update record (after the zone section)."""
    at = request.index(b"\x00", 12) + 5
    labels = []
    while request[at]:
        labels.append(request[at + 1:at + 1 + request[at]].decode("latin-1"))
        at += 1 + request[at]
    return labels[0]


class Relay:
    """A UDP relay in front of a server. While `down`, requests are dropped
    (and counted); otherwise each goes to the server from a socket of its
    own and the answer back. `overlaps` lists the names that had a second
    message sent while one was still unanswered and not yet given up by the
    service (5 s). With `forge`, each request is first answered with
    forge(request) from the relay's own address, as a host on the path
    would, before the server's answer follows."""

    def __init__(self, server_port, forge=None):
        self.server_port = server_port
        self.forge = forge
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.2)
        self.port = self.socket.getsockname()[1]
        self.down = False
        self.requests = 0
        self.dropped = 0
        self.overlaps = []
        self.outstanding = {}
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            try:
                request, peer = self.socket.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            self.requests += 1
            name = owner_name(request)
            now = time.monotonic()
            with self.lock:
                since = self.outstanding.get(name)
                if since is not None and now - since < 4.9:
                    self.overlaps.append(name)
                self.outstanding[name] = now
            if self.down:
                self.dropped += 1
                continue
            if self.forge is not None:
                self.socket.sendto(self.forge(request), peer)
            threading.Thread(target=self.forward, args=(request, peer, name), daemon=True).start()

    def forward(self, request, peer, name):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(3)
            s.sendto(request, ("127.0.0.1", self.server_port))
            try:
                answer = s.recv(4096)
            except socket.timeout:
                return
        with self.lock:
            self.outstanding.pop(name, None)
        try:
            self.socket.sendto(answer, peer)
        except OSError:
            pass

    def close(self):
        self.running = False
        self.socket.close()
        self.thread.join(timeout=2)


class FakePrimary:
    """A UDP socket on loopback standing in for the site's server: each
    request is answered with answer(request), or not at all when that is
    None."""

    def __init__(self, answer):
        self.answer = answer
        self.requests = 0
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.2)
        self.port = self.socket.getsockname()[1]
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            try:
                request, peer = self.socket.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            self.requests += 1
            reply = self.answer(request)
            if reply is not None:
                self.socket.sendto(reply, peer)

    def close(self):
        self.running = False
        self.socket.close()
        self.thread.join(timeout=2)


# The forged answers of case 5, in turn: unsigned NOTAUTH, and unsigned
# NOTAUTH with the TSIG errors BADKEY, BADSIG and BADTIME.
FORGERIES = [
    ("NOTAUTH", lambda request: unsigned_response(request, 9)),
    ("BADKEY", lambda request: unsigned_key_error(request, 17)),
    ("BADSIG", lambda request: unsigned_key_error(request, 16)),
    ("BADTIME", lambda request: unsigned_key_error(request, 18)),
]


class PublishFaultsTest(PublishTestBase):
    """One case per way the zone used to be left wrong: each failed before
    the ownership records, the state file, the per-name back-off and the
    checks of answers."""

    def test_1_the_admins_own_records_are_left_alone(self):
        for kind, algorithm in (("bind", "hmac-sha256"), ("knot", "hmac-sha512")):
            with self.subTest(kind):
                self.check_own_records_left_alone(kind, algorithm)

    def check_own_records_left_alone(self, kind, algorithm):
        server = self.server(kind, algorithm, records="ns1 IN A 127.0.0.1\nprinter IN A 10.9.9.9\n")
        svc = self.service(update_conf(server.port, algorithm=algorithm))
        self.registered(svc, "ns1", "10.66.66.66")
        self.registered(svc, "printer", "10.66.66.67")
        self.registered(svc, "own", "10.66.66.68")
        self.assert_published(server, "own", ["10.66.66.68"])
        time.sleep(0.3)
        self.assertEqual(server.addresses("ns1"), ["127.0.0.1"])
        self.assertEqual(server.addresses("printer"), ["10.9.9.9"])
        # Its own name carries the ownership record.
        self.assertEqual(server.texts("own"), ['"tarvik owner=%s"' % KEY_NAME])
        # Other devices take those addresses: ns1 and printer leave the table.
        self.registered(svc, "x1", "10.66.66.66")
        self.registered(svc, "x2", "10.66.66.67")
        self.assert_published(server, "x1", ["10.66.66.66"])
        self.assert_published(server, "x2", ["10.66.66.67"])
        time.sleep(0.5)
        self.assertEqual(server.addresses("ns1"), ["127.0.0.1"])
        self.assertEqual(server.addresses("printer"), ["10.9.9.9"])
        self.assertEqual(server.texts("printer"), [])
        messages = svc.log_messages()
        for name in ("ns1", "printer"):
            self.assertEqual(messages.count("update %s: in use by another owner, not published" % name), 1,
                             svc.log())
        # Known locally all the same.
        self.assertIn(b"10.66.66.68\town", svc.hosts())
        svc.stop()

    def test_2_a_removal_unsent_at_stop_is_done_after_the_next_start(self):
        server = self.server("bind")
        relay = Relay(server.port)
        self.addCleanup(relay.close)
        svc = self.service(update_conf(relay.port))
        self.registered(svc, "t1", "10.5.0.1")
        self.assert_published(server, "t1", ["10.5.0.1"])
        relay.down = True
        self.registered(svc, "t2", "10.5.0.1")  # t1 leaves the table
        self.assertTrue(wait_for(lambda: relay.dropped >= 2, 3), svc.log())
        self.assertEqual(svc.stop(), 0)
        self.assertIn("update: 2 changes not published at stop", svc.log_messages())
        relay.down = False
        self.restart(svc)
        self.assert_published(server, "t2", ["10.5.0.1"])
        self.assert_published(server, "t1", [])
        self.assertEqual(server.texts("t1"), [])

    def test_3_a_full_queue_keeps_every_live_name(self):
        server = self.server("bind")
        relay = Relay(server.port)
        self.addCleanup(relay.close)
        svc = self.service(update_conf(relay.port) + "max-names 5\n")
        relay.down = True
        # Forty names through one address, then a name of its own.
        for i in range(40):
            self.registered(svc, "cycle%d" % i, "10.6.0.1")
        self.registered(svc, "legit", "10.6.0.99")
        relay.down = False
        self.assert_published(server, "legit", ["10.6.0.99"], timeout=20)
        self.assert_published(server, "cycle39", ["10.6.0.1"])
        for i in (0, 15, 16, 38):
            self.assertEqual(server.addresses("cycle%d" % i), [], i)
        self.assertFalse([m for m in svc.log_messages() if "dropped" in m], svc.log())

    def test_4_a_refused_name_delays_no_other(self):
        server = self.server("bind", policy="deny %s name refused.%s ANY; " % (KEY_NAME, ZONE))
        svc = self.service(update_conf(server.port))
        # refused: the server's policy says no; bad_name: not a host name.
        self.registered(svc, "refused", "10.7.0.1")
        self.registered(svc, "bad_name", "10.7.0.2")
        time.sleep(3.5)
        started = self.registered(svc, "good", "10.7.0.3")
        self.assert_published(server, "good", ["10.7.0.3"])
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertTrue(svc.wait_log("update refused 10.7.0.1: REFUSED, given up until the name changes"),
                        svc.log())
        self.assertIn("update bad_name: not a host name, kept local", svc.log_messages())
        self.assertEqual(server.addresses("refused"), [])
        # Three tries of `refused`, none of bad_name; none after giving up.
        time.sleep(1.5)
        self.assertEqual(server.log().count("update failed: rejected by secure update (REFUSED)"), 3,
                         server.log()[-3000:])
        self.assertNotIn("bad_name", server.log())
        self.assertEqual(svc.hosts().count(b"bad_name"), 1)

    def test_5_unsigned_errors_from_a_forger_do_not_delay_publishing(self):
        server = self.server("bind")
        turn = itertools.count()
        relay = Relay(server.port, forge=lambda request: FORGERIES[next(turn) % 4][1](request))
        self.addCleanup(relay.close)
        svc = self.service(update_conf(relay.port))
        serial = server.serial()
        started = time.monotonic()
        for i in range(40):
            self.registered(svc, "f%d" % i, "10.8.8.%d" % (i + 1))
        self.assertTrue(wait_for(lambda: server.serial() == serial + 40, 10),
                        "serial %r, expected %d\n%s" % (server.serial(), serial + 40, svc.log()))
        self.assertLess(time.monotonic() - started, 5.0)
        # No forged answer made the service send a name again.
        self.assertEqual(relay.requests, 40, svc.log())
        self.assertEqual(server.addresses("f39"), ["10.8.8.40"])
        messages = svc.log_messages()
        for kind, _ in FORGERIES:
            self.assertEqual(sum(m.endswith(": unsigned %s answer ignored" % kind) for m in messages), 1,
                             svc.log())

    def test_6_a_signed_answer_a_day_off_is_not_accepted(self):
        fake = FakePrimary(lambda request: signed_response(request, 0,
                                                           request_tsig(request)[2] + 86400))
        self.addCleanup(fake.close)
        svc = self.service(update_conf(fake.port))
        self.registered(svc, "dev1", "10.9.9.1")
        self.assertTrue(wait_for(lambda: [m for m in svc.log_messages() if "BADTIME" in m], 5), svc.log())
        self.assertTrue(re.fullmatch(r"update dev1 10\.9\.9\.1: BADTIME, the answer's time is 8640[01] s "
                                     r"ahead of our clock",
                                     [m for m in svc.log_messages() if "BADTIME" in m][0]), svc.log())
        # Sent again after the pause, never taken.
        self.assertTrue(wait_for(lambda: fake.requests >= 2, 3), svc.log())
        self.assertFalse([m for m in svc.log_messages() if m.endswith(": NOERROR")], svc.log())
