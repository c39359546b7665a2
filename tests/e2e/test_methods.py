"""Every login method of an entry, through the proxy, against a real upstream.

One proxy holds one entry per row, each with its own domain, user and upstream,
so each row also shows that the sender's domain picks the right entry and that
the upstream sees that entry's user.
"""

import base64
import smtplib
import unittest

from harness import HOST, IO_TIMEOUT, Entry, ProxyTestCase

MESSAGE = (b"From: sender\r\nSubject: login methods\r\n\r\n"
           b"first line\r\n.a line that begins with a dot\r\n\xe4\xf6\xfc 8-bit\r\n")

# domain, entry method, mechanisms the upstream leaves out, mechanism the upstream must see
ROWS = [
    ("login.example.com", "LOGIN", (), "LOGIN"),
    ("plain.example.com", "PLAIN", (), "PLAIN"),
    ("cram.example.com", "CRAM-MD5", (), "CRAM-MD5"),
    ("auto3.example.com", "AUTO", (), "CRAM-MD5"),
    ("auto2.example.com", "AUTO", ("CRAM-MD5",), "PLAIN"),
    ("auto1.example.com", "AUTO", ("CRAM-MD5", "PLAIN"), "LOGIN"),
    ("none.example.com", "NONE", None, None),  # None: an upstream that asks for no login
]


class LoginMethodTest(ProxyTestCase):
    def setUp(self):
        super().setUp()
        self.upstreams = {}
        entries = []
        for n, (domain, method, exclude, _) in enumerate(ROWS):
            user, password = f"user{n}@{domain}".encode(), f"pw-{n}-\u00e9!".encode()
            if exclude is None:
                upstream = self.start_upstream()
            else:
                upstream = self.start_upstream({user: password}, exclude=exclude)
            self.upstreams[domain] = upstream
            entries.append(Entry(domain, upstream.port, method, user, password))
        self.entries = {e.domain: e for e in entries}
        self.proxy = self.start_proxy(entries)

    def smtp(self):
        client = smtplib.SMTP(HOST, self.proxy.port, timeout=IO_TIMEOUT)
        self.addCleanup(client.close)
        return client

    def check_delivery(self, domain, expected_mechanism, ehlo_name):
        delivery = self.upstreams[domain].record.wait_deliveries(1)[0]
        self.assertEqual(delivery.content, MESSAGE)
        self.assertEqual(delivery.mail_from, f"sender@{domain}")
        self.assertEqual(delivery.rcpt_tos, ["rcpt@dest.org"])
        self.assertEqual(delivery.ehlo_name, ehlo_name)
        if expected_mechanism is None:
            self.assertIsNone(delivery.login)
        else:
            self.assertEqual((delivery.login.mechanism, delivery.login.user),
                             (expected_mechanism, self.entries[domain].user))
        self.assertEqual(self.upstreams[domain].record.failed_logins, [])

    def test_helo_then_mail_from(self):
        for domain, method, _, mechanism in ROWS:
            with self.subTest(method=method, domain=domain):
                client = self.smtp()
                code, _ = client.helo("workstation.local")
                self.assertEqual(code, 250)
                client.sendmail(f"sender@{domain}", ["rcpt@dest.org"], MESSAGE)
                client.quit()
                self.check_delivery(domain, mechanism, "workstation.local")

    def test_ehlo_ending_in_domain(self):
        for domain, method, _, mechanism in ROWS:
            with self.subTest(method=method, domain=domain):
                client = self.smtp()
                code, text = client.ehlo(f"pc.{domain}")
                self.assertEqual(code, 250)
                if method == "NONE":  # the upstream answers the forwarded EHLO itself
                    self.assertIn(b"8BITMIME", text)
                else:  # the proxy answers after logging in, naming the entry's server
                    self.assertEqual(text, HOST.encode())
                client.sendmail(f"sender@{domain}", ["rcpt@dest.org"], MESSAGE)
                client.quit()
                self.check_delivery(domain, mechanism, f"pc.{domain}")


class LongCredentialsTest(ProxyTestCase):
    def test_longest_password_the_settings_file_holds(self):
        # 222 bytes is the longest password whose Base64 fits a settings value; every
        # byte value but NUL (which ends a password) must reach the upstream intact.
        # The user name is as long as it can be while the AUTH PLAIN line, which carries
        # both, stays within SMTP's 512-byte command line (the upstream enforces that).
        password = bytes(range(1, 223))
        user = b"u" * 43 + b"@long.example.com"
        plain_line = b"AUTH PLAIN " + base64.b64encode(user + b"\0" + user + b"\0" + password)
        self.assertLessEqual(len(plain_line) + 2, 512)
        rows = [("cram.example.com", "CRAM-MD5"), ("plain.example.com", "PLAIN"),
                ("login.example.com", "LOGIN")]
        upstreams = {domain: self.start_upstream({user: password}) for domain, _ in rows}
        proxy = self.start_proxy([Entry(domain, upstreams[domain].port, method, user, password)
                                  for domain, method in rows])
        for domain, method in rows:
            with self.subTest(method=method):
                client = smtplib.SMTP(HOST, proxy.port, timeout=IO_TIMEOUT)
                self.addCleanup(client.close)
                client.helo("pc")
                client.sendmail(f"s@{domain}", ["r@dest.org"], MESSAGE)
                client.quit()
                login = upstreams[domain].record.wait_deliveries(1)[0].login
                self.assertEqual((login.mechanism, login.user), (method, user))


class FailedLoginTest(ProxyTestCase):
    def test_wrong_password_gives_service_not_available(self):
        upstream = self.start_upstream({b"alice": b"right"})
        proxy = self.start_proxy([Entry("example.com", upstream.port, "CRAM-MD5",
                                        b"alice", b"wrong")])
        for greeting in (b"HELO pc", b"EHLO pc.example.com"):
            with self.subTest(greeting=greeting):
                client = self.connect(proxy)
                self.assertEqual(client.read_reply(), (220, [b"220 SMTP Proxy"]))
                if greeting.startswith(b"HELO"):
                    client.command(greeting, 250)
                    client.send(b"MAIL FROM:<sender@example.com>\r\n")
                else:
                    client.send(greeting + b"\r\n")
                self.assertEqual(client.read_line(), b"550 Service not available\r\n")
                self.assertEqual(client.sock.recv(1), b"", "the proxy must close the session")
        self.assertEqual([(f.mechanism, f.user) for f in upstream.record.failed_logins],
                         [("CRAM-MD5", b"alice")] * 2)
        self.assertEqual(upstream.record.deliveries, [])


if __name__ == "__main__":
    unittest.main()
