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

    def __init__(self, programs, raw=False, extra=(),
                 address=rb"127\.0\.0\.1"):
        args = ["--port", "0"] + (["--raw"] if raw else []) + list(extra)
        self.process = subprocess.Popen(
            programs.command(programs.peer, args),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        self.stderr = Collector(self.process.stderr)
        pattern = re.compile(rb"ip232-peer: listening on " + address +
                             rb":(\d+)")
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
        kill(self.process)

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


def kill(process):
    """Kills `process` (a Popen, or None) if it still runs, and waits."""
    if process and process.poll() is None:
        process.kill()
        process.wait(PROCESS_EXIT)


def bridge_line(mode, port):
    return ("ip232-serial: %s bridge to 127.0.0.1:%d (connecting)\n" %
            (mode, port)).encode()


def run_once(programs, args, input_bytes=b""):
    """Runs ip232-term to its end; returns (status, stdout, stderr)."""
    done = subprocess.run(programs.command(programs.term, args),
                          input=input_bytes, capture_output=True,
                          timeout=PROCESS_EXIT + PATIENT)
    return done.returncode, done.stdout, done.stderr


def free_port():
    """A loopback port that nothing listens on (free a moment ago)."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def without_reports(stderr):
    """Standard error without ip232-term's reports on the connection, which
    come when the connection is seen, a moment after it is made."""
    return b"".join(l for l in stderr.splitlines(True) if not re.match(
        rb"ip232-term: (connected to|connection closed after) ", l))


def term_lines(stderr):
    """ip232-term's own lines on standard error."""
    return [l for l in stderr.decode("utf-8", "replace").splitlines()
            if l.startswith("ip232-term: ")]


# --- the cases ----------------------------------------------------------------

def case_bytes_both_ways_with_0xff(programs):
    """Every byte value, 0xFF and 0xFF 0x00 included, goes out and comes
    back unchanged; standard output holds exactly the bytes received, and
    the extension's attach line is on standard error."""
    peer = Peer(programs)
    term = None
    try:
        payload = bytes(range(256)) + b"\xff\xff\x00\xff\x01hello, modem\r\n"
        # The last of a repeated key wins.
        term = Term(programs, ["--linger", "200", "host=127.0.0.1",
                               "port=1", "port=%d" % peer.port])
        term.send(payload)
        expected = payload
        ok = term.wait_stdout(expected)
        check(ok, "echo: expected %d bytes, got %r" %
              (len(expected), term.stdout.data()[:120]))
        term.close_input()
        check(term.wait_exit() == 0, "exit status after end of input")
        check(term.stdout.data() == expected, "nothing after the echo")
        check(without_reports(term.stderr.data()) ==
              bridge_line("ip232", peer.port),
              "stderr: %r" % term.stderr.data())
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
        term = Term(programs, ["--linger", "0", "host=127.0.0.1",
                               "port=%d" % peer.port], read_stdout=False)
        # Writing blocks once ip232-term holds back, so it gets a thread.
        writer = threading.Thread(target=term.send, args=(payload,),
                                  daemon=True)
        writer.start()
        # Standard output is not read at first: a full pipe.
        time.sleep(QUIET)
        term.read_stdout()
        check(term.stdout.wait_for(lambda d: len(d) >= len(payload),
                                   PATIENT * 2),
              "got %d of %d bytes" % (len(term.stdout.data()), len(payload)))
        check(term.stdout.data() == payload, "bytes differ")
        writer.join(PATIENT)
        term.close_input()
        check(term.wait_exit() == 0, "exit status")
    finally:
        if term:
            term.finish()
        peer.stop()


def case_end_of_input_lingers_for_the_echo(programs):
    """Input ended before the bridge connected: every byte is still sent,
    and the echo arriving during --linger is written; HOST PORT; --echo and
    the line end options."""
    peer = Peer(programs)
    try:
        status, out, err = run_once(
            programs, ["--linger", "3000", "127.0.0.1", str(peer.port)],
            b"short and sweet\xff")
        check(status == 0, "status %d, stderr %r" % (status, err))
        check(out == b"short and sweet\xff",
              "stdout %r" % out)
        # Local echo first, then the answer; CR goes out as CR LF and each
        # line end is shown as LF.
        status, out, err = run_once(
            programs, ["--linger", "3000", "--echo", "--send-eol", "crlf",
                       "--receive-eol", "lf", "127.0.0.1:%d" % peer.port],
            b"a\rb")
        check(status == 0 and out == b"a\nb" + b"a\nb", "echo and line ends: %d %r" % (status, out))
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
            check(term.stderr.wait_for(
                lambda d: d.startswith(bridge_line("ip232", peer.port)),
                PATIENT), "attach line")
            check(peer.wait_line("connection opened"), "connected")
            # Sent one after the other, so the order on the wire is known.
            term.send(ESC + b"+")
            term.send(ESC + b"b" + ESC + b"B")
            term.send(ESC + b"-" + ESC + b"+" + b"x")
            check(term.wait_stdout(b"x"),
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
    """Mode raw (--raw): no connection while request-to-send is off; data
    typed meanwhile waits and goes out once + connects; - drops it."""
    peer = Peer(programs, raw=True)
    term = None
    try:
        term = Term(programs, ["--rts", "off", "--escape", "^]",
                               "--linger", "0", "--raw",
                               "url=tcp://127.0.0.1:%d" % peer.port])
        check(term.stderr.wait_for(
            lambda d: d == bridge_line("raw", peer.port), PATIENT),
            "attach line: %r" % term.stderr.data())
        # 0xFF passes unchanged in raw mode; a doubled escape is one 0x1D.
        term.send(b"held\xff" + ESC + ESC)
        time.sleep(QUIET)
        check(peer.lines() == [], "connected while rts off: %r" % peer.lines())
        check(term.stdout.data() == b"", "bytes before the connection")
        term.send(ESC + b"+")
        check(peer.wait_line("connection opened"), "connection after +")
        check(term.wait_stdout(b"held\xff\x1d"), "raw echo: %r" %
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
    """A usage error is one line ending in "try --help", status 2; --help
    and --version print on standard output; a missing library exits 1
    naming its path; doubtful extension options are warned about."""
    for args in (["--bogus"], ["port"], ["--rts", "maybe"],
                 ["--escape", "^1"], ["-e", "ab"], ["--linger=-1"],
                 ["--linger"], ["--echo=1"], ["a:1", "b:2"],
                 ["a:1", "host=h"], ["h", "x"]):
        status, out, err = run_once(programs, args)
        check(status == 2, "%r: status %d" % (args, status))
        check(out == b"", "%r: stdout %r" % (args, out))
        check(re.fullmatch(rb"ip232-term: [^\n]+ \(try 'ip232-term --help'\)\n",
                           err), "%r: stderr %r" % (args, err))
    status, out, err = run_once(programs, ["--help"])
    check(status == 0 and out.startswith(b"Usage: ip232-term") and err == b"",
          "--help: %d %r %r" % (status, out[:40], err))
    for program, name in ((programs.term, b"ip232-term"),
                          (programs.peer, b"ip232-peer")):
        # ip232-peer's streams are text streams: CR LF on Windows.
        done = subprocess.run(programs.command(program, ["-V"]),
                              capture_output=True, timeout=PROCESS_EXIT)
        check(done.returncode == 0 and
              re.fullmatch(name + rb" \d+\.\d+\.\d+\r?\n", done.stdout),
              "%s -V: %r" % (name, done.stdout))
        done = subprocess.run(programs.command(program, ["--bogus"]),
                              capture_output=True, timeout=PROCESS_EXIT)
        check(done.returncode == 2 and done.stderr.replace(b"\r\n", b"\n") ==
              name + b": unknown option '--bogus' (try '" + name +
              b" --help')\n", "%s --bogus: %r" % (name, done.stderr))
    missing = os.path.join(os.path.dirname(programs.term), "no-such-module.bin")
    status, out, err = run_once(programs, ["--extension", missing])
    check(status == 1, "missing library: status %d" % status)
    check(out == b"", "missing library: stdout %r" % out)
    check(len(err.decode().splitlines()) == 1 and
          os.path.basename(missing) in err.decode(),
          "missing library: stderr %r" % err)
    status, out, err = run_once(programs, ["prot=2323", "handshake=off",
                                           "port=0"])
    check(status == 1 and err.decode().splitlines() == [
        "ip232-term: warning: the extension does not read 'prot': did you "
        "mean port?",
        "ip232-term: warning: handshake=off is taken as true: only false or "
        "0 turn it off",
        "ip232-serial: port must be 1..65535, got '0'"],
        "warnings: %d %r" % (status, err))


def case_stop_signals_detach_and_exit_zero(programs):
    """SIGTERM and SIGINT (POSIX only) end the program with status 0 while
    the bridge is connected and input is still open."""
    if programs.under_emulator:
        return "skipped under the emulator"
    for stop in (signal.SIGTERM, signal.SIGINT):
        peer = Peer(programs)
        term = None
        try:
            term = Term(programs, ["port=%d" % peer.port, "host=127.0.0.1"])
            check(peer.wait_line("connection opened"), "connected")
            term.process.send_signal(stop)
            check(term.wait_exit() == 0, "status after %s" % stop.name)
            check(peer.wait_line("connection closed"), "peer saw the close")
        finally:
            if term:
                term.finish()
            peer.stop()
    return None


def case_quit_and_stop_while_connected_end_cleanly(programs):
    """^] q and SIGINT while connected, with standard input still open and
    a long --linger: each run ends with status 0, nothing on standard
    output and on standard error only the attach line and the report of
    the connection. Repeated, a few runs at once, to catch a fault at exit that
    shows only now and then. (Under Wine, SIGINT is Ctrl-C; SIGTERM ends a
    Wine process outright.)"""
    runs, at_once = 48, 6
    faults = []
    ended = []

    def runner(first):
        try:
            run_some(first)
        except Exception as e:  # counted as a fault of the case
            faults.append("runner %d: %r" % (first, e))

    def run_some(first):
        peer = Peer(programs)
        try:
            for n, i in enumerate(range(first, runs, at_once)):
                stop = "quit" if i % 2 == 0 else "SIGINT"
                term = Term(programs, ["--linger", "20000", "-e", "^]",
                                       "127.0.0.1:%d" % peer.port])
                try:
                    if not peer.wait_line("connection opened", n + 1):
                        faults.append("run %d: no connection" % i)
                        continue
                    if stop == "quit":
                        term.send(ESC + b"q")
                    else:
                        term.process.send_signal(signal.SIGINT)
                    status = term.wait_exit()
                    term.stderr.wait_closed(PROCESS_EXIT)
                    term.stdout.wait_closed(PROCESS_EXIT)
                    err = term.stderr.data()
                    if status != 0 or term.stdout.data() or \
                            without_reports(err) != bridge_line("ip232",
                                                                peer.port):
                        faults.append("run %d (%s): status %d, stderr %r" %
                                      (i, stop, status, err))
                    ended.append(i)
                finally:
                    term.finish()
        finally:
            peer.stop()

    threads = [threading.Thread(target=runner, args=(k,))
               for k in range(at_once)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check(not faults and len(ended) == runs,
          "%d of %d ended: %s" % (len(ended), runs, "; ".join(faults)))


def parse_trace(text):
    """[(event, bytes)] from a trace: each record's first line without its
    time, and the bytes of the hex lines under it."""
    records = []
    for line in text.splitlines():
        head = re.match(r"(\d\d:\d\d:\d\d\.\d{6}) (.*)$", line)
        if head:
            records.append([head.group(2), b""])
        else:
            check(records and line.startswith(" " * 16), "trace line %r" % line)
            records[-1][1] += bytes.fromhex(line[16:16 + 48])
    return records


def case_trace_records_bytes_and_events(programs):
    """--trace FILE: the bytes sent and received (0xFF as one byte), the
    request-to-send changes and the host's events, in order."""
    peer = Peer(programs)
    term = None
    trace_path = os.path.join(os.path.dirname(os.path.abspath(programs.term)),
                              "e2e-trace-%d.txt" % os.getpid())
    try:
        term = Term(programs, ["--trace", trace_path, "-e", "^]", "--linger",
                               "0", "127.0.0.1:%d" % peer.port])
        connected = "ip232-term: connected to 127.0.0.1:%d" % peer.port
        check(term.stderr.wait_for(lambda d: connected.encode() in d,
                                   PATIENT), "stderr %r" % term.stderr.data())
        term.send(b"A\xff")
        check(term.wait_stdout(b"A\xff"),
              "echo: %r" % term.stdout.data())
        term.send(ESC + b"-")
        check(peer.wait_line("rts off"), "rts off reached the peer")
        term.close_input()
        check(term.wait_exit() == 0, "exit status")
        with open(trace_path, encoding="ascii") as f:
            text = f.read()
        records = parse_trace(text)
        events = [r[0] for r in records if not r[0].startswith(("sent",
                                                                 "received"))]
        check(events == ["attach url=127.0.0.1:%d (request-to-send on)" %
                         peer.port, connected[len("ip232-term: "):],
                         "request-to-send off", "end of input", "detach"],
              "events: %r" % events)
        for direction in ("sent", "received"):
            got = b"".join(r[1] for r in records if r[0].startswith(direction))
            check(got == b"A\xff", "%s: %r" % (direction, got))
        check(re.search(r"\n {16}41 ff {44}A\.\n", text), "dump: %r" % text)
    finally:
        if term:
            term.finish()
        peer.stop()
        if os.path.exists(trace_path):
            os.remove(trace_path)


def case_scripted_run_without_a_connection_fails(programs):
    """Piped input and nothing to connect to: a refused port (within the
    default time limit), a name that does not resolve, and input that ends
    first each end the run with status 1 and the reason, after the report
    of what is wrong."""
    dead = "127.0.0.1:%d" % free_port()
    nothing = re.escape("cannot connect to " + dead + ": ") + r"[^\n]+"
    unresolved = r"cannot resolve nosuch\.\.invalid:23: [^\n]+"
    retrying = re.escape(" (retrying)")
    down = "not connected: "
    unsent = re.escape("; 3 bytes not sent")
    cases = [
        ([dead], b"AT\r",
         [down + nothing + retrying,
          r"no connection within 5\.0 s \(see --connect-timeout\): " +
          nothing + unsent]),
        (["--connect-timeout", "1.5", "nosuch..invalid:23"], b"AT\r",
         [down + unresolved + retrying,
          r"no connection within 1\.5 s \(see --connect-timeout\): " +
          unresolved + unsent]),
        (["--connect-timeout", "none", "--linger", "0", dead], b"",
         [down + nothing + retrying,
          "the input ended before a connection was made: " + nothing]),
    ]
    for args, input_bytes, expected in cases:
        status, _, err = run_once(programs, args, input_bytes)
        lines = term_lines(err)
        check(status == 1, "%r: status %d, stderr %r" % (args, status, err))
        check(len(lines) == len(expected) and all(
            re.fullmatch("ip232-term: " + e, l) for e, l in zip(expected, lines)),
            "%r: stderr %r" % (args, err))


def case_connection_reports_when_the_server_closes(programs):
    """A server that answers and then hangs up: "connected to" and
    "connection closed after" with the bytes of that connection as they
    went on the wire (the request-to-send pair included), on standard error
    and in the trace; the run still ends with status 0."""
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(PATIENT)
    port = listener.getsockname()[1]
    target = "127.0.0.1:%d" % port

    def answer_and_hang_up():
        try:
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(PATIENT)
                got = b""
                while len(got) < 6:
                    got += conn.recv(6 - len(got)) or b"......"
                conn.sendall(b"pong")
                time.sleep(0.3)  # let the answer be taken before the close
        except OSError:
            pass

    server = threading.Thread(target=answer_and_hang_up, daemon=True)
    server.start()
    term = None
    trace_path = os.path.join(os.path.dirname(os.path.abspath(programs.term)),
                              "e2e-close-%d.txt" % os.getpid())
    closed = (r"connection closed after \d+\.\d s \(sent 6, received 4\)")
    try:
        term = Term(programs, ["--trace", trace_path, "--linger", "0", target])
        term.send(b"ping")
        check(term.stderr.wait_for(lambda d: b"connection closed" in d,
                                   PATIENT), "stderr %r" % term.stderr.data())
        term.close_input()
        check(term.wait_exit() == 0, "exit status")
        lines = term_lines(term.stderr.data())
        check(len(lines) == 2 and lines[0] == "ip232-term: connected to " +
              target and re.fullmatch("ip232-term: " + closed, lines[1]),
              "stderr %r" % term.stderr.data())
        with open(trace_path, encoding="ascii") as f:
            events = [r[0] for r in parse_trace(f.read())
                      if not r[0].startswith(("sent", "received"))]
        check(len(events) == 5 and events[1] == "connected to " + target and
              re.fullmatch(closed, events[2]) and
              events[3:] == ["end of input", "detach"], "events %r" % events)
    finally:
        if term:
            term.finish()
        listener.close()
        server.join(PATIENT)
        if os.path.exists(trace_path):
            os.remove(trace_path)


def case_peer_cannot_be_wedged(programs):
    """ip232-peer: a client that never reads and an idle client do not stop
    the next one; a client that takes nothing is dropped; a taken port
    gives one plain message; IPv6 addresses come in brackets."""
    import socket
    peer = Peer(programs, raw=True, extra=["--drop-after", "2"])
    clients = []
    try:
        def connect():
            c = socket.create_connection(("127.0.0.1", peer.port), PATIENT)
            clients.append(c)
            return c

        def flood(c):
            c.settimeout(PATIENT)
            try:
                c.sendall(b"x" * (64 << 20))
            except OSError:
                pass

        for kind in ("never reads", "idle"):
            first = connect()
            if kind == "never reads":
                threading.Thread(target=flood, args=(first,),
                                 daemon=True).start()
                time.sleep(QUIET)
            check(peer.wait_line("connection opened", len(clients)),
                  "%s: opened %r" % (kind, peer.lines()))
            second = connect()
            second.settimeout(PATIENT)
            second.sendall(b"ping")
            got = b""
            while len(got) < 4:
                got += second.recv(4 - len(got))
            check(got == b"ping", "%s: echo %r" % (kind, got))
            check(peer.wait_line("connection replaced by a new one",
                                 len(clients) - 1),
                  "%s: %r" % (kind, peer.lines()))
        # Alone, a client that takes nothing is dropped.
        threading.Thread(target=flood, args=(connect(),), daemon=True).start()
        check(peer.wait_line("connection dropped: it took nothing for 2 s"),
              "drop: %r" % peer.lines())
        done = subprocess.run(programs.command(programs.peer, [
            "--port", str(peer.port)]), capture_output=True,
            timeout=PROCESS_EXIT)
        check(done.returncode == 1 and re.fullmatch(
            rb"ip232-peer: cannot listen on 127\.0\.0\.1:%d: [^:\n]*\n" %
            peer.port, done.stderr.replace(b"\r\n", b"\n")),
            "port taken: %r" % done.stderr)
    finally:
        for c in clients:
            c.close()
        peer.stop()
    try:
        v6 = Peer(programs, extra=["--host", "::1"], address=rb"\[::1\]")
        v6.stop()
    except Failure as e:
        if b"cannot listen" not in str(e).encode():
            raise
        return "no IPv6 loopback here"
    return None


def case_terminal_passes_signal_keys_and_answers_escapes(programs):
    """On a pseudo-terminal (Linux): raw mode entered and restored, the
    escape hint, Ctrl-C, Ctrl-Z and Ctrl-\\ sent as bytes, ^] ?, ^] -, ^] b
    and an unknown command answered in CR LF lines, ^] q quits with status
    0; trace records on the screen start lines of their own; -e none warns
    that no key quits."""
    if programs.under_emulator or not sys.platform.startswith("linux"):
        return "skipped: Linux only"
    import fcntl
    import pty
    import termios
    peer = Peer(programs)
    master, slave = pty.openpty()
    process = None
    try:
        def controlling_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        def start(args):
            return subprocess.Popen(
                programs.command(programs.term,
                                 args + ["127.0.0.1:%d" % peer.port]),
                stdin=slave, stdout=slave, stderr=slave,
                preexec_fn=controlling_terminal)

        process = start([])
        screen = Collector(os.fdopen(master, "rb", buffering=0))

        def shows(text):
            return screen.wait_for(lambda d: text in d, PATIENT)

        check(shows(b"ip232-term: escape key ^]: ^] ? help and status, "
                    b"^] q quit\r\n"), "hint: %r" % screen.data())
        check(shows(b"ip232-term: connected to 127.0.0.1:%d\r\n" % peer.port),
              "connected: %r" % screen.data())
        lflag = termios.tcgetattr(slave)[3]
        check(not lflag & (termios.ICANON | termios.ISIG | termios.ECHO),
              "raw mode: lflag %#x" % lflag)
        os.write(master, b"\x03\x1a\x1cok")
        check(shows(b"\x03\x1a\x1cok"), "signal keys echoed: %r" %
              screen.data())
        check(process.poll() is None, "still running after Ctrl-C")
        os.write(master, ESC + b"?")
        check(shows(b"ip232-term: request-to-send on, break off; sent 5 "
                    b"bytes, received 5\r\n"), "status: %r" % screen.data())
        check(shows(b"ip232-term: no typed bytes waiting to be sent\r\n"),
              "backlog: %r" % screen.data())
        check(shows(b"ip232-term: connected to 127.0.0.1:%d for " % peer.port),
              "connection: %r" %
              screen.data())
        os.write(master, ESC + b"-")
        check(shows(b"ip232-term: request-to-send off\r\n"), "answer to -")
        check(peer.wait_line("rts off"), "rts off at the peer")
        os.write(master, ESC + b"b")
        check(shows(b"ip232-term: break on (the bridge does not carry a "
                    b"break: nothing is sent)\r\n"), "answer to b")
        os.write(master, ESC + b"x")
        check(shows(b"ip232-term: unknown command x; ^] ? for help\r\n"),
              "answer to x: %r" % screen.data())
        os.write(master, ESC + b"q")
        status = process.wait(PROCESS_EXIT)
        check(status == 0, "status after ^] q: %d" % status)
        lflag = termios.tcgetattr(slave)[3]
        check(lflag & termios.ICANON and lflag & termios.ISIG,
              "terminal restored: lflag %#x" % lflag)

        # A trace on the screen: the echo of "ok" leaves it mid-line, and
        # the record of the "!" sent next still starts a line of its own.
        process = start(["-t", "-"])
        start_at = len(screen.data())

        def received(d):
            return sum(int(n) for n in re.findall(
                rb"received (\d+) byte", d[start_at:]))

        check(screen.wait_for(lambda d: b"q quit\r\n" in d[start_at:],
                              PATIENT) and
              peer.wait_line("connection opened", 2), "second run")
        os.write(master, b"ok")
        check(screen.wait_for(lambda d: received(d) == 2, PATIENT), "ok")
        os.write(master, b"!")
        check(screen.wait_for(lambda d: received(d) == 3, PATIENT), "!")
        os.write(master, ESC + b"q")
        check(process.wait(PROCESS_EXIT) == 0, "status of the traced run")
        records = re.findall(rb"(.)\d\d:\d\d:\d\d\.\d{6} ",
                             screen.data()[start_at:], re.S)
        check(len(records) >= 4 and set(records) == {b"\n"},
              "trace records start lines: %r" % screen.data()[start_at:])

        process = start(["-e", "none"])
        check(shows(b"ip232-term: warning: no escape key (-e none): no key "
                    b"will quit"), "-e none: %r" % screen.data())
        process.terminate()
        check(process.wait(PROCESS_EXIT) == 0, "status after SIGTERM")
    finally:
        kill(process)
        os.close(slave)
        peer.stop()
    return None


def case_console_under_wine_sends_keys_as_bytes(programs):
    """Under Wine on a pseudo-terminal (its console): an arrow key goes out
    as its escape sequence and Ctrl-C as the byte 0x03, without ending the
    program; ^] q quits with status 0. (Wine's console drops Ctrl-Z.)"""
    if not programs.under_emulator or not sys.platform.startswith("linux"):
        return "skipped: Wine only"
    import fcntl
    import pty
    import termios
    peer = Peer(programs)
    master, slave = pty.openpty()
    trace_path = os.path.join(os.path.dirname(os.path.abspath(programs.term)),
                              "e2e-console-%d.txt" % os.getpid())
    process = None
    try:
        def controlling_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        process = subprocess.Popen(
            programs.command(programs.term, ["--trace", trace_path,
                                             "127.0.0.1:%d" % peer.port]),
            stdin=slave, stdout=slave, stderr=slave,
            preexec_fn=controlling_terminal)
        screen = Collector(os.fdopen(master, "rb", buffering=0))
        # Wine's console redraws the text with cursor moves for blanks.
        def text(d):
            return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]| ", b"", d)

        check(screen.wait_for(lambda d: b"^]qquit" in text(d), PATIENT),
              "hint: %r" % text(screen.data()))
        check(peer.wait_line("connection opened"), "connected")
        # The session's first key a Ctrl-C: Wine raises a control event
        # for it beside the key, and it must still go out once.
        keys = (b"\x03", b"a", b"\x1b[A", b"b", b"\x03", b"c")
        sent = b"".join(keys)
        for key in keys:
            os.write(master, key)
            time.sleep(0.2)  # the console reads a sequence whole
        check(process.poll() is None, "still running after Ctrl-C")

        def traced():
            with open(trace_path, encoding="ascii") as f:
                records = parse_trace(f.read())
            return b"".join(r[1] for r in records if r[0].startswith("sent"))

        deadline = time.monotonic() + PATIENT
        while traced() != sent and time.monotonic() < deadline:
            time.sleep(0.1)
        check(traced() == sent, "sent %r" % traced())
        os.write(master, ESC + b"q")
        check(process.wait(PROCESS_EXIT) == 0, "status after ^] q")
    finally:
        kill(process)
        os.close(slave)
        peer.stop()
        if os.path.exists(trace_path):
            os.remove(trace_path)
    return None


CASES = [
    case_bytes_both_ways_with_0xff,
    case_bulk_transfer_loses_nothing,
    case_end_of_input_lingers_for_the_echo,
    case_handshake_pairs_reach_the_peer,
    case_raw_mode_is_gated_by_request_to_send,
    case_configuration_errors,
    case_usage_and_loading_errors,
    case_stop_signals_detach_and_exit_zero,
    case_quit_and_stop_while_connected_end_cleanly,
    case_trace_records_bytes_and_events,
    case_scripted_run_without_a_connection_fails,
    case_connection_reports_when_the_server_closes,
    case_peer_cannot_be_wedged,
    case_terminal_passes_signal_keys_and_answers_escapes,
    case_console_under_wine_sends_keys_as_bytes,
]


def main_with(cases):
    """Runs `cases` (functions of a Programs) with the command line above."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--term", required=True)
    parser.add_argument("--peer", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--only", default="", help="run cases matching this")
    options = parser.parse_args()
    programs = Programs(options.term, options.peer, options.emulator)

    passed = failed = 0
    for case in cases:
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
    sys.exit(main_with(CASES))
