#!/usr/bin/python3
"""Measures the proxy against a direct connection and against socat and haproxy, in one run.

Every figure is the median of ROUNDS rounds, and every reference is measured in the same run,
interleaved round by round with the proxy, so that a busy machine slows both alike. Nothing
here asserts a time: the run prints one table and writes it, with the machine's description,
to bench/results.md. Only loopback addresses are used.

Measurements 8 to 10 put the upstream behind TLS (a CA and a server certificate for 127.0.0.1
made at run time with the openssl command): the proxy's entry uses implicit TLS or STARTTLS and
trusts the run's CA through its CAFile key, and haproxy originates TLS to the same upstream
("ssl verify required ca-file").

Usage: run_bench.py --engine-host PATH --peers DIR [--only 1,2,...] [--output FILE]
"""

import argparse
import base64
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

from benchlib import (Service, cpu_seconds, free_port, median, percentile, rss_kb, run,
                      stop_all, threads)

ROUNDS = 5
BUDGET_SECONDS = 25 * 60
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER = "benchuser"
PASSWORD = "bench-secret"
METHOD_CODES = {"none": 0, "auto": 1, "login": 2, "plain": 3, "cram": 4}
METHOD_NAMES = {"none": "NONE", "auto": "AUTO", "login": "LOGIN", "plain": "PLAIN",
                "cram": "CRAM-MD5"}

# (label, parallel sessions, payload bytes, messages per round): each round takes about a
# second on the direct path of a quiet 2-core machine.
MAIL_CASES = [
    ("2 KB, 1 session", 1, 2048, 1000),
    ("2 KB, 8 sessions", 8, 2048, 2000),
    ("2 KB, 16 sessions", 16, 2048, 3000),
    ("1 MB, 1 session", 1, 1 << 20, 100),
    ("1 MB, 16 sessions", 16, 1 << 20, 100),
]
# The same over a TLS upstream: a full handshake per connection makes each mail dearer.
TLS_MAIL_CASES = [
    ("2 KB, 1 session", 1, 2048, 400),
    ("2 KB, 8 sessions", 8, 2048, 1000),
    ("1 MB, 1 session", 1, 1 << 20, 60),
]
# Security codes of an entry: plain, STARTTLS, implicit TLS.
SECURITY_CODES = {"none": 0, "starttls": 1, "tls": 2}
BULK_BYTES = 1_000_000_000
HANDOVER_SESSIONS = 500
BURST_CONNECTIONS = 200
IDLE_SESSIONS = 1000


class Row:
    def __init__(self, section, figure, value, reference="", ref_value="", ratio="",
                 target="", met="-"):
        self.cells = [section, figure, value, reference, ref_value, ratio, target, met]


