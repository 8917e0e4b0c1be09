"""Real resolvers and clients, set up as a user would, against the running
service: dnsmasq, unbound, BIND, Knot Resolver and the PowerDNS Recursor
sending tarvik. to it (the last four validating DNSSEC from a private signed
root that, like the real one, proves tarvik. does not exist), and glibc's
and musl's getaddrinfo with resolv.conf naming it. Clients that only ask
port 53 (and a resolver that follows the NS record to ns.tarvik) need the
service on port 53: those tests run in a private mount and network namespace
of their own, with only the loopback interface up, resolv.conf bind-mounted
over inside it, and an upstream server or the private root, where one is
needed, in a second namespace of its own behind a veth link; those run
against the Linux build, and the ones that boot a Wine prefix inside the
namespace against the Windows exe too."""
import ctypes
import os
import pickle
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import unittest

import harness
from test_dns import dig

CLONE_NEWNS = 0x00020000
CLONE_NEWNET = 0x40000000

# A client that answers "at once" does so well within this; one that waits
# for a silent server takes 5 s or more.
AT_ONCE = 2.0

MUSL_PROGRAM = r"""
#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <sys/socket.h>

/* Prints every address getaddrinfo gives for argv[1], one a line. */
int main(int argc, char** argv) {
  struct addrinfo hints = {0};
  struct addrinfo* list;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (argc != 2) return 3;
  int rc = getaddrinfo(argv[1], NULL, &hints, &list);
  if (rc != 0) {
    printf("error: %s\n", gai_strerror(rc));
    return 2;
  }
  for (struct addrinfo* p = list; p; p = p->ai_next) {
    char text[64];
    const void* address = p->ai_family == AF_INET
        ? (const void*)&((struct sockaddr_in*)p->ai_addr)->sin_addr
        : (const void*)&((struct sockaddr_in6*)p->ai_addr)->sin6_addr;
    printf("%s\n", inet_ntop(p->ai_family, address, text, sizeof text));
  }
  freeaddrinfo(list);
  return 0;
}
"""


def free_port():
    return harness.free_udp_port()


def in_private_namespace(function, wine=False):
    """Runs function() in a forked child inside a new mount and network
    namespace with the loopback interface up; what the child raises is
    raised here (a skip as a skip, anything else as an AssertionError with
    the child's traceback). Under Wine the sockets are the wineserver's, so
    with `wine` the child boots a Wine prefix of its own inside the
    namespace (some seconds), else the test is skipped."""
    if harness.WINE and not wine:
        raise unittest.SkipTest("under Wine the wineserver, outside the test's private network "
                                "namespace, creates the sockets")
    if os.geteuid() != 0:
        raise unittest.SkipTest("a private network namespace needs root")
    sys.stdout.flush()
    sys.stderr.flush()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.unshare(CLONE_NEWNS | CLONE_NEWNET) != 0:
                outcome = ("skip", "unshare of a mount and network namespace refused (errno %d)"
                           % ctypes.get_errno())
            else:
                subprocess.run(["mount", "--make-rprivate", "/"], check=True)
                subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
                if harness.WINE:
                    outcome = ("ok", with_wine_prefix_here(function))
                else:
                    outcome = ("ok", function())
        except unittest.SkipTest as e:
            outcome = ("skip", str(e))
        except BaseException:
            outcome = ("error", traceback.format_exc())
        with os.fdopen(write_end, "wb") as f:
            f.write(pickle.dumps(outcome))
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        data = f.read()
    os.waitpid(pid, 0)
    kind, value = pickle.loads(data) if data else ("error", "the namespace child died")
    if kind == "skip":
        raise unittest.SkipTest(value)
    if kind == "error":
        raise AssertionError("in the private namespace:\n" + value)
    return value


def with_wine_prefix_here(function):
    """function() with the harness's Wine commands in a new prefix whose
    wineserver starts in this process's network namespace."""
    root = tempfile.mkdtemp(prefix="tarvik-wine-ns-")
    env = harness.new_wine_env(os.path.join(root, "prefix"))
    try:
        harness.init_wine_prefix(env)
        harness.WINE_ENV = env
        return function()
    finally:
        harness.stop_wineserver(env)
        shutil.rmtree(root, ignore_errors=True)


