#!/usr/bin/python3
"""An OAuth 2.0 token endpoint over HTTPS that checks what it is sent.

Usage: token_endpoint.py --port P --cert PEM --key PEM --client-id ID
       [--secret S ...] [--app-cert PEM] [--sa-key PEM --sa-email E --sa-kid K]
       [--mailbox M] [--refresh-token T]

POST /<tenant>/oauth2/v2.0/token  Microsoft client credentials: the secret, or a
    client assertion checked with python3-jwt (PS256, x5t#S256 of --app-cert,
    aud = the URL, iss = sub = client id, 5 to 10 minutes).
POST /google/token  Google: the service account's JWT-bearer grant (RS256 with
    --sa-key, kid, sub = --mailbox, one hour) or the refresh-token grant.
POST /silent/...  reads the request and never answers ("SILENT <n>").

A query "?expires_in=N" sets the lifetime handed out (3600 otherwise). A
refresh token "rotating-..." is taken once: the answer renews it as Microsoft
does ("RENEWED rotating-<n>"), and the old one is refused. A wrong
secret is refused as Microsoft does, repeating the secret in the description
(plain and URL-encoded) so that a client that shows it is caught. Prints
"READY <port>" once listening and "TOKEN <n> <grant>" for every token issued.
"""
import argparse
import base64
import hashlib
import http.server
import json
import ssl
import sys
import threading
import urllib.parse

import jwt
from cryptography import x509
from cryptography.hazmat.primitives import serialization

MS_SCOPE = "https://outlook.office365.com/.default"
GOOGLE_SCOPE = "https://mail.google.com/"
ASSERTION_TYPE = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"
JWT_BEARER = "urn:ietf:params:oauth:grant-type:jwt-bearer"


class Refused(Exception):
    def __init__(self, status, error, description):
        super().__init__(description)
        self.status, self.error, self.description = status, error, description


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class Endpoint:
    def __init__(self, args):
        self.args = args
        self.issued = 0
        self.silent = 0
        self.spent = set()
        self.lock = threading.Lock()
        self.app_cert = self.x5t = self.sa_public = None
        if args.app_cert:
            with open(args.app_cert, "rb") as f:
                self.app_cert = x509.load_pem_x509_certificate(f.read())
            self.x5t = b64url(hashlib.sha256(self.app_cert.public_bytes(serialization.Encoding.DER)).digest())
        if args.sa_key:
            with open(args.sa_key, "rb") as f:
                self.sa_public = serialization.load_pem_private_key(f.read(), None).public_key()

    def expect(self, form, name, wanted):
        got = form.get(name)
        if got != wanted:
            raise Refused(400, "invalid_request", "%s is %r, not %r" % (name, got, wanted))

    def check_jwt(self, assertion, alg, key, url, require):
        header = jwt.get_unverified_header(assertion)
        if header.get("alg") != alg or header.get("typ") != "JWT":
            raise Refused(401, "invalid_client", "AADSTS700027: header %r" % header)
        try:
            claims = jwt.decode(assertion, key, algorithms=[alg], audience=url, options={"require": require})
        except jwt.PyJWTError as e:
            raise Refused(401, "invalid_client", "AADSTS700027: %s: %s" % (type(e).__name__, e))
        return header, claims

    def microsoft(self, form, url):
        self.expect(form, "grant_type", "client_credentials")
        self.expect(form, "client_id", self.args.client_id)
        self.expect(form, "scope", MS_SCOPE)
        if "client_assertion" in form:
            if "client_secret" in form:
                raise Refused(400, "invalid_request", "both a secret and an assertion")
            self.expect(form, "client_assertion_type", ASSERTION_TYPE)
            header, claims = self.check_jwt(form["client_assertion"], "PS256", self.app_cert.public_key(), url,
                                            ["exp", "iat", "nbf", "iss", "sub", "jti", "aud"])
            if header.get("x5t#S256") != self.x5t:
                raise Refused(401, "invalid_client", "AADSTS700027: x5t#S256 %r" % header.get("x5t#S256"))
            life = claims["exp"] - claims["iat"]
            if claims["iss"] != self.args.client_id or claims["sub"] != self.args.client_id or not 300 <= life <= 600:
                raise Refused(401, "invalid_client", "AADSTS700027: claims %r" % claims)
            return "assertion"
        secret = form.get("client_secret", "")
        if secret not in self.args.secret:
            raise Refused(401, "invalid_client", "AADSTS7000215: Invalid client secret provided. Got '%s' (%s)."
                          % (secret, urllib.parse.quote(secret, safe="")))
        return "secret"

    def google(self, form, url):
        if form.get("grant_type") == "refresh_token":
            self.expect(form, "client_id", self.args.client_id)
            given = form.get("refresh_token", "")
            if given.startswith("rotating-") and given not in self.spent and form.get("client_secret") in self.args.secret:
                with self.lock:
                    self.spent.add(given)
                    form["renewed"] = "rotating-%d" % len(self.spent)  # for the answer
                    print("RENEWED " + form["renewed"], flush=True)
                return "refresh"
            if form.get("client_secret") not in self.args.secret or given != self.args.refresh_token:
                raise Refused(400, "invalid_grant", "Token has been expired or revoked.")
            return "refresh"
        self.expect(form, "grant_type", JWT_BEARER)
        header, claims = self.check_jwt(form.get("assertion", ""), "RS256", self.sa_public, url,
                                        ["exp", "iat", "iss", "sub", "scope", "aud"])
        if header.get("kid") != self.args.sa_kid:
            raise Refused(400, "invalid_grant", "kid %r" % header.get("kid"))
        if (claims["iss"], claims["sub"], claims["scope"], claims["exp"] - claims["iat"]) != \
                (self.args.sa_email, self.args.mailbox, GOOGLE_SCOPE, 3600):
            raise Refused(400, "invalid_grant", "claims %r" % claims)
        return "service-account"

    def issue(self, grant, path, query):
        with self.lock:
            self.issued += 1
            n = self.issued
        if path.endswith("/oauth2/v2.0/token"):
            payload = {"aud": "https://outlook.office365.com", "roles": ["SMTP.SendAsApp"], "n": n}
            token = "%s.%s.c2ln" % (b64url(b'{"alg":"RS256","typ":"JWT"}'), b64url(json.dumps(payload).encode()))
        else:
            token = "ya29.test-%d" % n
        print("TOKEN %d %s" % (n, grant), flush=True)
        return {"access_token": token, "token_type": "Bearer",
                "expires_in": int(query.get("expires_in", ["3600"])[0])}


