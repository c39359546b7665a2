"""A mail through the proxy reaches a real MTA that takes AUTH only inside TLS.

Postfix (with Dovecot checking the password) runs privately on loopback and
relays what it accepts to an aiosmtpd sink; swaks first shows that it works,
and that it offers no login before STARTTLS.
"""

import os
import smtplib
import subprocess
import unittest

from certs import certs
from harness import HOST, IO_TIMEOUT, Entry, ProxyTestCase
from mta import Mta, unavailable
from upstream import Upstream

USER, PASSWORD = "mta-user@example.com", "Mta pass word 7"
# Written with CR LF line ends and none after the last line: every client adds it.
MESSAGE = (b"From: <sender@mta.example>\r\nTo: <rcpt@dest.org>\r\n"
           b"Date: Tue, 01 Dec 2026 10:00:00 +0000\r\nMessage-ID: <e2e-mta@mta.example>\r\n"
           b"Subject: through a real MTA\r\n\r\n.a dotted line\r\n..two dots\r\n"
           b"\xc3\xa9t\xc3\xa9 8-bit\r\nlast line")
ARRIVES = MESSAGE + b"\r\n"


class MtaTest(ProxyTestCase):
    @classmethod
    def setUpClass(cls):
        reason = unavailable()
        if reason:
            raise unittest.SkipTest(reason)
        cls.sink = Upstream().start()
        cls.addClassCleanup(cls.sink.stop)
        cls.mta = Mta(certs().good, {USER: PASSWORD}, cls.sink.port).start()
        cls.addClassCleanup(cls.mta.stop)

    def check_arrived(self, before):
        try:
            delivery = self.sink.record.wait_deliveries(before + 1)[before]
        except AssertionError as error:
            raise AssertionError(f"{error}\n{self.mta.log()}") from None
        self.assertEqual(delivery.content, ARRIVES)
        self.assertEqual((delivery.mail_from, delivery.rcpt_tos),
                         ("sender@mta.example", ["rcpt@dest.org"]))

    def test_swaks_directly(self):
        with smtplib.SMTP(HOST, self.mta.port, timeout=IO_TIMEOUT) as client:
            client.ehlo("pc")
            self.assertTrue(client.has_extn("starttls"))
            self.assertFalse(client.has_extn("auth"), "AUTH offered before TLS")
        message_file = os.path.join(self.workdir, "message.eml")
        with open(message_file, "wb") as f:
            f.write(MESSAGE)
        before = len(self.sink.record.deliveries)
        result = subprocess.run(
            ["swaks", "--server", HOST, "--port", str(self.mta.port), "--tls", "--tls-verify",
             "--tls-ca-path", certs().ca, "--auth", "PLAIN", "--auth-user", USER,
             "--auth-password", PASSWORD, "--from", "sender@mta.example", "--to", "rcpt@dest.org",
             "--data", "@" + message_file, "--timeout", str(int(IO_TIMEOUT))],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=IO_TIMEOUT + 10)
        self.assertEqual(result.returncode, 0, (result.stdout + result.stderr).decode()[-3000:])
        self.check_arrived(before)

    def test_through_the_proxy_over_starttls(self):
        proxy = self.start_proxy(
            [Entry("mta.example", self.mta.port, "AUTO", USER.encode(), PASSWORD.encode(),
                   smtp="localhost", security=1)],
            env={"SSL_CERT_FILE": certs().ca})
        before = len(self.sink.record.deliveries)
        with smtplib.SMTP(HOST, proxy.port, timeout=IO_TIMEOUT) as client:
            client.helo("pc")
            client.sendmail("sender@mta.example", ["rcpt@dest.org"], MESSAGE)
        self.check_arrived(before)


if __name__ == "__main__":
    unittest.main()
