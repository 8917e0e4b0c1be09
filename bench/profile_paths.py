#!/usr/bin/env python3
"""Where the service's time goes on each path. Not a test: it prints figures.

    bench/profile_paths.py [--program build/linux/tarvik] [--build build/linux]
                           [--seconds 5] [--perf] [--strace] [--strace-only]

Needs root (the upstream server listens on a 127.x address, port 53), dnsperf
and dnsmasq; --perf needs perf, --strace needs strace. One service instance
holds 1,000 local names and forwards to an upstream dnsmasq. Runs:
  pending   CPU per forwarded query (utime + stime from /proc/PID/stat) with
            dnsperf keeping 10, 100 and 2,000 queries outstanding, and the
            median number of forwards the service held meanwhile (its open
            descriptors above idle): every wait watches all of them
  held      CPU per local answer while 0 to 4,000 forwards wait on an
            upstream that never answers (a forward lives 5 s, so each run
            fills the table afresh and lasts 3 s)
  perf      with --perf: a cpu-clock profile of the service (perf record -p)
            while it forwards with 100 and with 2,000 outstanding, answers
            local names, and takes registrations renewing 1,000 names; by
            symbol, kernel and user space together
  strace    with --strace: strace -c -f attached to the service over a
            counted run of each path (1,000 forwarded queries, 1,000 local
            answers, registrations for 3 s), divided by the operations done
"""
import argparse
import os
import random
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dns_bench  # noqa: E402
from dns_bench import (Servers, address_of, cpu_seconds, dnsmasq_args, local_name,  # noqa: E402
                       wait_answering, write_service_folder, free_port)

PASSWORD = "bench-password"


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def dnsperf(port, query_file, extra):
    out = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", query_file] + extra,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()
    m = re.search(r"Queries completed:\s+(\d+)", out)
    lost = re.search(r"Queries lost:\s+(\d+)", out)
    qps = re.search(r"Queries per second:\s+([\d.]+)", out)
    if not m:
        raise SystemExit("dnsperf output not understood:\n" + out)
    return int(m.group(1)), int(lost.group(1)), float(qps.group(1))


def udp_drops():
    """Datagrams each UDP socket has dropped (its receive buffer was full), by
    (local address, port), from /proc/net/udp."""
    drops = {}
    with open("/proc/net/udp") as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            address, port = fields[1].split(":")
            key = (socket.inet_ntoa(struct.pack("<I", int(address, 16))), int(port, 16))
            drops[key] = drops.get(key, 0) + int(fields[-1])
    return drops


def drops_since(before, port, upstream):
    """(dropped by the service's DNS socket, by the upstream's, by others)."""
    service = upstream_drops = other = 0
    for key, count in udp_drops().items():
        n = count - before.get(key, 0)
        if n <= 0:
            continue
        if key[1] == port:
            service += n
        elif key == (upstream, 53):
            upstream_drops += n
        else:
            other += n
    return service, upstream_drops, other


def pending_run(pid, port, queries, outstanding, seconds, idle_fds):
    samples = []
    done = threading.Event()

    def sample():
        while not done.wait(0.05):
            samples.append(open_fds(pid) - idle_fds)

    t = threading.Thread(target=sample)
    before = cpu_seconds(pid)
    t.start()
    # dnsperf's own socket buffers at 4 MiB: with thousands outstanding its
    # default buffer drops answers, which would count against the server.
    completed, lost, qps = dnsperf(port, queries, ["-q", str(outstanding), "-l", str(seconds),
                                                    "-t", "2", "-b", "4096"])
    done.set()
    t.join()
    cpu = cpu_seconds(pid) - before
    return completed, lost, qps, cpu * 1e6 / max(completed, 1), statistics.median(samples or [0])