def make_handler(endpoint, port, silence):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def answer(self, status, body):
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length).decode()
            parts = urllib.parse.urlsplit(self.path)
            if parts.path.startswith("/silent/"):
                with endpoint.lock:
                    endpoint.silent += 1
                    print("SILENT %d" % endpoint.silent, flush=True)
                silence.wait(30)
                self.close_connection = True
                return
            if self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
                return self.answer(400, {"error": "invalid_request", "error_description": "content type"})
            form = dict(urllib.parse.parse_qsl(body, keep_blank_values=True, strict_parsing=True))
            url = "https://127.0.0.1:%d%s" % (port, self.path)
            try:
                if parts.path.endswith("/oauth2/v2.0/token"):
                    grant = endpoint.microsoft(form, url)
                elif parts.path == "/google/token":
                    grant = endpoint.google(form, url)
                else:
                    return self.answer(404, {})
            except Refused as r:
                return self.answer(r.status, {"error": r.error, "error_description": r.description})
            issued = endpoint.issue(grant, parts.path, urllib.parse.parse_qs(parts.query))
            if "renewed" in form:
                issued["refresh_token"] = form["renewed"]
            self.answer(200, issued)

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that gives up on the certificate is expected


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--client-id", required=True)
    parser.add_argument("--secret", action="append", default=[])
    parser.add_argument("--app-cert")
    parser.add_argument("--sa-key")
    parser.add_argument("--sa-email")
    parser.add_argument("--sa-kid")
    parser.add_argument("--mailbox")
    parser.add_argument("--refresh-token")
    args = parser.parse_args()

    silence = threading.Event()
    server = Server(("127.0.0.1", args.port), make_handler(Endpoint(args), args.port, silence))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    print("READY %d" % args.port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
