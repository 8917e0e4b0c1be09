"""Publishing into a site DNS server: the service sends every change of its
table as a signed dynamic update to a real BIND (named) and Knot (knotd),
each run with its own configuration, zone and key in a temporary folder on
a free loopback port; and to a fake server that answers with forged
responses."""
import base64
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
""" % {"zone": ZONE}

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
key "%(key)s" { algorithm hmac-sha256; secret "%(secret)s"; };
zone "%(zone)s" {
  type primary;
  file "%(dir)s/zone.db";
  update-policy { grant %(key)s zonesub A; };
};
"""

KNOT_CONF = """server:
  rundir: "%(dir)s"
  listen: 127.0.0.1@%(port)d
database:
  storage: "%(dir)s"
key:
  - id: %(key)s
    algorithm: hmac-sha256
    secret: %(secret)s
acl:
  - id: tarvik-update
    key: %(key)s
    action: update
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

    def __init__(self, kind):
        self.kind = kind
        self.dir = tempfile.mkdtemp(prefix="tarvik-%s-" % kind)
        self.port = harness.free_udp_port()
        self.process = None
        self.output = None
        values = {"dir": self.dir, "port": self.port, "key": KEY_NAME, "secret": SECRET,
                  "zone": ZONE}
        with open(os.path.join(self.dir, "zone.db"), "w") as f:
            f.write(ZONE_FILE)
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

    def serial(self):
        status, _, sections, _ = dig(self.port, ZONE, qtype="SOA", timeout=1)
        if status != "NOERROR" or not sections.get("ANSWER"):
            return None
        return int(sections["ANSWER"][0][6])


def update_conf(server_port, secret=SECRET, port_text=None):
    return ("update-server 127.0.0.1:%d\nupdate-zone %s\nupdate-key %s hmac-sha256 %s\n"
            % (server_port, ZONE, KEY_NAME, secret))


class PublishTest(ServiceTest):
    def server(self, kind):
        program = "named" if kind == "bind" else "knotd"
        if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
            self.skipTest("%s is not installed" % program)
        server = DnsServer(kind)
        self.addCleanup(server.cleanup)
        return server.start()

    def registered(self, svc, name, address):
        reply = svc.register(name, address)
        self.assertIsNotNone(reply, "no acknowledgement for %s" % name)
        return time.monotonic()

    def assert_published(self, server, name, addresses, timeout=3.0):
        got = wait_for(lambda: server.addresses(name) == addresses, timeout)
        self.assertTrue(got, "%s.%s: %r, expected %r\n%s"
                        % (name, ZONE, server.addresses(name), addresses, server.log()[-3000:]))

    def check_changes_follow_the_table(self, kind):
        server = self.server(kind)
        svc = self.service(update_conf(server.port))
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
            f.write(ZONE_FILE)
        for leftover in os.listdir(server.dir):
            if leftover.endswith(".jnl") or leftover.startswith("journal"):
                path = os.path.join(server.dir, leftover)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        server.start()
        self.assertEqual(server.addresses("dev2"), [])
        svc.start()
        self.assert_published(server, "dev2", ["10.9.0.2"])

    def test_bind_follows_the_table(self):
        self.check_changes_follow_the_table("bind")

    def test_knot_follows_the_table(self):
        self.check_changes_follow_the_table("knot")
