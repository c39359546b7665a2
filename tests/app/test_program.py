"""Process tests of the vellomir executable, run headless as a user would start it.

Each test gets a working directory (the settings file and debugw.log live there) and a runtime
directory of its own (VELLOMIR_RUNTIME_DIR: the instance lock and socket), so that tests never
see each other or a Vellomir the user is running. SIGTERM is the program's shutdown on session
end: it runs the tray menu's exit sequence, which is how these tests end it.
"""

import base64
import os
import pwd
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from upstream import Upstream, free_port  # noqa: E402  (the end-to-end tests' aiosmtpd upstream)

PROGRAM = os.environ.get("VELLOMIR_PROGRAM", "")
PORT_MESSAGE = "ローカルポートがオープンできません。オプション設定を見直してください。"


def settings(listen_port, entries=(), program="DebugWrite=2\n"):
    text = f"[Program]\n{program}[Option]\nListenAddress=127.0.0.1\nListenPort={listen_port}\n"
    text += f"[Proxy]\nCount={len(entries)}\n"
    for n, (domain, smtp, method, user, password, port) in enumerate(entries):
        b64 = base64.b64encode(password.encode()).decode()
        text += (f"Domain{n:03d}={domain}\nSMTP{n:03d}={smtp}\nMethod{n:03d}={method}\n"
                 f"User{n:03d}={user}\nPasswd{n:03d}={b64}\nPort{n:03d}={port}\n")
    return text


def read_ini(path):
    with open(path, encoding="utf-8") as f:
        return read_ini_text(f.read())


def read_ini_text(text):
    values, section = {}, ""
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line.strip("[]")
        elif "=" in line:
            key, _, value = line.partition("=")
            values[(section, key.strip())] = value.strip()
    return values


