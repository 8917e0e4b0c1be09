"""Who gets other names relayed. Without allow-from only senders on the
machine's own subnets and loopback do; others get REFUSED, and `.tarvik`
answers stay open to all. Senders on other subnets need addresses of their
own: the service runs in a private network namespace with an upstream server
in a second one and the senders in a third, each behind a veth link; under
Wine with a Wine prefix booted inside that namespace, since the wineserver
creates the sockets."""
import re
import subprocess
import tempfile
import shutil
import time

import harness
from test_dns import dig
from test_resolvers import Cleanup, in_private_namespace, start_service, start_upstream, \
    stop_process

SERVICE = "203.0.113.1"   # the service's address on the senders' link, a /24
NEIGHBOUR = "203.0.113.2"  # a sender on that subnet
STRANGER = "198.18.7.2"    # a sender on another subnet, routed over the same link
RELAYED = ("www.example.test", "192.0.2.7")


def start_senders(cleanup):
    """A third namespace linked to this one, holding NEIGHBOUR and STRANGER;
    this side gets SERVICE/24 and a route to STRANGER's subnet. Returns the
    command prefix that runs a program there."""
    holder = subprocess.Popen(["unshare", "-n", "sleep", "600"])
    cleanup.add(stop_process, holder)
    time.sleep(0.1)
    pid = str(holder.pid)
    inside = ["nsenter", "-t", pid, "-n"]
    for command in (
            ["ip", "link", "add", "tarvik-cl0", "type", "veth", "peer", "name", "tarvik-cl1",
             "netns", pid],
            ["ip", "addr", "add", SERVICE + "/24", "dev", "tarvik-cl0"],
            ["ip", "link", "set", "tarvik-cl0", "up"],
            ["ip", "route", "add", "198.18.7.0/24", "dev", "tarvik-cl0"]):
        subprocess.run(command, check=True)
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "addr", "add", NEIGHBOUR + "/24", "dev", "tarvik-cl1"],
                    ["ip", "addr", "add", STRANGER + "/24", "dev", "tarvik-cl1"],
                    ["ip", "link", "set", "tarvik-cl1", "up"]):
        subprocess.run(inside + command, check=True)
    return inside


def ask(inside, source, name, tcp=False, server=SERVICE):
    """dig from `source` in the senders' namespace to the service on port 53;
    returns (status or None when nothing came back, flags, A records)."""
    out = subprocess.run(
        inside + ["dig", "+tcp" if tcp else "+notcp", "+tries=1", "+time=2", "-b", source,
                  "-p", "53", "@" + server, name, "A"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=15).stdout.decode()
    status = re.search(r"status: (\w+)", out)
    flags = re.search(r";; flags: ([a-z ]*);", out)
    answer = re.search(r";; ANSWER SECTION:\n(.*?)(\n\n|$)", out, re.S)
    answers = re.findall(r"\sIN\s+A\s+(\S+)$", answer.group(1), re.M) if answer else []
    return (status.group(1) if status else None,
            set(flags.group(1).split()) if flags else set(), answers)


class RelayPolicyTest(harness.ServiceTest):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tarvik-relay-policy-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def test_only_local_subnets_get_names_relayed_unless_allow_from_says(self):
        folder = self.folder

        def scenario():
            with Cleanup() as cleanup:
                upstream = start_upstream(cleanup, folder, [RELAYED])
                inside = start_senders(cleanup)
                svc = start_service(cleanup, "dns-server-ip %s\n" % upstream)
                self.assertIn("dns: relaying for local subnets only", svc.log_messages())

                cases = [  # source, name, status, answers
                    (STRANGER, RELAYED[0], "REFUSED", []),
                    (STRANGER, "dev.tarvik", "NOERROR", ["192.168.1.20"]),
                    (STRANGER, "nobody.tarvik", "NXDOMAIN", []),
                    (NEIGHBOUR, RELAYED[0], "NOERROR", [RELAYED[1]]),
                    (NEIGHBOUR, "dev.tarvik", "NOERROR", ["192.168.1.20"]),
                ]
                for source, name, expected, answers in cases:
                    for tcp in (False, True):
                        where = "%s asks %s over %s" % (source, name, "TCP" if tcp else "UDP")
                        status, flags, got = ask(inside, source, name, tcp)
                        self.assertEqual((status, got), (expected, answers), where)
                        if expected == "REFUSED":
                            # No recursion offered to this asker.
                            self.assertNotIn("ra", flags, where)
                # Loopback is inside.
                status, _, sections, out = dig(53, RELAYED[0])
                self.assertEqual(status, "NOERROR", out)
                self.assertEqual([r[-1] for r in sections.get("ANSWER", [])], [RELAYED[1]], out)

                # The machine's addresses are read again while it runs: an
                # address gained puts its subnet inside, one lost takes it out.
                # (The stranger then asks the new address: under Wine an
                # answer leaves from the address the route prefers, whatever
                # address was asked.)
                subprocess.run(["ip", "route", "del", "198.18.7.0/24", "dev", "tarvik-cl0"],
                               check=True)
                subprocess.run(["ip", "addr", "add", "198.18.7.1/24", "dev", "tarvik-cl0"],
                               check=True)
                self.assertTrue(harness.wait_for(
                    lambda: ask(inside, STRANGER, RELAYED[0], server="198.18.7.1")[0] == "NOERROR",
                    10.0, 0.5),
                    "a new address of the machine did not count within 10 s")
                subprocess.run(["ip", "addr", "del", "198.18.7.1/24", "dev", "tarvik-cl0"],
                               check=True)
                subprocess.run(["ip", "route", "add", "198.18.7.0/24", "dev", "tarvik-cl0"],
                               check=True)
                self.assertTrue(harness.wait_for(
                    lambda: ask(inside, STRANGER, RELAYED[0])[0] == "REFUSED", 10.0, 0.5),
                    "an address the machine lost still counted after 10 s")
                svc.cleanup()

                # allow-from decides alone: the stranger it lists is relayed
                # for, the neighbour it leaves out gets nothing at all.
                svc = start_service(cleanup, "dns-server-ip %s\nallow-from 198.18.7.0/24, "
                                             "127.0.0.0/8\n" % upstream)
                self.assertNotIn("dns: relaying for local subnets only", svc.log_messages())
                for tcp in (False, True):
                    self.assertEqual(ask(inside, STRANGER, RELAYED[0], tcp)[::2],
                                     ("NOERROR", [RELAYED[1]]))
                    self.assertIsNone(ask(inside, NEIGHBOUR, RELAYED[0], tcp)[0])
                svc.cleanup()

        in_private_namespace(scenario, wine=True)


if __name__ == "__main__":
    import unittest
    unittest.main()
