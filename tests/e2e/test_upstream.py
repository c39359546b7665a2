"""The upstream of the end-to-end tests checks logins for real.

If it let a wrong CRAM-MD5 answer or password through, every "logged in as the
entry's user" result of the proxy tests would prove nothing.
"""

import smtplib
import ssl
import unittest

from certs import certs
from upstream import HOST, Upstream, cram_md5_answer

USER = b"alice"
PASSWORD = b"s3cret-pw"


class UpstreamLoginTest(unittest.TestCase):
    def setUp(self):
        self.upstream = Upstream({USER: PASSWORD}).start()
        self.addCleanup(self.upstream.stop)
        self.smtp = smtplib.SMTP(HOST, self.upstream.port, timeout=10)
        self.addCleanup(self.smtp.close)
        self.smtp.ehlo("client.example.com")

    def cram_md5(self, user, password, upper_hex):
        code, challenge = self.smtp.docmd("AUTH", "CRAM-MD5")
        self.assertEqual(code, 334)
        return self.smtp.docmd(cram_md5_answer(user, password, challenge, upper_hex))[0]

    def test_offers_three_mechanisms_and_requires_login(self):
        self.assertEqual(set(self.smtp.esmtp_features["auth"].split()),
                         {"LOGIN", "PLAIN", "CRAM-MD5"})
        self.assertEqual(self.smtp.docmd("MAIL", "FROM:<a@example.com>")[0], 530)

    def test_logins(self):
        rows = [
            # mechanism, password, upper-case hex digits (CRAM-MD5), expected reply code
            ("CRAM-MD5", PASSWORD, False, 235),
            ("CRAM-MD5", PASSWORD, True, 535),
            ("CRAM-MD5", b"wrong", False, 535),
            ("PLAIN", PASSWORD, False, 235),
            ("PLAIN", b"wrong", False, 535),
            ("LOGIN", PASSWORD, False, 235),
            ("LOGIN", b"wrong", False, 535),
        ]
        for mechanism, password, upper_hex, expected in rows:
            with self.subTest(mechanism=mechanism, password=password, upper_hex=upper_hex):
                self.smtp.close()
                self.smtp.connect(HOST, self.upstream.port)
                self.smtp.ehlo("client.example.com")
                if mechanism == "CRAM-MD5":
                    code = self.cram_md5(USER, password, upper_hex)
                else:
                    self.smtp.user, self.smtp.password = USER.decode(), password.decode()
                    auth = getattr(self.smtp, "auth_" + mechanism.lower())
                    try:
                        code = self.smtp.auth(mechanism, auth, initial_response_ok=True)[0]
                    except smtplib.SMTPAuthenticationError as error:
                        code = error.smtp_code
                self.assertEqual(code, expected)
                logins = self.upstream.record.logins
                if expected == 235:
                    self.assertEqual((logins[-1].mechanism, logins[-1].user), (mechanism, USER))

    def test_records_raw_content(self):
        self.smtp.login(USER.decode(), PASSWORD.decode())
        body = b"Subject: t\r\n\r\n..dot\r\n\xe9\xff 8-bit\r\n"
        self.smtp.sendmail("a@example.com", ["b@dest.org"], body)
        delivery = self.upstream.record.wait_deliveries(1)[0]
        self.assertEqual(delivery.content, body)
        self.assertEqual(delivery.mail_from, "a@example.com")
        self.assertEqual(delivery.ehlo_name, "client.example.com")


class TlsUpstreamTest(unittest.TestCase):
    """The STARTTLS upstream and the certificates are what the proxy's TLS tests take them for."""

    def test_auth_lists_and_certificates(self):
        context = ssl.create_default_context(cafile=certs().ca)
        rows = [(certs().good, None), (certs().wrong_name, "Hostname mismatch"),
                (certs().expired, "expired"), (certs().self_signed, "self-signed certificate")]
        for cert, error in rows:
            with self.subTest(error=error):
                upstream = Upstream({USER: PASSWORD}, exclude=("CRAM-MD5",), tls="starttls",
                                    cert=cert).start()
                self.addCleanup(upstream.stop)
                with smtplib.SMTP("localhost", upstream.port, timeout=10) as client:
                    client.ehlo("pc")
                    self.assertEqual(client.esmtp_features["auth"].strip(), "CRAM-MD5")
                    if error:
                        with self.assertRaisesRegex(ssl.SSLCertVerificationError, error):
                            client.starttls(context=context)
                    else:
                        client.starttls(context=context)
                        client.ehlo("pc")
                        self.assertEqual(client.esmtp_features["auth"].split(), ["LOGIN", "PLAIN"])


if __name__ == "__main__":
    unittest.main()
