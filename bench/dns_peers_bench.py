#!/usr/bin/env python3
"""DNS against the fastest peers: CPU per query of the service beside Knot and
NSD (local answers) and dnsdist (forwarding), in interleaved rounds, the
servers pinned to one core and the load to the other. Not a test: it prints
figures and ratios.

    bench/dns_peers_bench.py [--program build/linux/tarvik]
                             [--baseline OLD_BUILD/tarvik] [--seconds 5]
                             [--rounds 5] [--rate 40000]

Needs root (the upstream server listens on a 127.x address, port 53), dnsperf,
knotd, nsd, dnsdist and dnsmasq (scripts/install-deps installs them), and two
cores or more. Each server runs pinned (taskset) to the last core, every
one of its threads, pinned again once it has started (Knot sets its UDP
worker's affinity itself, to the first core); dnsperf and the upstream
server run on the first. A run is dnsperf for --seconds against
one server; a round runs every server once, in an order that turns from round
to round; the servers stay up across the rounds. CPU per query is the
server's own utime + stime (its whole process tree, from /proc) over the run,
divided by the queries it answered; the ratios are taken within each round
and reported as min / median / max over the rounds. The load average is read
before and after each round: the machine may be shared, and a server that
gets less of its core than it wants takes larger batches, which makes it
look cheaper; the ratios of rounds that ran side by side are the figures to
read.

Runs:
  local     1,000 and 100,000 names under tarvik. at saturation (dnsperf with
            100 queries outstanding): the service, --baseline (when given),
            Knot (udp-workers 1, background-workers 1), NSD (server-count 1)
            and dnsmasq
  rate      the same names at a fixed --rate q/s: the service and --baseline
  forward   names the upstream dnsmasq answers, at saturation: the service,
            --baseline, dnsdist (one backend, no cache) and dnsmasq
            (--cache-size=0), all relaying to one upstream dnsmasq with its
            cache on
"""
import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dns_bench  # noqa: E402
from dns_bench import (CLK_TCK, Servers, address_of, dnsmasq_args, free_port,  # noqa: E402
                       local_name, wait_answering, write_service_folder)

