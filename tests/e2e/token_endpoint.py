"""A local OAuth 2.0 token endpoint for the XOAUTH2 tests, on 127.0.0.1 in a thread.

Like a provider's, it gives access tokens for the refresh tokens it granted and
for the codes of its authorization step (/authorize), checked against their
PKCE S256 challenge. It keeps the form of every token request. The upstream asks
it for the access token it gave last for a user: only that one logs in.
"""

import base64
import hashlib
import json
import secrets
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from upstream import HOST

# The big providers' access tokens are 1.5-2.5 KB: the AUTH line grows past 2 KB.
ACCESS_TOKEN_CHARS = 1800


class TokenEndpoint:
    """expires_in: lifetime of the access tokens; rotate: each refresh gives a new refresh
    token and voids the old one; delay: seconds before each token answer; status: an HTTP
    status (such as 503) that answers every token request. Requests must bring client_secret
    (none if empty); scope is what an entry for this endpoint asks for."""

    def __init__(self, client_id="vellomir-e2e", client_secret="", scope="", expires_in=3600,
                 rotate=False, delay=0.0, status=None):
        self.client_id, self.client_secret, self.scope = client_id, client_secret, scope
        self.expires_in, self.rotate, self.delay, self.status = expires_in, rotate, delay, status
        self.forms = []  # the fields of each token request, in order
        self.issued = []  # every token handed out, for the trace checks
        self.sign_in_user = "user@example.com"  # who signs in at the authorization step
        self._refresh = {}  # refresh token -> user
        self._access = {}  # user -> (access token, end of validity on time.monotonic())
        self._codes = {}  # code -> (user, code challenge, redirect URI)
        self._lock = threading.RLock()
        self._server = None

    def grant(self, user, prefix="rt-", chars=32):
        """A new token: by default a refresh token for `user`, as a finished sign-in leaves it."""
        with self._lock:
            token = prefix + secrets.token_urlsafe(chars * 3 // 4)
            self.issued.append(token)
            if prefix == "rt-":
                self._refresh[token] = user
            return token

    def refresh_token(self, user):
        """The refresh token that works for `user` now (the last one granted)."""
        with self._lock:
            return [token for token, owner in self._refresh.items() if owner == user][-1]

    def current(self, user):
        """The access token the upstream takes for `user` now, or None."""
        with self._lock:
            token, until = self._access.get(user, (None, 0))
            return token if time.monotonic() < until else None

    def revoke(self):
        """Voids every access token given so far, as a password change at the provider does."""
        with self._lock:
            self._access.clear()

    def settings(self, user, refresh=None):
        """An entry's OAuth keys for `user`, as the settings file holds them; with a new refresh
        token unless `refresh` is given."""
        encoded = [base64.b64encode(text.encode()).decode()
                   for text in (self.client_secret, refresh or self.grant(user))]
        return {"OAuthAuthUrl": self.url + "/authorize", "OAuthTokenUrl": self.url + "/token",
                "OAuthClientId": self.client_id, "OAuthClientSecret": encoded[0],
                "OAuthScope": self.scope, "OAuthRefresh": encoded[1]}

    def _authorize(self, query):
        """The authorization step, the user signed in: the client's redirect with a code."""
        if (query.get("client_id") != self.client_id or query.get("response_type") != "code"
                or query.get("code_challenge_method") != "S256"):
            return 400, {"error": "invalid_request"}
        code = self.grant(None, "code-")
        self._codes[code] = (self.sign_in_user, query.get("code_challenge"),
                             query.get("redirect_uri"))
        answer = urllib.parse.urlencode({"code": code, "state": query.get("state", "")})
        return 302, f"{query.get('redirect_uri')}?{answer}"

    def _token(self, form):
        self.forms.append(form)
        if self.status:
            return self.status, {"error": "temporarily_unavailable"}
        if (form.get("client_id") != self.client_id
                or form.get("client_secret", "") != self.client_secret):
            return 401, {"error": "invalid_client"}
        grant_type = form.get("grant_type")
        if grant_type == "refresh_token":
            user = self._refresh.get(form.get("refresh_token"))
            if user and self.rotate:
                del self._refresh[form["refresh_token"]]
        elif grant_type == "authorization_code":
            user, challenge, redirect_uri = self._codes.pop(form.get("code"), (None, None, None))
            digest = hashlib.sha256(form.get("code_verifier", "").encode()).digest()
            if (base64.urlsafe_b64encode(digest).rstrip(b"=").decode() != challenge
                    or form.get("redirect_uri") != redirect_uri):
                user = None
        else:
            return 400, {"error": "unsupported_grant_type"}
        if not user:
            return 400, {"error": "invalid_grant", "error_description": "Token revoked."}
        access = self.grant(user, "at-", ACCESS_TOKEN_CHARS)
        self._access[user] = (access, time.monotonic() + self.expires_in)
        answer = {"access_token": access, "token_type": "Bearer", "expires_in": self.expires_in}
        if self.rotate or grant_type == "authorization_code":
            answer["refresh_token"] = self.grant(user)
        return 200, answer

    def start(self):
        endpoint = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                with endpoint._lock:
                    self.answer(*(endpoint._authorize(dict(urllib.parse.parse_qsl(url.query)))
                                  if url.path == "/authorize" else (404, {})))

            def do_POST(self):
                form = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode()
                time.sleep(endpoint.delay)
                with endpoint._lock:
                    self.answer(*(endpoint._token(dict(urllib.parse.parse_qsl(form)))
                                  if self.path == "/token" else (404, {})))

            def answer(self, status, answer):
                body = json.dumps(answer).encode() if status != 302 else b""
                self.send_response(status)
                self.send_header(*(("Location", answer) if status == 302
                                   else ("Content-Type", "application/json")))
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *_):
                pass

        self._server = ThreadingHTTPServer((HOST, 0), Handler)
        self._server.daemon_threads = True
        self.url = f"http://{HOST}:{self._server.server_address[1]}"
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