def descendants(pid):
    """Process ids below `pid`, from /proc (children before grandchildren)."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                parents.setdefault(int(fields[1]), []).append(int(entry))
            except (OSError, IndexError):
                pass
    found, queue = [], [pid]
    while queue:
        children = parents.get(queue.pop(0), [])
        found += children
        queue += children
    return found


class Instance:
    """One started program in `workdir`, sharing `runtime` with the other instances of a test.
    Headless unless `wrapper` (e.g. xvfb-run) gives it a display."""

    def __init__(self, workdir, runtime, wrapper=(), user=None, display=None, extra_env=None):
        self.workdir = workdir
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        if display:
            env["DISPLAY"] = display
        env["VELLOMIR_RUNTIME_DIR"] = runtime
        env["XDG_RUNTIME_DIR"] = runtime
        env.update(extra_env or {})
        ids = {} if user is None else {"user": user.pw_uid, "group": user.pw_gid,
                                       "extra_groups": []}
        self.proc = subprocess.Popen([*wrapper, PROGRAM], cwd=workdir, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **ids)

    def trace(self):
        try:
            with open(os.path.join(self.workdir, "debugw.log"), encoding="utf-8") as f:
                return [line.rstrip("\r\n") for line in f]
        except FileNotFoundError:
            return []

    def wait_trace(self, line, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if line in self.trace():
                return
            if self.proc.poll() is not None:
                raise AssertionError(f"program ended ({self.proc.returncode}) before {line!r}")
            time.sleep(0.05)
        raise AssertionError(f"no {line!r} in the trace: {self.trace()}")

    def terminate(self, timeout=10.0):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        finally:
            self.proc_stderr = self.proc.stderr.read().decode(errors="replace")
            self.proc.stderr.close()

    def kill(self):
        if self.proc.poll() is None:
            for pid in reversed(descendants(self.proc.pid)):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.proc.kill()
            self.proc.wait()
        if not self.proc.stderr.closed:
            self.proc.stderr.close()


@unittest.skipUnless(PROGRAM and os.access(PROGRAM, os.X_OK), "VELLOMIR_PROGRAM not built")
class ProgramTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vellomir-app-")
        self.runtime = os.path.join(self.tmp.name, "runtime")
        os.mkdir(self.runtime, 0o700)
        self.instances = []

    def tearDown(self):
        for instance in self.instances:
            instance.kill()
        self.tmp.cleanup()

    def workdir(self, name, ini_text=None, mode=0o600):
        """A settings file readable by others (mode 0o644) adds a warning line to the trace."""
        path = os.path.join(self.tmp.name, name)
        os.mkdir(path)
        if ini_text is not None:
            ini = os.path.join(path, "Vellomir.ini")
            with open(os.open(ini, os.O_WRONLY | os.O_CREAT, mode), "w", encoding="utf-8") as f:
                f.write(ini_text)
            os.chmod(ini, mode)
        return path

    def start(self, workdir, wrapper=(), **options):
        instance = Instance(workdir, self.runtime, wrapper, **options)
        self.instances.append(instance)
        return instance

    def test_first_start_without_settings_file_shows_window_and_writes_defaults(self):
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", 25))
            except OSError:
                self.skipTest("the default port 25 cannot be opened here")
        work = self.workdir("first")
        first = self.start(work)
        # Nothing to trace with (DebugWrite defaults to 0): wait until the instance answers a
        # second start, which means its start-up has run.
        deadline = time.monotonic() + 10
        while not os.path.exists(os.path.join(self.runtime, f"vellomir-{os.getuid()}.sock")):
            self.assertLess(time.monotonic(), deadline, "the instance socket never appeared")
            self.assertIsNone(first.proc.poll(), "the program ended by itself")
            time.sleep(0.05)
        time.sleep(0.3)
        self.assertEqual(first.terminate(), 0)
        ini = read_ini(os.path.join(work, "Vellomir.ini"))
        self.assertEqual(ini[("Program", "Left")], "200")
        self.assertEqual(ini[("Program", "Top")], "200")
        self.assertEqual(ini[("Program", "Width")], "529")
        self.assertEqual(ini[("Program", "Height")], "280")
        self.assertNotIn(("Program", "DebugWrite"), ini, "DebugWrite is never written")
        self.assertFalse(os.path.exists(os.path.join(work, "debugw.log")))

    def test_start_without_entries_shows_the_window(self):
        work = self.workdir("empty", settings(free_port()), mode=0o644)
        first = self.start(work)
        first.wait_trace("Show")
        trace = first.trace()
        self.assertEqual(trace[0], "Start:")
        # Read before the trace was set up, and still reported, right after the first line.
        self.assertTrue(trace[1].startswith("IniModeWarning("), trace)
        self.assertEqual(trace[2], "Width=529,128,401")
        self.assertEqual(first.terminate(), 0)

    def test_keyring_without_secret_service_says_so_and_sends_no_password(self):
        upstream = Upstream(accounts={b"taro": b"pw"}).start()
        self.addCleanup(upstream.stop)
        port = free_port()
        text = settings(port, [("example.test", "127.0.0.1", 2, "taro", "", upstream.port)])
        text = text.replace("[Proxy]", "Keyring=1\n[Proxy]")
        work = self.workdir("keyring", text)
        first = self.start(work, extra_env={"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent"})
        first.wait_trace("MainTaskStart")
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
            client.helo("client.test")
            with self.assertRaises(smtplib.SMTPSenderRefused):
                client.sendmail("a@example.test", ["b@elsewhere.test"], b"Subject: x\r\n\r\n.\r\n")
        self.assertTrue(any("Auth secret not available" in line for line in first.trace()))
        self.assertEqual(upstream.record.logins + upstream.record.failed_logins, [])
        self.assertEqual(first.terminate(), 0)
        self.assertIn("キーリング", first.proc_stderr)
        after = read_ini(os.path.join(work, "Vellomir.ini"))
        for key, value in read_ini_text(text).items():
            if key[0] != "Program":  # the window's place is saved at exit
                self.assertEqual(after.get(key), value, key)

    def test_start_with_entries_stays_hidden_and_relays_a_mail(self):
        upstream = Upstream(accounts={b"taro": b"pass word"}).start()
        self.addCleanup(upstream.stop)
        port = free_port()
        work = self.workdir("entries", settings(port, [
            ("other.test", "127.0.0.1", 1, "x", "y", 1),
            ("example.test", "127.0.0.1", 1, "taro", "pass word", upstream.port)]))
        first = self.start(work)
        first.wait_trace("MainTaskStart")
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
            client.helo("client.test")
            client.sendmail("a@example.test", ["b@elsewhere.test"],
                            b"Subject: hi\r\n\r\nthrough the proxy\r\n")
        delivery = upstream.record.wait_deliveries(1)[0]
        self.assertEqual(delivery.login.user, b"taro")
        self.assertIn(b"through the proxy", delivery.content)
        self.assertNotIn("Show", first.trace(), "a configured start stays hidden")
        self.assertEqual(first.terminate(), 0)

    def test_headless_failures_reach_standard_error_once_a_minute_per_entry(self):
        upstream = Upstream(accounts={b"taro": b"right"}).start()
        self.addCleanup(upstream.stop)
        port = free_port()
        work = self.workdir("failures", settings(port, [
            ("a.test", "127.0.0.1", 2, "taro", "wrong one", upstream.port),
            ("b.test", "127.0.0.1", 2, "taro", "wrong two", upstream.port)]))
        instance = self.start(work)
        instance.wait_trace("MainTaskStart")
        for domain in ("a.test", "a.test", "b.test"):  # a client retrying, then another entry
            with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
                client.helo("client.test")
                self.assertEqual(client.mail(f"x@{domain}")[0], 550)
        upstream.record.wait(lambda: len(upstream.record.failed_logins) == 3, "three logins")
        # Events are handled in order: once b's line is out, a's retry was held back.
        os.set_blocking(instance.proc.stderr.fileno(), False)
        said, deadline = b"", time.monotonic() + 10
        while b"b.test" not in said and time.monotonic() < deadline:
            said += instance.proc.stderr.read() or b""
            time.sleep(0.05)
        hint = " - The user name or password was not accepted."
        self.assertEqual(said.decode().splitlines(), [
            f"Vellomir: {d} (127.0.0.1): 535 5.7.8 Authentication credentials invalid{hint}"
            for d in ("a.test", "b.test")])
        self.assertEqual(instance.terminate(), 0)

    def test_headless_start_that_cannot_listen_says_why_and_fails(self):
        with socket.socket() as holder, open("/proc/sys/net/ipv4/ip_unprivileged_port_start",
                                             encoding="ascii") as first_free:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            cases = [(holder.getsockname()[1], None, ["another program already uses port"])]
            if int(first_free.read()) > 25:  # as an ordinary user (nobody, when run as root)
                cases.append((25, pwd.getpwnam("nobody") if os.geteuid() == 0 else None,
                              ["ports below", "[Option]", "ListenPort", "setcap"]))
            for port, user, words in cases:
                work = self.workdir(f"port{port}", settings(port, [("a.test", "127.0.0.1", 0,
                                                                     "u", "p", 1)]))
                if user is not None:
                    os.chmod(self.tmp.name, 0o755)
                    for path in (work, self.runtime, os.path.join(work, "Vellomir.ini")):
                        os.chown(path, user.pw_uid, user.pw_gid)
                instance = self.start(work, user=user)
                self.assertEqual(instance.proc.wait(10), 1)
                said = instance.proc.stderr.read().decode()
                message = said.split("Vellomir: ", 1)[-1].strip()
                self.assertTrue(message.startswith(f"cannot listen on 127.0.0.1 port {port}: ")
                                and all(word in message for word in words), said)
                self.assertIn("ListenError: " + message, instance.trace(), "the same in the trace")

    def test_second_start_wakes_the_first_and_touches_nothing(self):
        work = self.workdir("one", settings(free_port(), [("a.test", "127.0.0.1", 0, "u", "p", 1)]))
        first = self.start(work)
        first.wait_trace("MainTaskStart")
        self.assertNotIn("Show", first.trace())
        other_ini = settings(free_port(), program="DebugWrite=2\nLeft=5\n")
        other = self.workdir("two", other_ini)
        second = self.start(other)
        self.assertEqual(second.proc.wait(10), 0)
        first.wait_trace("TaskTray ReEntry")
        first.wait_trace("Show")
        self.assertFalse(os.path.exists(os.path.join(other, "debugw.log")))
        with open(os.path.join(other, "Vellomir.ini"), encoding="utf-8") as f:
            self.assertEqual(f.read(), other_ini)
        self.assertIsNone(first.proc.poll())
        self.assertEqual(first.terminate(), 0)
        # With the first instance gone, the next start runs normally.
        third = self.start(other)
        third.wait_trace("Start:")
        self.assertEqual(third.terminate(), 0)

    @unittest.skipUnless(shutil.which("xvfb-run"), "needs xvfb-run")
    def test_display_without_notification_area_starts_visible(self):
        # A bare X server has no tray: a hidden window could never be reached, so it shows.
        work = self.workdir("xvfb", settings(free_port(), [("a.test", "127.0.0.1", 0, "u", "p", 1)]))
        instance = self.start(work, ("xvfb-run", "--auto-servernum"))
        instance.wait_trace("MainTaskStart", timeout=30)
        instance.wait_trace("Show", timeout=10)
        # xvfb-run does not pass SIGTERM on: end the program itself, found among its children.
        programs = [pid for pid in descendants(instance.proc.pid)
                    if os.path.basename(os.readlink(f"/proc/{pid}/exe")) == "vellomir"]
        self.assertEqual(len(programs), 1)
        os.kill(programs[0], signal.SIGTERM)
        self.assertEqual(instance.proc.wait(20), 0)

    @unittest.skipUnless(all(map(shutil.which, ("Xvfb", "openbox", "trayer", "xdotool",
                                                "xwininfo"))), "needs Xvfb, openbox, trayer")
    def test_minimise_under_a_window_manager_hides_the_window(self):
        # A desktop with a window manager and a tray host, each ended with the test.
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24",
                                 "-nolisten", "tcp"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        display = ":" + xvfb.stdout.readline().decode().strip()
        xvfb.stdout.close()
        env = dict(os.environ, DISPLAY=display)
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        for process in [xvfb] + [subprocess.Popen(host, env=env, **quiet)
                                 for host in (["openbox"], ["trayer", "--edge", "bottom"])]:
            self.addCleanup(process.wait)
            self.addCleanup(process.kill)

        def x(*command):  # --sync waits for the window, at most as long as the timeout
            return subprocess.run(command, env=env, capture_output=True, text=True,
                                  timeout=20).stdout

        x("xdotool", "search", "--sync", "--classname", "trayer")
        work = self.workdir("x", settings(free_port(), [("a.test", "127.0.0.1", 0, "u", "p", 1)]))
        first = self.start(work, display=display)
        first.wait_trace("MainTaskStart", timeout=20)
        for minimised in (1, 2):
            self.assertEqual(self.start(work).proc.wait(10), 0)  # wakes the first: shown
            window = x("xdotool", "search", "--sync", "--onlyvisible", "--name",
                       "Vellomir  Version").split()[0]
            x("xdotool", "windowminimize", window)
            deadline = time.monotonic() + 10
            while first.trace().count("OnSys=112,f020,0") < minimised:
                self.assertLess(time.monotonic(), deadline, "no minimise reached the program")
                time.sleep(0.1)
            time.sleep(1)  # a window mapped again after its hide shows up by then
            self.assertIn("IsUnMapped", x("xwininfo", "-id", window), "an unpainted frame stayed")

    def test_exit_writes_the_geometry(self):
        rows = [
            ("Left=10\nTop=20\nWidth=600\nHeight=300\n", ("10", "20", "600", "300")),
            ("Left=-1\nTop=-1\nWidth=100\nHeight=50\n", ("197", "623", "529", "280")),
        ]
        for n, (program, expected) in enumerate(rows):
            with self.subTest(program=program):
                work = self.workdir(f"geometry{n}", settings(
                    free_port(), [("a.test", "127.0.0.1", 0, "u", "p", 1)],
                    program="DebugWrite=2\n" + program))
                instance = self.start(work)
                instance.wait_trace("MainTaskStart")
                self.assertEqual(instance.terminate(), 0)
                ini = read_ini(os.path.join(work, "Vellomir.ini"))
                self.assertEqual(tuple(ini[("Program", k)] for k in ("Left", "Top", "Width",
                                                                     "Height")), expected)
                self.assertEqual(ini[("Proxy", "Domain000")], "a.test", "entries kept")


if __name__ == "__main__":
    unittest.main()
