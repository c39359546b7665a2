"""Runs the proxy (vellomir_engine_host) and an upstream for one end-to-end test.

Every test gets its own temporary directory holding Vellomir.ini and, with
tracing to a file, debugw.log; its own ports; and its own processes, which are
always ended in the test's clean-up.
"""

import base64
import ctypes
import os
import selectors
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from dataclasses import dataclass, field

from token_endpoint import TokenEndpoint
from upstream import HOST, Upstream, free_port

ENGINE_HOST = os.environ.get("VELLOMIR_ENGINE_HOST")

METHOD_CODES = {"NONE": 0, "AUTO": 1, "LOGIN": 2, "PLAIN": 3, "CRAM-MD5": 4, "XOAUTH2": 5}

DEBUG_NONE = 0
DEBUG_FILE = 2
DEBUG_STDERR = 3

START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
IO_TIMEOUT = 15.0
PR_SET_PDEATHSIG = 1


def end_with_parent():
    # When ctest's timeout kills the test runner, its clean-up never runs; the
    # engine host must not outlive it and keep serving.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


@dataclass
class Entry:
    domain: str
    port: int
    method: str = "CRAM-MD5"
    user: bytes = b"alice"
    password: bytes = b"s3cret-pw"
    smtp: str = HOST
    security: int = 0  # 0 plain, 1 STARTTLS, 2 TLS from the first byte
    ca_file: str = ""
    fingerprint: str = ""
    extra: dict = field(default_factory=dict)  # more keys as written, such as the OAuth ones


def settings_text(listen_port, entries, debug_write):
    lines = ["[Program]", f"DebugWrite={debug_write}",
             "[Option]", f"ListenAddress={HOST}", f"ListenPort={listen_port}",
             "[Proxy]", f"Count={len(entries)}"]
    for n, e in enumerate(entries):
        lines += [f"Domain{n:03d}={e.domain}", f"SMTP{n:03d}={e.smtp}",
                  f"Method{n:03d}={METHOD_CODES[e.method]}", f"User{n:03d}={e.user.decode()}",
                  f"Passwd{n:03d}={base64.b64encode(e.password).decode()}",
                  f"Port{n:03d}={e.port}"]
        if e.security:
            lines += [f"Security{n:03d}={e.security}", f"CAFile{n:03d}={e.ca_file}",
                      f"Fingerprint{n:03d}={e.fingerprint}"]
        lines += [f"{key}{n:03d}={value}" for key, value in e.extra.items()]
    return "\n".join(lines) + "\n"


class ProxyHost:
    """vellomir_engine_host in `workdir`, listening on 127.0.0.1:`port`."""

    def __init__(self, workdir, entries, debug_write=DEBUG_FILE, env=None):
        self.workdir = workdir
        self.entries = entries
        self.debug_write = debug_write
        self.env = {**os.environ, **(env or {})}
        self.port = None
        self.process = None

    def start(self, attempts=3):
        for _ in range(attempts):
            self.port = free_port()
            with open(os.path.join(self.workdir, "Vellomir.ini"), "w", encoding="utf-8") as f:
                f.write(settings_text(self.port, self.entries, self.debug_write))
            self.stderr = open(os.path.join(self.workdir, "engine-stderr.txt"), "wb")
            self.process = subprocess.Popen([ENGINE_HOST], cwd=self.workdir, env=self.env,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                            stderr=self.stderr, preexec_fn=end_with_parent)
            if self._wait_listening():
                return self
            code = self.stop()
            if code != 2:  # 2: the port was taken in between; anything else is a fault
                raise AssertionError(f"engine host did not start (exit {code}): "
                                     f"{self.stderr_text()}")
        raise AssertionError(f"engine host found no free port in {attempts} attempts")

    def _wait_listening(self):
        deadline = time.monotonic() + START_TIMEOUT
        seen = b""
        with selectors.DefaultSelector() as sel:
            sel.register(self.process.stdout, selectors.EVENT_READ)
            while time.monotonic() < deadline:
                if not sel.select(deadline - time.monotonic()):
                    break
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    return False
                seen += chunk
                if b"listening" in seen:
                    return True
        return False

    def stop(self):
        """Ends the process (SIGTERM, then SIGKILL) and gives its exit status."""
        if self.process is None:
            return None
        process, self.process = self.process, None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(STOP_TIMEOUT)
        process.stdout.close()
        self.stderr.close()
        return process.returncode

    def stderr_text(self, whole=False):
        with open(os.path.join(self.workdir, "engine-stderr.txt"), "rb") as f:
            text = f.read().decode("utf-8", "replace")
        return text if whole else text[-4000:]

    def trace(self):
        path = os.path.join(self.workdir, "debugw.log")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()


class ProxyTestCase(unittest.TestCase):
    """Base class: temporary directory, upstream servers and the proxy, cleaned up always."""

    def setUp(self):
        if not ENGINE_HOST:
            raise unittest.SkipTest("VELLOMIR_ENGINE_HOST is not set (run through ctest)")
        self.workdir = tempfile.mkdtemp(prefix="vellomir-e2e-")
        self.addCleanup(self._remove_workdir)

    def _remove_workdir(self):
        # Kept when the test failed, so its trace and settings can be looked at.
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not getattr(outcome, "success", True)
        if failed:
            print(f"\nkept {self.workdir}")
        else:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def start_upstream(self, accounts=None, **options):
        upstream = Upstream(accounts, **options).start()
        self.addCleanup(upstream.stop)
        return upstream

    def start_endpoint(self, **options):
        endpoint = TokenEndpoint(**options).start()
        self.addCleanup(endpoint.stop)
        return endpoint

    def start_proxy(self, entries, debug_write=DEBUG_FILE, env=None):
        """env: variables added to the engine host's environment."""
        proxy = ProxyHost(self.workdir, entries, debug_write, env)
        self.addCleanup(proxy.stop)
        return proxy.start()

    def connect(self, proxy):
        sock = socket.create_connection((HOST, proxy.port), timeout=IO_TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.addCleanup(sock.close)
        return LineClient(sock)


class LineClient:
    """A raw SMTP client: sends bytes as given and reads whole replies."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def read_line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError(f"closed by the proxy; pending {self.buffer!r}")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def read_reply(self):
        """One reply, all its lines; gives (code, [lines without CR LF])."""
        lines = []
        for _ in range(100):
            line = self.read_line()
            lines.append(line.rstrip(b"\r\n"))
            if len(line) < 4 or line[3:4] != b"-":
                return int(line[:3]), lines
        raise AssertionError(f"reply of more than 100 lines: {lines[:5]!r}")

    def command(self, line, expected):
        self.send(line + b"\r\n")
        code, lines = self.read_reply()
        if code != expected:
            raise AssertionError(f"{line!r}: expected {expected}, got {lines!r}")
        return lines
