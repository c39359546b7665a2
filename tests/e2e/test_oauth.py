"""Mail through the proxy with XOAUTH2, from a refresh token stored in Vellomir.ini.

Each entry has its own local token endpoint and an upstream that takes only the
access token the endpoint gave last, over TLS (the CA trusted through
SSL_CERT_FILE). The tokens are refreshed, rotated and stored as a provider's
are; every failed login leaves the upstream without a mail, and no trace mode
shows a token or the client secret.
"""

import base64
import os
import re
import smtplib
import socket
import threading
import time
import unittest
import urllib.parse

from certs import certs
from harness import DEBUG_FILE, DEBUG_STDERR, HOST, IO_TIMEOUT, Entry, ProxyTestCase
from test_trace import base64_fragments

MESSAGE = b"Subject: oauth\r\n\r\nbody\r\n"
SECRET = "s3cr&t=+/ \u00e9"  # escaped in the token request, Base64 in the file
SCOPE = "https://mail.example/ offline_access"
ENV = {"SSL_CERT_FILE": certs().ca}
SECURITY = {None: 0, "starttls": 1, "implicit": 2}
NOT_AVAILABLE = (550, b"Service not available")
TRY_LATER = (421, b"Service not available")
DEBUG_UDP, UDP_PORT = 1, 4000  # the engine sends its trace datagrams to localhost:4000


def send_mail(port, domain):
    """One mail through the proxy: 250, or the (code, text) that refused MAIL FROM."""
    with smtplib.SMTP(HOST, port, timeout=IO_TIMEOUT) as client:
        client.helo("pc")
        try:
            client.sendmail(f"sender@{domain}", ["rcpt@dest.org"], MESSAGE)
        except smtplib.SMTPSenderRefused as refusal:
            return refusal.smtp_code, refusal.smtp_error
    return 250


def eventually(read, expected):
    """read() once it gives `expected`, or after 5 s what it gives then."""
    for _ in range(50):
        if (value := read()) == expected:
            break
        time.sleep(0.1)
    return value


class OAuthTestCase(ProxyTestCase):
    def start_rows(self, rows, debug_write=DEBUG_FILE):
        """rows: (domain, upstream TLS mode or None, token endpoint options and `refresh`, the
        entry's refresh token if not one the endpoint granted). Gives the proxy."""
        self.endpoints, self.upstreams, entries = {}, {}, []
        for domain, tls, options in rows:
            options = dict(options)
            refresh = options.pop("refresh", None)
            endpoint = self.start_endpoint(**options)
            upstream = self.start_upstream(oauth=endpoint, tls=tls, cert=certs().good)
            user = f"user@{domain}"
            entries.append(Entry(domain, upstream.port, "XOAUTH2", user.encode(),
                                 security=SECURITY[tls], extra=endpoint.settings(user, refresh)))
            self.endpoints[domain], self.upstreams[domain] = endpoint, upstream
        return self.start_proxy(entries, debug_write, ENV)

    def check_delivered(self, domain, count):
        deliveries = self.upstreams[domain].record.wait_deliveries(count)
        self.assertEqual([(d.login.mechanism, d.login.user, d.content) for d in deliveries],
                         [("XOAUTH2", f"user@{domain}".encode(), MESSAGE)] * count)

    def check_stored_refresh(self, n, token):
        """The engine host stores a rotated refresh token a moment after the session's end."""
        def stored():
            with open(os.path.join(self.workdir, "Vellomir.ini"), encoding="utf-8") as f:
                return re.findall(rf"^OAuthRefresh{n:03d}=(.*)$", f.read(), re.M)
        expected = [base64.b64encode(token.encode()).decode()]
        self.assertEqual(eventually(stored, expected), expected, f"entry {n} in Vellomir.ini")


