#!/usr/bin/env python3
"""Local-answer latency while the hosts file is rewritten: how long DNS
answers wait while the block is written into a large hosts file. Not a test:
it prints figures.

    bench/hosts_latency_bench.py [--program build/linux/tarvik] [--sizes 1K,5M,50M]
                                 [--seconds 10] [--rate 1000] [--compare OTHER_PROGRAM]

For every size a fresh service runs in a folder of its own with a hosts file
holding that many bytes of lines outside the block. Queries for a registered
name go out at a steady rate (open loop: a sender thread sends on schedule
whatever the answers do, a receiver thread matches the answers by id), and a
new name is registered every half second; under that steady traffic the
block is written once its changes are a second old, so about once a second.
Printed per size: the writes seen, the answer latency's median, 99.9th
percentile and largest, and the answers missing after a second. With
--compare the same runs are made with a second program (an older build) and
the ratios printed.
"""
import argparse
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "blackbox"))
from harness import free_udp_port  # noqa: E402  a port free for both UDP and TCP

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def registration(name, address):
    tag = zlib.crc32(b"tarvik1" + address + name) & 0xFFFFFFFF
    return b"tarvik1 rq " + name + b" " + address + b" %08x" % tag


def query(ident, name):
    labels = b"".join(bytes([len(l)]) + l for l in name.split(b"."))
    return struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + b"\0" + struct.pack(">HH", 1, 1)


def parse_size(text):
    units = {"K": 1000, "M": 1000000, "G": 1000000000}
    return int(float(text[:-1]) * units[text[-1].upper()]) if text[-1].upper() in units else int(text)


def hosts_text(size):
    out = [b"127.0.0.1 localhost\n"]
    total = len(out[0])
    i = 0
    while total < size:
        line = b"10.%d.%d.%d user%d.example\n" % (i >> 16 & 255, i >> 8 & 255, i & 255, i)
        out.append(line)
        total += len(line)
        i += 1
    return b"".join(out)


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = min(len(sorted_values) - 1, int(round(p / 100.0 * (len(sorted_values) - 1))))
    return sorted_values[k]


def measure(program, size, seconds, rate):
    folder = tempfile.mkdtemp(prefix="tarvik-latbench-")
    port, dns_port = free_udp_port(), free_udp_port()
    hosts = os.path.join(folder, "hosts")
    with open(hosts, "wb") as f:
        f.write(hosts_text(size))
    with open(os.path.join(folder, "main.conf"), "w") as f:
        f.write("port %d\ndns-port %d\nhosts-file %s\nlog-path %s\n" % (port, dns_port, hosts, folder))
    service = subprocess.Popen([program, "run"], cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sent = {}
    latencies = []
    stop = threading.Event()
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as r:
            r.settimeout(2)
            for _ in range(50):
                r.sendto(registration(b"meter0", b"10.0.0.1"), ("127.0.0.1", port))
                try:
                    r.recv(100)
                    break
                except socket.timeout:
                    pass
        time.sleep(1.5)  # the first write done
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(0.2)
        s.connect(("127.0.0.1", dns_port))

        def receive():
            while not stop.is_set() or len(latencies) < len(sent):
                try:
                    data = s.recv(512)
                except socket.timeout:
                    if stop.is_set():
                        break
                    continue
                now = time.monotonic()
                ident = struct.unpack(">H", data[:2])[0]
                when = sent.pop(ident, None)
                if when is not None:
                    latencies.append(now - when)

        receiver = threading.Thread(target=receive, daemon=True)
        receiver.start()
        writes_before = os.stat(hosts).st_ino
        inodes = {writes_before}
        start = time.monotonic()
        next_send = start
        next_change = start + 0.25
        next_look = start
        ident = 0
        n = 1
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as reg:
            while time.monotonic() - start < seconds:
                now = time.monotonic()
                if now >= next_change:
                    reg.sendto(registration(b"meter%d" % n, b"10.0.%d.%d" % (n // 250, n % 250 + 1)),
                               ("127.0.0.1", port))
                    n += 1
                    next_change += 0.5
                if now >= next_look:
                    # Every write is a new file: counted by its inode.
                    next_look += 0.05
                    try:
                        inodes.add(os.stat(hosts).st_ino)
                    except OSError:
                        pass
                ident = (ident + 1) & 0xFFFF
                sent[ident] = time.monotonic()
                s.send(query(ident, b"meter0.tarvik"))
                next_send += 1.0 / rate
                delay = next_send - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        time.sleep(1.0)
        stop.set()
        receiver.join(5)
        s.close()
        missing = len(sent)
        return sorted(latencies), missing, len(inodes) - 1
    finally:
        stop.set()
        service.send_signal(signal.SIGINT)
        try:
            service.wait(30)
        except subprocess.TimeoutExpired:
            service.kill()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "linux", "tarvik"))
    parser.add_argument("--compare", help="an older build, measured the same way")
    parser.add_argument("--sizes", default="1K,5M,50M")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--rate", type=int, default=1000)
    args = parser.parse_args()
    programs = [("this", os.path.abspath(args.program))]
    if args.compare:
        programs.append(("compared", os.path.abspath(args.compare)))
    print("%-9s %-9s %7s %9s %10s %9s %8s" % ("program", "hosts", "writes", "p50 ms", "p99.9 ms", "max ms",
                                                "missing"))
    figures = {}
    for size_text in args.sizes.split(","):
        for label, program in programs:
            lat, missing, writes = measure(program, parse_size(size_text), args.seconds, args.rate)
            row = (percentile(lat, 50) * 1000, percentile(lat, 99.9) * 1000, lat[-1] * 1000 if lat else 0)
            figures[(label, size_text)] = row
            print("%-9s %-9s %7d %9.2f %10.2f %9.1f %8d" % ((label, size_text, writes) + row + (missing,)))
            sys.stdout.flush()
    if args.compare:
        print("\nratios, compared / this (p99.9, max):")
        for size_text in args.sizes.split(","):
            a, b = figures[("this", size_text)], figures[("compared", size_text)]
            print("  %-6s p99.9 %.1fx   max %.1fx" % (size_text, b[1] / a[1] if a[1] else 0, b[2] / a[2] if a[2] else 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
