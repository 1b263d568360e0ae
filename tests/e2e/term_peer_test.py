#!/usr/bin/env python3
"""End-to-end tests: ip232-term bridged to ip232-peer, as separate processes.

ip232-term loads the built extension module beside it and plays an emulated
machine; ip232-peer is a loopback IP232 server that echoes what it gets and
reports connections and request-to-send changes on standard error.

Usage: term_peer_test.py --term PATH --peer PATH [--emulator CMD]
With --emulator (e.g. wine) both programs run through it. Prints one line per
case and a final "N passed, N failed"; exits non-zero when a case failed.
Every wait is bounded.
"""

import argparse
import os
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
import traceback

# Generous bounds: machines are shared and Wine starts slowly.
PATIENT = 30.0       # for anything that must happen
QUIET = 1.5          # for something that must NOT happen, watched this long
PROCESS_EXIT = 30.0  # for a program to end once told to

ESC = b"\x1d"  # ^]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Collector:
    """Reads a stream on a thread; lets the test wait for what arrives."""

    def __init__(self, stream):
        self._stream = stream
        self._data = bytearray()
        self._closed = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        fd = self._stream.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            with self._cond:
                if not chunk:
                    self._closed = True
                    self._cond.notify_all()
                    return
                self._data += chunk
                self._cond.notify_all()

    def data(self):
        with self._cond:
            return bytes(self._data)

    def text(self):
        return self.data().decode("utf-8", "replace")

    def wait_for(self, predicate, timeout):
        """Waits until predicate(data) holds; returns whether it did."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate(bytes(self._data)):
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    return predicate(bytes(self._data))
                self._cond.wait(left)
            return True

    def wait_closed(self, timeout):
        self._thread.join(timeout)


class Programs:
    def __init__(self, term, peer, emulator):
        self.term = term
        self.peer = peer
        self.prefix = shlex.split(emulator) if emulator else []
        self.under_emulator = bool(emulator)

    def command(self, program, args):
        return self.prefix + [program] + list(args)


class Peer:
    """ip232-peer on a free loopback port."""

    def __init__(self, programs, raw=False):
        args = ["--port", "0"] + (["--raw"] if raw else [])
        self.process = subprocess.Popen(
            programs.command(programs.peer, args),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        self.stderr = Collector(self.process.stderr)
        pattern = re.compile(rb"ip232-peer: listening on 127\.0\.0\.1:(\d+)")
        ready = self.stderr.wait_for(lambda d: pattern.search(d), PATIENT)
        if not ready:
            self.stop()
            raise Failure("peer did not report listening: %r" %
                          self.stderr.text())
        self.port = int(pattern.search(self.stderr.data()).group(1))

    def lines(self):
        return [l for l in self.stderr.text().splitlines()
                if not l.startswith("ip232-peer: listening")]

    def wait_line(self, line, count=1, timeout=PATIENT):
        return self.stderr.wait_for(
            lambda d: self._count(d, line) >= count, timeout)

    @staticmethod
    def _count(data, line):
        return data.decode("utf-8", "replace").splitlines().count(
            "ip232-peer: " + line)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(PROCESS_EXIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(PROCESS_EXIT)
        self.stderr.wait_closed(PROCESS_EXIT)


class Term:
    """ip232-term with pipes on all three streams."""

    def __init__(self, programs, args, read_stdout=True):
        self.process = subprocess.Popen(
            programs.command(programs.term, args),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self.stderr = Collector(self.process.stderr)
        self.stdout = None
        if read_stdout:
            self.read_stdout()

    def read_stdout(self):
        """Starts reading standard output (once)."""
        self.stdout = Collector(self.process.stdout)

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def close_input(self):
        self.process.stdin.close()

    def wait_stdout(self, expected, timeout=PATIENT):
        return self.stdout.wait_for(lambda d: d == expected or
                                    len(d) > len(expected), timeout) and \
            self.stdout.data() == expected

    def wait_exit(self, timeout=PROCESS_EXIT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise Failure("ip232-term did not exit within %.0f s" % timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(PROCESS_EXIT)

    def finish(self):
        self.kill()
        if not self.process.stdin.closed:
            try:
                self.process.stdin.close()
            except OSError:
                pass
        if self.stdout:
            self.stdout.wait_closed(PROCESS_EXIT)
        self.stderr.wait_closed(PROCESS_EXIT)


def bridge_line(mode, port):
    return ("ip232-serial: %s bridge to 127.0.0.1:%d (connecting)\n" %
            (mode, port)).encode()


def run_once(programs, args, input_bytes=b""):
    """Runs ip232-term to its end; returns (status, stdout, stderr)."""
    done = subprocess.run(programs.command(programs.term, args),
                          input=input_bytes, capture_output=True,
                          timeout=PROCESS_EXIT + PATIENT)
    return done.returncode, done.stdout, done.stderr


# --- the cases ----------------------------------------------------------------

def case_bytes_both_ways_with_0xff(programs):
    """Every byte value, 0xFF and 0xFF 0x00 included, goes out and comes
    back unchanged; the attach line comes first on standard output."""
    peer = Peer(programs)
    term = None
    try:
        payload = bytes(range(256)) + b"\xff\xff\x00\xff\x01hello, modem\r\n"
        # The last of a repeated key wins.
        term = Term(programs, ["--linger", "200", "host=127.0.0.1",
                               "port=1", "port=%d" % peer.port])
        term.send(payload)
        expected = bridge_line("ip232", peer.port) + payload
        ok = term.wait_stdout(expected)
        check(ok, "echo: expected %d bytes, got %r" %
              (len(expected), term.stdout.data()[:120]))
        term.close_input()
        check(term.wait_exit() == 0, "exit status after end of input")
        check(term.stdout.data() == expected, "nothing after the echo")
        check(peer.wait_line("connection closed"), "peer saw the close")
        check(peer.lines() == ["ip232-peer: connection opened",
                               "ip232-peer: rts on",
                               "ip232-peer: connection closed"],
              "peer lines: %r" % peer.lines())
    finally:
        if term:
            term.finish()
        peer.stop()


def case_bulk_transfer_loses_nothing(programs):
    """Far more than every buffer on the way, through a standard output that
    is not read at first: the program waits instead of dropping."""
    peer = Peer(programs)
    term = None
    try:
        payload = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(300000))
        line = bridge_line("ip232", peer.port)
        term = Term(programs, ["--linger", "0", "host=127.0.0.1",
                               "port=%d" % peer.port], read_stdout=False)
        # Writing blocks once ip232-term holds back, so it gets a thread.
        writer = threading.Thread(target=term.send, args=(payload,),
                                  daemon=True)
        writer.start()
        # Standard output is not read at first: a full pipe.
        time.sleep(QUIET)
        term.read_stdout()
        check(term.stdout.wait_for(lambda d: len(d) >= len(line) +
                                   len(payload), PATIENT * 2),
              "got %d of %d bytes" % (len(term.stdout.data()),
                                      len(line) + len(payload)))
        check(term.stdout.data() == line + payload, "bytes differ")
        writer.join(PATIENT)
        term.close_input()
        check(term.wait_exit() == 0, "exit status")
    finally:
        if term:
            term.finish()
        peer.stop()


def case_end_of_input_lingers_for_the_echo(programs):
    """Input ended before the bridge connected: every byte is still sent,
    and the echo arriving during --linger is written."""
    peer = Peer(programs)
    try:
        status, out, err = run_once(
            programs, ["--linger", "3000", "port=%d" % peer.port,
                       "host=127.0.0.1"], b"short and sweet\xff")
        check(status == 0, "status %d, stderr %r" % (status, err))
        check(out == bridge_line("ip232", peer.port) + b"short and sweet\xff",
              "stdout %r" % out)
    finally:
        peer.stop()


def case_handshake_pairs_reach_the_peer(programs):
    """Request-to-send starts off and follows the escape commands; break
    commands do not reach the line; with handshake=false nothing is sent."""
    for handshake, expected in (
            ("true", ["rts off", "rts on", "rts off", "rts on"]),
            ("false", [])):
        peer = Peer(programs)
        term = None
        try:
            term = Term(programs, [
                "--rts", "off", "--escape", "^]", "--linger", "0",
                "port=%d" % peer.port, "host=127.0.0.1",
                "handshake=" + handshake])
            check(term.stdout.wait_for(
                lambda d: d == bridge_line("ip232", peer.port), PATIENT),
                "attach line")
            check(peer.wait_line("connection opened"), "connected")
            # Sent one after the other, so the order on the wire is known.
            term.send(ESC + b"+")
            term.send(ESC + b"b" + ESC + b"B")
            term.send(ESC + b"-" + ESC + b"+" + b"x")
            check(term.wait_stdout(bridge_line("ip232", peer.port) + b"x"),
                  "echo of x")
            term.send(ESC + b"q")
            check(term.wait_exit() == 0, "q ends with status 0")
            check(peer.wait_line("connection closed"), "peer saw the close")
            got = [l[len("ip232-peer: "):] for l in peer.lines()
                   if l.startswith("ip232-peer: rts")]
            check(got == expected,
                  "handshake=%s: %r" % (handshake, peer.lines()))
        finally:
            if term:
                term.finish()
            peer.stop()


def case_raw_mode_is_gated_by_request_to_send(programs):
    """Mode raw: no connection while request-to-send is off; data typed
    meanwhile waits and goes out once + connects; - drops the connection."""
    peer = Peer(programs, raw=True)
    term = None
    try:
        term = Term(programs, ["--rts", "off", "--escape", "^]",
                               "--linger", "0", "mode=raw",
                               "url=tcp://127.0.0.1:%d" % peer.port])
        line = bridge_line("raw", peer.port)
        check(term.stdout.wait_for(lambda d: d == line, PATIENT),
              "attach line: %r" % term.stdout.data())
        # 0xFF passes unchanged in raw mode; a doubled escape is one 0x1D.
        term.send(b"held\xff" + ESC + ESC)
        time.sleep(QUIET)
        check(peer.lines() == [], "connected while rts off: %r" % peer.lines())
        check(term.stdout.data() == line, "bytes before the connection")
        term.send(ESC + b"+")
        check(peer.wait_line("connection opened"), "connection after +")
        check(term.wait_stdout(line + b"held\xff\x1d"), "raw echo: %r" %
              term.stdout.data())
        term.send(ESC + b"-")
        check(peer.wait_line("connection closed"), "close after -")
        term.send(ESC + b"+")
        check(peer.wait_line("connection opened", 2), "reconnect after +")
        term.send(ESC + b"q")
        check(term.wait_exit() == 0, "q ends with status 0")
        check(not any("rts" in l for l in peer.lines()),
              "no in-band line state in raw mode: %r" % peer.lines())
    finally:
        if term:
            term.finish()
        peer.stop()


def case_configuration_errors(programs):
    """A configuration failure: the message alone on standard error, nothing
    on standard output, status 1."""
    cases = [
        (["port=0"], "ip232-serial: port must be 1..65535, got '0'\n"),
        (["url=tcp://host"],
         "ip232-serial: invalid url 'tcp://host': missing ':port' in 'host'\n"),
        (["url=h:1", "host=h"],
         "ip232-serial: url= cannot be combined with host=/port=\n"),
        (["mode="],
         "ip232-serial: unknown mode '' (expected 'ip232' or 'raw')\n"),
        (["port=99999999999", "mode=x"],
         "ip232-serial: port must be 1..65535, got '99999999999'\n"),
    ]
    for args, message in cases:
        status, out, err = run_once(programs, args)
        check(status == 1, "%r: status %d" % (args, status))
        check(out == b"", "%r: stdout %r" % (args, out))
        check(err.decode() == message, "%r: stderr %r" % (args, err))


def case_usage_and_loading_errors(programs):
    """Usage errors exit 2 with the usage on standard error; --help prints
    it on standard output; a missing library exits 1 naming its path."""
    for args in (["--bogus"], ["port"], ["--rts", "maybe"],
                 ["--escape", "^1"], ["--escape", "ab"], ["--linger", "-1"],
                 ["--linger"], ["--linger", "1s"]):
        status, out, err = run_once(programs, args)
        check(status == 2, "%r: status %d" % (args, status))
        check(out == b"", "%r: stdout %r" % (args, out))
        check(b"usage: ip232-term" in err, "%r: stderr %r" % (args, err))
    status, out, err = run_once(programs, ["--help"])
    check(status == 0 and out.startswith(b"usage: ip232-term") and err == b"",
          "--help: %d %r %r" % (status, out[:40], err))
    missing = os.path.join(os.path.dirname(programs.term), "no-such-module.bin")
    status, out, err = run_once(programs, ["--extension", missing])
    check(status == 1, "missing library: status %d" % status)
    check(out == b"", "missing library: stdout %r" % out)
    check(len(err.decode().splitlines()) == 1 and
          os.path.basename(missing) in err.decode(),
          "missing library: stderr %r" % err)


def case_sigterm_detaches_and_exits_zero(programs):
    """SIGTERM (POSIX only) ends the program with status 0 while the bridge
    is connected and input is still open."""
    if programs.under_emulator:
        return "skipped under the emulator"
    peer = Peer(programs)
    term = None
    try:
        term = Term(programs, ["port=%d" % peer.port, "host=127.0.0.1"])
        check(peer.wait_line("connection opened"), "connected")
        term.process.send_signal(signal.SIGTERM)
        check(term.wait_exit() == 0, "status after SIGTERM")
        check(peer.wait_line("connection closed"), "peer saw the close")
    finally:
        if term:
            term.finish()
        peer.stop()
    return None


CASES = [
    case_bytes_both_ways_with_0xff,
    case_bulk_transfer_loses_nothing,
    case_end_of_input_lingers_for_the_echo,
    case_handshake_pairs_reach_the_peer,
    case_raw_mode_is_gated_by_request_to_send,
    case_configuration_errors,
    case_usage_and_loading_errors,
    case_sigterm_detaches_and_exits_zero,
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--term", required=True)
    parser.add_argument("--peer", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--only", default="", help="run cases matching this")
    options = parser.parse_args()
    programs = Programs(options.term, options.peer, options.emulator)

    passed = failed = 0
    for case in CASES:
        name = case.__name__[len("case_"):]
        if options.only and options.only not in name:
            continue
        started = time.monotonic()
        try:
            note = case(programs)
            passed += 1
            print("PASS %s (%.1f s)%s" % (name, time.monotonic() - started,
                                          " - " + note if note else ""))
        except Failure as e:
            failed += 1
            print("FAIL %s: %s" % (name, e))
        except Exception:  # an error in the test itself counts as a failure
            failed += 1
            print("FAIL %s:\n%s" % (name, traceback.format_exc()))
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