class Cleanup:
    """Undo actions for code that runs in the namespace child, where the test
    case's own cleanups do not run."""

    def __init__(self):
        self.actions = []

    def add(self, action, *args):
        self.actions.append((action, args))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for action, args in reversed(self.actions):
            try:
                action(*args)
            except Exception:
                pass


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def linked_namespace(cleanup, link, near, far):
    """A second network namespace of its own, linked to this one by the veth
    pair LINK0 (here, address NEAR) and LINK1 (there, address FAR, a /30);
    returns the command prefix that runs a program inside it."""
    holder = subprocess.Popen(["unshare", "-n", "sleep", "600"])
    cleanup.add(stop_process, holder)
    time.sleep(0.1)
    pid = str(holder.pid)
    inside = ["nsenter", "-t", pid, "-n"]
    subprocess.run(["ip", "link", "add", link + "0", "type", "veth", "peer", "name",
                    link + "1", "netns", pid], check=True)
    subprocess.run(["ip", "addr", "add", near + "/30", "dev", link + "0"], check=True)
    subprocess.run(["ip", "link", "set", link + "0", "up"], check=True)
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "addr", "add", far + "/30", "dev", link + "1"],
                    ["ip", "link", "set", link + "1", "up"]):
        subprocess.run(inside + command, check=True)
    return inside


def start_upstream(cleanup, folder, records):
    """An upstream server (dnsmasq answering `records`, (name, addresses...)
    tuples, and refusing the rest) at
    198.51.100.2:53 in a second namespace of its own, linked to this one by
    a veth pair; returns its address. With no records nothing listens there,
    so every query is refused (ICMP port unreachable)."""
    inside = linked_namespace(cleanup, "tarvik-up", "198.51.100.1", "198.51.100.2")
    if not records:
        # The kernel sends "port unreachable" to one peer about once a
        # second after a short burst; a refusal that never arrives would
        # look like a silent server.
        subprocess.run(inside + ["sysctl", "-q", "-w", "net.ipv4.icmp_ratelimit=0"], check=True)
        return "198.51.100.2"
    args = inside + ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "-C",
                     "/dev/null", "--listen-address=198.51.100.2", "--bind-interfaces",
                     "--port=53", "--user=root", "--pid-file=" + os.path.join(folder, "up.pid")]
    args += ["--host-record=" + ",".join(record) for record in records]
    server = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cleanup.add(stop_process, server)
    if not harness.wait_for(lambda: udp_answers("198.51.100.2", 53, records[0][0]), 5.0):
        raise AssertionError("the upstream dnsmasq did not start")
    return "198.51.100.2"


# A root zone that, like the real one, is signed and knows no tarvik.: its
# NSEC chain proves that the name does not exist.
ROOT_ADDRESS = "198.51.100.6"
ROOT_ZONE = """$TTL 3600
. IN SOA ns.root-server. hostmaster.root-server. 1 1800 900 604800 3600
. IN NS ns.root-server.
ns.root-server. IN A %s
""" % ROOT_ADDRESS
ROOT_NAMED_CONF = """options {
  directory "%(dir)s";
  pid-file "%(dir)s/named.pid";
  session-keyfile "%(dir)s/session.key";
  managed-keys-directory "%(dir)s";
  listen-on port 53 { %(address)s; };
  listen-on-v6 { none; };
  recursion no;
  notify no;
  dnssec-validation no;
};
controls { };
zone "." { type primary; file "%(dir)s/root.signed"; };
"""
ROOT_HINTS = """. 3600000 NS ns.root-server.
ns.root-server. 3600000 A %s
""" % ROOT_ADDRESS


# named as a site's resolver: recursion from the root hints, validation
# from the private root's key alone, tarvik forwarded to the service.
RESOLVER_NAMED_CONF = """options {
  directory "%(dir)s";
  pid-file "%(dir)s/named.pid";
  session-keyfile "%(dir)s/session.key";
  managed-keys-directory "%(dir)s";
  listen-on port %(port)d { 127.0.0.1; };
  listen-on-v6 { none; };
  recursion yes;
  allow-recursion { 127.0.0.0/8; };
  notify no;
  dnssec-validation yes;
  %(exempt)s
};
controls { };
trust-anchors { "." static-key %(anchor)s; };
zone "." { type hint; file "%(dir)s/root.hints"; };
zone "tarvik" { type forward; forward only; forwarders { 127.0.0.1 port 53; }; };
"""


