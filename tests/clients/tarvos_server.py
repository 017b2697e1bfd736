"""A Tarvos server for client tests: build/tarvos on a free loopback port, in a
scratch working directory of its own, stopped with Enter at its console.

Ports come from below the ranges handed to connecting clients (10000-32767)
and are claimed with a lock on /tmp/tarvos-test-ports/<port>, as the C++ test
support claims them, so that test processes running side by side never share
one. Port 4880 is never used.
"""
import fcntl
import os
import random
import shutil
import socket
import subprocess
import tempfile
import threading
import time

PROMPT = "Press [SPACE]"
CLAIMS = "/tmp/tarvos-test-ports"
# No server started here may reach the machine's own mDNS responder.
NO_BUS = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/tarvos-client-tests"}
_claimed = []


def _bindable(family, address, port):
    try:
        with socket.socket(family) as s:
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s.bind((address, port))
        return True
    except OSError:
        return False


def free_port():
    for _ in range(1000):
        port = random.randint(10000, 32767)
        if port == 4880 or not _bindable(socket.AF_INET, "127.0.0.1", port) or \
                not _bindable(socket.AF_INET6, "::1", port):
            continue
        os.makedirs(CLAIMS, mode=0o1777, exist_ok=True)
        claim = open(os.path.join(CLAIMS, str(port)), "a")
        try:
            fcntl.flock(claim, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            claim.close()
            continue
        _claimed.append(claim)  # held until this process ends
        return port
    raise RuntimeError("no free port in 1000 tries")


class TarvosServer:
    """build/tarvos with the given switches; its output is collected."""

    def __init__(self, binary, *switches, ready_s=15):
        self.port = free_port()
        self.folder = tempfile.mkdtemp(prefix="tarvos-clients.")
        self.process = subprocess.Popen([binary, *switches, "-p", str(self.port)], cwd=self.folder,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env={**os.environ, **NO_BUS}, start_new_session=True)
        self.out, self.err = [], []
        self.readers = [threading.Thread(target=self._drain, args=(stream, sink), daemon=True)
                        for stream, sink in ((self.process.stdout, self.out), (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()
        deadline = time.monotonic() + ready_s
        while PROMPT not in self.stdout() and time.monotonic() < deadline and self.process.poll() is None:
            time.sleep(0.05)
        if PROMPT not in self.stdout():
            self.kill()
            raise RuntimeError(f"the server did not start: {self.stdout()[-500:]} {self.stderr()[-500:]}")

    @property
    def resource(self):
        return f"TCPIP::127.0.0.1::hislip0,{self.port}::INSTR"

    def path(self, name):
        return os.path.join(self.folder, name)

    @staticmethod
    def _drain(stream, sink):
        for line in iter(stream.readline, b""):
            sink.append(line.decode(errors="replace"))

    def stdout(self):
        return "".join(self.out)

    def stderr(self):
        return "".join(self.err)

    def stop(self):
        """Enter at the console; the exit code (None when it had to be killed)."""
        try:
            self.process.stdin.write(b"\r")
            self.process.stdin.flush()
            code = self.process.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.kill()
            code = None
        for reader in self.readers:
            reader.join(timeout=5)
        shutil.rmtree(self.folder, ignore_errors=True)
        return code

    def kill(self):
        try:
            os.killpg(self.process.pid, 9)
        except ProcessLookupError:
            pass
        self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)
