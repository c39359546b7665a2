"""Real mail clients (swaks, curl, smtplib) send through the proxy to a real upstream.

swaks and curl greet with EHLO, so the EHLO argument (ending in the entry's
domain) chooses the entry; smtplib greets with HELO and the sender's address
chooses it.
"""

import os
import smtplib
import subprocess
import unittest

from harness import HOST, IO_TIMEOUT, Entry, ProxyTestCase

# What the client means to send, with CR LF line ends; the last line has none, so
# every client completes it with CR LF, and that is what must arrive.
MESSAGE = (b"Subject: real clients\r\nX-Test: clients\r\n\r\n"
           b"line one\r\n.a dotted line\r\n..two dots\r\n.\xff\r\n\xc3\xa9t\xc3\xa9 8-bit\r\n"
           b"last line")
ARRIVES = MESSAGE + b"\r\n"

# entry domain and method; each upstream offers LOGIN, PLAIN and CRAM-MD5
ENTRIES = [("cram.example.com", "CRAM-MD5", "CRAM-MD5"),
           ("auto.example.net", "AUTO", "CRAM-MD5"),
           ("login.example.org", "LOGIN", "LOGIN")]


class RealClientTest(ProxyTestCase):
    def setUp(self):
        super().setUp()
        self.upstreams, entries = {}, []
        for n, (domain, method, _) in enumerate(ENTRIES):
            user, password = f"client-user-{n}".encode(), f"Pass word {n}".encode()
            self.upstreams[domain] = self.start_upstream({user: password})
            entries.append(Entry(domain, self.upstreams[domain].port, method, user, password))
        self.users = {e.domain: e.user for e in entries}
        self.proxy = self.start_proxy(entries)
        self.message_file = os.path.join(self.workdir, "message.eml")
        with open(self.message_file, "wb") as f:
            f.write(MESSAGE)

    def run_client(self, argv):
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=IO_TIMEOUT + 10)
        output = (result.stdout + result.stderr).decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, f"{argv[0]} failed:\n{output[-3000:]}")
        return output

    def check_deliveries(self, domain, mechanism, senders):
        deliveries = self.upstreams[domain].record.wait_deliveries(len(senders))
        for delivery, sender in zip(deliveries, senders):
            self.assertEqual(delivery.content, ARRIVES)
            self.assertEqual(delivery.mail_from, sender)
            self.assertEqual(delivery.rcpt_tos, ["rcpt@dest.org", "second@dest.org"])
            self.assertEqual((delivery.login.mechanism, delivery.login.user),
                             (mechanism, self.users[domain]))

    def test_swaks_curl_and_smtplib(self):
        for domain, method, mechanism in ENTRIES:
            with self.subTest(domain=domain, method=method):
                self.run_client([
                    "swaks", "--server", HOST, "--port", str(self.proxy.port),
                    "--ehlo", f"swaks-host.{domain}", "--from", f"swaks@{domain}",
                    "--to", "rcpt@dest.org,second@dest.org",
                    "--data", "@" + self.message_file, "--timeout", str(int(IO_TIMEOUT))])
                self.run_client([
                    "curl", "--silent", "--show-error", "--max-time", str(int(IO_TIMEOUT)),
                    f"smtp://{HOST}:{self.proxy.port}/curl-host.{domain}",
                    "--mail-from", f"curl@{domain}", "--mail-rcpt", "rcpt@dest.org",
                    "--mail-rcpt", "second@dest.org", "--upload-file", self.message_file])
                client = smtplib.SMTP(HOST, self.proxy.port, timeout=IO_TIMEOUT)
                try:
                    self.assertEqual(client.helo("workstation.local")[0], 250)
                    client.sendmail(f"smtplib@{domain}", ["rcpt@dest.org", "second@dest.org"],
                                    MESSAGE)
                    client.quit()
                finally:
                    client.close()
                self.check_deliveries(domain, mechanism,
                                      [f"swaks@{domain}", f"curl@{domain}", f"smtplib@{domain}"])
                self.assertEqual([d.ehlo_name for d in self.upstreams[domain].record.deliveries],
                                 [f"swaks-host.{domain}", f"curl-host.{domain}",
                                  "workstation.local"])


if __name__ == "__main__":
    unittest.main()