def named_argv(conf):
    return ["named", "-g", "-c", conf] + (["-u", "root"] if os.geteuid() == 0 else [])


def bind_resolver(work, port, anchor, setting):
    with open(os.path.join(work, "root.hints"), "w") as f:
        f.write(ROOT_HINTS)
    conf = os.path.join(work, "named.conf")
    with open(conf, "w") as f:
        f.write(RESOLVER_NAMED_CONF % {
            "dir": work, "port": port, "anchor": '%s "%s"' % tuple(anchor["DNSKEY"].rsplit(" ", 1)),
            "exempt": 'validate-except { "tarvik"; };' if setting else ""})
    return named_argv(conf)


# The lines docs/resolvers.md gives for Knot Resolver, with the service at
# 192.168.1.10. Without a setting, FORWARD alone: it validates, and the root
# proves that tarvik. does not exist.
KNOT_RESOLVER_SETTINGS = {
    None: ["policy.add(policy.suffix(policy.FORWARD('192.168.1.10'), { todname('tarvik.') }))"],
    "STUB": ["policy.add(policy.suffix(policy.STUB('192.168.1.10'), { todname('tarvik.') }))"],
    "FORWARD": ["policy.add(policy.suffix(policy.FLAGS({'NO_CACHE'}), { todname('tarvik.') }))",
                "policy.add(policy.suffix(policy.FORWARD('192.168.1.10'), { todname('tarvik.') }))",
                "trust_anchors.set_insecure({ 'tarvik' })"],
}
RESOLVERS_DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "resolvers.md")


def knot_resolver(work, port, anchor, setting):
    """The kresd.conf lines of the README, the service's address put in."""
    with open(os.path.join(work, "root.key"), "w") as f:
        f.write(". IN DNSKEY %s\n" % anchor["DNSKEY"])
    conf = os.path.join(work, "kresd.conf")
    with open(conf, "w") as f:
        f.write("""log_target('stderr')
cache.open(10 * MB, 'lmdb://%(dir)s/cache')
net.listen('127.0.0.1', %(port)d, { kind = 'dns' })
net.ipv6 = false
modules.load('hints > iterate')
hints.root({ ['ns.root-server.'] = '%(root)s' })
trust_anchors.remove('.')
trust_anchors.add_file('%(dir)s/root.key', true)
""" % {"dir": work, "port": port, "root": ROOT_ADDRESS})
        for line in KNOT_RESOLVER_SETTINGS[setting]:
            f.write(line.replace("'192.168.1.10'", "'127.0.0.1@53'") + "\n")
    return ["kresd", "-n", "-c", conf, work]


def powerdns_recursor(work, port, anchor, setting):
    """`dont-query` is emptied for the private root, whose address is in a
    range the default leaves out (forward-zones are asked regardless)."""
    with open(os.path.join(work, "root.hints"), "w") as f:
        f.write(ROOT_HINTS)
    with open(os.path.join(work, "recursor.lua"), "w") as f:
        f.write("clearTA()\naddTA('.', '%s')\n" % anchor["DS"])
        if setting:
            f.write("addNTA('tarvik')\n")
    with open(os.path.join(work, "recursor.conf"), "w") as f:
        f.write("""local-address=127.0.0.1
local-port=%(port)d
allow-from=127.0.0.0/8
dnssec=validate
hint-file=%(dir)s/root.hints
dont-query=
forward-zones=tarvik=127.0.0.1:53
lua-config-file=%(dir)s/recursor.lua
socket-dir=%(dir)s
daemon=no
disable-syslog=yes
security-poll-suffix=
""" % {"dir": work, "port": port})
    return ["pdns_recursor", "--config-dir=" + work]


