"""A stand-in for PyVISA's message-based HiSLIP resource, for running the
README's client example where no PyVISA with a HiSLIP backend is installed.

It frames messages as PyVISA does: write() appends write_termination (PyVISA's
default is "\\r\\n"), read() returns the answer up to the END-carrying message
and strips read_termination when one is set (PyVISA's default is none),
write_binary_values() sends message + IEEE block + write_termination,
query_binary_values() parses an IEEE block answer, clear() runs the HiSLIP
device-clear handshake, timeout (milliseconds) bounds every wait and raises
errors.VisaIOError when it passes. Answers may arrive in any number of Data
messages and at any pace; an Interrupted for an earlier message is passed
over, one for the message being answered raises. Error and FatalError raise,
and so does a connection that ends. Only the calls the README uses exist.
"""
import re
import socket
import struct

from . import errors
from .errors import VisaIOError

__all__ = ["ResourceManager", "errors"]

_INITIALIZE, _INITIALIZE_RESPONSE, _FATAL_ERROR, _ERROR = 0, 1, 2, 3
_DATA, _DATA_END = 6, 7
_DEVICE_CLEAR_COMPLETE, _DEVICE_CLEAR_ACKNOWLEDGE = 8, 9
_INTERRUPTED = 13
_ASYNC_INITIALIZE, _ASYNC_INITIALIZE_RESPONSE = 17, 18
_ASYNC_DEVICE_CLEAR, _ASYNC_DEVICE_CLEAR_ACKNOWLEDGE = 19, 23
_FIRST_MESSAGE_ID = 0xFFFFFF00
_TIMEOUT_S = 10.0


def _send(sock, kind, control, parameter, payload=b""):
    sock.sendall(struct.pack(">2sBBIQ", b"HS", kind, control, parameter, len(payload)) + payload)


def _exactly(sock, count):
    data = b""
    while len(data) < count:
        try:
            part = sock.recv(count - len(data))
        except socket.timeout:
            raise VisaIOError("timeout expired before operation completed")
        if not part:
            raise VisaIOError("connection closed by the instrument")
        data += part
    return data


def _receive(sock):
    prologue, kind, control, parameter, length = struct.unpack(">2sBBIQ", _exactly(sock, 16))
    if prologue != b"HS":
        raise VisaIOError("not a HiSLIP header")
    payload = _exactly(sock, length)
    if kind in (_ERROR, _FATAL_ERROR):
        raise VisaIOError(f"instrument error {control}: {payload!r}")
    return kind, control, parameter, payload


class Resource:
    def __init__(self, host, port, device):
        self.write_termination = "\r\n"
        self.read_termination = None
        self._sync = socket.create_connection((host, port), timeout=_TIMEOUT_S)
        _send(self._sync, _INITIALIZE, 0, 0x0100 << 16 | 0x5456, device.encode())
        kind, _, parameter, _ = _receive(self._sync)
        if kind != _INITIALIZE_RESPONSE:
            raise VisaIOError("no InitializeResponse")
        self._async = socket.create_connection((host, port), timeout=_TIMEOUT_S)
        _send(self._async, _ASYNC_INITIALIZE, 0, parameter & 0xFFFF)
        if _receive(self._async)[0] != _ASYNC_INITIALIZE_RESPONSE:
            raise VisaIOError("no AsyncInitializeResponse")
        self._message_id = _FIRST_MESSAGE_ID
        self._rmt = False

    @property
    def timeout(self):
        return round(self._sync.gettimeout() * 1000)

    @timeout.setter
    def timeout(self, milliseconds):
        for sock in (self._sync, self._async):
            sock.settimeout(milliseconds / 1000)

    def write_raw(self, data):
        _send(self._sync, _DATA_END, 1 if self._rmt else 0, self._message_id, data)
        self._rmt = False
        self._message_id = (self._message_id + 2) & 0xFFFFFFFF

    def write(self, message):
        self.write_raw((message + self.write_termination).encode())

    def read_raw(self):
        answer = b""
        while True:
            kind, _, parameter, payload = _receive(self._sync)
            if kind == _INTERRUPTED:
                # The answer to the message written last is being waited for.
                if parameter == (self._message_id - 2) & 0xFFFFFFFF:
                    raise VisaIOError("query interrupted")
                continue
            if kind not in (_DATA, _DATA_END):
                raise VisaIOError(f"unexpected message type {kind}")
            answer += payload
            if kind == _DATA_END:
                self._rmt = True
                return answer

    def read(self):
        text = self.read_raw().decode()
        if self.read_termination and text.endswith(self.read_termination):
            text = text[: -len(self.read_termination)]
        return text

    def query(self, message):
        self.write(message)
        return self.read()

    def write_binary_values(self, message, values, datatype="B"):
        if datatype != "B":
            raise NotImplementedError("only datatype 'B' is used by the example")
        block = bytes(values)
        length = str(len(block))
        self.write_raw(message.encode() + f"#{len(length)}{length}".encode() + block +
                       self.write_termination.encode())

    def query_binary_values(self, message, datatype="B", container=list):
        if datatype != "B":
            raise NotImplementedError("only datatype 'B' is used by the example")
        self.write(message)
        raw = self.read_raw()
        match = re.match(rb"#([1-9])", raw)
        if not match:
            raise VisaIOError(f"not a definite-length block: {raw[:20]!r}")
        digits = int(match.group(1))
        length = int(raw[2:2 + digits])
        data = raw[2 + digits:2 + digits + length]
        return bytes(data) if container is bytes else container(data)

    def clear(self):
        _send(self._async, _ASYNC_DEVICE_CLEAR, 0, 0)
        while True:
            kind, control, _, _ = _receive(self._async)
            if kind == _ASYNC_DEVICE_CLEAR_ACKNOWLEDGE:
                break
        _send(self._sync, _DEVICE_CLEAR_COMPLETE, control, 0)
        while True:
            kind, _, _, _ = _receive(self._sync)
            if kind == _DEVICE_CLEAR_ACKNOWLEDGE:
                break
        self._message_id = _FIRST_MESSAGE_ID
        self._rmt = False

    def close(self):
        self._sync.close()
        self._async.close()


class ResourceManager:
    def __init__(self, backend=""):
        self.backend = backend

    def open_resource(self, name):
        match = re.fullmatch(r"TCPIP0?::([^:]+)::(hislip\d+)(?:,(\d+))?::INSTR", name)
        if not match:
            raise VisaIOError(f"the stand-in opens only HiSLIP resources, not {name}")
        return Resource(match.group(1), int(match.group(3) or 4880), match.group(2))