def strace_counted(pid, folder, tag, run):
    out = os.path.join(folder, tag + ".strace")
    tracer = subprocess.Popen(["strace", "-c", "-f", "-p", str(pid), "-o", out],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # attached before the load starts
    operations = run()
    tracer.send_signal(2)
    tracer.wait(10)
    rows = []
    with open(out) as f:
        for line in f:
            parts = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(parts) >= 5 and re.match(r"^[\d.]+$", parts[0]) and parts[-1] != "total":
                calls = int(parts[3])
                errors = int(parts[4]) if len(parts) == 6 else 0
                rows.append((parts[-1], calls, errors))
    print("  %s: %d operations" % (tag, operations))
    for name, calls, errors in sorted(rows, key=lambda r: -r[1]):
        print("    %-12s %8.3f per operation%s" % (name, calls / max(operations, 1),
                                                   " (%d failed)" % errors if errors else ""))
    sys.stdout.flush()


def perf_profile(pid, folder, tag, seconds, run):
    data = os.path.join(folder, tag.replace(" ", "_") + ".perf")
    recorder = subprocess.Popen(["perf", "record", "-g", "-e", "cpu-clock", "-F", "4999", "-p", str(pid),
                                 "-o", data, "--", "sleep", str(seconds)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    run(seconds - 1)
    recorder.wait()
    def report(*options):
        return subprocess.run(["perf", "report", "-i", data, "--stdio"] + list(options),
                              stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode().splitlines()

    print("  perf, %s" % tag)
    print("    kernel and user space (samples by privilege):")
    for line in report("--no-children", "--sort", "dso", "-g", "none", "--percent-limit", "1"):
        if line.strip() and not line.startswith("#"):
            print("      " + line.strip())
    print("    share of all samples under each syscall's entry (call graphs, children):")
    # Entry symbols differ by kernel (some inline __x64_sys_X into the
    # dispatcher): take the largest share among the names for one syscall.
    shares = {}
    for line in report("--children", "--sort", "sym", "-g", "none"):
        m = re.match(r"\s*([\d.]+)%\s+([\d.]+)%\s+\[k\]\s+(?:__x64_sys_|__sys_|__do_sys_)(\w+)",
                     line)
        if m:
            shares[m.group(3)] = max(shares.get(m.group(3), 0.0), float(m.group(1)))
    for name, share in sorted(shares.items(), key=lambda kv: -kv[1]):
        if share >= 0.5:
            print("      %6.2f%%  %s" % (share, name))
    print("    hottest symbols, self (above 1.5%; [k] kernel, [.] user):")
    for line in report("--no-children", "--sort", "sym", "-g", "none", "--percent-limit", "1.5"):
        if line.strip() and not line.startswith("#"):
            print("      " + line.strip())
    sys.stdout.flush()


def held_forwards_run(servers, program, folder, local_queries):
    """CPU per local answer while N forwards wait on an upstream that never
    answers: the growth of one iteration's cost with the forwards it watches."""
    silent_address = "127.54.%d.%d" % (random.randint(1, 254), random.randint(1, 254))
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind((silent_address, 53))
    svc_folder = os.path.join(folder, "svc_silent")
    port = free_port()
    write_service_folder(svc_folder, 1000, port, silent_address)
    svc = servers.start([program, "run"], cwd=svc_folder, name="svc_silent")
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", svc)
    print("local answers while N forwards wait on a silent upstream (3 s per run)")
    print("  %8s %9s %7s %14s" % ("held", "qps", "lost", "CPU us/answer"))
    try:
        for wanted in (0, 100, 250, 300, 1000, 2000, 4000):
            time.sleep(5.2)  # the forwards of the last run have expired
            idle_fds = open_fds(svc.pid)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as asker:
                for first in range(0, wanted, 64):
                    for i in range(first, min(first + 64, wanted)):
                        asker.sendto(dns_bench.query("s%d.example.test" % i, i & 0xFFFF),
                                     ("127.0.0.1", port))
                    deadline = time.monotonic() + 0.2
                    while (open_fds(svc.pid) - idle_fds < min(first + 64, wanted)
                           and time.monotonic() < deadline):
                        time.sleep(0.002)
            held = open_fds(svc.pid) - idle_fds
            before = cpu_seconds(svc.pid)
            completed, lost, qps = dnsperf(port, local_queries, ["-l", "3"])
            cpu_us = (cpu_seconds(svc.pid) - before) * 1e6 / max(completed, 1)
            print("  %8d %9.0f %7d %14.2f" % (held, qps, lost, cpu_us))
            sys.stdout.flush()
    finally:
        servers.stop(svc)
        silent.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(dns_bench.ROOT, "build", "linux",
                                                          "tarvik"))
    parser.add_argument("--build", default=os.path.join(dns_bench.ROOT, "build", "linux"))
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--perf", action="store_true")
    parser.add_argument("--strace", action="store_true")
    parser.add_argument("--strace-only", action="store_true",
                        help="only the syscall counts (for comparing two builds quickly)")
    args = parser.parse_args()
    if args.strace_only:
        args.strace = True
    program = os.path.abspath(args.program)
    load = os.path.join(args.build, "register_load")

    folder = tempfile.mkdtemp(prefix="tarvik-profile-")
    servers = Servers(folder)
    try:
        upstream = "127.53.%d.%d" % (random.randint(1, 254), random.randint(1, 254))
        upstream_hosts = os.path.join(folder, "upstream.hosts")
        forward_queries = os.path.join(folder, "forward.queries")
        local_queries = os.path.join(folder, "local.queries")
        with open(upstream_hosts, "w") as h, open(forward_queries, "w") as q:
            for i in range(dns_bench.UPSTREAM_NAMES):
                h.write("%s f%06d.example.test\n" % (address_of(i), i))
                q.write("f%06d.example.test A\n" % i)
        with open(local_queries, "w") as q:
            for i in range(1000):
                q.write("%s.tarvik A\n" % local_name(i))
        up = servers.start(dnsmasq_args(folder, "upstream", upstream, 53,
                                        ["--addn-hosts=" + upstream_hosts]), name="upstream")
        wait_answering(upstream, 53, "f000000.example.test", up)

        svc_folder = os.path.join(folder, "svc")
        port = free_port()
        write_service_folder(svc_folder, 1000, port, upstream)
        with open(os.path.join(svc_folder, "main.conf"), "a") as f:
            f.write("pwd %s\n" % PASSWORD)
        with open(os.path.join(svc_folder, "main.conf")) as f:
            registration_port = int(re.search(r"^port (\d+)", f.read(), re.M).group(1))
        svc = servers.start([program, "run"], cwd=svc_folder, name="svc")
        wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", svc)
        wait_answering("127.0.0.1", port, "f000000.example.test", svc)
        time.sleep(0.5)
        idle_fds = open_fds(svc.pid)

        if not args.strace_only:
            print("forwarded queries: CPU per query against forwards held (%d s per run)"
                  % args.seconds)
            print("  (dropped: datagrams the receive buffers of the service's DNS socket and of"
                  " the upstream's dropped)")
            print("  %11s %9s %9s %7s %14s %18s" % ("outstanding", "held", "qps", "lost", "CPU us/query",
                                                   "dropped svc/up"))
            for outstanding in (10, 100, 2000):
                before = udp_drops()
                completed, lost, qps, cpu_us, held = pending_run(svc.pid, port, forward_queries,
                                                                 outstanding, args.seconds, idle_fds)
                dropped = drops_since(before, port, upstream)
                print("  %11d %9.0f %9.0f %7d %14.2f %11d/%d" % (outstanding, held, qps, lost, cpu_us,
                                                                dropped[0], dropped[1]))
                sys.stdout.flush()
                time.sleep(0.5)

            print("local answers against queries outstanding (%d s per run)" % args.seconds)
            print("  %11s %9s %7s %14s" % ("outstanding", "qps", "lost", "CPU us/answer"))
            for outstanding in (100, 2000, 3000):
                completed, lost, qps, cpu_us, _ = pending_run(svc.pid, port, local_queries,
                                                              outstanding, args.seconds, idle_fds)
                print("  %11d %9.0f %7d %14.2f" % (outstanding, qps, lost, cpu_us))
                sys.stdout.flush()
                time.sleep(0.5)

        def registrations(seconds):
            out = subprocess.run([load, str(registration_port), "1000", PASSWORD, str(seconds)],
                                 capture_output=True, text=True, check=True).stdout
            return int(out.split()[0][5:])

        if not args.strace_only:
            held_forwards_run(servers, program, folder, local_queries)

        if args.perf and not args.strace_only:
            for outstanding in (100, 2000):
                perf_profile(svc.pid, folder, "forwarding, %d outstanding" % outstanding,
                             args.seconds,
                             lambda seconds: dnsperf(port, forward_queries,
                                                     ["-q", str(outstanding), "-l", str(seconds),
                                                      "-t", "2"]))
            perf_profile(svc.pid, folder, "local answers, 1,000 names", args.seconds,
                         lambda seconds: dnsperf(port, local_queries, ["-l", str(seconds)]))
            perf_profile(svc.pid, folder, "registrations, 1,000 names", args.seconds,
                         registrations)

        if args.strace:
            print("syscalls per operation (strace -c -f over a counted run)")
            strace_counted(svc.pid, folder, "forwarded query",
                           lambda: dnsperf(port, forward_queries, ["-n", "1", "-q", "100"])[0])
            strace_counted(svc.pid, folder, "local answer",
                           lambda: dnsperf(port, local_queries, ["-n", "1", "-q", "100"])[0])
            strace_counted(svc.pid, folder, "registration", lambda: registrations(3))
    finally:
        servers.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