def start_private_root(cleanup, folder):
    """The signed root zone, served by named at ROOT_ADDRESS:53 in a second
    namespace of its own (port 53 here is the service's); returns its
    key-signing key as "DNSKEY" and "DS" record data, the only trust anchor
    the resolvers get."""
    work = tempfile.mkdtemp(prefix="root-", dir=folder)
    with open(os.path.join(work, "root.db"), "w") as f:
        f.write(ROOT_ZONE)
    keys = []
    for role in (["-f", "KSK"], []):
        made = subprocess.run(["dnssec-keygen", "-q", "-K", work, "-a", "ECDSAP256SHA256"] +
                              role + ["."], stdout=subprocess.PIPE, check=True)
        keys.append(made.stdout.decode().strip())
    subprocess.run(["dnssec-signzone", "-q", "-K", work, "-S", "-o", ".", "-f",
                    os.path.join(work, "root.signed"), os.path.join(work, "root.db")],
                   cwd=work, stdout=subprocess.DEVNULL, check=True)
    with open(os.path.join(work, keys[0] + ".key")) as f:
        record = [line.split() for line in f if line.strip() and not line.startswith(";")][0]
    dnskey = record[record.index("DNSKEY") + 1:]
    with open(os.path.join(work, "dsset-.")) as f:
        ds = f.read().split()
    conf = os.path.join(work, "named.conf")
    with open(conf, "w") as f:
        f.write(ROOT_NAMED_CONF % {"dir": work, "address": ROOT_ADDRESS})
    inside = linked_namespace(cleanup, "tarvik-root", "198.51.100.5", ROOT_ADDRESS)
    root = subprocess.Popen(inside + named_argv(conf), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cleanup.add(stop_process, root)
    if not harness.wait_for(lambda: b"status: NOERROR" in subprocess.run(
            ["dig", "+norecurse", "+tries=1", "+time=1", "@" + ROOT_ADDRESS, ".", "SOA"],
            stdout=subprocess.PIPE).stdout, 20.0):
        raise AssertionError("the private root server did not start")
    return {"DNSKEY": " ".join(dnskey[:3] + ["".join(dnskey[3:])]),
            "DS": " ".join(ds[ds.index("DS") + 1:])}


def assert_validates(test, port, where):
    """The private root's SOA comes back authenticated (AD): the resolver at
    `port` validates, from the private root's key. (Not a name of the root
    hints, which a resolver may answer from them.)"""
    status, flags, sections, out = dig(port, ".", "SOA", options=["+dnssec"])
    test.assertEqual(status, "NOERROR", where + "\n" + out)
    test.assertIn("ad", flags, where + ": not validated\n" + out)


def udp_answers(address, port, name):
    from test_dns import raw_query
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        try:
            s.sendto(raw_query(name), (address, port))
            return bool(s.recv(512))
        except OSError:
            return False


def start_service(cleanup, conf):
    """The service with DNS on port 53 and ns.tarvik at 127.0.0.1, names
    registered, verbose."""
    svc = harness.Service(conf="tarvik-server-ip 127.0.0.1\nverbose\n" + conf, dns_port=53)
    cleanup.add(svc.cleanup)
    svc.start()
    for name, address in (("dev", "192.168.1.20"), ("Printer", "192.168.1.21")):
        if svc.register(name, address) is None:
            raise AssertionError("registration of %s not acknowledged" % name)
    return svc


class ResolverTest(harness.ServiceTest):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tarvik-resolvers-")
        cls.musl_program = None
        if shutil.which("musl-gcc"):
            source = os.path.join(cls.folder, "resolve.c")
            with open(source, "w") as f:
                f.write(MUSL_PROGRAM)
            program = os.path.join(cls.folder, "resolve-musl")
            subprocess.run(["musl-gcc", "-static", "-O1", "-o", program, source], check=True)
            cls.musl_program = program

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def require(self, program):
        self.assertIsNotNone(shutil.which(program), program + " is missing: scripts/install-deps")

    # --- dnsmasq: the port is its own, no namespace needed -----------------

    def test_dnsmasq_mixed_case_never_poisons_the_lower_case_name(self):
        self.require("dnsmasq")
        svc = self.service(conf="tarvik-server-ip 10.0.0.53\n", dns_port=free_port())
        self.assertIsNotNone(svc.register("meter1", "192.168.1.20"))
        port = free_port()
        folder = tempfile.mkdtemp(prefix="tarvik-dnsmasq-")
        self.addCleanup(shutil.rmtree, folder, True)
        resolver = subprocess.Popen(
            ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "-C", "/dev/null",
             "--listen-address=127.0.0.1", "--bind-interfaces", "--port=%d" % port,
             "--user=root", "--pid-file=" + os.path.join(folder, "pid"),
             "--server=/tarvik/127.0.0.1#%d" % svc.dns_port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, resolver)
        self.assertTrue(harness.wait_for(lambda: udp_answers("127.0.0.1", port, "x.tarvik"), 5.0))

        # Each spelling is asked first in mixed case, then in lower case,
        # which dnsmasq may answer from its cache.
        cases = [  # names in the order asked, status, answer
            (("MeTeR1.TaRvIk", "meter1.tarvik", "METER1.TARVIK"), "NOERROR", "192.168.1.20"),
            (("NoBoDy.TaRvIk", "nobody.tarvik"), "NXDOMAIN", None),
        ]
        for names, expected, address in cases:
            for name in names:
                with self.subTest(name=name):
                    status, _, sections, out = dig(port, name)
                    self.assertEqual(status, expected, out)
                    answer = [r[-1] for r in sections.get("ANSWER", [])]
                    self.assertEqual(answer, [address] if address else [], out)
        # AAAA of a registered name: no data, in any case, not a name error.
        for name in ("MeTeR1.TaRvIk", "meter1.tarvik"):
            status, _, _, out = dig(port, name, "AAAA")
            self.assertEqual(status, "NOERROR", out)

    # --- unbound: stub zones (priming follows NS to ns.tarvik:53), forward zone

    def test_unbound_stub_and_forward_zones(self):
        """unbound as it is usually run, validating DNSSEC (here from the
        private root's key): without `domain-insecure` every .tarvik name is
        SERVFAIL, since the root proves tarvik. does not exist; with it the
        names resolve and the root's own names still validate."""
        self.require("unbound")
        self.require("dnssec-signzone")
        folder = self.folder

        def scenario():
            with Cleanup() as cleanup:
                svc = start_service(cleanup, "")
                anchor = start_private_root(cleanup, folder)
                self.unbound_variant(cleanup, folder, svc, anchor, "no", "no", exempt=False)
                variants = [  # use-caps-for-id, stub-prime (None: a forward zone instead)
                    ("yes", "no"),
                    ("no", "yes"),
                    ("yes", "yes"),
                    ("no", None),
                ]
                for caps, prime in variants:
                    self.unbound_variant(cleanup, folder, svc, anchor, caps, prime)

        in_private_namespace(scenario)

    def unbound_variant(self, cleanup, folder, svc, anchor, caps, prime, exempt=True):
        where = "use-caps-for-id: %s, %s, domain-insecure: %s" % (
            caps, "forward-zone" if prime is None else "stub-prime: " + prime,
            "tarvik" if exempt else "none")
        if prime is None:
            zone = 'forward-zone:\n  name: "tarvik."\n  forward-addr: 127.0.0.1@53\n'
        else:
            zone = ('stub-zone:\n  name: "tarvik."\n  stub-addr: 127.0.0.1@53\n'
                    '  stub-prime: %s\n' % prime)
        port = free_port()
        work = tempfile.mkdtemp(prefix="unbound-", dir=folder)
        with open(os.path.join(work, "root.key"), "w") as f:
            f.write(". IN DNSKEY %s\n" % anchor["DNSKEY"])
        with open(os.path.join(work, "root.hints"), "w") as f:
            f.write(ROOT_HINTS)
        conf = os.path.join(work, "unbound.conf")
        with open(conf, "w") as f:
            f.write("""server:
  interface: 127.0.0.1@%d
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  do-not-query-localhost: no
  username: ""
  chroot: ""
  directory: "%s"
  pidfile: "%s/pid"
  use-syslog: no
  logfile: "%s/log"
  verbosity: 1
  val-log-level: 2
  module-config: "validator iterator"
  trust-anchor-file: "%s/root.key"
  root-hints: "%s/root.hints"
  use-caps-for-id: %s
%s%s""" % (port, work, work, work, work, work, caps,
           '  domain-insecure: "tarvik"\n' if exempt else "", zone))
        # A second of its own for this variant's query records: the log holds
        # back more than 10 of a kind within one second.
        time.sleep(1.1)
        log_before = len(svc.log())
        unbound = subprocess.Popen(["unbound", "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        cleanup.add(stop_process, unbound)
        if not harness.wait_for(lambda: udp_answers("127.0.0.1", port, "ns.tarvik"), 5.0):
            raise AssertionError("unbound did not start (%s): %s" % (where, unbound.stderr))
        try:
            assert_validates(self, port, where)
        except AssertionError as e:
            with open(os.path.join(work, "log"), errors="replace") as f:
                raise AssertionError("%s\nunbound's log:\n%s" % (e, f.read()[-3000:]))
        if not exempt:
            for name, qtype in (("dev.tarvik", "A"), ("nobody.tarvik", "A"), ("tarvik", "SOA")):
                status, _, _, out = dig(port, name, qtype)
                self.assertEqual(status, "SERVFAIL", where + "\n" + out)
            stop_process(unbound)
            return

        # A cache as a resolver in use has it: a name in a top-level domain
        # that does not exist leaves the root's NSEC that also proves tarvik.
        # absent, which a resolver may use to answer without asking anyone.
        status, _, sections, out = dig(port, "unregistered", "A", options=["+dnssec"])
        self.assertEqual(status, "NXDOMAIN", where + "\n" + out)
        self.assertIn(("ns.root-server.", "NSEC", "."),
                      [(r[0], r[3], r[4]) for r in sections.get("AUTHORITY", []) if len(r) > 4],
                      where + "\n" + out)
        cases = [  # name, type, status, answer
            ("dev.tarvik", "A", "NOERROR", ["192.168.1.20"]),
            ("DeV.TaRvIk", "A", "NOERROR", ["192.168.1.20"]),
            ("printer.tarvik", "A", "NOERROR", ["192.168.1.21"]),
            ("ns.tarvik", "A", "NOERROR", ["127.0.0.1"]),
            ("dev.tarvik", "AAAA", "NOERROR", []),
            ("nobody.tarvik", "A", "NXDOMAIN", []),
            ("lab.printer.tarvik", "A", "NXDOMAIN", []),
        ]
        first_queries = None
        for name, qtype, expected, answer in cases:
            status, _, sections, out = dig(port, name, qtype)
            if first_queries is None:
                # The queries of the first lookup, before the log's flood
                # limit (10 records of a kind a second) can hold any back.
                first_queries = re.findall(r"dns query: '([^']*)'", svc.log()[log_before:])
            self.assertEqual(status, expected, where + "\n" + out)
            self.assertEqual([r[-1] for r in sections.get("ANSWER", [])], answer,
                             where + "\n" + out)
            if expected == "NXDOMAIN" or not answer:
                # Negative answers are cached by the SOA, for at most 32 s.
                soa = [r for r in sections.get("AUTHORITY", []) if r[3] == "SOA"]
                self.assertEqual(len(soa), 1, where + "\n" + out)
                self.assertTrue(0 <= int(soa[0][1]) <= 32, where + "\n" + out)
        queries = first_queries + re.findall(r"dns query: '([^']*)'", svc.log()[log_before:])
        if caps == "yes":
            self.assertTrue(any(q != q.lower() for q in queries),
                            "%s: no mixed-case query reached the service: %s" % (where, queries))
        if prime == "yes":
            self.assertIn("tarvik", [q.lower() for q in queries],
                          "%s: the zone's NS was never asked: %s" % (where, queries))
        stop_process(unbound)

    # --- validating resolvers sending tarvik to the service ---------------

    def test_validating_resolvers(self):
        """BIND, Knot Resolver and the PowerDNS Recursor, each validating
        from the private root's key and sending tarvik to the service, with
        the root's proof that tarvik. does not exist in their cache already:
        no answer for a .tarvik name without the setting the README gives
        for it, the service's answers with it, while the root's own names
        still validate."""
        resolvers = [  # name, program, configuration writer, settings that let tarvik in
            ("BIND", "named", bind_resolver, ["validate-except"]),
            ("Knot Resolver", "kresd", knot_resolver, ["STUB", "FORWARD"]),
            ("PowerDNS Recursor", "pdns_recursor", powerdns_recursor, ["addNTA"]),
        ]
        for _, program, _, _ in resolvers:
            self.require(program)
        with open(RESOLVERS_DOC) as f:
            documented = [line.strip() for line in f]
        for setting in ("STUB", "FORWARD"):
            for line in KNOT_RESOLVER_SETTINGS[setting]:
                self.assertIn(line, documented, "not the line docs/resolvers.md gives")
        self.require("dnssec-signzone")
        folder = self.folder

        def scenario():
            with Cleanup() as cleanup:
                start_service(cleanup, "")
                anchor = start_private_root(cleanup, folder)
                for resolver, _, configure, settings in resolvers:
                    for setting in [None] + settings:
                        self.validating_resolver(cleanup, folder, anchor, resolver, configure,
                                                 setting)

        in_private_namespace(scenario)

    def validating_resolver(self, cleanup, folder, anchor, resolver, configure, setting):
        where = "%s, %s" % (resolver, setting or "no setting for tarvik")
        port = free_port()
        work = tempfile.mkdtemp(prefix="resolver-", dir=folder)
        argv = configure(work, port, anchor, setting)
        output = open(os.path.join(work, "log"), "wb")
        cleanup.add(output.close)
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT)
        cleanup.add(stop_process, process)

        def log():
            with open(os.path.join(work, "log"), errors="replace") as f:
                return "\n%s's log:\n%s" % (resolver, f.read()[-3000:])

        if not harness.wait_for(lambda: udp_answers("127.0.0.1", port, "ns.root-server"), 20.0):
            raise AssertionError("%s did not start%s" % (where, log()))
        try:
            assert_validates(self, port, where)
        except AssertionError as e:
            raise AssertionError(str(e) + log())
        # A cache as a resolver in use has it: a name in a top-level domain
        # that does not exist leaves the root's NSEC that also proves tarvik.
        # absent, which a resolver may use to answer without asking anyone.
        status, _, sections, out = dig(port, "unregistered", "A", options=["+dnssec"])
        self.assertEqual(status, "NXDOMAIN", where + "\n" + out)
        self.assertIn(("ns.root-server.", "NSEC", "."),
                      [(r[0], r[3], r[4]) for r in sections.get("AUTHORITY", []) if len(r) > 4],
                      where + "\n" + out)
        cases = [  # name, type, status, answer
            ("dev.tarvik", "A", "NOERROR", ["192.168.1.20"]),
            ("PrInTeR.tarvik", "A", "NOERROR", ["192.168.1.21"]),
            ("dev.tarvik", "AAAA", "NOERROR", []),
            ("nobody.tarvik", "A", "NXDOMAIN", []),
        ]
        for name, qtype, expected, answer in cases:
            status, flags, sections, out = dig(port, name, qtype)
            if not setting:
                # Refused as bogus, or denied from the root's proof.
                self.assertIn(status, ("SERVFAIL", "NXDOMAIN"), where + "\n" + out)
                self.assertNotIn("ANSWER", sections, where + "\n" + out)
                continue
            self.assertEqual(status, expected, where + "\n" + out + log())
            self.assertEqual([r[-1] for r in sections.get("ANSWER", []) if r[3] == qtype],
                             answer, where + "\n" + out)
            self.assertNotIn("ad", flags, where + "\n" + out)
        stop_process(process)

    # --- getaddrinfo of glibc and musl with resolv.conf naming the service -

    def test_getaddrinfo_glibc_and_musl(self):
        self.require("getent")
        self.assertIsNotNone(self.musl_program, "musl-gcc is missing: scripts/install-deps")
        folder = self.folder
        musl = self.musl_program

        def resolve(client, name):
            command = ["getent", "ahosts", name] if client == "glibc" else [musl, name]
            started = time.monotonic()
            run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 timeout=30)
            elapsed = time.monotonic() - started
            addresses = sorted({line.split()[0] for line in run.stdout.decode().splitlines()
                                if run.returncode == 0 and line.strip()})
            return run.returncode, addresses, elapsed

        def scenario():
            with Cleanup() as cleanup:
                resolv = os.path.join(folder, "resolv.conf")
                open(resolv, "w").close()
                subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True)
                # A and AAAA, since musl ignores the REFUSED that dnsmasq
                # gives for a type it has no record of.
                upstream = start_upstream(cleanup, folder,
                                          [("www.example.test", "192.0.2.7", "2001:db8::7")])
                for with_upstream in (False, True):
                    conf = "dns-server-ip %s\n" % upstream if with_upstream else ""
                    svc = start_service(cleanup, conf)
                    for resolv_text in ("nameserver 127.0.0.1\n",
                                        "nameserver 127.0.0.1\nsearch tarvik\n",
                                        "nameserver 127.0.0.1\noptions edns0\n"):
                        with open(resolv, "w") as f:
                            f.write(resolv_text)
                        cases = [  # name, addresses (none: not found)
                            ("dev.tarvik", ["192.168.1.20"]),
                            ("DEV.Tarvik", ["192.168.1.20"]),
                            ("printer.tarvik", ["192.168.1.21"]),
                            ("nobody.tarvik", []),
                            ("lab.printer.tarvik", []),
                        ]
                        if "search" in resolv_text:
                            cases += [("dev", ["192.168.1.20"])]
                        if with_upstream:
                            cases += [("www.example.test", ["192.0.2.7", "2001:db8::7"])]
                        for client in ("glibc", "musl"):
                            for name, addresses in cases:
                                where = "%s, %s, upstream %s, resolv.conf %r" % (
                                    client, name, with_upstream, resolv_text)
                                rc, got, elapsed = resolve(client, name)
                                self.assertEqual(got, addresses, where)
                                self.assertEqual(rc == 0, bool(addresses), where)
                                self.assertLess(elapsed, AT_ONCE, where)
                        # Without an upstream server, other names are refused
                        # at once: glibc gives up on them without waiting.
                        # (musl ignores REFUSED and waits out its timeout.)
                        if not with_upstream:
                            for name in ("www.example.test", "nothing"):
                                rc, got, elapsed = resolve("glibc", name)
                                where = "glibc, %s, resolv.conf %r" % (name, resolv_text)
                                self.assertNotEqual(rc, 0, where)
                                self.assertLess(elapsed, AT_ONCE, where)
                    svc.cleanup()

        in_private_namespace(scenario)

    def test_glibc_gives_up_at_once_when_the_upstream_refuses(self):
        # The relay fails at once and the asker is told so (SERVFAIL): glibc
        # stops there instead of waiting out its timeouts (2 tries of 5 s).
        self.require("getent")
        folder = self.folder

        def scenario():
            with Cleanup() as cleanup:
                resolv = os.path.join(folder, "resolv.conf")
                open(resolv, "w").close()
                subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True)
                upstream = start_upstream(cleanup, folder, [])
                svc = start_service(cleanup, "dns-server-ip %s\n" % upstream)
                # UDP, and TCP (use-vc). Under Wine a UDP socket never hears
                # that the port is closed, so the relay fails only when it
                # expires (5 s): still one answer within glibc's first try.
                udp_bound = 8.0 if harness.WINE else AT_ONCE
                for resolv_text, bound in (("nameserver 127.0.0.1\n", udp_bound),
                                           ("nameserver 127.0.0.1\noptions use-vc\n", AT_ONCE)):
                    with open(resolv, "w") as f:
                        f.write(resolv_text)
                    started = time.monotonic()
                    run = subprocess.run(["getent", "ahosts", "www.example.test"],
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                         timeout=30)
                    elapsed = time.monotonic() - started
                    where = "resolv.conf %r: %s" % (resolv_text, run.stdout.decode())
                    self.assertNotEqual(run.returncode, 0, where)
                    self.assertLess(elapsed, bound, where)
                    # Local names still resolve.
                    run = subprocess.run(["getent", "ahosts", "dev.tarvik"],
                                         stdout=subprocess.PIPE, timeout=30)
                    self.assertIn(b"192.168.1.20", run.stdout, resolv_text)
                svc.cleanup()

        in_private_namespace(scenario, wine=True)


if __name__ == "__main__":
    unittest.main()
