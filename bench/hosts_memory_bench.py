#!/usr/bin/env python3
"""Memory and start-up with a large table: the service against dnsmasq holding
the same names in a hosts file. Not a test: it prints figures.

    bench/hosts_memory_bench.py [--program build/linux/tarvik] [--names 100000,1000000]
                                [--rounds 3] [--compare OTHER_PROGRAM]

For every table size the service starts on a hosts file whose block holds
that many names, exactly as the service writes it (so the start writes
nothing), and dnsmasq starts with the same names (--addn-hosts). Printed per
size and program:
  start     seconds from the start of the process to the first answer for the
            block's last name (the median over the rounds)
  started   VmHWM once that answer came
  1 write   VmHWM once one changed name has been written into the hosts file
            (the first write of the run) and the loop has taken its result
  5 writes  VmHWM and VmRSS after four more such writes: what stays behind
and the ratios to dnsmasq's VmHWM after its start. Memory does not depend on
the machine's load; the start-up time does, so the load average is printed.
With --compare the same runs are made with a second program (an older build),
in turn with this one.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "blackbox"))
from harness import free_udp_port  # noqa: E402  a port free for both UDP and TCP

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def address_of(i):
    return "10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)


def local_name(i):
    return "h%07d" % i


def query(name, ident=1):
    labels = b"".join(bytes([len(l)]) + l for l in name.encode().split(b"."))
    return struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + b"\0\0\1\0\1"


def registration(name, address):
    tag = zlib.crc32(b"tarvik1" + address + name) & 0xFFFFFFFF
    return b"tarvik1 rq " + name + b" " + address + b" %08x" % tag


def time_to_answer(process, port, name, started, limit=300):
    """Seconds from `started` to the first answer for `name`, asking every
    few milliseconds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.005)
        ident = 0
        while time.monotonic() - started < limit:
            if process.poll() is not None:
                raise SystemExit("server on port %d exited" % port)
            ident = (ident + 1) & 0xFFFF
            s.sendto(query(name, ident), ("127.0.0.1", port))
            try:
                while True:
                    data = s.recv(4096)
                    # An answer with an address record (ANCOUNT > 0).
                    if struct.unpack(">H", data[6:8])[0] > 0:
                        return time.monotonic() - started
            except socket.timeout:
                pass
    raise SystemExit("server on port %d does not answer" % port)


def write_hosts(path, names):
    with open(path, "w") as f:
        f.write("127.0.0.1\tlocalhost\n#tarvik-begin\n")
        for i in range(names):
            f.write("%s\t%s\n" % (address_of(i), local_name(i)))
        f.write("#tarvik-end\n")