class Bench:
    def __init__(self, args):
        self.args = args
        self.rows = []
        self.notes = []
        self.started = time.monotonic()
        self.workdir = tempfile.mkdtemp(prefix="vellomir-bench-")
        self.smtp_sink = shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"
        self.smtp_source = shutil.which("smtp-source") or "/usr/sbin/smtp-source"
        self.load_at_start = load_average()

    # Peers -----------------------------------------------------------------------------

    def peer(self, name):
        return os.path.join(self.args.peers, name)

    def upstream(self, auth=False, tls=None):
        """tls: None, "tls" (implicit TLS) or "starttls"."""
        argv = [self.peer("bench_upstream_server")] + (["--auth"] if auth else [])
        if tls:
            certificate, key = self.certificates()[1:]
            argv += ["--" + tls, "--cert", certificate, "--key", key]
        service = Service("upstream" + (" (auth)" if auth else "") + (f" ({tls})" if tls else ""),
                          argv, ready_text="port ")
        service.port = int(service.first_lines[-1].split()[1])
        return service

    def smtp_sink_service(self):
        port = free_port()
        argv = [self.smtp_sink]
        if os.geteuid() == 0:
            argv += ["-u", "nobody"]  # smtp-sink refuses to keep root's privileges
        service = Service("smtp-sink", argv + [f"127.0.0.1:{port}", "1024"], port=port)
        service.port = port
        return service

    def socat(self, target):
        port = free_port()
        service = Service("socat", [
            "socat", f"TCP4-LISTEN:{port},bind=127.0.0.1,reuseaddr,fork,backlog=4096",
            f"TCP4:127.0.0.1:{target}"], port=port)
        service.port = port
        return service

    def certificates(self):
        """(CA file, server certificate, server key) for 127.0.0.1, made once per run."""
        if getattr(self, "_certificates", None):
            return self._certificates
        folder = os.path.join(self.workdir, "tls")
        os.makedirs(folder)
        ca, ca_key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
        cert, key = os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")
        csr, ext = os.path.join(folder, "server.csr"), os.path.join(folder, "ext.cnf")
        with open(ext, "w") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
        curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        for argv in (["openssl", "req", "-x509", *curve, "-keyout", ca_key, "-out", ca,
                      "-days", "2", "-subj", "/CN=Vellomir bench CA"],
                     ["openssl", "req", *curve, "-keyout", key, "-out", csr, "-subj",
                      "/CN=127.0.0.1"],
                     ["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                      "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext]):
            status, output, _ = run(argv, limit=30)
            if status != 0:
                raise RuntimeError(f"{' '.join(argv[:3])}: {output.strip()[-200:]}")
        self._certificates = (ca, cert, key)
        return self._certificates

    def haproxy(self, target, tls=False, reuse=False):
        """tls: haproxy originates TLS to the upstream and verifies it against the run's CA;
        reuse: it also resumes TLS sessions (its default), else every connection handshakes
        in full, as the proxy does."""
        port = free_port()
        server = f"server upstream 127.0.0.1:{target}"
        if tls:
            server += f" ssl verify required ca-file {self.certificates()[0]}"
            server += "" if reuse else " no-ssl-reuse"
        config = os.path.join(self.workdir, f"haproxy-{port}.cfg")
        with open(config, "w") as f:
            f.write(f"""global
    maxconn 5000
defaults
    mode tcp
    timeout connect 5s
    timeout client 1h
    timeout server 1h
frontend bench
    bind 127.0.0.1:{port}
    default_backend upstream
backend upstream
    {server}
""")
        service = Service("haproxy", ["haproxy", "-db", "-f", config], port=port)
        service.port = port
        return service

    def proxy(self, entries, debug_write=0, name="proxy", host=None):
        """vellomir_engine_host in a directory of its own; entries: (domain, port, method) or
        (domain, port, method, security); an entry with security trusts the run's CA."""
        home = tempfile.mkdtemp(prefix=f"{name}-", dir=self.workdir)
        port = free_port()
        lines = ["[Program]", f"DebugWrite={debug_write}", "[Option]",
                 "ListenAddress=127.0.0.1", f"ListenPort={port}", "[Proxy]",
                 f"Count={len(entries)}"]
        secret = base64.b64encode(PASSWORD.encode()).decode()
        for n, (domain, target, method, *security) in enumerate(entries):
            lines += [f"Domain{n:03d}={domain}", f"SMTP{n:03d}=127.0.0.1",
                      f"Method{n:03d}={METHOD_CODES[method]}", f"User{n:03d}={USER}",
                      f"Passwd{n:03d}={secret}", f"Port{n:03d}={target}"]
            if security and security[0] != "none":
                lines += [f"Security{n:03d}={SECURITY_CODES[security[0]]}",
                          f"CAFile{n:03d}={self.certificates()[0]}"]
        with open(os.path.join(home, "Vellomir.ini"), "w") as f:
            f.write("\n".join(lines) + "\n")
        service = Service(name, [host or self.args.engine_host], cwd=home,
                          ready_text="listening")
        service.port = port
        service.home = home
        return service

    # Helpers ---------------------------------------------------------------------------

    def over_budget(self):
        return time.monotonic() - self.started > BUDGET_SECONDS

    def add(self, *cells, **named):
        self.rows.append(Row(*cells, **named))

    def note(self, text):
        self.notes.append(text)
        print("  note: " + text, flush=True)

    @staticmethod
    def rotated(items, round_index):
        """The paths in a different order each round, so no path always runs first."""
        k = round_index % len(items)
        return items[k:] + items[:k]

    # 1 and 7: mail throughput with smtp-source and smtp-sink --------------------------

    def smtp_source_rate(self, port, sessions, size, count, sender):
        argv = [self.smtp_source, "-s", str(sessions), "-m", str(count), "-l", str(size),
                "-M", "client.bench", "-f", sender, "-t", "sink@sink.example",
                f"127.0.0.1:{port}"]
        status, output, seconds = run(argv, limit=120)
        if status != 0:
            return None, output.strip().splitlines()[-1:] or ["exit " + str(status)]
        return count / seconds, None

    def mail_rates(self, targets, cases, sender, relays=None):
        """targets: {name: port}; gives {(case label, name): [msgs/s per round]}, and with
        relays ({name: service}) also {(case label, name, "cpu"): [relay CPU ms per mail]}."""
        rates = {}
        names = list(targets)
        relays = relays or {}
        for r in range(ROUNDS):
            for label, sessions, size, count in cases:
                for name in self.rotated(names, r):
                    relay = relays.get(name)
                    before = cpu_seconds(relay.pid) if relay else 0.0
                    rate, failure = self.smtp_source_rate(targets[name], sessions, size, count,
                                                          sender)
                    if failure:
                        self.note(f"smtp-source via {name}, {label}, round {r + 1}: {failure}")
                        continue
                    rates.setdefault((label, name), []).append(rate)
                    if relay:
                        spent = cpu_seconds(relay.pid) - before
                        rates.setdefault((label, name, "cpu"), []).append(spent * 1000 / count)
            print(f"  round {r + 1}/{ROUNDS} done", flush=True)
        return rates

    def measure_mail(self):
        print("1. mail throughput (smtp-source -> path -> smtp-sink)", flush=True)
        names = ["direct", "socat", "haproxy", "proxy"] + (
            ["candidate"] if self.args.candidate_host else [])
        sinks = {name: self.smtp_sink_service() for name in names}
        socat = self.socat(sinks["socat"].port)
        haproxy = self.haproxy(sinks["haproxy"].port)
        proxies = {"proxy": self.proxy([("sink.example", sinks["proxy"].port, "none")])}
        if self.args.candidate_host:
            proxies["candidate"] = self.proxy([("sink.example", sinks["candidate"].port, "none")],
                                              0, "candidate", self.args.candidate_host)
        targets = {"direct": sinks["direct"].port, "socat": socat.port,
                   "haproxy": haproxy.port}
        targets.update({name: service.port for name, service in proxies.items()})
        rates = self.mail_rates(targets, MAIL_CASES, "bench@sink.example",
                                {"haproxy": haproxy, **proxies})
        for label, *_ in MAIL_CASES:
            for who in proxies:
                ours = median(rates.get((label, who), []))
                refs = ("haproxy", "socat", "direct") if who == "proxy" else ("haproxy",
                                                                              "proxy")
                for ref in refs:
                    theirs = median(rates.get((label, ref), []))
                    ratio = ours / theirs if theirs else float("nan")
                    if ref == "haproxy":
                        target, met = ">= haproxy", yes(ratio >= 1.0)
                    elif ref == "socat":
                        target, met = ">= socat", yes(ratio >= 1.0)
                    else:
                        target, met = "", "-"
                    if who == "candidate":
                        met = "(" + met + ")" if met != "-" else met
                    self.add("1 mail", f"msgs/s, {label}" + (" [candidate]" if who ==
                                                               "candidate" else ""),
                             f"{ours:.0f}", ref, f"{theirs:.0f}", f"{ratio:.2f}", target, met)
                cpu = {name: rates.get((label, name, "cpu"), []) for name in names}
                self.compare("1 mail", f"relay CPU ms per mail, {label}", cpu, who,
                             "haproxy" if who == "proxy" else "proxy", unit="{:.3f}")
        for service in (*proxies.values(), haproxy, socat, *sinks.values()):
            service.stop()

    def measure_trace(self):
        print("7. trace channel cost (mail throughput: no trace calls, channel off, file)",
              flush=True)
        variants = [("off", 0, self.args.engine_host), ("file", 2, self.args.engine_host)]
        if self.args.notrace_host:
            variants.insert(0, ("no-trace build", 0, self.args.notrace_host))
        services, targets = [], {}
        for name, debug_write, host in variants:
            sink = self.smtp_sink_service()
            proxy = self.proxy([("sink.example", sink.port, "none")], debug_write,
                               "proxy-trace-" + name.split()[0], host)
            services += [proxy, sink]
            targets[name] = proxy.port
            if debug_write == 2:
                log = os.path.join(proxy.home, "debugw.log")
        cases = [case for case in MAIL_CASES if case[0] in ("2 KB, 1 session",
                                                             "2 KB, 16 sessions")]
        rates = self.mail_rates(targets, cases, "bench@sink.example")
        for label, *_ in cases:
            quiet = rates.get((label, "off"), [])
            a = median(quiet)
            if "no-trace build" in targets:
                floor = rates.get((label, "no-trace build"), [])
                b = median(floor)
                # Rounds are interleaved, so each round's pair saw the same machine; the channel
                # costs nothing measurable when 1.0 lies among the per-round ratios.
                pairs = [x / y for x, y in zip(quiet, floor) if y]
                within = bool(pairs) and min(pairs) <= 1.0 <= max(pairs)
                self.add("7 trace", f"msgs/s, {label}, channel off", f"{a:.0f}",
                         "build without trace calls", f"{b:.0f}",
                         f"{a / b:.2f}" if b else "nan",
                         "within noise (round ratios %.2f-%.2f)" % (
                             min(pairs), max(pairs)) if pairs else "within noise",
                         yes(within))
            traced = median(rates.get((label, "file"), []))
            self.add("7 trace", f"msgs/s, {label}, trace to file", f"{traced:.0f}",
                     "channel off", f"{a:.0f}", f"{traced / a:.2f}" if a else "nan", "", "-")
        size = os.path.getsize(log) if os.path.exists(log) else 0
        self.note(f"trace to file wrote {size / 1e6:.1f} MB of debugw.log in this run")
        for service in services:
            service.stop()

    # 2: bulk relay --------------------------------------------------------------------

    def measure_bulk(self):
        print("2. bulk relay (one session, 1 GB DATA)", flush=True)
        upstream = self.upstream()
        socat = self.socat(upstream.port)
        haproxy = self.haproxy(upstream.port)
        proxy = self.proxy([("bulk.example", upstream.port, "none")])
        paths = {"direct": (upstream.port, None), "socat": (socat.port, socat),
                 "haproxy": (haproxy.port, haproxy), "proxy": (proxy.port, proxy)}
        extra = []
        if self.args.candidate_host:
            candidate = self.proxy([("bulk.example", upstream.port, "none")], 0, "candidate",
                                   self.args.candidate_host)
            paths["candidate"] = (candidate.port, candidate)
            extra.append(candidate)
        speed, cpu = self.bulk_rates(paths, "bulk@bulk.example")
        ours = median(speed.get("proxy", []))
        for ref in ("haproxy", "socat", "direct"):
            theirs = median(speed.get(ref, []))
            ratio = ours / theirs if theirs else float("nan")
            target, met = "", "-"
            if ref == "haproxy":
                target, met = ">= haproxy", yes(ratio >= 1.0)
            elif ref == "socat":
                target, met = ">= socat", yes(ratio >= 1.0)
            self.add("2 bulk", "MB/s, 1 GB in one session", f"{ours:.0f}", ref, f"{theirs:.0f}",
                     f"{ratio:.2f}", target, met)
        ours_cpu = median(cpu.get("proxy", []))
        for ref in ("haproxy", "socat"):
            theirs = median(cpu.get(ref, []))
            ratio = ours_cpu / theirs if theirs else float("nan")
            target, met = ("<= haproxy", yes(ratio <= 1.0)) if ref == "haproxy" else ("", "-")
            self.add("2 bulk", "relay CPU s per GB", f"{ours_cpu:.2f}", ref, f"{theirs:.2f}",
                     f"{ratio:.2f}", target, met)
        if extra:
            fast, spent = median(speed.get("candidate", [])), median(cpu.get("candidate", []))
            for ref in ("haproxy", "proxy"):
                theirs = median(speed.get(ref, []))
                ratio = fast / theirs if theirs else float("nan")
                self.add("2 bulk", "MB/s [candidate]", f"{fast:.0f}", ref, f"{theirs:.0f}",
                         f"{ratio:.2f}", ">= haproxy" if ref == "haproxy" else "",
                         "(" + yes(ratio >= 1.0) + ")" if ref == "haproxy" else "-")
                theirs = median(cpu.get(ref, []))
                ratio = spent / theirs if theirs else float("nan")
                self.add("2 bulk", "relay CPU s per GB [candidate]", f"{spent:.2f}", ref,
                         f"{theirs:.2f}", f"{ratio:.2f}", "<= haproxy" if ref == "haproxy"
                         else "", "(" + yes(ratio <= 1.0) + ")" if ref == "haproxy" else "-")
        for service in (*extra, proxy, haproxy, socat, upstream):
            service.stop()

    def bulk_rates(self, paths, sender):
        """paths: {name: (port, relay service or None)}; gives ({name: [MB/s per round]},
        {name: [relay CPU s per GB per round]})."""
        speed, cpu = {}, {}
        for r in range(ROUNDS):
            for name in self.rotated(list(paths), r):
                port, relay = paths[name]
                before = cpu_seconds(relay.pid) if relay else 0.0
                status, output, _ = run([self.peer("bench_bulk_client"), "--port", str(port),
                                         "--bytes", str(BULK_BYTES), "--from", sender],
                                        limit=180)
                time.sleep(0.3)  # socat's parent reaps its child, which did the copying
                after = cpu_seconds(relay.pid) if relay else 0.0
                words = output.split()
                if status != 0 or len(words) < 4 or words[0] != "bytes":
                    self.note(f"bulk via {name}, round {r + 1}: {output.strip()[-200:]}")
                    continue
                sent, seconds = int(words[1]), float(words[3])
                speed.setdefault(name, []).append(sent / seconds / 1e6)
                if relay:
                    cpu.setdefault(name, []).append((after - before) / (sent / 1e9))
            print(f"  round {r + 1}/{ROUNDS} done", flush=True)
        return speed, cpu

    # 3: hand-over latency -------------------------------------------------------------

    def measure_handover(self):
        print("3. hand-over latency (connect -> reply to MAIL FROM)", flush=True)
        plain = self.upstream()
        auth = self.upstream(auth=True)
        methods = ["none", "login", "plain", "cram", "auto"]
        entries = [(f"{m}.example", plain.port if m == "none" else auth.port, m) for m in methods]
        proxy = self.proxy(entries)
        candidate = None
        if self.args.candidate_host:
            candidate = self.proxy(entries, 0, "candidate", self.args.candidate_host)
        p50, p99, fails, stalls = {}, {}, {}, {}
        for r in range(ROUNDS):
            for method in self.rotated(methods, r):
                runs = [("proxy", proxy.port, method),
                        ("direct", plain.port if method == "none" else auth.port,
                         "cram" if method == "auto" else method)]
                if candidate:
                    runs.append(("candidate", candidate.port, method))
                for path, port, client_method in self.rotated(runs, r):
                    status, output, _ = run([
                        self.peer("bench_handover_client"), "--port", str(port), "--count",
                        str(HANDOVER_SESSIONS), "--path",
                        "direct" if path == "direct" else "proxy", "--method", client_method,
                        "--from", f"sender@{method}.example"], limit=120)
                    samples, failed = [], []
                    for line in output.splitlines():
                        if line.startswith("fail"):
                            failed.append(line)
                        elif line.strip():
                            samples.append(float(line) / 1000.0)
                    key = (method, path)
                    fails[key] = fails.get(key, 0) + len(failed)
                    # A step held back until the peer's delayed ACK costs 40 ms or more.
                    stalls[key] = stalls.get(key, 0) + sum(1 for x in samples if x >= 40.0)
                    if failed and fails[key] == len(failed):
                        self.note(f"hand-over {path} {method}: {failed[0]}")
                    if samples:
                        p50.setdefault(key, []).append(percentile(samples, 0.50))
                        p99.setdefault(key, []).append(percentile(samples, 0.99))
            print(f"  round {r + 1}/{ROUNDS} done", flush=True)
        for method in methods:
            ours50, ref50 = median(p50.get((method, "proxy"), [])), median(
                p50.get((method, "direct"), []))
            ours99, ref99 = median(p99.get((method, "proxy"), [])), median(
                p99.get((method, "direct"), []))
            ref_name = ("direct (HELO, no AUTH)" if method == "none" else
                        "direct" + (" CRAM-MD5" if method == "auto" else "") + " (client AUTH)")
            failures = fails.get((method, "proxy"), 0)
            extra = f"; {failures} failed" if failures else ""
            self.add("3 hand-over", f"p50 ms, {METHOD_NAMES[method]}{extra}", f"{ours50:.3f}",
                     ref_name, f"{ref50:.3f}", f"{ours50 / ref50:.2f}",
                     f"<= direct + 1 ms (+{ours50 - ref50:.3f})",
                     yes(ours50 <= ref50 + 1.0 and failures == 0))
            stalled = stalls.get((method, "proxy"), 0)
            self.add("3 hand-over", f"p99 ms, {METHOD_NAMES[method]}; {stalled} of "
                     f"{ROUNDS * HANDOVER_SESSIONS} >= 40 ms", f"{ours99:.3f}", ref_name,
                     f"{ref99:.3f}", f"{ours99 / ref99:.2f}", "none >= 40 ms (delayed ACK)",
                     yes(stalled == 0))
            if candidate:
                c50 = median(p50.get((method, "candidate"), []))
                c99 = median(p99.get((method, "candidate"), []))
                self.add("3 hand-over", f"p50 / p99 ms, {METHOD_NAMES[method]} [candidate]",
                         f"{c50:.3f} / {c99:.3f}", "proxy", f"{ours50:.3f} / {ours99:.3f}",
                         f"{c50 / ours50:.2f} / {c99 / ours99:.2f}", "<= direct + 1 ms",
                         "(" + yes(c50 <= ref50 + 1.0) + ")")
        self.note(f"hand-over: {ROUNDS} rounds x {HANDOVER_SESSIONS} sequential sessions per "
                  "method and path; p50/p99 per round, median over rounds")
        for service in ([candidate] if candidate else []) + [proxy, auth, plain]:
            service.stop()

    # 4: connection burst --------------------------------------------------------------

    def measure_burst(self):
        print(f"4. connection burst ({BURST_CONNECTIONS} connections at once)", flush=True)
        upstream = self.upstream()
        proxy = self.proxy([("burst.example", upstream.port, "none")])
        base_threads = threads(proxy.pid)
        slow, p99, worst, fails, greeting = {}, {}, {}, {}, ""
        for r in range(ROUNDS):
            for name, port in self.rotated([("proxy", proxy.port), ("direct", upstream.port)], r):
                status, output, _ = run([self.peer("bench_session_swarm"), "--mode", "burst",
                                         "--port", str(port), "--count",
                                         str(BURST_CONNECTIONS)], limit=90)
                samples = []
                for line in output.splitlines():
                    if line.startswith("fail"):
                        fails[name] = fails.get(name, 0) + 1
                    elif line.startswith("greeting"):
                        if name == "proxy":
                            greeting = line[len("greeting "):]
                    elif line.strip():
                        samples.append(float(line) / 1000.0)
                slow.setdefault(name, []).append(sum(1 for s in samples if s >= 1000.0))
                p99.setdefault(name, []).append(percentile(samples, 0.99))
                worst.setdefault(name, []).append(max(samples) if samples else float("nan"))
            wait_for_threads(proxy.pid, base_threads)
        print("  done", flush=True)
        total_slow = sum(slow.get("proxy", []))
        failed = fails.get("proxy", 0)
        self.add("4 burst", f"greetings >= 1 s, all {ROUNDS} rounds"
                 + (f"; {failed} failed" if failed else ""), f"{total_slow}", "direct",
                 f"{sum(slow.get('direct', []))}", "", "0", yes(total_slow == 0 and failed == 0))
        ours, theirs = median(p99.get("proxy", [])), median(p99.get("direct", []))
        self.add("4 burst", "p99 greeting ms", f"{ours:.1f}", "direct", f"{theirs:.1f}",
                 f"{ours / theirs:.2f}", "", "-")
        self.add("4 burst", "slowest greeting ms", f"{median(worst.get('proxy', [])):.1f}",
                 "direct", f"{median(worst.get('direct', [])):.1f}", "", "", "-")
        if greeting != "220 SMTP Proxy":
            self.note(f"proxy greeting was {greeting!r}, not '220 SMTP Proxy'")
        for service in (proxy, upstream):
            service.stop()

    # 5: memory of idle sessions -------------------------------------------------------

    def hold_idle(self, relay, port, sender):
        """Opens IDLE_SESSIONS sessions through `relay`; gives (start kB, held kB, threads
        held, after-close kB, ok) of the relay process."""
        base_threads = threads(relay.pid)
        start = rss_kb(relay.pid)
        swarm = subprocess.Popen([self.peer("bench_session_swarm"), "--mode", "idle", "--port",
                                  str(port), "--count", str(IDLE_SESSIONS), "--from", sender],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            ready = swarm.stdout.readline().strip()
            time.sleep(0.5)  # let every session settle into the relay
            held, held_threads = rss_kb(relay.pid), threads(relay.pid)
            swarm.stdin.write("\n")
            swarm.stdin.flush()
            swarm.stdout.readline()
            swarm.wait(timeout=30)
        finally:
            if swarm.poll() is None:
                swarm.kill()
                swarm.wait()
        settled = wait_for_threads(relay.pid, base_threads)
        time.sleep(0.5)
        ok = int(ready.split("ok=")[1].split()[0]) if "ok=" in ready else 0
        if ok != IDLE_SESSIONS:
            self.note(f"idle sessions via {relay.name}: {ready}")
        if not settled:
            self.note(f"{relay.name}: threads did not return to {base_threads} after close "
                      f"(now {threads(relay.pid)})")
        return start, held, held_threads, rss_kb(relay.pid), ok

    def measure_memory(self):
        print(f"5. memory ({IDLE_SESSIONS} idle sessions after hand-over)", flush=True)
        upstream = self.upstream()
        haproxy = self.haproxy(upstream.port)
        proxy = self.proxy([("idle.example", upstream.port, "none")])
        # One session first, so the code of a session is paged in before "start" is read.
        run([self.peer("bench_handover_client"), "--port", str(proxy.port), "--count", "1",
             "--from", "x@idle.example"], limit=30)
        first_start = rss_kb(proxy.pid)
        result = {"proxy": [], "haproxy": []}
        relays = [("proxy", proxy), ("haproxy", haproxy)]
        if self.args.candidate_host:
            candidate = self.proxy([("idle.example", upstream.port, "none")], 0, "candidate",
                                   self.args.candidate_host)
            run([self.peer("bench_handover_client"), "--port", str(candidate.port), "--count",
                 "1", "--from", "x@idle.example"], limit=30)
            candidate_start = rss_kb(candidate.pid)
            result["candidate"] = []
            relays.append(("candidate", candidate))
        for r in range(ROUNDS):
            for name, relay in self.rotated(relays, r):
                result[name].append(self.hold_idle(relay, relay.port, "idle@idle.example"))
            print(f"  round {r + 1}/{ROUNDS} done", flush=True)
        last_after = rss_kb(proxy.pid)

        def figures(name):
            rows = result[name]
            return (median([h for _, h, _, _, _ in rows]),
                    median([(h - s) / IDLE_SESSIONS for s, h, _, _, _ in rows]),
                    median([t for _, _, t, _, _ in rows]),
                    median([a / s for s, _, _, a, _ in rows]))

        held, per, thr, back = figures("proxy")
        rheld, rper, rthr, rback = figures("haproxy")
        self.add("5 memory", f"RSS MB, {IDLE_SESSIONS} sessions held", f"{held / 1024:.1f}",
                 "haproxy", f"{rheld / 1024:.1f}", f"{held / rheld:.2f}", "< 200 MB",
                 yes(held / 1024 < 200))
        # haproxy allocates its buffers up front, so its growth per session is near zero and a
        # ratio to it says nothing.
        self.add("5 memory", "RSS KB per session", f"{per:.1f}", "haproxy", f"{rper:.1f}",
                 f"{per / rper:.2f}" if rper >= 1.0 else "", "", "-")
        self.add("5 memory", "threads while held", f"{thr:.0f}", "haproxy", f"{rthr:.0f}", "",
                 "", "-")
        self.add("5 memory", "RSS after close / before", f"{back:.2f}", "haproxy",
                 f"{rback:.2f}", "", "<= 1.10", yes(back <= 1.10))
        drift = last_after / first_start
        self.add("5 memory", f"RSS after {ROUNDS} rounds / after 1 session",
                 f"{drift:.2f}", "", "", "", "<= 1.10", yes(drift <= 1.10))
        self.note(f"memory: proxy RSS {first_start / 1024:.1f} MB after one session, "
                  f"{last_after / 1024:.1f} MB after {ROUNDS} rounds of {IDLE_SESSIONS}")
        if self.args.candidate_host:
            cheld, cper, cthr, cback = figures("candidate")
            cdrift = rss_kb(candidate.pid) / candidate_start
            self.add("5 memory", f"RSS MB, {IDLE_SESSIONS} held [candidate]",
                     f"{cheld / 1024:.1f}", "proxy", f"{held / 1024:.1f}",
                     f"{cheld / held:.2f}", "< 200 MB", "(" + yes(cheld / 1024 < 200) + ")")
            self.add("5 memory", "RSS after close / before [candidate]", f"{cback:.2f}",
                     "proxy", f"{back:.2f}", "", "<= 1.10", "(" + yes(cback <= 1.10) + ")")
            self.add("5 memory", f"RSS after {ROUNDS} rounds / after 1 session [candidate]",
                     f"{cdrift:.2f}", "proxy", f"{drift:.2f}", "", "<= 1.10",
                     "(" + yes(cdrift <= 1.10) + ")")
            candidate.stop()
        for service in (proxy, haproxy, upstream):
            service.stop()

    # 6: codecs ------------------------------------------------------------------------

    def measure_codecs(self):
        print("6. codecs (Google Benchmark)", flush=True)
        status, output, _ = run([self.peer("codec_bench"), "--benchmark_format=json",
                                 f"--benchmark_repetitions={ROUNDS}",
                                 "--benchmark_report_aggregates_only=true",
                                 "--benchmark_min_time=0.2"], limit=300)
        if status != 0:
            self.note("codec_bench failed: " + output.strip()[-300:])
            return
        data = json.loads(output[output.index("{"):])
        # With one repetition Google Benchmark gives no aggregates, only the run itself.
        wanted = "median" if ROUNDS > 1 else None
        ns = {b["run_name"]: b["cpu_time"] for b in data["benchmarks"]
              if b.get("aggregate_name") == wanted}
        for name in ("Base64Encode_PlainLogin", "Base64Decode_CramChallenge",
                     "HmacMd5_CramAnswer"):
            ours = ns.get(name)
            ref = ns.get("OpenSSL_" + name)
            if ours is None:
                continue
            self.add("6 codec", f"ns, {name}", f"{ours:.1f}",
                     "OpenSSL" if ref is not None else "(no libssl-dev)",
                     f"{ref:.1f}" if ref is not None else "",
                     f"{ours / ref:.2f}" if ref else "", "", "-")

    # 8 to 10: the upstream behind TLS ---------------------------------------------------

    def compare(self, section, figure, values, who, ref, target_ratio=None, lower=False,
                unit="{:.0f}"):
        """One row: median of `who` against median of `ref`; with target_ratio the row is
        met when the ratio is at or above it (at or below it with lower)."""
        ours, theirs = median(values.get(who, [])), median(values.get(ref, []))
        ratio = ours / theirs if theirs else float("nan")
        target, met = "", "-"
        if target_ratio is not None:
            met = yes(ratio <= target_ratio if lower else ratio >= target_ratio)
            target = ("<= " if lower else ">= ") + (ref if target_ratio == 1.0 else
                                                    f"{target_ratio:g} x {ref}")
            if who == "candidate":
                met = "(" + met + ")"
        label = figure + (" [candidate]" if who == "candidate" else "")
        self.add(section, label, unit.format(ours), ref, unit.format(theirs), f"{ratio:.2f}",
                 target, met)

    def tls_paths(self, upstream_for, domain):
        """The relays to a TLS upstream: the proxy (implicit TLS), haproxy with full handshakes
        (the reference), haproxy with its default session reuse (for information) and the
        candidate. upstream_for(name) gives the upstream port for that path."""
        services = {
            "proxy": self.proxy([(domain, upstream_for("proxy"), "none", "tls")]),
            "haproxy": self.haproxy(upstream_for("haproxy"), tls=True),
            "haproxy, session reuse": self.haproxy(upstream_for("haproxy, session reuse"),
                                                   tls=True, reuse=True),
        }
        if self.args.candidate_host:
            services["candidate"] = self.proxy([(domain, upstream_for("candidate"), "none",
                                                 "tls")], 0, "candidate",
                                               self.args.candidate_host)
        return services

    def measure_tls_mail(self):
        print("8. mail throughput, TLS upstream (smtp-source -> path -> TLS upstream)",
              flush=True)
        names = ["proxy", "haproxy", "haproxy, session reuse"] + (
            ["candidate"] if self.args.candidate_host else [])
        upstreams = {name: self.upstream(tls="tls") for name in names}
        relays = self.tls_paths(lambda name: upstreams[name].port, "tls.example")
        rates = self.mail_rates({name: relays[name].port for name in names}, TLS_MAIL_CASES,
                                "bench@tls.example", relays)
        for label, *_ in TLS_MAIL_CASES:
            values = {name: rates.get((label, name), []) for name in names}
            figure = f"msgs/s, {label}"
            self.compare("8 TLS mail", figure, values, "proxy", "haproxy", 1.0)
            self.compare("8 TLS mail", figure, values, "proxy", "haproxy, session reuse")
            cpu = {name: rates.get((label, name, "cpu"), []) for name in names}
            self.compare("8 TLS mail", f"relay CPU ms per mail, {label}", cpu, "proxy",
                         "haproxy", unit="{:.3f}")
            if "candidate" in relays:
                self.compare("8 TLS mail", figure, values, "candidate", "haproxy", 1.0)
                self.compare("8 TLS mail", figure, values, "candidate", "proxy")
                self.compare("8 TLS mail", f"relay CPU ms per mail, {label}", cpu, "candidate",
                             "proxy", unit="{:.3f}")
        for service in (*relays.values(), *upstreams.values()):
            service.stop()

    def measure_tls_bulk(self):
        print("9. bulk relay, TLS upstream (one session, 1 GB DATA)", flush=True)
        upstream = self.upstream(tls="tls")
        relays = self.tls_paths(lambda name: upstream.port, "bulk.example")
        del relays["haproxy, session reuse"]  # one connection: nothing to resume
        speed, cpu = self.bulk_rates({name: (r.port, r) for name, r in relays.items()},
                                     "bulk@bulk.example")
        for who in ["proxy"] + (["candidate"] if "candidate" in relays else []):
            self.compare("9 TLS bulk", "MB/s, 1 GB in one session", speed, who, "haproxy", 1.0)
            self.compare("9 TLS bulk", "relay CPU s per GB", cpu, who, "haproxy", 1.0,
                         lower=True, unit="{:.2f}")
            if who == "candidate":
                self.compare("9 TLS bulk", "MB/s, 1 GB in one session", speed, who, "proxy")
                self.compare("9 TLS bulk", "relay CPU s per GB", cpu, who, "proxy",
                             unit="{:.2f}")
        for service in (*relays.values(), upstream):
            service.stop()

    def measure_starttls_handover(self):
        print("10. session start through STARTTLS (connect -> reply to MAIL FROM)", flush=True)
        plain = self.upstream(tls="starttls")
        auth = self.upstream(auth=True, tls="starttls")
        methods = ["none", "plain"]
        entries = [(f"{m}.example", plain.port if m == "none" else auth.port, m, "starttls")
                   for m in methods]
        paths = {"proxy": self.proxy(entries)}
        if self.args.candidate_host:
            paths["candidate"] = self.proxy(entries, 0, "candidate", self.args.candidate_host)
        ca = self.certificates()[0]
        p50, p99, fails = {}, {}, {}
        for r in range(ROUNDS):
            for method in self.rotated(methods, r):
                runs = [(name, service.port, "proxy") for name, service in paths.items()]
                runs.append(("direct", plain.port if method == "none" else auth.port, "direct"))
                for name, port, path in self.rotated(runs, r):
                    status, output, _ = run([
                        self.peer("bench_handover_client"), "--port", str(port), "--count",
                        str(HANDOVER_SESSIONS), "--path", path, "--method", method,
                        "--from", f"sender@{method}.example", "--starttls", ca], limit=180)
                    samples = [float(x) / 1000.0 for x in output.split("\n")
                               if x.strip() and not x.startswith("fail")]
                    failed = [x for x in output.split("\n") if x.startswith("fail")]
                    fails[(method, name)] = fails.get((method, name), 0) + len(failed)
                    if failed and fails[(method, name)] == len(failed):
                        self.note(f"STARTTLS session start {name} {method}: {failed[0]}")
                    if samples:
                        p50.setdefault((method, name), []).append(percentile(samples, 0.50))
                        p99.setdefault((method, name), []).append(percentile(samples, 0.99))
            print(f"  round {r + 1}/{ROUNDS} done", flush=True)
        for method in methods:
            ref50 = median(p50.get((method, "direct"), []))
            ref99 = median(p99.get((method, "direct"), []))
            ref_name = "direct STARTTLS" + (" (client AUTH)" if method != "none" else "")
            for name in paths:
                ours50 = median(p50.get((method, name), []))
                ours99 = median(p99.get((method, name), []))
                failures = fails.get((method, name), 0)
                met = yes(ours50 <= ref50 + 1.0 and failures == 0)
                tag = " [candidate]" if name == "candidate" else ""
                self.add("10 STARTTLS start", f"p50 ms, {METHOD_NAMES[method]}{tag}"
                         + (f"; {failures} failed" if failures else ""), f"{ours50:.3f}",
                         ref_name, f"{ref50:.3f}", f"{ours50 / ref50:.2f}",
                         f"<= direct + 1 ms (+{ours50 - ref50:.3f})",
                         "(" + met + ")" if tag else met)
                self.add("10 STARTTLS start", f"p99 ms, {METHOD_NAMES[method]}{tag}",
                         f"{ours99:.3f}", ref_name, f"{ref99:.3f}", f"{ours99 / ref99:.2f}",
                         "", "-")
        self.note(f"STARTTLS session start: {ROUNDS} rounds x {HANDOVER_SESSIONS} sequential "
                  "sessions per method and path, a full TLS handshake (ECDSA P-256) in each")
        for service in (*paths.values(), auth, plain):
            service.stop()

    # Report ---------------------------------------------------------------------------

    def machine(self):
        model = "unknown"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        versions = []
        for argv in (["haproxy", "-v"], ["socat", "-V"], ["dpkg-query", "-W", "postfix"]):
            status, output, _ = run(argv, limit=10)
            for line in output.splitlines():
                if any(k in line for k in ("HAProxy version", "socat version", "postfix")):
                    versions.append(line.strip().split(" - ")[0])
                    break
        commit = run(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse",
                      "--short", "HEAD"], limit=10)[1].strip()
        lines = [f"- Date: {time.strftime('%Y-%m-%d %H:%M:%S %Z')}",
                 f"- CPU: {model}, nproc {os.cpu_count()}",
                 f"- Kernel: {platform.system()} {platform.release()}",
                 f"- Load average at the start: {self.load_at_start}; at the end: "
                 f"{load_average()}",
                 f"- Tools: {'; '.join(versions)}",
                 f"- Commit: {commit}; engine host: {in_tree(self.args.engine_host)}; peers: "
                 f"{in_tree(self.args.peers)}"]
        if self.args.candidate_host:
            lines.append(f"- Candidate: {in_tree(self.args.candidate_host)}, built from the "
                         f"tree with {self.args.candidate_name or 'a patch'} applied")
        return lines

    def report(self):
        header = ["#", "figure", "Vellomir", "reference", "ref. value", "ratio", "target",
                  "met"]
        table = [header, ["---"] * len(header)] + [r.cells for r in self.rows]
        lines = ["| " + " | ".join(str(c) for c in row) + " |" for row in table]
        text = ["# Vellomir benchmark results", "",
                "Medians of %d rounds; every reference was measured in the same run, "
                "interleaved with the proxy. Ratio = Vellomir / reference (for times and "
                "sizes, lower is better; for rates, higher is better)." % ROUNDS, "",
                "## Machine", ""] + self.machine() + ["", "## Results", ""] + lines
        if self.notes:
            text += ["", "## Notes from this run", ""] + ["- " + n for n in self.notes]
        text += ["", f"Whole run: {time.monotonic() - self.started:.0f} s.", ""]
        output = "\n".join(text)
        print("\n" + output)
        with open(self.args.output, "w") as f:
            f.write(output)
        print(f"written to {self.args.output}")


