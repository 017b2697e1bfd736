#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harnesses: short valid sessions.

Run from anywhere; replaces the files under fuzz/corpus/ that it writes, but
keeps the inputs that once made a harness fail (crash-*, leak-*, timeout-*,
oom-*): they stay as regression cases. Each harness has an input format of its
own (see the comment at the top of its source).
"""
import os
import re
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

INITIALIZE, FATAL_ERROR, ERROR, ASYNC_LOCK = 0, 2, 3, 4
DATA, DATA_END, DEVICE_CLEAR_COMPLETE, REMOTE_LOCAL = 6, 7, 8, 10
TRIGGER, MAX_MESSAGE_SIZE, ASYNC_INITIALIZE, ASYNC_DEVICE_CLEAR = 12, 15, 17, 19
ASYNC_STATUS_QUERY, ASYNC_LOCK_INFO = 21, 24
INJECTION = b"MMEM:DATA 'inj',#15hello\n*IDN?\n"
FAILURE_PREFIXES = ("crash-", "leak-", "timeout-", "oom-")
FIRST_ID = 0xFFFFFF00


def msg(kind, control=0, parameter=0, payload=b""):
    return b"HS" + struct.pack(">BBIQ", kind, control, parameter, len(payload)) + payload


class Sync:
    """Program messages with MessageIDs in sequence and RMT-delivered after answers."""

    def __init__(self):
        self.next_id = FIRST_ID
        self.answered = False

    def send(self, text, kind=DATA_END, answers=None):
        rmt = 1 if self.answered else 0
        out = msg(kind, rmt, self.next_id, text)
        self.next_id = (self.next_id + 2) & 0xFFFFFFFF
        if kind == DATA_END:
            self.answered = text.rstrip(b"\n").split(b";")[-1].endswith(b"?") if answers is None else answers
        return out

    def cleared(self):
        self.next_id = FIRST_ID
        self.answered = False


def sync_sessions():
    s = {}
    c = Sync()
    s["idn"] = c.send(b"*IDN?\n") + c.send(b"*IDN?;*OPC?\n") + c.send(b"*opc?\n")
    c = Sync()
    s["errors"] = (c.send(b"FOO;*IDN?\n", answers=False) + c.send(b"*IDN? 5\n", answers=False)
                   + c.send(b"SLEEP -1\n", answers=False))
    c = Sync()
    s["error_queue"] = (c.send(b"BAR\n", answers=False) + c.send(b"*ESE\n", answers=False)
                        + c.send(b"SYST:ERR?\n") + c.send(b":SYST:ERR?;ERR?\n") + c.send(b"SYSTEM:ERROR?\n"))
    c = Sync()
    s["faults"] = (c.send(b"DIAG:FAULT:SLOW 0;DIAG:FAULT:SPLIT 3;DIAG:FAULT:MSGID;*IDN?\n")
                   + c.send(b"DIAG:FAULT:INTERRUPT;DIAG:FAULT:ERROR 200;DIAG:FAULT?\n")
                   + c.send(b"DIAG:FAULT:DELAY 5;DIAG:FAULT:SPLIT 0;DIAG:FAULT:CLEAR\n", answers=False)
                   + c.send(b"DIAG:FAULT:DROP;*OPC?\n"))
    c = Sync()
    first = c.send(b"SLEEP 20\n", answers=False)
    c.cleared()
    s["device_clear"] = first + msg(DEVICE_CLEAR_COMPLETE, 0) + c.send(b"*IDN?\n")
    c = Sync()
    s["overlapped"] = msg(DEVICE_CLEAR_COMPLETE, 1) + c.send(b"*IDN?\n") + c.send(b"*OPC?\n") + c.send(b"*STB?\n")
    c = Sync()
    s["mmem"] = (c.send(b"MMEM:DATA 'f.bin',#15hello\n", answers=False) + c.send(b"MMEM:DATA? 'f.bin'\n")
                 + c.send(b":MMEM:DATA? \"missing\"\n") + c.send(b"MMEM:DATA '../x',#13abc\n", answers=False)
                 + c.send(b":MMEM:MSIS?;:MMEM:CDIR?\n"))
    c = Sync()
    s["split_data"] = (c.send(b"*ID", DATA) + c.send(b"N?", DATA) + c.send(b"\n")
                       + c.send(b"MMEM:DATA 'g',#210", DATA) + c.send(b"0123", DATA) + c.send(b"456789\n", answers=False))
    c = Sync()
    s["registers"] = (c.send(b"*ESE 255;*SRE 255;*OPC\n", answers=False) + c.send(b"*ESR?;*STB?;*SRE?;*ESE?\n")
                      + c.send(b"*CLS;DIAG:ARM:SRQ\n", answers=False) + c.send(b"*STB?\n"))
    c = Sync()
    s["control_on_sync"] = (msg(TRIGGER, 0, FIRST_ID) + msg(ERROR, 1, 0, b"bad thing")
                            + msg(ASYNC_LOCK, 1, 100) + msg(ASYNC_LOCK, 0, 0) + msg(ASYNC_LOCK_INFO)
                            + msg(REMOTE_LOCAL, 2) + msg(MAX_MESSAGE_SIZE, 0, 0, struct.pack(">Q", 4096)))
    s["fatal_error"] = msg(FATAL_ERROR, 1, 0, b"poisoned") + msg(DATA_END, 0, FIRST_ID, b"*IDN?\n")
    c = Sync()
    s["roles"] = (c.send(b"*IDN?\n") + msg(INITIALIZE, 0, 0x01005A5A, b"hislip0")
                  + msg(ASYNC_INITIALIZE, 0, 1) + msg(TRIGGER, 0, FIRST_ID + 2, INJECTION))
    return s


def chunked(parts):
    """parts: (channel, bytes); chunks of at most 128 bytes behind a selector byte."""
    out = b""
    for channel, data in parts:
        for at in range(0, len(data), 128):
            piece = data[at:at + 128]
            out += bytes([(channel << 7) | (len(piece) - 1)]) + piece
    return out


def session_sessions():
    s = {}
    c = Sync()
    s["idn_status"] = chunked([(1, msg(MAX_MESSAGE_SIZE, 0, 0, struct.pack(">Q", 1 << 20))),
                               (0, c.send(b"*IDN?\n")), (1, msg(ASYNC_STATUS_QUERY, 1, FIRST_ID)),
                               (0, c.send(b"*OPC?\n")), (1, msg(ASYNC_STATUS_QUERY, 0, FIRST_ID + 2))])
    c = Sync()
    first = c.send(b"SLEEP 50\n", answers=False)
    c.cleared()
    s["device_clear"] = chunked([(0, first), (1, msg(ASYNC_DEVICE_CLEAR)), (0, msg(DEVICE_CLEAR_COMPLETE, 1)),
                                 (0, c.send(b"*IDN?\n"))])
    c = Sync()
    s["exclusive_lock"] = chunked([(1, msg(ASYNC_LOCK, 1, 1000)), (0, c.send(b"*IDN?\n")),
                                   (1, msg(ASYNC_LOCK_INFO)), (1, msg(ASYNC_LOCK, 0, FIRST_ID)),
                                   (0, c.send(b"*OPC?\n"))])
    c = Sync()
    s["shared_lock"] = chunked([(1, msg(ASYNC_LOCK, 1, 500, b"key")), (1, msg(ASYNC_LOCK_INFO)),
                                (0, c.send(b"*IDN?\n")), (1, msg(ASYNC_LOCK, 0, FIRST_ID + 2)),
                                (0, c.send(b"*IDN?\n"))])
    c = Sync()
    s["srq"] = chunked([(0, c.send(b"*SRE 16;DIAG:ARM:SRQ\n", answers=False)), (1, msg(REMOTE_LOCAL, 1)),
                        (0, c.send(b"*IDN?\n")), (1, msg(ASYNC_STATUS_QUERY, 1, FIRST_ID + 2))])
    c = Sync()
    s["interrupted"] = chunked([(0, c.send(b"*IDN?\n") + msg(DATA_END, 0, FIRST_ID + 2, b"*OPC?\n")),
                                (1, msg(ASYNC_STATUS_QUERY, 0, FIRST_ID + 2))])
    c = Sync()
    s["mmem"] = chunked([(0, c.send(b"MMEM:DATA 'f.bin',#3300" + bytes(range(256)) + b"x" * 44 + b"\n",
                                    answers=False)),
                         (0, c.send(b"MMEM:DATA? 'f.bin'\n")), (1, msg(ASYNC_STATUS_QUERY, 1, FIRST_ID + 2))])
    # Faults armed, fired and cleared beside the asynchronous channel's traffic.
    c = Sync()
    armed = c.send(b"DIAG:FAULT:SLOW 10;DIAG:FAULT:SPLIT 4;DIAG:FAULT:MSGID;DIAG:FAULT:DELAY 20\n", answers=False)
    c.cleared()
    s["faults"] = chunked([(0, armed), (1, msg(ASYNC_STATUS_QUERY, 0, FIRST_ID)),
                           (1, msg(ASYNC_DEVICE_CLEAR)), (0, msg(DEVICE_CLEAR_COMPLETE, 0)),
                           (0, c.send(b"DIAG:FAULT:INTERRUPT;DIAG:FAULT:SPLIT 5;*IDN?\n")),
                           (1, msg(ASYNC_STATUS_QUERY, 1, FIRST_ID)),
                           (0, c.send(b"DIAG:FAULT:ERROR 3;DIAG:FAULT:DROP;DIAG:FAULT?;*IDN?\n")),
                           (0, c.send(b"DIAG:FAULT:FATAL 0\n", answers=False))])
    s["fatal_error"] = chunked([(1, msg(FATAL_ERROR, 3, 0, b"bye")), (0, msg(DATA_END, 0, FIRST_ID, b"*IDN?\n"))])
    c = Sync()
    s["controls_while_discarding"] = chunked([
        (1, msg(ASYNC_DEVICE_CLEAR)),
        (0, msg(ERROR, 1, 0, b"text") * 4 + msg(DATA, 0, FIRST_ID, b"*IDN?") + msg(ERROR, 2, 0, b"more")),
        (0, msg(ASYNC_DEVICE_CLEAR)),
        (1, msg(ASYNC_LOCK, 1, 0, b"key") + msg(MAX_MESSAGE_SIZE, 0, 0, struct.pack(">Q", 64)) + msg(ERROR, 0, 0, b"e")),
        (0, msg(DEVICE_CLEAR_COMPLETE, 0)), (0, c.send(b"*IDN?\n"))])
    # A second shared grant while a release of the first waits, then the end.
    c = Sync()
    s["shared_regrant"] = chunked([(1, msg(ASYNC_LOCK, 1, 0, b"key") + msg(ASYNC_LOCK, 0, FIRST_ID)
                                    + msg(ASYNC_LOCK, 1, 0, b"key")), (0, c.send(b"*IDN?\n"))])
    # Exclusive lock: deferred release, immediate release, granted again, the old ID.
    c = Sync()
    s["exclusive_regrant"] = chunked([(1, msg(ASYNC_LOCK, 1, 0) + msg(ASYNC_LOCK, 0, FIRST_ID)
                                       + msg(ASYNC_LOCK, 0, FIRST_ID - 2) + msg(ASYNC_LOCK, 1, 0)),
                                      (0, c.send(b"*IDN?\n")), (1, msg(ASYNC_LOCK_INFO))])
    # Program messages and payload-carrying control messages where they don't belong.
    c = Sync()
    s["misplaced_payloads"] = chunked([(1, msg(DATA_END, 0, FIRST_ID, INJECTION) + msg(TRIGGER, 0, FIRST_ID)
                                        + msg(ASYNC_STATUS_QUERY, 0, FIRST_ID, INJECTION)
                                        + msg(ASYNC_LOCK_INFO, 0, 0, INJECTION)),
                                       (0, c.send(b"*ID", DATA)), (1, msg(ASYNC_DEVICE_CLEAR, 0, 0, INJECTION)),
                                       (0, msg(DEVICE_CLEAR_COMPLETE, 0, 0, INJECTION)),
                                       (1, msg(ASYNC_INITIALIZE, 0, 1) + msg(INITIALIZE, 0, 0))])
    return s


def parser_inputs():
    def inp(ops, control, payload, clear_after=0):
        return bytes([(clear_after << 4) | (len(ops) - 1)]) + bytes(ops) + bytes([control]) + payload
    # Operations: 0 NextToken, 1 SkipThrough, 2 ParseInteger, 3 ParseQuotedString,
    # 4 ParseBlock, 5 PeekBytes, 6 ReadBytes (op % 7; higher bits vary the call).
    return {
        "tokens": inp([0x08], 0, b"*IDN?;*OPC? ;:SYST:ERR?\nSLEEP 100\n"),
        "integer": inp([0, 2, 0, 2], 0, b"SLEEP 15\n*ESE,4294967297\n"),
        "string": inp([0, 3, 0, 3], 5, b"MMEM:DATA? 'it''s'\nMMEM:DATA? \"a'b\"\n"),
        "block": inp([0, 3, 4], 0, b"MMEM:DATA 'f',#14abcd\n"),
        "block_split": inp([0, 3, 4, 1], 7, b"MMEM:DATA 'f',#210abcdefghij;rest\n"),
        "block_short": inp([0, 3, 4], 0x80, b"MMEM:DATA 'f',#210abc"),
        "skip_peek": inp([5 + 7 * 8, 1, 6 + 7 * 3, 0], 3, b"FOO BAR BAZ\n*IDN?\n"),
        # The end of a device clear after the given message.
        "cleared_tokens": inp([0x08, 0, 0, 1], 4, b"*IDN?;*OPC?\n*CLS\n", 1),
        "cleared_block": inp([0, 3, 4, 0], 7, b"MMEM:DATA 'f',#210abcdefghij\n*IDN?\n", 3),
        "cleared_string": inp([0, 3, 0], 11, b"MMEM:DATA? 'a'\n*IDN?\n", 1),
    }


def definition_inputs():
    """Definition files of every feature, each with messages for its instruments."""
    files = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "definition", "files")
    seeds = {}
    for name in sorted(os.listdir(files)):
        if not name.endswith(".yaml"):
            continue
        with open(os.path.join(files, name), "rb") as f:
            text = f.read()
        # The messages the differential test sends, as plain strings.
        messages = re.findall(rb'^\s+- (?:\{m: )?"([^"]*)"', text.split(b"\nmessages:", 1)[-1], re.M)
        seeds[name[:-5]] = text + b"\0" + b"\x01".join(m + b"\n" for m in messages)
    seeds["pattern"] = b"CH {ch_id}:VOLT {:.3f}\0CH 1:VOLT 2.500\x01CH :VOLT 12\x01CH 2:VOLT -1.25\n"
    seeds["template"] = b"{:+.8E} {0!r:>12} {{x}}\0"
    seeds["bad_random"] = (b'spec: "1.1"\ndevices:\n  d:\n    dialogues:\n      - q: R\n'
                           b'        r: "{RANDOM(-1.5, 2, 3):.2f}"\nresources:\n  r:\n    device: d\n\0R\n')
    return seeds


def write(harness, seeds):
    folder = os.path.join(ROOT, harness)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if not name.startswith(FAILURE_PREFIXES):
            os.unlink(os.path.join(folder, name))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("fuzz_sync_channel", sync_sessions())
    write("fuzz_session", session_sessions())
    write("fuzz_parser", parser_inputs())
    write("fuzz_definition", definition_inputs())
