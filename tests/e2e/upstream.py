"""A real upstream SMTP server for the end-to-end tests, built on aiosmtpd.

It runs in a thread of the test process on 127.0.0.1 and records, per delivered
message, the raw bytes of the content as the SMTP layer handed them over
(dot-unstuffed, CR LF kept) together with who logged in and how. The tests
compare those records with what the mail client meant to send. It also keeps
every byte it received, apart by whether it came in clear or inside TLS.
"""

import base64
import binascii
import collections
import hmac
import json
import logging
import os
import socket
import ssl
import threading
import time
import warnings
from dataclasses import dataclass, field

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, MISSING, TLSSetupException

HOST = "127.0.0.1"
UPSTREAM_NAME = "upstream.e2e.test"


def free_port():
    """A port that was free a moment ago (bound to 0 and closed again)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


@dataclass
class Login:
    mechanism: str
    user: bytes


@dataclass
class Delivery:
    login: Login | None
    ehlo_name: str | None
    mail_from: str
    rcpt_tos: list
    content: bytes


@dataclass
class Record:
    """What the upstream saw; shared between its thread and the test's thread."""
    deliveries: list = field(default_factory=list)
    logins: list = field(default_factory=list)
    failed_logins: list = field(default_factory=list)
    clear: list = field(default_factory=list)  # chunks received in clear
    secure: list = field(default_factory=list)  # chunks received inside TLS
    server_names: list = field(default_factory=list)  # SNI of each handshake, None for none
    opened: list = field(default_factory=list)
    closed: list = field(default_factory=list)
    cond: threading.Condition = field(default_factory=threading.Condition)

    def add(self, kind, item):
        with self.cond:
            getattr(self, kind).append(item)
            self.cond.notify_all()

    def received(self, kind):
        with self.cond:
            return b"".join(getattr(self, kind))

    def wait(self, ready, what, timeout=20.0):
        """Waits until ready() holds; fails the caller's test after `timeout` seconds."""
        with self.cond:
            if not self.cond.wait_for(ready, timeout):
                raise AssertionError(f"upstream: {what} in {timeout}s")

    def wait_deliveries(self, count, timeout=20.0):
        """The first `count` deliveries; fails the caller's test after `timeout` seconds."""
        self.wait(lambda: len(self.deliveries) >= count,
                  f"got {len(self.deliveries)} of {count} messages", timeout)
        return list(self.deliveries[:count])

    def wait_all_closed(self, timeout=20.0):
        """Waits until every connection has ended: nothing more can arrive on them."""
        self.wait(lambda: set(self.opened) <= set(self.closed), "connections still open", timeout)


class _Handler:
    def __init__(self, record, pipelining):
        self.record = record
        self.pipelining = pipelining

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if server.accounts and server.tls_context and not server._tls_protocol:
            # A list that differs from the one after TLS (which lacks CRAM-MD5), as a man
            # in the middle could make it: a client must choose only from the later one.
            responses.insert(-1, "250-AUTH CRAM-MD5")
        if self.pipelining:
            # aiosmtpd reads commands one after the other from a stream, so it
            # copes with pipelined commands; it just doesn't say so.
            responses.insert(1, "250-PIPELINING")
        return responses

    async def handle_DATA(self, server, session, envelope):
        data = session.auth_data
        login = data if isinstance(data, Login) else None
        self.record.add("deliveries", Delivery(
            login=login,
            ehlo_name=session.host_name,
            mail_from=envelope.mail_from,
            rcpt_tos=list(envelope.rcpt_tos),
            content=bytes(envelope.original_content),
        ))
        return "250 2.0.0 Message accepted"

    async def handle_exception(self, error):
        if not isinstance(error, TLSSetupException):  # a refused handshake is no fault here
            logging.getLogger("mail.log").exception("SMTP session exception")
        return f"500 Error: ({error.__class__.__name__}) {error}"


