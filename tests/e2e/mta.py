"""A private Postfix submission service with Dovecot SASL on 127.0.0.1, for the tests.

Postfix offers AUTH only inside TLS (smtpd_tls_auth_only), Dovecot checks the
passwords, and Postfix relays every accepted mail to a sink on `relay_port`,
dropping its own Received header, so the sink gets the bytes the client sent.
All files live in one temporary directory: the machine's mail configuration is
neither read nor changed. Both daemons start as root and take their own users.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

from harness import end_with_parent
from upstream import HOST, free_port

POSTFIX_DAEMONS = "/usr/lib/postfix/sbin"
DOVECOT = "/usr/sbin/dovecot"
START_TIMEOUT = 20.0

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/spool
data_directory = {dir}/data
meta_directory = /etc/postfix
maillog_file_prefixes = {dir}
maillog_file = {dir}/maillog
myhostname = mta.e2e.test
mydestination =
alias_maps =
inet_interfaces = {host}
inet_protocols = ipv4
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
relayhost = [{host}]:{relay_port}
local_header_rewrite_clients =
header_checks = regexp:{dir}/header_checks
smtpd_tls_chain_files = {key}, {cert}
smtpd_tls_security_level = encrypt
smtpd_tls_auth_only = yes
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = private/auth
smtpd_relay_restrictions = permit_sasl_authenticated, reject
"""

MASTER_CF = """\
{host}:{port} inet n - n - - smtpd
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
"""

DOVECOT_CONF = """\
base_dir = {dir}/dovecot
state_dir = {dir}/dovecot-state
log_path = {dir}/dovecot.log
protocols =
ssl = no
auth_mechanisms = plain login
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {dir}/users
}}
service auth {{
  unix_listener {dir}/spool/private/auth {{
    mode = 0660
    user = postfix
    group = postfix
  }}
}}
"""


def unavailable():
    """Why the MTA cannot run here, or None."""
    if os.geteuid() != 0:
        return "Postfix and Dovecot start as root (run the tests as root, as CI does)"
    for path in (f"{POSTFIX_DAEMONS}/master", DOVECOT):
        if not os.path.exists(path):
            return f"{path} is missing: install the packages postfix and dovecot-core"
    return None


class Mta:
    def __init__(self, cert, users, relay_port):
        """cert: certs.Cert; users: name -> password (text without ":")."""
        self.cert, self.users, self.relay_port = cert, users, relay_port
        self.dir, self.port, self.processes = None, None, []

    def _write_files(self):
        self.dir = tempfile.mkdtemp(prefix="vellomir-mta-")
        os.chmod(self.dir, 0o755)  # Postfix's and Dovecot's own users look inside
        self.port = free_port()
        values = dict(dir=self.dir, host=HOST, port=self.port, relay_port=self.relay_port,
                      cert=self.cert.cert, key=self.cert.key)
        files = {"main.cf": MAIN_CF.format(**values), "master.cf": MASTER_CF.format(**values),
                 "dovecot.conf": DOVECOT_CONF.format(**values),
                 "header_checks": "/^Received:/ IGNORE\n",
                 "users": "".join(f"{name}:{{PLAIN}}{password}\n"
                                  for name, password in self.users.items())}
        for name, text in files.items():
            with open(os.path.join(self.dir, name), "w", encoding="utf-8") as f:
                f.write(text)

    def start(self):
        try:
            self._write_files()
            subprocess.run([f"{POSTFIX_DAEMONS}/post-install", f"config_directory={self.dir}",
                            "meta_directory=/etc/postfix", "create-missing"],
                           check=True, capture_output=True)
            self._spawn("dovecot", [DOVECOT, "-F", "-c", f"{self.dir}/dovecot.conf"])
            self._wait(lambda: os.path.exists(f"{self.dir}/spool/private/auth"), "Dovecot")
            self._spawn("postfix", [f"{POSTFIX_DAEMONS}/master", "-s", "-c", self.dir])
            self._wait(self._greets, "Postfix")
        except BaseException:
            self.stop()
            raise
        return self

    def _spawn(self, name, argv):
        with open(os.path.join(self.dir, f"{name}.out"), "wb") as out:
            self.processes.append(subprocess.Popen(argv, cwd=self.dir, stdin=subprocess.DEVNULL,
                                                   stdout=out, stderr=out,
                                                   preexec_fn=end_with_parent))

    def _greets(self):
        try:
            with socket.create_connection((HOST, self.port), timeout=2) as sock:
                return sock.recv(4).startswith(b"220")
        except OSError:
            return False

    def _wait(self, ready, what):
        deadline = time.monotonic() + START_TIMEOUT
        while not ready():
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.processes):
                raise AssertionError(f"{what} did not start:\n{self.log()}")
            time.sleep(0.1)

    def log(self):
        text = ""
        for name in ("postfix.out", "maillog", "dovecot.out", "dovecot.log"):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    text += f"--- {name}\n{f.read()[-3000:]}"
        return text

    def stop(self):
        while self.processes:  # Postfix first: its master ends its own daemons
            process = self.processes.pop()
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
