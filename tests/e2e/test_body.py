"""Message bytes and pipelined commands pass through the proxy unchanged.

The upstream records the content after the SMTP layer's own dot-unstuffing, so
"unchanged" means: what the mail client meant to send is what arrives.
"""

import random
import smtplib
import unittest

from harness import HOST, IO_TIMEOUT, Entry, ProxyTestCase

BIG_SIZE = 5 * 1024 * 1024
# Every byte value except the line ends, which become letters; SMTP lines stay below
# its 1000-byte limit.
NO_LINE_ENDS = bytes.maketrans(b"\r\n", b"rn")


def big_body(seed=3):
    """About 5 MB of CR LF lines: 8-bit bytes, lines that begin with dots, empty lines."""
    rng = random.Random(seed)
    lines, size, n = [], 0, 0
    while size < BIG_SIZE:
        n += 1
        if n % 7 == 0:
            line = b"." * rng.randint(1, 3) + rng.randbytes(rng.randint(0, 200))
        elif n % 13 == 0:
            line = rng.choice([b".", b"..", b"", b" ."])
        else:
            line = rng.randbytes(rng.randint(0, 996))
        lines.append(line.translate(NO_LINE_ENDS) + b"\r\n")
        size += len(lines[-1])
    return b"".join(lines)


def dot_stuffed(body):
    """The body as it travels inside DATA, with its terminating line."""
    stuffed = b"\r\n".join(b"." + line if line.startswith(b".") else line
                           for line in body.split(b"\r\n"))
    return stuffed + b".\r\n"


class BigBodyTest(ProxyTestCase):
    def setUp(self):
        super().setUp()
        self.upstream = self.start_upstream({b"big": b"big-pw"})
        self.proxy = self.start_proxy([Entry("example.com", self.upstream.port, "CRAM-MD5",
                                             b"big", b"big-pw")])
        self.body = big_body()
        self.assertGreaterEqual(len(self.body), BIG_SIZE)

    def test_smtplib_after_helo(self):
        client = smtplib.SMTP(HOST, self.proxy.port, timeout=IO_TIMEOUT)
        self.addCleanup(client.close)
        client.helo("pc")
        client.sendmail("big@example.com", ["rcpt@dest.org"], self.body)
        client.quit()
        self.assertTrue(self.upstream.record.wait_deliveries(1)[0].content == self.body,
                        "the 5 MB body changed on its way")

    def test_raw_client_after_ehlo_in_large_writes(self):
        client = self.connect(self.proxy)
        client.read_reply()
        client.command(b"EHLO pc.example.com", 250)
        client.command(b"MAIL FROM:<big@example.com>", 250)
        client.command(b"RCPT TO:<rcpt@dest.org>", 250)
        client.command(b"DATA", 354)
        client.send(dot_stuffed(self.body))
        self.assertEqual(client.read_reply()[0], 250)
        client.command(b"QUIT", 221)
        self.assertTrue(self.upstream.record.wait_deliveries(1)[0].content == self.body,
                        "the 5 MB body changed on its way")


class PipeliningTest(ProxyTestCase):
    """Commands sent in one write after (or with) the hand-over arrive as sent."""

    def setUp(self):
        super().setUp()
        self.login_upstream = self.start_upstream({b"pipe": b"pipe-pw"}, pipelining=True)
        self.open_upstream = self.start_upstream(pipelining=True)
        self.proxy = self.start_proxy([
            Entry("cram.example.com", self.login_upstream.port, "CRAM-MD5", b"pipe", b"pipe-pw"),
            Entry("none.example.com", self.open_upstream.port, "NONE", b"", b"")])

    @staticmethod
    def transaction(sender, number):
        body = f"Subject: pipelined {number}\r\n\r\n.dotted {number}\r\n\xe9\r\n".encode("latin-1")
        commands = (f"MAIL FROM:<{sender}>\r\nRCPT TO:<a{number}@dest.org>\r\n"
                    f"RCPT TO:<b{number}@dest.org>\r\nDATA\r\n").encode()
        return commands, body

    def pipeline_two_mails(self, client, sender, mail_from_done=False):
        """Two transactions; the second one's commands ride with the first one's end of data."""
        commands1, body1 = self.transaction(sender, 1)
        commands2, body2 = self.transaction(sender, 2)
        codes = [250, 250, 250, 354]
        if mail_from_done:  # the MAIL FROM that handed over has had its reply
            commands1, codes = commands1.partition(b"\r\n")[2], codes[1:]
        client.send(commands1)
        self.assertEqual([client.read_reply()[0] for _ in codes], codes)
        client.send(dot_stuffed(body1) + commands2)
        self.assertEqual([client.read_reply()[0] for _ in range(5)], [250, 250, 250, 250, 354])
        client.send(dot_stuffed(body2) + b"QUIT\r\n")
        self.assertEqual([client.read_reply()[0] for _ in range(2)], [250, 221])
        return [(body1, ["a1@dest.org", "b1@dest.org"]), (body2, ["a2@dest.org", "b2@dest.org"])]

    def check(self, upstream, sender, expected):
        deliveries = upstream.record.wait_deliveries(2)
        self.assertEqual([(d.mail_from, d.rcpt_tos, d.content) for d in deliveries],
                         [(sender, rcpts, body) for body, rcpts in expected])

    def test_after_ehlo_hand_over_with_login(self):
        client = self.connect(self.proxy)
        client.read_reply()
        client.command(b"EHLO pc.cram.example.com", 250)
        sender = "p@cram.example.com"
        self.check(self.login_upstream, sender, self.pipeline_two_mails(client, sender))

    def test_after_ehlo_hand_over_without_login(self):
        client = self.connect(self.proxy)
        client.read_reply()
        lines = client.command(b"EHLO pc.none.example.com", 250)
        self.assertIn(b"250-PIPELINING", lines, "the upstream's own EHLO reply reaches the client")
        sender = "p@none.example.com"
        self.check(self.open_upstream, sender, self.pipeline_two_mails(client, sender))

    def test_after_mail_from_hand_over(self):
        for domain, upstream in (("cram.example.com", self.login_upstream),
                                 ("none.example.com", self.open_upstream)):
            with self.subTest(domain=domain):
                before = len(upstream.record.deliveries)
                client = self.connect(self.proxy)
                client.read_reply()
                client.command(b"HELO pc", 250)
                sender = f"p@{domain}"
                client.command(f"MAIL FROM:<{sender}>".encode(), 250)
                expected = self.pipeline_two_mails(client, sender, mail_from_done=True)
                deliveries = upstream.record.wait_deliveries(before + 2)[before:]
                self.assertEqual([(d.mail_from, d.rcpt_tos, d.content) for d in deliveries],
                                 [(sender, rcpts, body) for body, rcpts in expected])

if __name__ == "__main__":
    unittest.main()