class _RecordingSMTP(SMTP):
    """aiosmtpd's server keeping the bytes it receives, with faults of STARTTLS on demand."""

    accounts: dict = {}
    record: Record = None
    implicit_tls = False
    starttls_fault = None

    def connection_made(self, transport):
        if self._original_transport is None:  # not the second call, after STARTTLS
            self.record.add("opened", transport.get_extra_info("peername"))
        super().connection_made(transport)

    def connection_lost(self, error):
        self.record.add("closed", self.session.peer)
        super().connection_lost(error)

    def data_received(self, data):
        secure = self.implicit_tls or self._tls_protocol is not None
        self.record.add("secure" if secure else "clear", bytes(data))
        super().data_received(data)

    async def smtp_STARTTLS(self, arg):
        if self.starttls_fault == "454":
            await self.push("454 4.7.0 TLS not available due to temporary reason")
        else:
            await super().smtp_STARTTLS(arg)

    async def push(self, status):
        if self.starttls_fault == "inject" and status == "220 Ready to start TLS":
            # The reply injection of a man in the middle: a line behind the go-ahead,
            # sent in clear, that a client must not take as the server's first word in TLS.
            status += "\r\n250 injected in clear"
        await super().push(status)


class _AuthSMTP(_RecordingSMTP):
    """The recording server with a CRAM-MD5 mechanism of our own (RFC 2195)."""

    async def auth_CRAM__MD5(self, _, args):
        if len(args) != 1:
            await self.push("501 5.5.4 No initial response for CRAM-MD5")
            return AuthResult(success=False, handled=True)
        challenge = f"<{int.from_bytes(os.urandom(6), 'big')}.{time.time_ns()}@{UPSTREAM_NAME}>"
        challenge = challenge.encode("ascii")
        answer = await self.challenge_auth(challenge)
        if answer is MISSING:
            return AuthResult(success=False, handled=True)
        user, _, digest = answer.rpartition(b" ")
        password = self.accounts.get(user)
        if password is not None:
            expected = hmac.new(password, challenge, "md5").hexdigest().encode("ascii")
            if hmac.compare_digest(digest, expected):
                login = Login("CRAM-MD5", user)
                self.record.add("logins", login)
                return AuthResult(success=True, auth_data=login)
        self.record.add("failed_logins", Login("CRAM-MD5", user))
        return AuthResult(success=False, handled=False)


class _OAuthSMTP(_AuthSMTP):
    """The login server with XOAUTH2 as the big providers run it: only the access token that
    the token endpoint gave last for the user logs in; any other gets a 334 with the error in
    Base64 JSON and, after the client's empty answer, 535."""

    oauth = None  # the token_endpoint.TokenEndpoint that gives the tokens
    line_length_limit = 16384

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        # AUTH lines of up to 12,288 bytes (RFC 4954): tokens of a few KB fit
        self.command_size_limits = collections.defaultdict(lambda: 512, AUTH=12288)

    async def auth_XOAUTH2(self, _, args):
        try:
            fields = base64.b64decode(args[1], validate=True).split(b"\x01")
        except (IndexError, binascii.Error):
            fields = []
        user = fields[0].removeprefix(b"user=") if fields else b""
        current = self.oauth.current(user.decode(errors="replace"))
        if (len(fields) == 4 and fields[0].startswith(b"user=") and fields[2:] == [b"", b""]
                and current and hmac.compare_digest(fields[1], b"auth=Bearer " + current.encode())):
            login = Login("XOAUTH2", user)
            self.record.add("logins", login)
            return AuthResult(success=True, auth_data=login)
        self.record.add("failed_logins", Login("XOAUTH2", user))
        error = {"status": "401", "schemes": "Bearer", "scope": "https://mail.example/"}
        if await self.challenge_auth(json.dumps(error)) is MISSING:
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False,
                          message="535 5.7.8 Username and Password not accepted")