NAME_COUNTS = (1000, 100000)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def tree_cpu_seconds(pid):
    """utime + stime of `pid` and every process below it (NSD forks its
    server processes), threads included."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append((int(entry), fields))
    total = 0.0
    todo = [pid]
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    total += (int(fields[11]) + int(fields[12])) / CLK_TCK
    while todo:
        for child, fields in children.get(todo.pop(), []):
            total += (int(fields[11]) + int(fields[12])) / CLK_TCK
            todo.append(child)
    return total


def process_tree(pid):
    """`pid` and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
        children.setdefault(parent, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def pin_threads(pid, core):
    """Pins every thread of the server's processes to `core`. taskset at the
    start is not enough: some servers set their workers' affinity themselves
    (Knot puts its one UDP worker on the first core, beside the load)."""
    for p in process_tree(pid):
        subprocess.run(["taskset", "-a", "-p", "-c", str(core), str(p)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def threads_off_core(pid, core):
    """The threads of the server's processes that may run elsewhere."""
    off = []
    for p in process_tree(pid):
        try:
            tasks = os.listdir("/proc/%d/task" % p)
        except OSError:
            continue
        for t in tasks:
            try:
                if os.sched_getaffinity(int(t)) != {core}:
                    off.append(int(t))
            except OSError:
                pass
    return off


class Peer:
    """One running server: its label, port and process, all of its threads
    pinned to `core`."""

    def __init__(self, label, port, process, core):
        self.label = label
        self.port = port
        self.process = process
        self.core = core
        pin_threads(process.pid, core)


def pinned(core, args):
    return ["taskset", "-c", str(core)] + args


def write_zone(path, names):
    with open(path, "w") as f:
        f.write("$TTL 32\n")
        f.write("tarvik. IN SOA ns.tarvik. hostmaster.ns.tarvik. 1 14400 3600 1209600 32\n")
        f.write("tarvik. IN NS ns.tarvik.\n")
        f.write("ns.tarvik. IN A 10.0.0.53\n")
        for i in range(names):
            f.write("%s.tarvik. IN A %s\n" % (local_name(i), address_of(i)))


def start_service(servers, label, program, folder, names, upstream, core):
    port = free_port()
    write_service_folder(folder, names, port, upstream)
    p = servers.start(pinned(core, [program, "run"]), cwd=folder, name=os.path.basename(folder))
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", p)
    return Peer(label, port, p, core)


def start_knot(servers, folder, names, core):
    os.makedirs(folder, exist_ok=True)
    zone = os.path.join(folder, "tarvik.zone")
    write_zone(zone, names)
    port = free_port()
    conf = os.path.join(folder, "knot.conf")
    with open(conf, "w") as f:
        f.write("server:\n    rundir: \"%s\"\n    listen: 127.0.0.1@%d\n"
                "    udp-workers: 1\n    tcp-workers: 1\n    background-workers: 1\n"
                "log:\n  - target: stderr\n    any: error\n"
                "database:\n    storage: \"%s\"\n"
                "template:\n  - id: default\n    storage: \"%s\"\n"
                "zone:\n  - domain: tarvik.\n    file: \"%s\"\n"
                % (folder, port, folder, folder, zone))
    p = servers.start(pinned(core, ["knotd", "-c", conf]), name="knot%d" % names)
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", p)
    return Peer("Knot", port, p, core)


def start_nsd(servers, folder, names, core):
    os.makedirs(folder, exist_ok=True)
    zone = os.path.join(folder, "tarvik.zone")
    write_zone(zone, names)
    port = free_port()
    conf = os.path.join(folder, "nsd.conf")
    with open(conf, "w") as f:
        f.write("server:\n    ip-address: 127.0.0.1@%d\n    server-count: 1\n"
                "    username: \"\"\n    chroot: \"\"\n    database: \"\"\n"
                "    zonesdir: \"%s\"\n    zonelistfile: \"%s/zone.list\"\n"
                "    xfrdfile: \"%s/xfrd.state\"\n    pidfile: \"%s/nsd.pid\"\n"
                "    logfile: \"%s/nsd.log\"\n    verbosity: 0\n    hide-version: yes\n"
                "remote-control:\n    control-enable: no\n"
                "zone:\n    name: tarvik.\n    zonefile: \"%s\"\n"
                % (port, folder, folder, folder, folder, folder, zone))
    p = servers.start(pinned(core, ["nsd", "-d", "-c", conf]), name="nsd%d" % names)
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", p)
    return Peer("NSD", port, p, core)


def start_dnsmasq_local(servers, folder, names, core):
    os.makedirs(folder, exist_ok=True)
    hosts = os.path.join(folder, "hosts")
    with open(hosts, "w") as h:
        for i in range(names):
            h.write("%s %s.tarvik\n" % (address_of(i), local_name(i)))
    port = free_port()
    p = servers.start(pinned(core, dnsmasq_args(folder, "dnsmasq", "127.0.0.1", port,
                                                ["--addn-hosts=" + hosts])),
                      name="dnsmasq%d" % names)
    wait_answering("127.0.0.1", port, local_name(0) + ".tarvik", p)
    return Peer("dnsmasq", port, p, core)


def start_dnsdist(servers, folder, upstream, core):
    os.makedirs(folder, exist_ok=True)
    port = free_port()
    conf = os.path.join(folder, "dnsdist.conf")
    with open(conf, "w") as f:
        # One backend, no packet cache (none is set), no security polling.
        f.write('setLocal("127.0.0.1:%d")\nnewServer({address="%s:53"})\n'
                'setSecurityPollSuffix("")\n' % (port, upstream))
    p = servers.start(pinned(core, ["dnsdist", "--supervised", "--disable-syslog", "-C", conf]),
                      name="dnsdist")
    wait_answering("127.0.0.1", port, "f000000.example.test", p)
    return Peer("dnsdist", port, p, core)


def run_dnsperf(peer, query_file, seconds, core, rate=None):
    extra = ["-Q", str(rate)] if rate else []
    if threads_off_core(peer.process.pid, peer.core):
        pin_threads(peer.process.pid, peer.core)
        if threads_off_core(peer.process.pid, peer.core):
            raise SystemExit("%s: threads not pinned to core %d" % (peer.label, peer.core))
    before = tree_cpu_seconds(peer.process.pid)
    started = time.monotonic()
    out = subprocess.run(pinned(core, ["dnsperf", "-s", "127.0.0.1", "-p", str(peer.port),
                                       "-d", query_file, "-l", str(seconds)] + extra),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()
    wall = time.monotonic() - started
    cpu = tree_cpu_seconds(peer.process.pid) - before

    def figure(pattern, cast=float):
        m = re.search(pattern, out)
        if not m:
            raise SystemExit("dnsperf output not understood:\n" + out)
        return cast(m.group(1))

    completed = figure(r"Queries completed:\s+(\d+)", int)
    return {
        "qps": figure(r"Queries per second:\s+([\d.]+)"),
        "lost": figure(r"Queries lost:\s+(\d+)", int),
        "completed": completed,
        "busy": cpu / wall,
        "cpu_us": cpu * 1e6 / completed if completed else float("nan"),
    }


def run_rounds(title, peers, query_file, rounds, seconds, load_core, results, key, rate=None):
    print("%s (%d s per run)" % (title, seconds), flush=True)
    for r in range(rounds):
        order = peers if r % 2 == 0 else list(reversed(peers))
        order = order[r % len(order):] + order[:r % len(order)]
        before = load_average()
        figures = {}
        for peer in order:
            figures[peer.label] = run_dnsperf(peer, query_file, seconds, load_core, rate)
        after = load_average()
        results.setdefault(key, []).append(figures)
        print("  round %d (load average %s -> %s)" % (r + 1, before, after))
        for peer in peers:
            f = figures[peer.label]
            print("    %-10s %9.0f q/s %6d lost  core %3.0f%% busy  %6.2f us CPU/query"
                  % (peer.label, f["qps"], f["lost"], f["busy"] * 100, f["cpu_us"]), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(dns_bench.ROOT, "build", "linux", "tarvik"))
    parser.add_argument("--baseline", help="an older build's tarvik, run beside the service")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--rate", type=int, default=40000)
    args = parser.parse_args()
    for tool in ("dnsperf", "knotd", "nsd", "dnsdist", "dnsmasq", "taskset"):
        if not shutil.which(tool):
            raise SystemExit("%s not found (scripts/install-deps installs it)" % tool)
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) < 2:
        raise SystemExit("needs two cores: one for the servers, one for the load")
    load_core, server_core = cores[0], cores[-1]
    builds = [("service", os.path.abspath(args.program))]
    if args.baseline:
        builds.append(("baseline", os.path.abspath(args.baseline)))

    folder = tempfile.mkdtemp(prefix="tarvik-peers-")
    servers = Servers(folder)
    results = {}
    print("servers on core %d, dnsperf and the upstream server on core %d; load average %s"
          % (server_core, load_core, load_average()), flush=True)
    try:
        upstream = "127.53.%d.%d" % (random.randint(1, 254), random.randint(1, 254))
        upstream_hosts = os.path.join(folder, "upstream.hosts")
        forward_queries = os.path.join(folder, "forward.queries")
        with open(upstream_hosts, "w") as h, open(forward_queries, "w") as q:
            for i in range(dns_bench.UPSTREAM_NAMES):
                h.write("%s f%06d.example.test\n" % (address_of(i), i))
                q.write("f%06d.example.test A\n" % i)
        up = servers.start(pinned(load_core, dnsmasq_args(folder, "upstream", upstream, 53,
                                                          ["--addn-hosts=" + upstream_hosts])),
                           name="upstream")
        wait_answering(upstream, 53, "f000000.example.test", up)

        for names in NAME_COUNTS:
            queries = os.path.join(folder, "local%d.queries" % names)
            with open(queries, "w") as q:
                for i in range(names):
                    q.write("%s.tarvik A\n" % local_name(i))
            peers = [start_service(servers, label, program,
                                   os.path.join(folder, "%s%d" % (label, names)), names, upstream,
                                   server_core)
                     for label, program in builds]
            services = list(peers)
            peers.append(start_knot(servers, os.path.join(folder, "knot%d" % names), names,
                                    server_core))
            peers.append(start_nsd(servers, os.path.join(folder, "nsd%d" % names), names,
                                   server_core))
            peers.append(start_dnsmasq_local(servers, os.path.join(folder, "dnsmasq%d" % names),
                                             names, server_core))
            run_rounds("local answers, %d names, saturated" % names, peers, queries, args.rounds,
                       args.seconds, load_core, results, ("local", names))
            run_rounds("local answers, %d names, %d q/s" % (names, args.rate), services, queries,
                       args.rounds, args.seconds, load_core, results, ("rate", names), args.rate)
            for peer in peers:
                servers.stop(peer.process)

        peers = [start_service(servers, label, program, os.path.join(folder, label + "_fw"), 0,
                               upstream, server_core)
                 for label, program in builds]
        peers.append(start_dnsdist(servers, os.path.join(folder, "dnsdist"), upstream,
                                   server_core))
        fw_port = free_port()
        fw = servers.start(pinned(server_core, dnsmasq_args(folder, "forwarder", "127.0.0.1", fw_port,
                                                            ["--cache-size=0",
                                                             "--server=" + upstream])),
                           name="forwarder")
        wait_answering("127.0.0.1", fw_port, "f000000.example.test", fw)
        peers.append(Peer("dnsmasq", fw_port, fw, server_core))
        run_rounds("forwarded queries, saturated", peers, forward_queries, args.rounds,
                   args.seconds, load_core, results, "forward")
        for peer in peers:
            servers.stop(peer.process)

        checks = []
        for names in NAME_COUNTS:
            checks += [("local, %d names: %%s / Knot" % names, ("local", names), "Knot", 0.95),
                       ("local, %d names: %%s / NSD" % names, ("local", names), "NSD", None),
                       ("local, %d names: %%s / dnsmasq" % names, ("local", names), "dnsmasq",
                        None)]
        if args.baseline:
            for names in NAME_COUNTS:
                checks.append(("local, %d names, %d q/s: %%s / baseline" % (names, args.rate),
                               ("rate", names), "baseline", 1.0))
        checks += [("forwarded: %s / dnsdist", "forward", "dnsdist", 1.4),
                   ("forwarded: %s / dnsmasq", "forward", "dnsmasq", 0.7)]
        print("\nratios of CPU per query, min / median / max over %d rounds" % args.rounds)
        for label, key, peer, goal in checks:
            for build, _ in builds:
                if build == peer:
                    continue
                per_round = sorted(r[build]["cpu_us"] / r[peer]["cpu_us"] for r in results[key])
                median = statistics.median(per_round)
                verdict = ""
                if goal is not None and build == "service":
                    verdict = "  goal <= %.2f: %s" % (goal, "holds" if median <= goal else "NOT MET")
                print("  %-46s %.2f / %.2f / %.2f%s" % (label % build, per_round[0], median,
                                                         per_round[-1], verdict))
        lost = sum(f["lost"] for rounds in results.values() for r in rounds for f in r.values())
        print("  queries lost in all runs: %d" % lost)
        print("load average at the end: %s" % load_average())
    finally:
        servers.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
