#!/usr/bin/env python3
"""Registration benchmark: the service against a bare select loop that checks
the tag, appends one log record per request and acknowledges, side by side in
one run. Not a test: it prints figures.

    bench/registration_bench.py [--build build/linux] [--seconds 5] [--rounds 3]

A load generator (bench/register_load.cpp) keeps 32 signed requests in flight
and counts acknowledgements. Each round runs every server once, in turn; the
medians over the rounds are compared as ratios (this machine is noisy, so only
ratios taken in one run mean anything). Runs:
  1,000 names     requests renew 1,000 names over and over
  100,000 names   the service starts with 100,000 names in its hosts-file
                  block and requests renew all of them, so the table stays
                  dirty and the hosts file is rewritten while the load runs
Figures: acknowledgements per second, and the server's CPU (utime + stime
from /proc/PID/stat) per acknowledged request.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CLK_TCK = os.sysconf("SC_CLK_TCK")
PASSWORD = "bench-password"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def address_of(i):
    return "10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)


def wait_acknowledging(load, port, process):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit("server exited early")
        out = subprocess.run([load, str(port), "1", PASSWORD, "0.3", "1"],
                             capture_output=True, text=True).stdout
        if out.startswith("acks=") and int(out.split()[0][5:]) > 0:
            return
    sys.exit("server never acknowledged")


def start_service(program, folder, names):
    port = free_port()
    hosts = os.path.join(folder, "hosts")
    with open(hosts, "w") as f:
        f.write("127.0.0.1\tlocalhost\n\n#tarvik-begin\n")
        for i in range(names):
            f.write("%s\tn%d\n" % (address_of(i), i))
        f.write("#tarvik-end\n")
    with open(os.path.join(folder, "main.conf"), "w") as f:
        # The table's cap must not turn the large runs' names away.
        f.write("port %d\npwd %s\nhosts-file %s\nlog-path %s\nmax-names 1000000\n"
                % (port, PASSWORD, hosts, folder))
    p = subprocess.Popen([program, "run"], cwd=folder, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return p, port


def start_bare(bare, folder):
    port = free_port()
    p = subprocess.Popen([bare, str(port), PASSWORD, os.path.join(folder, "log")],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    return p, port


def measure(load, port, process, names, seconds):
    cpu0 = cpu_seconds(process.pid)
    out = subprocess.run([load, str(port), str(names), PASSWORD, str(seconds)],
                         capture_output=True, text=True, check=True).stdout
    cpu = cpu_seconds(process.pid) - cpu0
    fields = dict(kv.split("=") for kv in out.split())
    acks = int(fields["acks"])
    return {"rate": acks / seconds, "cpu_us": cpu * 1e6 / max(acks, 1), "lost": int(fields["lost"])}


def stop(p):
    p.terminate()
    try:
        p.wait(timeout=15)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    program = os.path.join(args.build, "tarvik")
    load = os.path.join(args.build, "register_load")
    bare = os.path.join(args.build, "bare_register_loop")
    for path in (program, load, bare):
        if not os.path.exists(path):
            sys.exit("%s is missing: build the linux preset first" % path)

    print("%-14s %-8s %12s %14s %6s" % ("names", "server", "acks/s", "CPU us/ack", "lost"))
    summary = []
    all_results = []
    for names in (1000, 100000):
        results = {"service": [], "bare": []}
        all_results.append(results)
        for _ in range(args.rounds):
            for kind in ("service", "bare"):
                folder = tempfile.mkdtemp(prefix="tarvik-regbench-")
                try:
                    p, port = (start_service(program, folder, names) if kind == "service"
                               else start_bare(bare, folder))
                    try:
                        wait_acknowledging(load, port, p)
                        r = measure(load, port, p, names, args.seconds)
                    finally:
                        stop(p)
                finally:
                    shutil.rmtree(folder, ignore_errors=True)
                results[kind].append(r)
                print("%-14d %-8s %12.0f %14.2f %6d" % (names, kind, r["rate"], r["cpu_us"], r["lost"]))
                sys.stdout.flush()
        med = {k: {f: statistics.median(r[f] for r in v) for f in ("rate", "cpu_us")}
               for k, v in results.items()}
        summary.append((names, med["service"]["rate"] / med["bare"]["rate"],
                        med["service"]["cpu_us"] / med["bare"]["cpu_us"]))
    print("\nmedians of %d rounds, %g s each:" % (args.rounds, args.seconds))
    for names, rate, cpu in summary:
        goal = 0.95 if names == 1000 else 0.9
        print("  %6d names: service/bare rate %.2f (goal >= %.2f: %s), CPU per request %.2f"
              % (names, rate, goal, "holds" if rate >= goal else "NOT MET", cpu))
    lost = sum(r["lost"] for names_results in all_results for v in names_results.values() for r in v)
    print("  requests lost in all rounds: %d" % lost)


if __name__ == "__main__":
    main()