class Upstream:
    """An aiosmtpd server on 127.0.0.1.

    accounts: user -> password (bytes). With accounts, AUTH is required before
    MAIL FROM and LOGIN, PLAIN and CRAM-MD5 are offered (minus `exclude`);
    without, no login is asked for.

    tls: None (plain), "starttls" (required before any mail, and AUTH is offered
    only after it) or "implicit" (TLS from the first byte), with `cert` (a
    certs.Cert). starttls_fault: "454" refuses STARTTLS, "inject" sends a line
    in clear right behind its 220 go-ahead.

    oauth: a token_endpoint.TokenEndpoint; with it, AUTH is required and XOAUTH2 offered too.
    """

    def __init__(self, accounts=None, exclude=(), pipelining=False, tls=None, cert=None,
                 starttls_fault=None, oauth=None):
        self.record = Record()
        self.accounts = dict(accounts or {})
        self.port = None
        self._controller = None
        self._exclude = list(exclude)
        self._pipelining = pipelining
        self._tls = tls
        self._cert = cert
        self._starttls_fault = starttls_fault
        self._oauth = oauth

    def _tls_context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self._cert.cert, self._cert.key)
        context.sni_callback = lambda _, name, __: self.record.add("server_names", name)
        return context

    def _authenticate(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword):
            password = self.accounts.get(auth_data.login)
            if password is not None and hmac.compare_digest(password, auth_data.password):
                login = Login(mechanism, auth_data.login)
                self.record.add("logins", login)
                return AuthResult(success=True, auth_data=login)
            self.record.add("failed_logins", Login(mechanism, auth_data.login))
        return AuthResult(success=False, handled=False)

    def start(self, attempts=3):
        # Login without TLS is exactly what these tests exercise, on loopback only.
        # (Set here, not at import: the unittest runner resets the warning filters.)
        warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
        warnings.filterwarnings("ignore", message="Session.login_data is deprecated")
        logging.getLogger("mail.log").setLevel(logging.ERROR)
        upstream = self
        base = _OAuthSMTP if self._oauth else _AuthSMTP if self.accounts else _RecordingSMTP
        smtp_class = type("_BoundSMTP", (base,), {
            "accounts": self.accounts, "record": self.record, "oauth": self._oauth,
            "implicit_tls": self._tls == "implicit", "starttls_fault": self._starttls_fault})
        kwargs = dict(decode_data=False, server_hostname=UPSTREAM_NAME, ready_timeout=10.0)
        if self.accounts or self._oauth:
            kwargs.update(auth_required=True, auth_require_tls=self._tls == "starttls",
                          authenticator=self._authenticate,
                          auth_exclude_mechanism=self._exclude)
        if self._tls == "starttls":
            kwargs.update(tls_context=self._tls_context(), require_starttls=True)
        elif self._tls == "implicit":
            kwargs.update(ssl_context=self._tls_context())

        class _Controller(Controller):
            def factory(self):
                return smtp_class(self.handler, **self.SMTP_kwargs)

        last_error = None
        for _ in range(attempts):
            port = free_port()
            controller = _Controller(_Handler(upstream.record, upstream._pipelining),
                                     hostname=HOST, port=port, **kwargs)
            try:
                controller.start()
            except Exception as error:  # the port was taken in between: try another
                last_error = error
                continue
            self._controller = controller
            self.port = port
            self.record.server_names.clear()  # the controller's own check of the listener
            return self
        raise RuntimeError(f"upstream did not start: {last_error}")

    def stop(self):
        if self._controller is not None:
            self._controller.stop()
            self._controller = None


def cram_md5_answer(user, password, challenge_line, upper_hex=False):
    """The client's CRAM-MD5 answer to a "334 <Base64>" line, for the harness check."""
    challenge = base64.b64decode(challenge_line)
    digest = hmac.new(password, challenge, "md5").hexdigest()
    if upper_hex:
        digest = digest.upper()
    return base64.b64encode(user + b" " + digest.encode("ascii")).decode("ascii")


def serve_for_other_process():
    """For a test written in another language (the desktop program's): an upstream that takes
    user@example.com with the password given as the first argument, over STARTTLS, and with
    XOAUTH2 from a local token endpoint. Prints one JSON line with what an entry needs, then
    serves until standard input closes."""
    import sys
    from certs import certs
    from token_endpoint import TokenEndpoint

    endpoint = TokenEndpoint().start()
    upstream = Upstream({endpoint.sign_in_user.encode(): sys.argv[1].encode()}, tls="starttls",
                        cert=certs().good, oauth=endpoint).start()
    print(json.dumps({"port": upstream.port, "user": endpoint.sign_in_user, "ca": certs().ca,
                      "auth_url": endpoint.url + "/authorize",
                      "token_url": endpoint.url + "/token", "client_id": endpoint.client_id}),
          flush=True)
    sys.stdin.read()
    upstream.stop()
    endpoint.stop()


if __name__ == "__main__":
    serve_for_other_process()
