#!/usr/bin/env python3
"""What a site zone looks like after the five ways publishing used to leave
it wrong, measured against a real BIND (named) on loopback, with a relay in
front of it where the server must vanish or a forger must answer. Not a
test: it prints one line per case, for comparing two builds.

    bench/publish_faults.py [--build build/linux] [--quiet 20] [--wait 30]

1. the admin's ns1 and printer, registered by devices and then dropped;
2. a removal unsent at stop, after the next start;
3. 40 names through one address with max-names 5 and the server down,
   then `legit`: when `legit` reaches the zone;
4. a name the server refuses (bad_name, and one its policy denies), then a
   quiet time, then a new device: how long the device takes to the zone;
5. a forger answering every update with unsigned BADKEY/BADSIG/BADTIME:
   how many of 40 names are in the zone after 20 s, and how many updates
   were sent.
"""
import argparse
import itertools
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))

import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from test_publish import (DnsServer, KEY_NAME, Relay, ZONE, unsigned_key_error,  # noqa: E402
                          update_conf)


def service(conf):
    svc = harness.Service(conf)
    svc.start()
    return svc


def restart(svc):
    starts = svc.log_messages().count("Started 1.0b")
    svc.start(wait=False)
    wait_for(lambda: svc.log_messages().count("Started 1.0b") > starts, harness.START_TIMEOUT)


def case_1():
    server = DnsServer("bind", records="ns1 IN A 127.0.0.1\nprinter IN A 10.9.9.9\n").start()
    svc = service(update_conf(server.port))
    try:
        svc.register("ns1", "10.66.66.66")
        svc.register("printer", "10.66.66.67")
        time.sleep(2)
        during = (server.addresses("ns1"), server.addresses("printer"))
        svc.register("x1", "10.66.66.66")
        svc.register("x2", "10.66.66.67")
        time.sleep(5)
        after = (server.addresses("ns1"), server.addresses("printer"))
        failed = server.log().count("update failed")
        print("case 1: ns1/printer while registered %s/%s, after they left the table %s/%s "
              "(admin's: ['127.0.0.1']/['10.9.9.9']); failed updates in BIND's log in 5 s: %d"
              % (during[0], during[1], after[0], after[1], failed))
    finally:
        svc.cleanup()
        server.cleanup()


def case_2():
    server = DnsServer("bind").start()
    relay = Relay(server.port)
    svc = service(update_conf(relay.port))
    try:
        svc.register("t1", "10.5.0.1")
        wait_for(lambda: server.addresses("t1") == ["10.5.0.1"], 5)
        relay.down = True
        svc.register("t2", "10.5.0.1")
        time.sleep(0.5)
        svc.stop()
        relay.down = False
        restart(svc)
        time.sleep(5)
        print("case 2: 5 s after the restart: t1 %s, t2 %s (the table holds t2 only)"
              % (server.addresses("t1"), server.addresses("t2")))
    finally:
        svc.cleanup()
        relay.close()
        server.cleanup()


def case_3(wait):
    server = DnsServer("bind").start()
    relay = Relay(server.port)
    svc = service(update_conf(relay.port) + "max-names 5\n")
    try:
        relay.down = True
        for i in range(40):
            svc.register("cycle%d" % i, "10.6.0.1")
        svc.register("legit", "10.6.0.99")
        time.sleep(1)
        relay.down = False
        back = time.monotonic()
        present = wait_for(lambda: server.addresses("legit") == ["10.6.0.99"], wait, interval=0.2)
        print("case 3: legit %s %.1f s after the server is back"
              % ("published" if present else "still missing", time.monotonic() - back))
    finally:
        svc.cleanup()
        relay.close()
        server.cleanup()


def case_4(quiet):
    server = DnsServer("bind", policy="deny %s name refused.%s ANY; " % (KEY_NAME, ZONE)).start()
    svc = service(update_conf(server.port))
    try:
        svc.register("bad_name", "10.7.0.2")
        svc.register("refused", "10.7.0.1")
        time.sleep(quiet)
        started = time.monotonic()
        svc.register("good", "10.7.0.3")
        wait_for(lambda: server.addresses("good") == ["10.7.0.3"], 120, interval=0.01)
        delay = time.monotonic() - started
        refusals = server.log().count("(REFUSED)")
        print("case 4: a device registered after %d quiet s reached the zone after %.3f s; "
              "%d refusals in BIND's log" % (quiet, delay, refusals))
    finally:
        svc.cleanup()
        server.cleanup()


def case_5():
    server = DnsServer("bind").start()
    turn = itertools.count()
    relay = Relay(server.port, forge=lambda request: unsigned_key_error(request, (17, 16, 18)[next(turn) % 3]))
    svc = service(update_conf(relay.port))
    try:
        serial = server.serial()
        for i in range(40):
            svc.register("f%d" % i, "10.8.8.%d" % (i + 1))
        time.sleep(20)
        print("case 5: with a forger answering unsigned BADKEY/BADSIG/BADTIME: %d of 40 names in "
              "the zone after 20 s, %d updates sent" % (server.serial() - serial, relay.requests))
    finally:
        svc.cleanup()
        relay.close()
        server.cleanup()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--quiet", type=int, default=20, help="case 4's quiet time, seconds")
    parser.add_argument("--wait", type=int, default=30, help="case 3's longest wait, seconds")
    args = parser.parse_args()
    harness.configure(program=os.path.join(args.build, "tarvik"),
                      register=os.path.join(args.build, "tarvik-register"),
                      crash_probe=os.path.join(args.build, "crash-probe"), wine=False)
    case_1()
    case_2()
    case_3(args.wait)
    case_4(args.quiet)
    case_5()


if __name__ == "__main__":
    main()