def yes(condition):
    return "yes" if condition else "NO"


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def in_tree(path):
    """A path inside the source tree relative to its root, so results name no machine."""
    relative = os.path.relpath(path, ROOT)
    return relative if not relative.startswith("..") else os.path.basename(path)


def wait_for_threads(pid, count, limit=15.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if threads(pid) <= count:
            return True
        time.sleep(0.05)
    return False


def main():
    global ROUNDS
    parser = argparse.ArgumentParser()
    parser.add_argument("--engine-host", required=True)
    parser.add_argument("--peers", required=True)
    parser.add_argument("--notrace-host", help="the engine host built without trace calls")
    parser.add_argument("--candidate-host",
                        help="an engine host with a proposed change, measured beside the "
                             "proxy in measurements 1, 2, 3, 5, 8, 9 and 10 (rows marked "
                             "[candidate])")
    parser.add_argument("--candidate-name", help="the patch the candidate was built with, as "
                                                 "the results name it")
    parser.add_argument("--only", default="1,2,3,4,5,6,7,8,9,10")
    parser.add_argument("--rounds", type=int, default=ROUNDS,
                        help="rounds per figure (fewer than 5 only to try the harness out)")
    parser.add_argument("--output", default=os.path.join(os.path.dirname(
        os.path.abspath(__file__)), "results.md"))
    args = parser.parse_args()
    ROUNDS = args.rounds
    for name in ("engine_host", "notrace_host", "candidate_host", "peers", "output"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    bench = Bench(args)
    steps = {"1": bench.measure_mail, "2": bench.measure_bulk, "3": bench.measure_handover,
             "4": bench.measure_burst, "5": bench.measure_memory, "6": bench.measure_codecs,
             "7": bench.measure_trace, "8": bench.measure_tls_mail,
             "9": bench.measure_tls_bulk, "10": bench.measure_starttls_handover}
    try:
        for key in args.only.split(","):
            if bench.over_budget():
                bench.note(f"measurement {key} skipped: the run's time budget is spent")
                continue
            try:
                steps[key.strip()]()
            except Exception as error:  # one broken measurement must not lose the others
                bench.note(f"measurement {key} failed: {error}")
            stop_all()
        bench.report()
    finally:
        stop_all()
        shutil.rmtree(bench.workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
