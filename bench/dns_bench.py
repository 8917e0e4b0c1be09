#!/usr/bin/env python3
"""DNS benchmark: the service against dnsmasq and a bare answering loop,
side by side in one run on this machine. Not a test: it prints figures.

    bench/dns_bench.py [--program build/linux/tarvik] [--seconds 10] [--rounds 3]

Needs root (the upstream server listens on a 127.x address, port 53), dnsperf
and dnsmasq. For every server it reports dnsperf's QPS, mean latency and lost
queries, and the server's own CPU time per answered query (utime + stime from
/proc/PID/stat over the run). dnsperf itself takes most of a core, so QPS is
capped by the client; CPU per query is the figure to compare.

Runs:
  local    1,000 and 100,000 names under .tarvik answered from memory: the
           service (names preloaded through its hosts-file block), dnsmasq
           (--addn-hosts) and the bare loop (bench/bare_loop.cpp, no lookup)
  forward  names the upstream server answers: the service and dnsmasq
           (--cache-size=0), both relaying to one upstream dnsmasq
  memory   the service's VmHWM with 100,000 names (against dnsmasq's), and
           the idle service's VmHWM before and after 4,094 pending forwards
           held by an upstream that never answers
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
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CLK_TCK = os.sysconf("SC_CLK_TCK")
UPSTREAM_NAMES = 1000


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def address_of(i):
    return "10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)


def local_name(i):
    return "h%06d" % i


def query(name, ident=1):
    labels = b"".join(bytes([len(l)]) + l for l in name.encode().split(b"."))
    return struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + b"\0\0\1\0\1"


def answers(address, port, name, timeout=0.3):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(query(name), (address, port))
        try:
            return s.recv(4096)
        except socket.timeout:
            return None


def wait_answering(address, port, name, process, seconds=120):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit("server on port %d exited" % port)
        if answers(address, port, name):
            return
    raise SystemExit("server on port %d does not answer" % port)


class Servers:
    def __init__(self, folder):
        self.folder = folder
        self.processes = []

    def start(self, args, cwd=None, name="server"):
        log = open(os.path.join(self.folder, name + ".out"), "wb")
        p = subprocess.Popen(args, cwd=cwd or self.folder, stdin=subprocess.DEVNULL,
                             stdout=log, stderr=subprocess.STDOUT)
        self.processes.append(p)
        return p

    def stop(self, p):
        if p.poll() is None:
            p.send_signal(2)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def stop_all(self):
        for p in self.processes:
            self.stop(p)


def dnsmasq_args(folder, tag, address, port, extra):
    return ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "-C", "/dev/null",
            "--listen-address=" + address, "--bind-interfaces", "--port=%d" % port,
            "--pid-file=" + os.path.join(folder, tag + ".pid"), "--user=root",
            "--log-facility=" + os.path.join(folder, tag + ".log")] + extra


def run_dnsperf(port, query_file, seconds, pid):
    before = cpu_seconds(pid)
    out = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", query_file,
                          "-l", str(seconds)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT).stdout.decode()
    cpu = cpu_seconds(pid) - before

    def figure(pattern, cast=float):
        m = re.search(pattern, out)
        if not m:
            raise SystemExit("dnsperf output not understood:\n" + out)
        return cast(m.group(1))

    completed = figure(r"Queries completed:\s+(\d+)", int)
    return {
        "qps": figure(r"Queries per second:\s+([\d.]+)"),
        "latency_us": figure(r"Average Latency \(s\):\s+([\d.]+)") * 1e6,
        "lost": figure(r"Queries lost:\s+(\d+)", int),
        "completed": completed,
        "cpu_us": cpu * 1e6 / completed if completed else float("nan"),
    }


def write_service_folder(folder, names, dns_port, upstream):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "hosts"), "w") as f:
        f.write("127.0.0.1\tlocalhost\n#tarvik-begin\n")
        for i in range(names):
            f.write("%s\t%s\n" % (address_of(i), local_name(i)))
        f.write("#tarvik-end\n")
    with open(os.path.join(folder, "main.conf"), "w") as f:
        f.write("port %d\nhosts-file %s\nlog-path %s\ndns-port %d\ntarvik-server-ip 10.0.0.53\n"
                "dns-server-ip %s\nmax-names %d\n"
                % (free_port(), os.path.join(folder, "hosts"), folder, dns_port, upstream,
                   max(names, 10000)))


def start_service(servers, program, folder, names, upstream):
    port = free_port()
    write_service_folder(folder, names, port, upstream)
    started = time.monotonic()
    p = servers.start([program, "run"], cwd=folder, name=os.path.basename(folder))
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", p)
    return p, port, time.monotonic() - started


def print_row(label, r):
    print("  %-30s %9.0f qps %8.1f us %7d lost %7.2f us CPU/query"
          % (label, r["qps"], r["latency_us"], r["lost"], r["cpu_us"]), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "linux", "tarvik"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    for tool in ("dnsperf", "dnsmasq", "g++"):
        if not shutil.which(tool):
            raise SystemExit("%s not found" % tool)

    folder = tempfile.mkdtemp(prefix="tarvik-bench-")
    servers = Servers(folder)
    try:
        bare = os.path.join(folder, "bare_loop")
        subprocess.run(["g++", "-O2", "-o", bare, os.path.join(HERE, "bare_loop.cpp")], check=True)

        # The upstream server for both forwarders: a dnsmasq answering its own
        # names, with its cache on, so it is never the slow end.
        upstream = "127.53.%d.%d" % (random.randint(1, 254), random.randint(1, 254))
        upstream_hosts = os.path.join(folder, "upstream.hosts")
        with open(upstream_hosts, "w") as f:
            for i in range(UPSTREAM_NAMES):
                f.write("%s f%06d.example.test\n" % (address_of(i), i))
        up = servers.start(dnsmasq_args(folder, "upstream", upstream, 53,
                                        ["--addn-hosts=" + upstream_hosts]), name="upstream")
        wait_answering(upstream, 53, "f000000.example.test", up)
        forward_queries = os.path.join(folder, "forward.queries")
        with open(forward_queries, "w") as f:
            for i in range(UPSTREAM_NAMES):
                f.write("f%06d.example.test A\n" % i)

        rounds = []
        for round_number in range(1, args.rounds + 1):
            print("round %d of %d" % (round_number, args.rounds), flush=True)
            results = {}
            rounds.append(results)
            for names in (1000, 100000):
                print("local answers, %d names (%d s per run)" % (names, args.seconds), flush=True)
                queries = os.path.join(folder, "local%d.queries" % names)
                hosts = os.path.join(folder, "dnsmasq%d.hosts" % names)
                with open(queries, "w") as q, open(hosts, "w") as h:
                    for i in range(names):
                        q.write("%s.tarvik A\n" % local_name(i))
                        h.write("%s %s.tarvik\n" % (address_of(i), local_name(i)))

                svc, svc_port, load_s = start_service(servers, program,
                                                      os.path.join(folder, "svc%d" % names), names,
                                                      upstream)
                print("  (service started and answering after %.2f s)" % load_s)
                dm_port = free_port()
                dm = servers.start(dnsmasq_args(folder, "local%d" % names, "127.0.0.1", dm_port,
                                                ["--addn-hosts=" + hosts]), name="dnsmasq%d" % names)
                wait_answering("127.0.0.1", dm_port, local_name(0) + ".tarvik", dm)
                bare_port = free_port()
                bl = servers.start([bare, str(bare_port)], name="bare")
                wait_answering("127.0.0.1", bare_port, "x.tarvik", bl)

                for label, port, p in (("service", svc_port, svc), ("dnsmasq", dm_port, dm),
                                       ("bare loop", bare_port, bl)):
                    r = run_dnsperf(port, queries, args.seconds, p.pid)
                    results[(names, label)] = r
                    print_row(label, r)
                results[(names, "service_hwm")] = status_kib(svc.pid, "VmHWM")
                results[(names, "dnsmasq_hwm")] = status_kib(dm.pid, "VmHWM")
                print("  VmHWM: service %d KiB, dnsmasq %d KiB"
                      % (results[(names, "service_hwm")], results[(names, "dnsmasq_hwm")]))
                if names == 1000:
                    print("forwarded queries, via upstream dnsmasq on %s:53" % upstream, flush=True)
                    fw_port = free_port()
                    fw = servers.start(dnsmasq_args(folder, "forwarder", "127.0.0.1", fw_port,
                                                    ["--cache-size=0", "--server=" + upstream]),
                                       name="forwarder")
                    wait_answering("127.0.0.1", fw_port, "f000000.example.test", fw)
                    for label, port, p in (("service", svc_port, svc), ("dnsmasq", fw_port, fw)):
                        r = run_dnsperf(port, forward_queries, args.seconds, p.pid)
                        results[("forward", label)] = r
                        print_row(label + " (forward)", r)
                    servers.stop(fw)
                for p in (svc, dm, bl):
                    servers.stop(p)

        print("4,094 pending forwards held by a silent upstream", flush=True)
        silent_address = "127.54.%d.%d" % (random.randint(1, 254), random.randint(1, 254))
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind((silent_address, 53))
        svc, svc_port, _ = start_service(servers, program, os.path.join(folder, "svc_silent"),
                                         0, silent_address)
        fds_before = len(os.listdir("/proc/%d/fd" % svc.pid))
        idle_hwm = status_kib(svc.pid, "VmHWM")

        def held():
            return len(os.listdir("/proc/%d/fd" % svc.pid)) - fds_before

        # Sent in batches, each given time to become forwards: all must be
        # sent within 5 s (a forward's lifetime), without relying on the DNS
        # socket's receive buffer.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as asker:
            for first in range(0, 4094, 64):
                for i in range(first, min(first + 64, 4094)):
                    asker.sendto(query("s%d.example.test" % i, i), ("127.0.0.1", svc_port))
                deadline = time.monotonic() + 0.2
                while held() < min(first + 64, 4094) and time.monotonic() < deadline:
                    time.sleep(0.005)
        hwm = status_kib(svc.pid, "VmHWM")
        # (The descriptors counted include the wait's epoll set, which a set
        # this large uses.)
        print("  idle VmHWM %d KiB; descriptors above idle: %d; VmHWM %d KiB, %d KiB above idle"
              % (idle_hwm, held(), hwm, hwm - idle_hwm))
        servers.stop(svc)
        silent.close()

        def ratio(r, a, b, field="cpu_us"):
            x, y = r[a], r[b]
            return (x[field] if field else x) / (y[field] if field else y)

        checks = [
            ("local, 1,000 names, service/dnsmasq", (1000, "service"), (1000, "dnsmasq"),
             "cpu_us", 0.85),
            ("local, 1,000 names, service/bare", (1000, "service"), (1000, "bare loop"),
             "cpu_us", None),
            ("local, 100,000 names, service/dnsmasq", (100000, "service"), (100000, "dnsmasq"),
             "cpu_us", 0.85),
            ("local, 100,000 names, service/bare", (100000, "service"), (100000, "bare loop"),
             "cpu_us", 1.05),
            ("forwarded, service/dnsmasq", ("forward", "service"), ("forward", "dnsmasq"),
             "cpu_us", 0.8),
            ("VmHWM at 100,000 names, service/dnsmasq", (100000, "service_hwm"),
             (100000, "dnsmasq_hwm"), None, 1.0),
        ]
        print("\nratios (CPU per query; memory: VmHWM), per round and of the medians")
        for label, a, b, field, goal in checks:
            per_round = [ratio(r, a, b, field) for r in rounds]

            def median_of(key):
                return statistics.median(r[key][field] if field else r[key] for r in rounds)

            of_medians = median_of(a) / median_of(b)
            verdict = "" if goal is None else (" (goal <= %.2f: %s)"
                                               % (goal, "holds" if of_medians <= goal else "NOT MET"))
            print("  %-42s %s -> %.2f%s" % (label, " ".join("%.2f" % x for x in per_round),
                                             of_medians, verdict))
        lost = sum(r[k]["lost"] for r in rounds for k in r if isinstance(r[k], dict))
        print("  queries lost in all rounds: %d" % lost)
        print("  4,094 pending forwards: %d KiB above the idle service (goal < 2048 KiB: %s)"
              % (hwm - idle_hwm, "holds" if hwm - idle_hwm < 2048 else "NOT MET"))
    finally:
        servers.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
