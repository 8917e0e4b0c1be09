#!/usr/bin/env python3
"""Local-answer latency while addresses change: how much the hosts-file
rewrites that a stream of changes causes hold up DNS answers. Not a test: it
prints figures.

    bench/hosts_churn_bench.py [--program build/linux/tarvik] [--names 100000]
                               [--rate 10000] [--changes 200] [--seconds 20]
                               [--rounds 3] [--compare OTHER_PROGRAM]

A fresh service per run holds NAMES names in its hosts-file block and answers
queries for them at RATE a second (open loop, build/linux/churn_load) while
CHANGES registrations a second move names between two addresses; under that
steady traffic the block is rewritten once a second. Every run is made again
without changes, and the figure compared is the ratio of the two runs'
99.9th percentiles (and 99th), medians over the rounds. Rounds interleave the
runs (and the programs, with --compare). Where the machine has two cores or
more the service is pinned to the first and the load to the second, so the
writer thread shares the loop's core, as on a machine whose other cores are
busy. The load average is printed with each run: latency figures taken on a
busy machine are the machine's, not the service's.
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "blackbox"))
from harness import free_udp_port  # noqa: E402  a port free for both UDP and TCP

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def pinned(core, argv):
    return ["taskset", "-c", str(core)] + argv if (os.cpu_count() or 1) >= 2 else argv


def run(program, load, names, rate, changes, seconds):
    folder = tempfile.mkdtemp(prefix="tarvik-churn-")
    try:
        hosts = os.path.join(folder, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1\tlocalhost\n#tarvik-begin\n")
            for i in range(names):
                f.write("10.%d.%d.%d\th%07d\n" % (i >> 16 & 255, i >> 8 & 255, i & 255, i))
            f.write("#tarvik-end\n")
        port, dns_port = free_udp_port(), free_udp_port()
        with open(os.path.join(folder, "main.conf"), "w") as f:
            f.write("port %d\ndns-port %d\nhosts-file %s\nlog-path %s\nmax-names %d\n"
                    % (port, dns_port, hosts, folder, max(names, 10000)))
        service = subprocess.Popen(pinned(0, [program, "run"]), cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Answering once the whole block is loaded.
            probe = subprocess.run(pinned(1, [load, str(dns_port), str(port), str(names), "100", "0", "1.5"]),
                                   stdout=subprocess.PIPE, check=True)
            for _ in range(100):
                if b"answered=0 " not in probe.stdout:
                    break
                time.sleep(0.2)
                probe = subprocess.run(pinned(1, [load, str(dns_port), str(port), str(names), "100", "0", "1.5"]),
                                       stdout=subprocess.PIPE, check=True)
            before = os.stat(hosts).st_ino
            out = subprocess.run(pinned(1, [load, str(dns_port), str(port), str(names), str(rate), str(changes),
                                            str(seconds)]), stdout=subprocess.PIPE, check=True).stdout.decode()
            figures = {k: float(v) for k, v in re.findall(r"(\w+)=([\d.]+)", out)}
            figures["rewritten"] = os.stat(hosts).st_ino != before
            figures["load"] = load_average()
            return figures
        finally:
            service.send_signal(signal.SIGINT)
            try:
                service.wait(60)
            except subprocess.TimeoutExpired:
                service.kill()
                service.wait()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "linux", "tarvik"))
    parser.add_argument("--load", default=os.path.join(ROOT, "build", "linux", "churn_load"))
    parser.add_argument("--compare", help="an older build, measured the same way")
    parser.add_argument("--names", type=int, default=100000)
    parser.add_argument("--rate", type=int, default=10000)
    parser.add_argument("--changes", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    programs = [("this", os.path.abspath(args.program))]
    if args.compare:
        programs.append(("compared", os.path.abspath(args.compare)))
    load = os.path.abspath(args.load)
    results = {}
    print("%d names, %d queries/s, %d changes/s, %.0f s per run; latencies in ms"
          % (args.names, args.rate, args.changes, args.seconds))
    print("%-9s %-8s %6s %8s %8s %8s %8s %6s %5s  %s" % ("program", "changes", "round", "p50", "p99", "p99.9",
                                                         "max", "lost", "write", "load average"))
    for round_number in range(1, args.rounds + 1):
        for label, program in programs:
            for changes in (args.changes, 0):
                r = run(program, load, args.names, args.rate, changes, args.seconds)
                results.setdefault((label, changes), []).append(r)
                print("%-9s %-8d %6d %8.3f %8.3f %8.3f %8.3f %6d %5s  %s"
                      % (label, changes, round_number, r["p50"], r["p99"], r["p999"], r["max"], r["lost"],
                         "yes" if r["rewritten"] else "no", r["load"]), flush=True)
    print("\nmedians over the rounds; ratio = with changes / without")
    for label, _ in programs:
        def median(changes, key):
            return statistics.median(r[key] for r in results[(label, changes)])
        with_changes = [median(args.changes, k) for k in ("p99", "p999")]
        without = [median(0, k) for k in ("p99", "p999")]
        print("  %-9s p99 %.3f / %.3f = %.2fx   p99.9 %.3f / %.3f = %.2fx"
              % (label, with_changes[0], without[0], with_changes[0] / without[0],
                 with_changes[1], without[1], with_changes[1] / without[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