def stop(p):
    if p.poll() is None:
        p.send_signal(signal.SIGINT)
        try:
            p.wait(60)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def wait_for_write(hosts, inode, process, limit=30):
    """Waits until the hosts file is a new file (every write renames a copy
    over it); returns its inode."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit("service exited")
        now = os.stat(hosts).st_ino
        if now != inode:
            return now
        time.sleep(0.005)
    raise SystemExit("no hosts-file write within %d s" % limit)


def measure_service(program, folder, names):
    os.makedirs(folder, exist_ok=True)
    hosts = os.path.join(folder, "hosts")
    write_hosts(hosts, names)
    port, dns_port = free_udp_port(), free_udp_port()
    with open(os.path.join(folder, "main.conf"), "w") as f:
        f.write("port %d\nhosts-file %s\nlog-path %s\ndns-port %d\nmax-names %d\n"
                % (port, hosts, folder, dns_port, max(names, 10000)))
    out = {}
    started = time.monotonic()
    p = subprocess.Popen([program, "run"], cwd=folder, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        out["start"] = time_to_answer(p, dns_port, local_name(names - 1) + ".tarvik", started)
        out["started"] = status_kib(p.pid, "VmHWM")
        inode = os.stat(hosts).st_ino
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as r:
            for n in range(5):
                # A name of the block at an address nobody has: the table
                # keeps its size (a full table at the largest size).
                r.sendto(registration(local_name(n).encode(), b"10.200.0.%d" % (n + 1)),
                         ("127.0.0.1", port))
                inode = wait_for_write(hosts, inode, p)
                # The loop takes the write's result on its next turn (100 ms
                # waits at most while the write is pending).
                time.sleep(0.5)
                if n == 0:
                    out["1 write"] = status_kib(p.pid, "VmHWM")
        out["5 writes"] = status_kib(p.pid, "VmHWM")
        out["5 writes rss"] = status_kib(p.pid, "VmRSS")
        with open(hosts) as f:
            text = f.read()
        if ("10.200.0.5\t%s\n" % local_name(4)) not in text or ("\t%s\n" % local_name(names - 1)) not in text:
            raise SystemExit("the hosts file does not hold the table")
    finally:
        stop(p)
    return out


def measure_dnsmasq(folder, names):
    os.makedirs(folder, exist_ok=True)
    hosts = os.path.join(folder, "dnsmasq.hosts")
    with open(hosts, "w") as f:
        for i in range(names):
            f.write("%s %s.tarvik\n" % (address_of(i), local_name(i)))
    port = free_udp_port()
    args = ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "-C", "/dev/null",
            "--listen-address=127.0.0.1", "--bind-interfaces", "--port=%d" % port,
            "--pid-file=" + os.path.join(folder, "dnsmasq.pid"), "--user=root",
            "--log-facility=" + os.path.join(folder, "dnsmasq.log"), "--addn-hosts=" + hosts]
    started = time.monotonic()
    p = subprocess.Popen(args, cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        out = {"start": time_to_answer(p, port, local_name(names - 1) + ".tarvik", started)}
        out["started"] = status_kib(p.pid, "VmHWM")
    finally:
        stop(p)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "linux", "tarvik"))
    parser.add_argument("--compare", help="an older build, measured the same way")
    parser.add_argument("--names", default="100000,1000000")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not shutil.which("dnsmasq"):
        raise SystemExit("dnsmasq not found")
    programs = [("this", os.path.abspath(args.program))]
    if args.compare:
        programs.append(("compared", os.path.abspath(args.compare)))
    print("load average at the start: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    folder = tempfile.mkdtemp(prefix="tarvik-membench-")
    try:
        for names in [int(n) for n in args.names.split(",")]:
            runs = {label: [] for label, _ in programs + [("dnsmasq", None)]}
            for round_number in range(args.rounds):
                for label, program in programs:
                    runs[label].append(measure_service(program, os.path.join(
                        folder, "%s-%d-%d" % (label, names, round_number)), names))
                runs["dnsmasq"].append(measure_dnsmasq(os.path.join(
                    folder, "dnsmasq-%d-%d" % (names, round_number)), names))
            print("\n%d names, %d rounds (load average now %s)"
                  % (names, args.rounds, " ".join(open("/proc/loadavg").read().split()[:3])))
            print("  %-9s %9s %12s %12s %12s %12s" % ("", "start s", "started KiB", "1 write KiB",
                                                    "5 writes KiB", "then RSS KiB"))

            def median(label, key):
                return statistics.median(r[key] for r in runs[label])

            dm = median("dnsmasq", "started")
            for label in [l for l, _ in programs] + ["dnsmasq"]:
                row = [median(label, "start"), median(label, "started")]
                if label == "dnsmasq":
                    print("  %-9s %9.3f %12d" % (label, row[0], row[1]))
                    continue
                row += [median(label, "1 write"), median(label, "5 writes"), median(label, "5 writes rss")]
                print("  %-9s %9.3f %12d %12d %12d %12d" % tuple([label] + row))
                print("  %-9s %9s %12.2f %12.2f %12.2f   (VmHWM / dnsmasq's)"
                      % ("", "", row[1] / dm, row[2] / dm, row[3] / dm))
                print("  %-9s starts: %s" % ("", " ".join("%.3f" % r["start"] for r in runs[label])))
            print("  %-9s starts: %s" % ("dnsmasq", " ".join("%.3f" % r["start"] for r in runs["dnsmasq"])))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