class OAuthDeliveryTest(OAuthTestCase):
    def test_tokens_kept_refreshed_and_rotated(self):
        # Tokens of 30 s are refreshed for every session (a 60 s margin), each time with a new
        # refresh token that voids the old one, faster than the engine stores them; a token of
        # an hour serves the next sessions too.
        proxy = self.start_rows([
            ("rotating.example", "implicit",
             dict(expires_in=30, rotate=True, client_secret=SECRET, scope=SCOPE)),
            ("kept.example", "starttls", {})])
        first = {domain: endpoint.refresh_token(f"user@{domain}")
                 for domain, endpoint in self.endpoints.items()}
        for _ in range(3):
            for domain in self.endpoints:
                self.assertEqual(send_mail(proxy.port, domain), 250)
        for domain in self.endpoints:
            self.check_delivered(domain, 3)
        rotating, kept = self.endpoints["rotating.example"], self.endpoints["kept.example"]
        self.assertEqual(rotating.forms[0], dict(
            grant_type="refresh_token", refresh_token=first["rotating.example"],
            client_id=rotating.client_id, client_secret=SECRET, scope=SCOPE))
        self.assertEqual(len(rotating.forms), 3)
        self.assertEqual(kept.forms, [dict(grant_type="refresh_token", client_id=kept.client_id,
                                           refresh_token=first["kept.example"])])
        self.check_stored_refresh(0, rotating.refresh_token("user@rotating.example"))
        self.check_stored_refresh(1, first["kept.example"])

    def test_two_sessions_at_once_share_one_request(self):
        proxy = self.start_rows([("shared.example", "implicit", dict(delay=1.5))])
        replies = []
        threads = [threading.Thread(target=lambda: replies.append(
            send_mail(proxy.port, "shared.example"))) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(2 * IO_TIMEOUT)
        self.assertEqual(replies, [250, 250])
        self.check_delivered("shared.example", 2)
        self.assertEqual(len(self.endpoints["shared.example"].forms), 1)


class OAuthRefusalTest(OAuthTestCase):
    def test_no_token_no_login(self):
        rows = [  # domain, upstream TLS, endpoint options, the mail client's reply
            ("revoked.example", "implicit", dict(refresh="rt-never-granted"), NOT_AVAILABLE),
            ("failing.example", "starttls", dict(status=503), TRY_LATER),
            ("gone.example", "implicit", {}, TRY_LATER),  # the endpoint is stopped
            ("clear.example", None, {}, NOT_AVAILABLE),  # a bearer token only over TLS
        ]
        proxy = self.start_rows([row[:3] for row in rows])
        self.endpoints["gone.example"].stop()
        for domain, _, _, reply in rows:
            with self.subTest(domain=domain):
                self.assertEqual(send_mail(proxy.port, domain), reply)
                record = self.upstreams[domain].record
                record.wait_all_closed()
                self.assertNotIn(b"AUTH", record.received("clear") + record.received("secure"))
                self.assertEqual(record.deliveries, [])
        self.assertEqual(self.endpoints["clear.example"].forms, [])
        self.assertTrue(eventually(lambda: "sign in again" in proxy.stderr_text(), True),
                        "the failure notice says to sign in again")


class OAuthTraceTest(OAuthTestCase):
    def udp_receiver(self):
        receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(receiver.close)
        try:
            receiver.bind((HOST, UDP_PORT))
        except OSError:
            self.skipTest(f"UDP port {UDP_PORT} is taken")
        receiver.settimeout(0.5)
        return receiver

    def test_refused_token_dropped_and_no_secret_in_any_trace(self):
        # The provider voids the token the proxy keeps: 334, an empty line, 535 and nothing
        # delivered; the session after that asks for a new token.
        domain = "refused.example"
        for mode in (DEBUG_FILE, DEBUG_STDERR, DEBUG_UDP):
            with self.subTest(mode=mode):
                receiver = self.udp_receiver() if mode == DEBUG_UDP else None
                proxy = self.start_rows(
                    [(domain, "starttls", dict(rotate=True, client_secret=SECRET))], mode)
                endpoint, record = self.endpoints[domain], self.upstreams[domain].record
                replies = [send_mail(proxy.port, domain)]
                endpoint.revoke()
                replies += [send_mail(proxy.port, domain), send_mail(proxy.port, domain)]
                self.assertEqual(replies, [250, NOT_AVAILABLE, 250])
                self.check_delivered(domain, 2)
                self.assertEqual((len(endpoint.forms), len(record.failed_logins)), (2, 1))
                self.assertRegex(record.received("secure"), rb"AUTH XOAUTH2 [\w+/=]+\r\n\r\n")
                proxy.stop()
                trace = {DEBUG_FILE: proxy.trace, DEBUG_UDP: lambda: self.datagrams(receiver),
                         DEBUG_STDERR: lambda: proxy.stderr_text(whole=True).encode()}[mode]()
                for proof in (b"Send AUTH XOAUTH2", b"Auth XOAUTH2 refused",
                              b"OAuth refresh token rotated"):
                    self.assertIn(proof, trace)
                for secret in endpoint.issued + [SECRET, urllib.parse.quote(SECRET, safe="")]:
                    for text in [secret.encode()] + base64_fragments(secret.encode()):
                        self.assertNotIn(text, trace, f"{secret[:12]}... in the trace")

    @staticmethod
    def datagrams(receiver):
        """What arrived until the receiver was quiet for its time-out."""
        received = []
        for _ in range(10000):
            try:
                received.append(receiver.recv(65536))
            except socket.timeout:
                break
        return b"".join(received)


if __name__ == "__main__":
    unittest.main()
