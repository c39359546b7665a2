"""The upstream of the end-to-end tests checks logins for real.

If it let a wrong CRAM-MD5 answer or password through, every "logged in as the
entry's user" result of the proxy tests would prove nothing.
"""

import base64
import hashlib
import http.client
import json
import smtplib
import ssl
import unittest
import urllib.parse

from certs import certs
from token_endpoint import TokenEndpoint
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


def call(endpoint, method, path, form=None):
    """One HTTP request to the endpoint: (status, JSON answer or the redirect's location)."""
    connection = http.client.HTTPConnection(urllib.parse.urlsplit(endpoint.url).netloc, timeout=10)
    try:
        connection.request(method, path, form and urllib.parse.urlencode(form),
                           {"Content-Type": "application/x-www-form-urlencoded"})
        response = connection.getresponse()
        body = response.read()
        return response.status, json.loads(body) if body else response.getheader("Location")
    finally:
        connection.close()


class OAuthFixtureTest(unittest.TestCase):
    """The sign-in's code exchange checks the PKCE verifier, and the XOAUTH2 upstream takes
    the access token the endpoint gave last, and no other."""

    def test_code_exchange_and_xoauth2(self):
        endpoint = TokenEndpoint().start()
        self.addCleanup(endpoint.stop)
        verifier, redirect_uri = "v" * 43, "http://127.0.0.1:1/cb"
        challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest())
        query = urllib.parse.urlencode(dict(
            response_type="code", client_id=endpoint.client_id, state="st8",
            redirect_uri=redirect_uri, code_challenge=challenge.rstrip(b"="),
            code_challenge_method="S256"))
        for code_verifier, error in [("w" * 43, "invalid_grant"), (verifier, None)]:
            status, location = call(endpoint, "GET", "/authorize?" + query)
            answer = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(location).query))
            self.assertEqual((status, location.startswith(redirect_uri + "?"), answer["state"]),
                             (302, True, "st8"))
            _, answer = call(endpoint, "POST", "/token", dict(
                grant_type="authorization_code", code=answer["code"], code_verifier=code_verifier,
                redirect_uri=redirect_uri, client_id=endpoint.client_id))
            self.assertEqual(answer.get("error"), error)

        upstream = Upstream(oauth=endpoint, tls="implicit", cert=certs().good).start()
        self.addCleanup(upstream.stop)
        context = ssl.create_default_context(cafile=certs().ca)
        for token, codes in [(answer["access_token"], [235]), ("at-stale", [334, 535])]:
            with smtplib.SMTP_SSL(HOST, upstream.port, timeout=10, context=context) as smtp:
                smtp.ehlo("pc")
                blob = f"user={endpoint.sign_in_user}\x01auth=Bearer {token}\x01\x01"
                reply = smtp.docmd("AUTH XOAUTH2", base64.b64encode(blob.encode()).decode())
                self.assertEqual([reply[0]] + [smtp.docmd("")[0] for _ in codes[1:]], codes)
        self.assertEqual(len(upstream.record.logins), 1)

if __name__ == "__main__":
    unittest.main()
