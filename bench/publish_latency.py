#!/usr/bin/env python3
"""Time from a registration's acknowledgement to the site DNS server's
answer: the service publishes into a BIND (named) and a Knot (knotd) zone
on loopback; for each of N names a registration is sent, and once it is
acknowledged the server is asked (dig, every 10 ms) until it gives the
address. Not a test: it prints the median and the maximum per server, and
then the time a burst of registrations takes to be all published.

    bench/publish_latency.py [--build build/linux] [--names 100] [--burst 1000]
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))

import harness  # noqa: E402
from test_publish import DnsServer, ZONE, update_conf  # noqa: E402


def published(server, name, address):
    out = subprocess.run(["dig", "+short", "+norecurse", "+tries=1", "+time=1", "-p",
                          str(server.port), "@127.0.0.1", "%s.%s" % (name, ZONE), "A"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
    return address in out.split()


def run(kind, build, names, burst):
    server = DnsServer(kind).start()
    svc = harness.Service(update_conf(server.port))
    try:
        svc.start()
        delays = []
        for i in range(names):
            name, address = "lat%d" % i, "10.77.%d.%d" % (i // 250, i % 250 + 1)
            if svc.register(name, address) is None:
                raise SystemExit("no acknowledgement for %s" % name)
            acked = time.monotonic()
            while not published(server, name, address):
                if time.monotonic() - acked > 30:
                    raise SystemExit("%s not published within 30 s" % name)
                time.sleep(0.01)
            delays.append(time.monotonic() - acked)
        print("%-5s slowest: name %d of %d" % (kind, delays.index(max(delays)), names))
        # What one look costs (a dig process), which every figure above includes.
        looks = []
        for _ in range(20):
            start = time.monotonic()
            published(server, "lat0", "10.77.0.1")
            looks.append(time.monotonic() - start)
        print("%-5s ack -> server answer over %d names: median %.1f ms, max %.1f ms "
              "(one look with dig: median %.1f ms)"
              % (kind, names, statistics.median(delays) * 1000, max(delays) * 1000,
                 statistics.median(looks) * 1000))
        failures = [m for m in svc.log_messages() if m.startswith("update ") and "NOERROR" not in m]
        if failures:
            print("%-5s %d failed updates, first: %s" % (kind, len(failures), failures[0]))

        # A burst: all sent at once, then the last one waited for.
        start = time.monotonic()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for i in range(burst):
                s.sendto(harness.registration("burst%d" % i, "10.78.%d.%d" % (i // 250, i % 250 + 1)),
                         ("127.0.0.1", svc.port))
                if i % 32 == 31:
                    time.sleep(0.002)
        last = burst - 1
        while not all(published(server, "burst%d" % i, "10.78.%d.%d" % (i // 250, i % 250 + 1))
                      for i in (0, burst // 2, last)):
            if time.monotonic() - start > 120:
                raise SystemExit("burst not published within 120 s")
            time.sleep(0.05)
        print("%-5s burst of %d registrations: first, middle and last published after %.2f s"
              % (kind, burst, time.monotonic() - start))
    finally:
        svc.cleanup()
        server.cleanup()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--names", type=int, default=100)
    parser.add_argument("--burst", type=int, default=1000)
    args = parser.parse_args()
    harness.configure(program=os.path.join(args.build, "tarvik"),
                      register=os.path.join(args.build, "tarvik-register"),
                      crash_probe=os.path.join(args.build, "crash-probe"), wine=False)
    for kind in ("bind", "knot"):
        run(kind, args.build, args.names, args.burst)


if __name__ == "__main__":
    main()
