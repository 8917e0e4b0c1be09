#!/usr/bin/env python3
"""Hosts-file write benchmark: how long after its acknowledgement a
registration is in the hosts file while other datagrams keep arriving at a
steady rate. Not a test: it prints figures.

    bench/hosts_write_bench.py [--program build/linux/tarvik] [--rates 0,50,1000] [--names 20]

For every rate a fresh service runs in a folder of its own; a sender process
sends that many datagrams per second to the registration port (text that is
no request, so each costs a receive and nothing else), and the names are
registered one after another, a second or more apart. For each the time from
the acknowledgement to the first poll (every millisecond) that finds its line
in the hosts file is taken; the median and the largest are printed.
"""
import argparse
import multiprocessing
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def registration(name, address):
    tag = zlib.crc32(b"tarvik1" + address + name) & 0xFFFFFFFF
    return b"tarvik1 rq " + name + b" " + address + b" %08x" % tag


def send_noise(port, rate, stop):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        interval = 1.0 / rate
        next_send = time.monotonic()
        while not stop.is_set():
            s.sendto(b"noise", ("127.0.0.1", port))
            next_send += interval
            delay = next_send - time.monotonic()
            if delay > 0:
                time.sleep(delay)


def measure(program, rate, names):
    folder = tempfile.mkdtemp(prefix="tarvik-hostsbench-")
    port = free_port()
    hosts = os.path.join(folder, "hosts")
    with open(hosts, "wb") as f:
        f.write(b"127.0.0.1 localhost\n")
    with open(os.path.join(folder, "main.conf"), "w") as f:
        f.write("port %d\nhosts-file %s\nlog-path %s\n" % (port, hosts, folder))
    service = subprocess.Popen([program, "run"], cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop = multiprocessing.Event()
    noise = None
    try:
        time.sleep(0.3)
        if rate > 0:
            noise = multiprocessing.Process(target=send_noise, args=(port, rate, stop))
            noise.start()
            time.sleep(0.5)
        delays = []
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(2)
            for i in range(names):
                name, address = b"bench%d" % i, b"10.7.0.%d" % (i + 1)
                s.sendto(registration(name, address), ("127.0.0.1", port))
                s.recv(100)
                acknowledged = time.monotonic()
                line = address + b"\t" + name + b"\n"
                while True:
                    with open(hosts, "rb") as f:
                        if line in f.read():
                            break
                    if time.monotonic() - acknowledged > 10:
                        break
                    time.sleep(0.001)
                delays.append(time.monotonic() - acknowledged)
                time.sleep(1.0 + (i % 5) * 0.05)
        return delays
    finally:
        stop.set()
        if noise is not None:
            noise.join(5)
        service.send_signal(signal.SIGINT)
        service.wait(10)
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "linux", "tarvik"))
    parser.add_argument("--rates", default="0,50,1000")
    parser.add_argument("--names", type=int, default=20)
    args = parser.parse_args()
    print("%-26s %10s %10s" % ("background datagrams/s", "median ms", "max ms"))
    for rate in (int(r) for r in args.rates.split(",")):
        delays = measure(os.path.abspath(args.program), rate, args.names)
        print("%-26d %10.0f %10.0f" % (rate, statistics.median(delays) * 1000, max(delays) * 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
