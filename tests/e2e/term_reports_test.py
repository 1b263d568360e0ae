#!/usr/bin/env python3
"""End-to-end tests of what ip232-term reports about the extension's
connection, and of scripted runs that must end by themselves, against small
loopback servers written here.

Usage: term_reports_test.py --term PATH --peer PATH [--emulator CMD]
(the same as term_peer_test.py, whose helpers it uses).
"""

import os
import re
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from term_peer_test import (PATIENT, PROCESS_EXIT, Failure, Term, check,  # noqa: E402
                            main_with, run_once, term_lines)


class Server:
    """A loopback TCP server; `serve(conn, number)` runs for each
    connection on its own thread (the connection is closed after it)."""

    def __init__(self, serve, family=socket.AF_INET, address="127.0.0.1"):
        self.listener = socket.socket(family)
        self.listener.bind((address, 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self._serve = serve
        self._stopping = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            number = self.accepted
            threading.Thread(target=self._one, args=(conn, number),
                             daemon=True).start()

    def _one(self, conn, number):
        try:
            with conn:
                conn.settimeout(PATIENT)
                self._serve(conn, number)
        except OSError:
            pass

    def stop(self):
        """Stops listening: later attempts are refused."""
        self._stopping = True
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        self._thread.join(PATIENT)


def count(lines, prefix):
    return sum(1 for l in lines if l.startswith("ip232-term: " + prefix))


def case_short_connections_are_each_reported(programs):
    """Servers whose connections last a moment: each one held 20 ms, each
    one closed at once, and a busy server that answers and hangs up. Every
    connection is reported with its close, and the run ends with status 0."""
    def hold(conn, _):
        time.sleep(0.02)

    def busy(conn, _):
        conn.sendall(b"BUSY\r\n")

    for name, serve in (("held 20 ms", hold), ("closed at once", lambda c, n: None),
                        ("busy", busy)):
        server = Server(serve)
        try:
            status, out, err = run_once(
                programs, ["--linger", "3000", "127.0.0.1:%d" % server.port])
        finally:
            server.stop()
        lines = term_lines(err)
        made, closed = count(lines, "connected to "), count(lines, "connection closed after ")
        check(status == 0, "%s: status %d, %r" % (name, status, err))
        # The last one may have been made as the run ended.
        check(made >= 2 and server.accepted - 1 <= made <= server.accepted and
              closed >= made - 1,
              "%s: %d accepted, %d reported, %d closes: %r" %
              (name, server.accepted, made, closed, err))
        check(count(lines, "not connected") == 0, "%s: %r" % (name, err))
        if serve is busy:
            check(out.count(b"BUSY\r\n") >= made - 1, "%s: stdout %r" % (name, out))


def case_addresses_written_otherwise(programs):
    """The any-address 0.0.0.0 and an IPv4-mapped IPv6 address reach a
    server on 127.0.0.1: reported as connected, in the words given."""
    payload = bytes(range(256)) * 4

    def talk(conn, _):
        conn.sendall(payload)
        conn.recv(1)  # until the client goes

    server = Server(talk)
    try:
        for address in ("0.0.0.0:%d", "[::ffff:127.0.0.1]:%d"):
            target = address % server.port
            status, out, err = run_once(programs, ["--mode", "raw", "--linger",
                                                   "1500", target])
            check(status == 0 and out.startswith(payload),
                  "%s: status %d, %d bytes, %r" % (target, status, len(out), err))
            check(term_lines(err)[:1] == ["ip232-term: connected to " + target],
                  "%s: %r" % (target, err))
    finally:
        server.stop()


def case_a_lost_server_with_input_waiting_ends_the_run(programs):
    """Bytes typed after the server went away wait for a connection only
    as long as --connect-timeout says: then status 1, with the reason."""
    def take_one(conn, _):
        conn.recv(1)

    server = Server(take_one)
    term = Term(programs, ["--connect-timeout", "2", "--mode", "raw",
                           "127.0.0.1:%d" % server.port])
    try:
        term.send(b"a")
        check(term.stderr.wait_for(lambda d: b"connection closed" in d, PATIENT),
              "close: %r" % term.stderr.data())
        server.stop()
        term.send(b"b")
        status = term.wait_exit(PATIENT)
        lines = term_lines(term.stderr.data())
        check(status == 1 and re.fullmatch(
            r"ip232-term: connection lost and not made again within 2\.0 s "
            r"\(see --connect-timeout\): cannot connect to [^\n]+; 1 bytes not sent",
            lines[-1]), "status %d, %r" % (status, lines))
    finally:
        term.finish()


def case_raw_mode_with_request_to_send_off_ends_at_once(programs):
    """In mode raw with request-to-send off nothing will connect: input
    that ends with bytes waiting ends the run at once, with status 1."""
    server = Server(lambda c, n: None)
    try:
        started = time.monotonic()
        status, _, err = run_once(programs, ["--raw", "--rts", "off",
                                             "127.0.0.1:%d" % server.port], b"x")
        took = time.monotonic() - started
    finally:
        server.stop()
    check(status == 1 and term_lines(err)[-1:] == [
        "ip232-term: 1 bytes wait to be sent, but request-to-send is off, and "
        "in mode raw the extension connects only while it is on"],
        "status %d, %r" % (status, err))
    check(server.accepted == 0, "connected %d times" % server.accepted)
    return "ended after %.1f s" % took


def case_stop_signal_with_output_blocked(programs):
    """SIGINT and SIGTERM end the program while nothing reads its standard
    output and the server keeps sending. Under Wine SIGINT reaches the
    program as the console's Ctrl-C event; SIGTERM ends Wine itself."""
    stops = [signal.SIGINT] + ([] if programs.under_emulator else [signal.SIGTERM])

    def flood(conn, _):
        while True:
            conn.sendall(b"x" * 65536)

    server = Server(flood)
    try:
        for stop in stops:
            term = Term(programs, ["127.0.0.1:%d" % server.port], read_stdout=False)
            try:
                check(term.stderr.wait_for(lambda d: b"connected to" in d, PATIENT),
                      "connected: %r" % term.stderr.data())
                time.sleep(1)  # the output pipe fills
                term.process.send_signal(stop)
                started = time.monotonic()
                status = term.wait_exit(PROCESS_EXIT)
                took = time.monotonic() - started
                # Bounded generously: a loaded machine may be slow.
                check(status == 0 and took < 10, "%s: status %d after %.1f s" %
                      (stop.name, status, took))
            finally:
                term.finish()
    finally:
        server.stop()


def case_once_ends_when_the_first_connection_closes(programs):
    """--once: a server that greets, takes the logoff and hangs up ends the
    run with status 0, everything it sent shown; no second connection."""
    def bbs(conn, _):
        conn.sendall(b"welcome\r\n")
        got = b""
        while not got.endswith(b"bye\r"):
            chunk = conn.recv(64)
            if not chunk:
                return
            got += chunk
        conn.sendall(b"logged off\r\n")

    server = Server(bbs)
    term = Term(programs, ["--once", "--raw", "127.0.0.1:%d" % server.port])
    try:
        check(term.stdout.wait_for(lambda d: b"welcome" in d, PATIENT),
              "greeting: %r" % term.stdout.data())
        term.send(b"bye\r")
        status = term.wait_exit(PATIENT)
        check(status == 0 and term.stdout.data() == b"welcome\r\nlogged off\r\n",
              "status %d, stdout %r, %r" % (status, term.stdout.data(),
                                             term.stderr.data()))
        check(server.accepted == 1, "%d connections" % server.accepted)
    finally:
        term.finish()
        server.stop()


def case_telnet_negotiation_is_named(programs):
    """A server that opens with telnet negotiation is named once, in both
    modes: in mode raw from the bytes, in mode ip232 from the escapes the
    line coding does not know."""
    def telnet(conn, _):
        conn.sendall(b"\xff\xfb\x01\xff\xfb\x03login: ")
        conn.recv(1)

    server = Server(telnet)
    try:
        for mode in ("raw", "ip232"):
            status, out, err = run_once(programs, ["--mode", mode, "--linger", "1500",
                                                   "127.0.0.1:%d" % server.port])
            lines = term_lines(err)
            check(status == 0 and b"login: " in out, "%s: status %d, %r" % (mode, status, out))
            check(count(lines, "the server negotiates telnet,") == 1 and
                  lines.index(next(l for l in lines if "telnet" in l)) > 0,
                  "%s: %r" % (mode, lines))
    finally:
        server.stop()


CASES = [
    case_short_connections_are_each_reported,
    case_addresses_written_otherwise,
    case_a_lost_server_with_input_waiting_ends_the_run,
    case_raw_mode_with_request_to_send_off_ends_at_once,
    case_stop_signal_with_output_blocked,
    case_once_ends_when_the_first_connection_closes,
    case_telnet_negotiation_is_named,
]

if __name__ == "__main__":
    sys.exit(main_with(CASES))
