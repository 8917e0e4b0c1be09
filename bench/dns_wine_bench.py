#!/usr/bin/env python3
"""Local answers of the Windows build under Wine: the service beside an older
build, in interleaved rounds, pinned as bench/dns_peers_bench.py pins. Windows
takes one datagram per call, so this shows that the batching on Linux cost
the Windows side nothing. Not a test: it prints figures and ratios.

    bench/dns_wine_bench.py [--program build/win64/tarvik.exe]
                            [--baseline OLD_BUILD/tarvik.exe] [--seconds 5]
                            [--rounds 3] [--rate 2000]

Needs Wine's 64-bit loader (/usr/lib/wine/wine64: where the 32-bit Wine is
installed, /usr/bin/wine starts every program through the emulated 32-bit
loader), dnsperf and two cores. The prefix is private and made
afresh, which takes minutes where the 32-bit Wine is installed. Each build
answers 1,000 names; a run is dnsperf at --rate q/s, then one as fast as it
goes. CPU per query is the utime + stime of the service's Wine process and
of the prefix's wineserver (which does part of every socket call) over the
run, divided by the queries answered.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dns_bench  # noqa: E402
import dns_peers_bench  # noqa: E402
from dns_bench import Servers, address_of, free_port, local_name, wait_answering  # noqa: E402
from dns_peers_bench import (Peer, load_average, pin_threads, pinned,  # noqa: E402
                             tree_cpu_seconds)

WINE64 = "/usr/lib/wine/wine64"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_windows_service(servers, label, exe, folder, env, core):
    os.makedirs(folder, exist_ok=True)
    port = free_port()
    with open(os.path.join(folder, "hosts"), "w") as f:
        f.write("127.0.0.1\tlocalhost\n#tarvik-begin\n")
        for i in range(1000):
            f.write("%s\t%s\n" % (address_of(i), local_name(i)))
        f.write("#tarvik-end\n")
    with open(os.path.join(folder, "main.conf"), "w") as f:
        f.write("port %d\nhosts-file %s\nlog-path %s\ndns-port %d\ntarvik-server-ip 10.0.0.53\n"
                % (free_port(), windows_path(os.path.join(folder, "hosts")), windows_path(folder),
                   port))
    log = open(os.path.join(folder, "out"), "wb")
    p = subprocess.Popen(pinned(core, [WINE64, exe, "run"]), cwd=folder, env=env,
                         stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    servers.processes.append(p)
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", p, seconds=300)
    return Peer(label, port, p, core)


def wineserver_pid(prefix):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().split(b"\0")[0]
            with open("/proc/%s/environ" % entry, "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:
            continue
        if command.endswith(b"wineserver64") or command.endswith(b"wineserver"):
            if b"WINEPREFIX=" + prefix.encode() in environment:
                return int(entry)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(dns_bench.ROOT, "build", "win64",
                                                          "tarvik.exe"))
    parser.add_argument("--baseline", help="an older build's tarvik.exe, run beside the service")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rate", type=int, default=2000)
    args = parser.parse_args()
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) < 2 or not os.path.exists(WINE64):
        raise SystemExit("needs two cores and %s" % WINE64)
    load_core, server_core = cores[0], cores[-1]
    builds = [("service", windows_path(args.program))]
    if args.baseline:
        builds.append(("baseline", windows_path(args.baseline)))

    folder = tempfile.mkdtemp(prefix="tarvik-wine-bench-")
    prefix = os.path.join(folder, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    servers = Servers(folder)
    print("making the Wine prefix (load average %s)" % load_average(), flush=True)
    try:
        subprocess.run([WINE64, "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        subprocess.run(["wineserver", "-w"], env=env, check=False)
        # The services start the prefix's server again (on their core), and
        # keep it up while they run.
        peers = [start_windows_service(servers, label, exe, os.path.join(folder, label), env,
                                       server_core)
                 for label, exe in builds]
        server = wineserver_pid(prefix)
        if server is None:
            raise SystemExit("no wineserver found for the prefix")
        pin_threads(server, server_core)
        queries = os.path.join(folder, "local.queries")
        with open(queries, "w") as q:
            for i in range(1000):
                q.write("%s.tarvik A\n" % local_name(i))

        results = {}
        for rate in (args.rate, None):
            title = "%d q/s" % rate if rate else "as fast as it goes"
            print("local answers, 1000 names, %s (%d s per run)" % (title, args.seconds),
                  flush=True)
            for r in range(args.rounds):
                before_load = load_average()
                figures = {}
                for peer in (peers if r % 2 == 0 else list(reversed(peers))):
                    server_before = tree_cpu_seconds(server)
                    f = dns_peers_bench.run_dnsperf(peer, queries, args.seconds, load_core, rate)
                    server_cpu = tree_cpu_seconds(server) - server_before
                    f["cpu_us"] += server_cpu * 1e6 / max(f["completed"], 1)
                    figures[peer.label] = f
                results.setdefault(rate, []).append(figures)
                print("  round %d (load average %s -> %s)" % (r + 1, before_load, load_average()))
                for peer in peers:
                    f = figures[peer.label]
                    print("    %-10s %8.0f q/s %6d lost  %7.2f us CPU/query (with wineserver)"
                          % (peer.label, f["qps"], f["lost"], f["cpu_us"]), flush=True)
        if args.baseline:
            print("\nservice / baseline, CPU per query, min / median / max over %d rounds"
                  % args.rounds)
            for rate, rounds in results.items():
                ratios = sorted(r["service"]["cpu_us"] / r["baseline"]["cpu_us"] for r in rounds)
                print("  %-22s %.2f / %.2f / %.2f" % ("%d q/s" % rate if rate else "as fast as it goes",
                                                      ratios[0], statistics.median(ratios),
                                                      ratios[-1]))
    finally:
        servers.stop_all()
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        subprocess.run(["wineserver", "-w"], env=env, check=False)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
