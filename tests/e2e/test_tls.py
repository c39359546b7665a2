"""Mail through the proxy to upstreams behind TLS, and every refusal to go on without it.

The engine host trusts the test CA through SSL_CERT_FILE (its system store),
except where an entry's CAFile or fingerprint is what must make it trust.
Whatever the proxy sends upstream in clear is compared byte for byte: before
TLS nothing but EHLO and STARTTLS may travel, so no credential ever does.
"""

import smtplib
import time
import unittest

from certs import certs
from harness import HOST, IO_TIMEOUT, Entry, ProxyTestCase
from test_body import big_body

MESSAGE = b"From: sender\r\nSubject: over TLS\r\n\r\n.a dotted line\r\n\xe9\xff 8-bit\r\n"
REFUSED = b"421 Can not be connected to SMTP server\r\n"
DEADLINE_MS = 3000
ENV = {"SSL_CERT_FILE": certs().ca,
       "VELLOMIR_DEADLINES_MS": f"{DEADLINE_MS},{DEADLINE_MS},{DEADLINE_MS}"}
# what a STARTTLS entry sends in clear for a client that greeted with "HELO pc"
CLEAR_STARTTLS = b"EHLO pc\r\nSTARTTLS\r\n"


def starttls(cert=None, **options):
    return dict(tls="starttls", cert=cert or certs().good, **options)


def implicit(cert=None):
    return dict(tls="implicit", cert=cert or certs().good)


class TlsTestCase(ProxyTestCase):
    def start_rows(self, rows, env=ENV):
        """rows: (domain, method, upstream options, entry options); gives the proxy."""
        self.upstreams, self.users, entries = {}, {}, []
        for domain, method, upstream_options, entry_options in rows:
            user, password = f"user@{domain}".encode(), f"pw {domain} \u00e9!".encode()
            accounts = None if method == "NONE" else {user: password}
            if upstream_options.get("tls") == "starttls" and accounts:
                # LOGIN and PLAIN after TLS, CRAM-MD5 alone before it: AUTO shows its list
                upstream_options = {"exclude": ("CRAM-MD5",), **upstream_options}
            self.upstreams[domain] = self.start_upstream(accounts, **upstream_options)
            self.users[domain] = user
            entries.append(Entry(domain, self.upstreams[domain].port, method, user, password,
                                 **entry_options))
        return self.start_proxy(entries, env=env)

    def send_mail(self, proxy, domain, ehlo=False):
        client = smtplib.SMTP(HOST, proxy.port, timeout=IO_TIMEOUT)
        try:
            if ehlo:
                self.assertEqual(client.ehlo(f"pc.{domain}")[0], 250)
            else:
                self.assertEqual(client.helo("pc")[0], 250)
            client.sendmail(f"sender@{domain}", ["rcpt@dest.org"], MESSAGE)
            client.quit()
        finally:
            client.close()

    def check_delivered(self, domain, mechanism, count=1):
        deliveries = self.upstreams[domain].record.wait_deliveries(count)
        for delivery in deliveries:
            self.assertEqual(delivery.content, MESSAGE)
            login = delivery.login and (delivery.login.mechanism, delivery.login.user)
            self.assertEqual(login, mechanism and (mechanism, self.users[domain]))

    def check_refused(self, proxy, domain, clear, handshakes):
        """The client gets the 421 and the upstream nothing but `clear` (None: no AUTH and
        no MAIL, whatever else) in clear, nothing inside TLS, and `handshakes` handshakes."""
        client = self.connect(proxy)
        client.read_reply()
        client.command(b"HELO pc", 250)
        client.send(f"MAIL FROM:<sender@{domain}>\r\n".encode())
        self.assertEqual(client.read_line(), REFUSED)
        self.assertEqual(client.sock.recv(1), b"", "the proxy must close the session")
        record = self.upstreams[domain].record
        record.wait_all_closed()
        received = record.received("clear")
        if clear is None:
            self.assertNotRegex(received, b"AUTH|MAIL")
        else:
            self.assertEqual(received, clear)
        self.assertEqual(record.received("secure"), b"")
        self.assertEqual((record.logins, record.failed_logins, record.deliveries), ([], [], []))
        self.assertEqual(len(record.server_names), handshakes)


