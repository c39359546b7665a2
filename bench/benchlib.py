"""Process handling, /proc readings and statistics for the benchmark run.

Every process the run starts is kept in one list and ended by its own id when the run ends,
however it ends.
"""

import atexit
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
_started = []


class Service:
    """A long-running peer: a relay, a sink, an upstream or the proxy."""

    def __init__(self, name, argv, cwd=None, ready_text=None, port=None, stdin=None):
        self.name = name
        self.argv = argv
        self.proc = subprocess.Popen(
            argv, cwd=cwd, stdin=stdin if stdin is not None else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            start_new_session=True)
        _started.append(self)
        self.first_lines = []
        if ready_text is not None:
            self._wait_for_text(ready_text)
        if port is not None:
            wait_for_port(port, self)
        # Keep reading its output, so a chatty peer never blocks on a full pipe.
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for line in self.proc.stdout:
            if len(self.first_lines) < 200:
                self.first_lines.append(line.rstrip("\n"))

    @property
    def pid(self):
        return self.proc.pid

    def _wait_for_text(self, text, limit=20.0):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.first_lines.append(line.rstrip("\n"))
            if text in line:
                return
        raise RuntimeError(f"{self.name} did not say {text!r}: {self.first_lines[-5:]}")

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.kill(self.proc.pid, signal.SIGTERM)
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=5)
            except ProcessLookupError:
                pass
        if self in _started:
            _started.remove(self)


def stop_all():
    for service in list(reversed(_started)):
        try:
            service.stop()
        except Exception as error:  # a failed stop must not hide the others
            print(f"stopping {service.name}: {error}", file=sys.stderr)


atexit.register(stop_all)


def _on_signal(number, _frame):
    stop_all()
    sys.exit(128 + number)


signal.signal(signal.SIGTERM, _on_signal)
signal.signal(signal.SIGINT, _on_signal)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, service=None, limit=10.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if service is not None and not service.alive():
            out = service.proc.stdout.read() if service.proc.stdout else ""
            raise RuntimeError(f"{service.name} ended at start: {out[-500:]}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


def cpu_seconds(pid):
    """CPU time of a process and of the children it has reaped (utime stime cutime cstime)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3); utime is field 14.
    return sum(int(x) for x in fields[11:15]) / CLOCK_TICKS


def status_value(pid, key):
    """A number from /proc/PID/status (VmRSS in kB, Threads)."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def rss_kb(pid):
    return status_value(pid, "VmRSS")


def threads(pid):
    return status_value(pid, "Threads")


def median(values):
    return statistics.median(values) if values else float("nan")


def percentile(values, fraction):
    """Nearest-rank percentile."""
    if not values:
        return float("nan")
    ordered = sorted(values)
    rank = max(1, int(round(fraction * len(ordered) + 0.5)))
    return ordered[min(rank, len(ordered)) - 1]


def run(argv, limit, cwd=None, input_text=None):
    """Runs a short program; gives (exit status, output, seconds). A hung one is killed."""
    start = time.perf_counter()
    try:
        done = subprocess.run(argv, cwd=cwd, input=input_text, capture_output=True, text=True,
                              timeout=limit)
        return done.returncode, done.stdout + done.stderr, time.perf_counter() - start
    except subprocess.TimeoutExpired as expired:
        out = (expired.stdout or b"")
        out = out.decode() if isinstance(out, bytes) else out
        return -1, out + "\n(timed out)", time.perf_counter() - start
