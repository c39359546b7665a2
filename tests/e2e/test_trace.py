"""The trace file of real logins holds no password in any form.

With DebugWrite=2 every step of a session goes to debugw.log. A CRAM-MD5, a
PLAIN and a LOGIN session, each with HELO and with EHLO, must leave there no
password, no Base64 of one (at any position inside a longer Base64 text) and no
AUTH PLAIN payload.
"""

import base64
import smtplib
import unittest

from harness import DEBUG_FILE, HOST, IO_TIMEOUT, Entry, ProxyTestCase

ENTRIES = [("cram.example.com", "CRAM-MD5", b"trace-cram", b"Cram!Secret#0451"),
           ("plain.example.com", "PLAIN", b"trace-plain", b"Plain!Secret#7719"),
           ("login.example.com", "LOGIN", b"trace-login", b"Login!Secret#2280")]


def base64_fragments(secret):
    """Base64 characters that stand for `secret` alone, for each of its three possible
    alignments inside a longer encoded text: any Base64 text that encodes the secret
    contains one of them."""
    fragments = []
    for offset in range(3):
        encoded = base64.b64encode(b"\0" * offset + secret).rstrip(b"=")
        first = -(-offset * 8 // 6)  # first character whose bits all belong to the secret
        last = (offset + len(secret)) * 8 // 6  # one past the last such character
        fragments.append(encoded[first:last])
    return fragments


class TraceSecretTest(ProxyTestCase):
    def test_no_password_in_trace_file(self):
        entries = []
        for domain, method, user, password in ENTRIES:
            upstream = self.start_upstream({user: password})
            entries.append(Entry(domain, upstream.port, method, user, password))
        proxy = self.start_proxy(entries, debug_write=DEBUG_FILE)
        for entry in entries:
            for greeting in ("helo", "ehlo"):
                with self.subTest(method=entry.method, greeting=greeting):
                    client = smtplib.SMTP(HOST, proxy.port, timeout=IO_TIMEOUT)
                    try:
                        if greeting == "helo":
                            client.helo("pc")
                        else:
                            self.assertEqual(client.ehlo(f"pc.{entry.domain}")[0], 250)
                        client.sendmail(f"s@{entry.domain}", ["r@dest.org"],
                                        b"Subject: t\r\n\r\nx\r\n")
                        client.quit()
                    finally:
                        client.close()
        proxy.stop()  # the whole trace is on disk once the process has ended
        trace = proxy.trace()

        # The steps that replace the secret lines must be there, or the file proves nothing.
        # The CRAM-MD5 digest would allow guessing the password offline: only the user shows.
        for expected in (b"Send AUTH PLAIN", b"Send Password", b"CODE=trace-cram\r\n",
                         b"Send CRAM-MD5 response"):
            self.assertIn(expected, trace)
        for domain, method, user, password in ENTRIES:
            forbidden = [
                ("password", [password]),
                ("password in Base64", base64_fragments(password)),
                ("AUTH PLAIN payload",
                 [base64.b64encode(user + b"\0" + user + b"\0" + password),
                  base64.b64encode(b"\0" + user + b"\0" + password)]),
            ]
            for what, texts in forbidden:
                for text in texts:
                    self.assertNotIn(text, trace, f"{method}: {what} in debugw.log")


if __name__ == "__main__":
    unittest.main()
