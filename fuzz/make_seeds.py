#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers into fuzz/corpus/<fuzzer>/.

The line decoder and attach fuzzers read their input through libFuzzer's
FuzzedDataProvider, which takes byte strings from the front of the input
and integers from its back. Seeds for them are built here in that layout,
so that each seed reaches a path worth starting from (an escape split across
reads, a successful attach, a detach in between, ...). Run it from the
repository root after changing a fuzzer's input layout:
    python3 fuzz/make_seeds.py
"""

import os
import shutil

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


class Input:
    """An input in FuzzedDataProvider's layout: strings and byte runs are
    consumed from the front, integers (one byte each here) from the back."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the fuzzer consumes them

    def integer(self, value):
        self.back.append(value & 0xFF)
        return self

    def raw_bytes(self, data):
        self.front += data
        return self

    def string(self, text):
        # A backslash is written twice; a backslash and another byte end the
        # string.
        data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
        self.front += data.replace(b"\\", b"\\\\") + b"\\E"
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(fuzzer, name, data):
    folder = os.path.join(ROOT, fuzzer)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def endpoint_address_seeds():
    texts = {
        "bracketed": "[::1]:23",
        "scheme_bracketed": "tcp://[::1]:23",
        "plain_ipv6": "::1:23",
        "scheme_capitals": "TCP://h:1",
        "scheme_odd_bytes": "1x+.-://h:1",
        "second_separator": "a://b://c:1",
        "bracket_inside_host": "x[::1]:23",
        "leading_zeros": "host:00023",
        "leading_blank": " host:23",
        "empty": "",
        "missing_scheme": "://host:23",
        "blank_in_scheme": "a b://h:1",
        "underscore_in_scheme": "x_y://h:1",
        "no_port": "host",
        "scheme_no_port": "tcp://host",
        "scheme_only": "tcp://",
        "empty_port": "host:",
        "empty_host": ":23",
        "colon_only": ":",
        "unterminated": "[::1",
        "bracket_no_colon": "[::1]",
        "bracket_junk": "[::1]x23",
        "empty_brackets": "[]",
        "empty_brackets_port": "[]:23",
        "bracket_empty_port": "[::1]:",
        "bracket_two_ports": "[::1]:23:45",
        "signed_port": "host:+23",
        "port_trailing_slash": "host:23/",
        "port_zero": "host:0",
        "port_too_big": "tcp://host:99999",
        "port_u32_max": "host:4294967295",
        "port_past_u32": "host:4294967296",
        "high_bytes": "\xff\x80://h:1",
        "max_port": "h:65535",
    }
    for name, text in texts.items():
        write("endpoint_address_fuzzer", name, text.encode("latin-1"))


def line_decoder_seed(raw, stream, received=b"", coded=b"", rts=b""):
    """raw flag, then the three chunk/change patterns, then the stream."""
    i = Input()
    i.integer(1 if raw else 0)
    for pattern in (received, coded, rts):
        i.integer(len(pattern))
        i.raw_bytes(pattern)
    i.raw_bytes(stream)
    return i.data()


def line_decoder_seeds():
    seeds = {
        "doubled_escape": (False, b"\x41\xff\xff\x42", b"", b"", b""),
        "line_state": (False, b"\xff\x01\x41\xff\x00", b"", b"", b""),
        "escape_and_junk": (False, b"\xff\x7e\x41", b"", b"", b""),
        "escape_split": (False, b"\x41\xff\xff\x42", b"\x02\x01", b"\x01", b""),
        "rts_between": (False, b"\xff\x00\x01\xff", b"\x01", b"\x03", b"\x55\xaa"),
        "raw_escapes": (True, b"\xff\xff\x00\x01", b"\x01", b"\x02", b""),
        "empty_reads": (False, b"\xff\xff\xff", b"\x00\x01", b"\x00", b"\x01"),
        "text": (False, b"ATDT 555 1234\r\n", b"\x04\x07", b"\x05", b"\x11"),
    }
    for name, args in seeds.items():
        write("line_decoder_fuzzer", name, line_decoder_seed(*args))


# Operation codes of the attach fuzzer.
SET, ATTACH, DETACH, CONTROL, TRANSMIT, POLL = range(6)
KEYS = ["url", "host", "port", "mode", "handshake", "tx_buffer", "id", "URL",
        "mode ", ""]
WITH_PORT, WITHOUT_PORT, PORT_TAKEN = range(3)


def attach_seed(ops):
    i = Input()
    for op in ops:
        kind = op[0]
        i.integer(kind)
        if kind == SET:
            i.integer(KEYS.index(op[1]))
            i.string(op[2])
        elif kind == ATTACH:
            i.integer(op[1])  # machine
            i.integer(op[2])  # control register
        elif kind == CONTROL:
            i.integer(op[1])
        elif kind == TRANSMIT:
            i.integer(op[1])  # the byte
            i.integer(1)      # send even when not ready
    return i.data()


def attach_seeds():
    attach = (ATTACH, WITH_PORT, 0x00)
    seeds = {
        "defaults": [attach, (DETACH,)],
        "url": [(SET, "url", "tcp://[::1]:23"), attach, (DETACH,)],
        "url_and_port": [(SET, "url", "h:1"), (SET, "port", "23"), attach],
        "bad_url": [(SET, "url", "tcp://host"), attach],
        "empty_url_host": [(SET, "url", ""), (SET, "host", "h"),
                           (SET, "port", "23"), attach, (DETACH,)],
        "port_out_of_range": [(SET, "port", "65536"), attach],
        "port_trailing": [(SET, "port", " 23x"), attach, (DETACH,)],
        "raw_mode": [(SET, "mode", "raw"), (SET, "tx_buffer", "100"),
                     (ATTACH, WITH_PORT, 0x40), (CONTROL, 0x00),
                     (CONTROL, 0x40), (DETACH,)],
        "bad_mode": [(SET, "mode", "RAW"), attach],
        "empty_mode": [(SET, "mode", ""), attach],
        "handshake_off": [(SET, "handshake", "0"), attach,
                          (TRANSMIT, 0xFF), (CONTROL, 0x60), (POLL,),
                          (DETACH,)],
        "no_serial_port": [(ATTACH, WITHOUT_PORT, 0), attach, (DETACH,)],
        "port_taken": [(ATTACH, PORT_TAKEN, 0), (DETACH,)],
        "attach_twice": [attach, (SET, "mode", "raw"), attach, (DETACH,),
                         (DETACH,)],
        "attach_after_detach": [attach, (DETACH,), (SET, "host", "h"), attach],
        "tx_buffer_negative": [(SET, "tx_buffer", "-5"), attach, (DETACH,)],
        "near_miss_keys": [(SET, "URL", "x"), (SET, "mode ", "x"),
                           (SET, "", "x"), (SET, "id", "abc"), attach],
    }
    for name, ops in seeds.items():
        write("attach_fuzzer", name, attach_seed(ops))


def main():
    for fuzzer in ("endpoint_address_fuzzer", "line_decoder_fuzzer",
                   "attach_fuzzer"):
        shutil.rmtree(os.path.join(ROOT, fuzzer), ignore_errors=True)
    endpoint_address_seeds()
    line_decoder_seeds()
    attach_seeds()


if __name__ == "__main__":
    main()