class TlsDeliveryTest(TlsTestCase):
    def test_each_security_mode_and_method(self):
        rows = [  # domain, entry security, server name, method, mechanism the upstream sees
            ("login.starttls.example", 1, "localhost", "LOGIN", "LOGIN"),
            ("plain.starttls.example", 1, HOST, "PLAIN", "PLAIN"),
            ("auto.starttls.example", 1, "localhost", "AUTO", "PLAIN"),
            ("none.starttls.example", 1, HOST, "NONE", None),
            ("login.implicit.example", 2, HOST, "LOGIN", "LOGIN"),
            ("plain.implicit.example", 2, "localhost", "PLAIN", "PLAIN"),
            ("auto.implicit.example", 2, HOST, "AUTO", "CRAM-MD5"),
            ("none.implicit.example", 2, "localhost", "NONE", None),
        ]
        proxy = self.start_rows([(domain, method, starttls() if security == 1 else implicit(),
                                  dict(security=security, smtp=smtp))
                                 for domain, security, smtp, method, _ in rows])
        for domain, security, smtp, method, mechanism in rows:
            with self.subTest(domain=domain):
                self.send_mail(proxy, domain)
                self.send_mail(proxy, domain, ehlo=True)
                self.check_delivered(domain, mechanism, count=2)
                record = self.upstreams[domain].record
                record.wait_all_closed()
                clear = CLEAR_STARTTLS + f"EHLO pc.{domain}\r\nSTARTTLS\r\n".encode()
                self.assertEqual(record.received("clear"), clear if security == 1 else b"")
                sni = smtp if smtp == "localhost" else None  # none for an address
                self.assertEqual(record.server_names, [sni, sni])

    def test_big_body_over_starttls(self):
        proxy = self.start_rows([("big.example", "AUTO", starttls(), dict(security=1))])
        body = big_body()
        client = smtplib.SMTP(HOST, proxy.port, timeout=IO_TIMEOUT)
        self.addCleanup(client.close)
        client.helo("pc")
        client.sendmail("sender@big.example", ["rcpt@dest.org"], body)
        client.quit()
        self.assertTrue(self.upstreams["big.example"].record.wait_deliveries(1)[0].content == body,
                        "the 5 MB body changed on its way")


class TlsRefusalTest(TlsTestCase):
    def test_refusals(self):
        wrong_fingerprint = certs().self_signed.fingerprint.replace(":", "").lower()
        rows = [  # domain, upstream, entry options, what arrives in clear, handshakes
            ("wrong-address.example", implicit(certs().wrong_name), dict(security=2), b"", 1),
            ("wrong-name.example", starttls(certs().wrong_name), dict(security=1, smtp="localhost"),
             CLEAR_STARTTLS, 1),
            ("expired.example", starttls(certs().expired), dict(security=1), CLEAR_STARTTLS, 1),
            ("self-signed.example", implicit(certs().self_signed), dict(security=2), b"", 1),
            ("wrong-fingerprint.example", implicit(),
             dict(security=2, fingerprint=wrong_fingerprint), b"", 1),
            ("no-starttls.example", {}, dict(security=1), b"EHLO pc\r\n", 0),
            ("starttls-454.example", starttls(starttls_fault="454"), dict(security=1),
             CLEAR_STARTTLS, 0),
            ("injected.example", starttls(starttls_fault="inject"), dict(security=1),
             CLEAR_STARTTLS, 0),
            # the handshake meets the server's greeting; what it sent is no command
            ("implicit-to-starttls-port.example", starttls(), dict(security=2), None, 0),
        ]
        proxy = self.start_rows([(domain, "LOGIN", upstream, entry)
                                 for domain, upstream, entry, _, _ in rows])
        for domain, _, _, clear, handshakes in rows:
            with self.subTest(domain=domain):
                self.check_refused(proxy, domain, clear, handshakes)

    def test_starttls_to_implicit_port_ends_by_deadline(self):
        # Both sides wait for the other's first word: only the proxy's reply deadline ends
        # this, long before the test's own time-out (IO_TIMEOUT) would.
        proxy = self.start_rows([("silent.example", "PLAIN", implicit(), dict(security=1))])
        started = time.monotonic()
        self.check_refused(proxy, "silent.example", b"", 0)
        self.assertGreaterEqual(time.monotonic() - started, DEADLINE_MS / 1000 - 0.5)


class TlsTrustTest(TlsTestCase):
    def test_fingerprint_and_ca_file_without_the_ca_in_the_store(self):
        rows = [("fingerprint.example", "PLAIN", implicit(certs().self_signed),
                 dict(security=2, fingerprint=certs().self_signed.fingerprint)),
                ("ca-file.example", "LOGIN", starttls(), dict(security=1, ca_file=certs().ca)),
                ("unknown-ca.example", "LOGIN", starttls(), dict(security=1))]
        proxy = self.start_rows(rows, env={})
        for domain, method, _, _ in rows[:2]:
            with self.subTest(domain=domain):
                self.send_mail(proxy, domain)
                self.check_delivered(domain, method)
        self.check_refused(proxy, "unknown-ca.example", CLEAR_STARTTLS, 1)


if __name__ == "__main__":
    unittest.main()
