#!/usr/bin/env python3
"""Measures ip232-term against socat STDIO<->TCP, side by side in one run.

Both programs are driven through pipes on their standard input and output
and talk to the same echo: ip232-peer --raw on a free loopback port
(ip232-term with mode=raw). Three figures for each:

  round trip   one byte written to standard input until its echo is read
               from standard output (median and 99th percentile, in us)
  bulk         MiB written to standard input while the echo is read back
               and compared byte for byte (MB/s, the same number each way)
  idle         connected and idle: context switches of all the process's
               threads per second, from /proc/PID/task/*/status (Linux)

Usage: scripts/term-bench.py [--bin DIR] [--round-trips N] [--megabytes N]
                             [--idle-seconds S] [--only term|socat]
DIR defaults to build/linux/bin. Prints one table row per program.
"""

import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

PATIENT = 30.0


def start_peer(bin_dir):
    peer = subprocess.Popen([os.path.join(bin_dir, "ip232-peer"), "--raw",
                             "--port", "0"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    line = peer.stderr.readline().decode()
    match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
    if not match:
        peer.kill()
        sys.exit("ip232-peer did not start: %r" % line)
    # Keep draining its reports so that it never blocks on them.
    threading.Thread(target=lambda: peer.stderr.read(), daemon=True).start()
    return peer, int(match.group(1))


def read_exact(fd, count, deadline):
    data = bytearray()
    while len(data) < count:
        if time.monotonic() > deadline:
            raise RuntimeError("timed out with %d of %d bytes" %
                               (len(data), count))
        chunk = os.read(fd, count - len(data))
        if not chunk:
            raise RuntimeError("end of output after %d of %d bytes" %
                               (len(data), count))
        data += chunk
    return bytes(data)


def start_program(command):
    """Starts `command` with pipes and waits until an echo comes back."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            bufsize=0)
    out = proc.stdout.fileno()
    deadline = time.monotonic() + PATIENT
    os.write(proc.stdin.fileno(), b"?")
    read_exact(out, 1, deadline)
    return proc


def round_trips(proc, count):
    fd_in, fd_out = proc.stdin.fileno(), proc.stdout.fileno()
    times = []
    deadline = time.monotonic() + PATIENT + count * 0.05
    for i in range(count):
        byte = bytes([0x20 + i % 90])
        start = time.perf_counter_ns()
        os.write(fd_in, byte)
        got = read_exact(fd_out, 1, deadline)
        times.append((time.perf_counter_ns() - start) / 1000.0)
        if got != byte:
            raise RuntimeError("round trip %d: sent %r, got %r" % (i, byte, got))
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.99) - 1]


def pattern(size):
    block = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(65536))
    return (block * (size // len(block) + 1))[:size]


def bulk(proc, size):
    payload = pattern(size)
    fd_in, fd_out = proc.stdin.fileno(), proc.stdout.fileno()
    error = []

    def write_all():
        view = memoryview(payload)
        try:
            while view:
                view = view[os.write(fd_in, view[:65536]):]
        except OSError as e:
            error.append(e)

    start = time.perf_counter()
    writer = threading.Thread(target=write_all, daemon=True)
    writer.start()
    received = 0
    deadline = time.monotonic() + PATIENT * 4
    while received < size:
        if time.monotonic() > deadline:
            raise RuntimeError("bulk: %d of %d bytes" % (received, size))
        chunk = os.read(fd_out, min(1 << 20, size - received))
        if not chunk:
            raise RuntimeError("bulk: output ended at %d" % received)
        if chunk != payload[received:received + len(chunk)]:
            raise RuntimeError("bulk: content differs near byte %d" % received)
        received += len(chunk)
    elapsed = time.perf_counter() - start
    writer.join(PATIENT)
    if error:
        raise RuntimeError("bulk: %s" % error[0])
    return size / elapsed / 1e6


def switches(pid):
    total = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches",
                                        "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def idle_rate(proc, seconds):
    time.sleep(1.0)
    before = switches(proc.pid)
    time.sleep(seconds)
    return (switches(proc.pid) - before) / seconds


def measure(name, command, options):
    proc = start_program(command)
    try:
        idle = idle_rate(proc, options.idle_seconds)
        median, p99 = round_trips(proc, options.round_trips)
        rate = bulk(proc, int(options.megabytes * (1 << 20)))
    finally:
        proc.stdin.close()
        try:
            proc.wait(PATIENT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return name, median, p99, rate, idle


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build/linux/bin")
    parser.add_argument("--round-trips", type=int, default=5000)
    parser.add_argument("--megabytes", type=float, default=32)
    parser.add_argument("--idle-seconds", type=float, default=5)
    parser.add_argument("--only", choices=["term", "socat"])
    options = parser.parse_args()

    peer, port = start_peer(options.bin)
    rows = []
    try:
        if options.only != "socat":
            rows.append(measure(
                "ip232-term", [os.path.join(options.bin, "ip232-term"),
                               "--linger", "0", "mode=raw",
                               "url=127.0.0.1:%d" % port], options))
        if options.only != "term":
            if not shutil.which("socat"):
                sys.exit("socat is not installed")
            rows.append(measure("socat", ["socat", "STDIO",
                                          "TCP:127.0.0.1:%d" % port],
                                options))
    finally:
        peer.terminate()
        peer.wait(PATIENT)
    print("| program | round trip median (us) | round trip p99 (us) "
          "| bulk each way (MB/s) | idle wakeups/s |")
    print("|---|---:|---:|---:|---:|")
    for name, median, p99, rate, idle in rows:
        print("| %s | %.0f | %.0f | %.1f | %.1f |" % (name, median, p99, rate,
                                                      idle))
    return 0


if __name__ == "__main__":
    sys.exit(main())
