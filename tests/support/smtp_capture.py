#!/usr/bin/python3
"""A capturing SMTP server for tests and the demo.

Each accepted message is written to OUT/NNNNNN.eml (the DATA as received, with
the envelope in X-Envelope-From / X-Envelope-To lines in front) and announced
on stdout; "READY <port>" is printed once the server listens.

Options for the mail component's tests:
  --auth-user U --auth-password P   offer AUTH PLAIN/LOGIN and require it
  --auth-mechanism M                offer only mechanism M (repeatable)
  --cert C --key K --starttls       offer STARTTLS with that certificate
  --cert C --key K --implicit-tls   TLS from the first byte
  --old-tls                         only TLS 1.0, which current clients refuse
  --refuse ADDRESS                  answer RCPT TO for that address with 550 (repeatable)
  --log-sessions                    print "OPEN <peerport>", "CLOSE <peerport>" and
                                    "PEER <peerport> <path>" for every message
  --idle-timeout S                  close a connection idle for S seconds
  --hangup-on-reuse                 drop a connection without a word when a second
                                    MAIL FROM comes over it
  --log-auth                        print "AUTH <user>" for every login attempt
  --host ADDRESS                    listen there instead of 127.0.0.1
  --oauth-user U                    offer only AUTH XOAUTH2 and require it: a bearer
                                    token for mailbox U is taken, any other mailbox
                                    gets Microsoft's "535 5.7.3"; prints
                                    "XOAUTH2 <user> <token> <on-line|after-334>"
                                    for every attempt; command lines over 512
                                    octets are refused
"""
import argparse
import asyncio
import base64
import collections
import os
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword


class Capture:
    def __init__(self, out, refuse, log_sessions, hangup_on_reuse=False):
        self.out = out
        self.count = 0
        self.refuse = set(a.lower() for a in refuse)
        self.log_sessions = log_sessions
        self.hangup_on_reuse = hangup_on_reuse

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.hangup_on_reuse and getattr(session, "delivered", False):
            server.transport.abort()
            return "421 closing"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refuse:
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.out, "%06d.eml" % self.count)
        head = "X-Envelope-From: %s\r\n" % envelope.mail_from
        head += "".join("X-Envelope-To: %s\r\n" % r for r in envelope.rcpt_tos)
        tmp = path + ".part"
        with open(tmp, "wb") as f:
            f.write(head.encode())
            f.write(envelope.original_content or envelope.content)
        os.rename(tmp, path)
        session.delivered = True
        if self.log_sessions:
            print("PEER %d %s" % (session.peer[1], path), flush=True)
        print("MESSAGE %s" % path, flush=True)
        return "250 Message accepted for delivery"


class OAuthCapture(Capture):
    """Takes XOAUTH2 sign-ins for one mailbox, as Exchange Online does."""

    def __init__(self, *args, oauth_user, **kwargs):
        super().__init__(*args, **kwargs)
        self.oauth_user = oauth_user

    async def auth_XOAUTH2(self, server, args):
        # "user=U\x01auth=Bearer T\x01\x01", after "334 " when too long for the AUTH line
        blob = base64.b64decode(args[1]) if len(args) == 2 else await server.challenge_auth("")
        if blob is MISSING or len(args) > 2:
            return AuthResult(success=False, handled=False, message="501 5.5.4 Syntax error")
        fields = dict(f.partition("=")[::2] for f in blob.decode(errors="replace").split("\x01"))
        user, token = fields.get("user", ""), fields.get("auth", "").partition("Bearer ")[2]
        print("XOAUTH2 %s %s %s" % (user, token, "on-line" if len(args) == 2 else "after-334"), flush=True)
        if user == self.oauth_user and token:
            return AuthResult(success=True, auth_data=user)
        return AuthResult(success=False, handled=False, message="535 5.7.3 Authentication unsuccessful")


class LongLines:
    """Command lines of 512 octets at most, as RFC 5321 allows, but a response
    after 334 of up to 12,288 (RFC 4954)."""
    command_size_limit = 510
    command_size_limits = collections.defaultdict(lambda: 510)
    line_length_limit = 12290


class LoggingSMTP(SMTP):
    def connection_made(self, transport):
        super().connection_made(transport)
        peer = transport.get_extra_info("peername")
        self._peer_port = peer[1] if peer else 0
        print("OPEN %d" % self._peer_port, flush=True)

    def connection_lost(self, error):
        print("CLOSE %d" % getattr(self, "_peer_port", 0), flush=True)
        super().connection_lost(error)


class CaptureController(Controller):
    def __init__(self, *args, log_sessions=False, long_lines=False, **kwargs):
        self.log_sessions = log_sessions
        self.long_lines = long_lines
        super().__init__(*args, **kwargs)

    def factory(self):
        cls = LoggingSMTP if self.log_sessions else SMTP
        if self.long_lines:
            cls = type("Long" + cls.__name__, (LongLines, cls), {})
        return cls(self.handler, **self.SMTP_kwargs)


def make_authenticator(user, password, log_auth=False):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if log_auth:
            login = getattr(auth_data, "login", b"") or b""
            print("AUTH %s" % login.decode(errors="replace"), flush=True)
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode() and auth_data.password == password.encode())
        return AuthResult(success=ok, handled=False)
    return authenticate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--out", required=True)
    parser.add_argument("--auth-user")
    parser.add_argument("--auth-password")
    parser.add_argument("--auth-mechanism", action="append", default=[])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--old-tls", action="store_true")
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--log-sessions", action="store_true")
    parser.add_argument("--idle-timeout", type=float)
    parser.add_argument("--hangup-on-reuse", action="store_true")
    parser.add_argument("--log-auth", action="store_true")
    parser.add_argument("--oauth-user")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    kwargs = {}
    context = None
    if args.starttls or args.implicit_tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.old_tls:
            import warnings
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1
            context.maximum_version = ssl.TLSVersion.TLSv1
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
    if args.starttls:
        kwargs["tls_context"] = context
    if args.auth_user is not None:
        kwargs["authenticator"] = make_authenticator(args.auth_user, args.auth_password or "", args.log_auth)
        kwargs["auth_required"] = True
        kwargs["auth_require_tls"] = False
        if args.auth_mechanism:
            offered = set(m.upper() for m in args.auth_mechanism)
            kwargs["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN") if m not in offered]
    if args.oauth_user is not None:
        kwargs["auth_required"] = True
        kwargs["auth_require_tls"] = False
        kwargs["auth_exclude_mechanism"] = ["PLAIN", "LOGIN"]
    if args.idle_timeout:
        kwargs["timeout"] = args.idle_timeout

    handler_args = (args.out, args.refuse, args.log_sessions, args.hangup_on_reuse)
    handler = (OAuthCapture(*handler_args, oauth_user=args.oauth_user) if args.oauth_user is not None
               else Capture(*handler_args))
    controller = CaptureController(
        handler, hostname=args.host, port=args.port, ssl_context=context if args.implicit_tls else None,
        log_sessions=args.log_sessions, long_lines=args.oauth_user is not None, **kwargs)
    controller.start()
    print("READY %d" % args.port, flush=True)
    signal.sigwait([signal.SIGTERM, signal.SIGINT])
    controller.stop()
    return 0


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    sys.exit(main())
