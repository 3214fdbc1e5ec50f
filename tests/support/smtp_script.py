#!/usr/bin/python3
"""A scripted SMTP server: it says exactly what a test tells it to, for what
real servers will not do on demand.

Usage: smtp_script.py --port P --script JSON [--cert C --key K]

The script is {"connections": [C1, C2, ...]}; the n-th connection follows Cn,
later ones the last. Each C may hold:
  "greeting"  what to send on connect (default "220 script.test ESMTP")
  "ehlo"      the EHLO keywords, e.g. ["PIPELINING", "SIZE 1000", "AUTH PLAIN"]
  "ehlo_tls"  the keywords after STARTTLS (default: "ehlo" without STARTTLS)
  "inject"    text written in the clear in the same write as the 220 to STARTTLS
  "replies"   {VERB: reply or [reply per occurrence, the last repeating]};
              verbs are the command words, "." for the end of data, "BDAT"
              for a chunk (answered once its bytes are read) and "*" for a
              line that answers a 334 during AUTH
  "hold"      [[FROM, TO], ...]: the replies to commands FROM..TO are kept back
              until command TO has been read, which shows the client did not
              wait for any of them before sending the next
A command line over 512 octets (CR LF included) gets 500, as RFC 5321 allows;
a line that answers a 334 may have up to 12,288 (RFC 4954). AUTH PLAIN,
XOAUTH2 or OAUTHBEARER without its response gets "334 ", and the reply
scripted for AUTH answers the response (unless "*" is scripted). Unscripted,
other AUTH without a response gets "334 ", RCPT, DATA and BDAT 503 without a
MAIL taken, DATA 554 without a recipient taken.
A reply is a text (lines split on "\\n", each ended with CR LF: two replies in
one text go out in one write), {"parts": [...], "pause": S} (raw pieces written
one by one, S seconds apart), or null (close the connection without a word).
"{line}" in a reply stands for the command it answers.

Output lines: "READY <port>", "CONNECT <n>", "RECV <command line>", "BODY
<line of message data as received>", "SEND <reply line>", "MESSAGE <first
data line>" for every message answered with 2xx, "DROP <n>", "CLOSED <n>", and
after QUIT over TLS "TLS-CLOSE <n> ok" when the client closed TLS with its own
close_notify, "TLS-CLOSE <n> lost" when it just dropped the connection.
"""
import argparse
import json
import socket
import socketserver
import ssl
import sys
import threading
import time

PRINT_LOCK = threading.Lock()


def say(text):
    with PRINT_LOCK:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def as_text(data):
    return data.decode("utf-8", errors="replace")


class Dropped(Exception):
    pass


INITIAL_RESPONSE = ("PLAIN", "XOAUTH2", "OAUTHBEARER")


class Session:
    def __init__(self, sock, number, script, tls_context):
        self.sock = sock
        self.number = number
        self.script = script
        self.tls_context = tls_context
        self.buffer = b""
        self.count = 0
        self.seen = {}
        self.held = []
        self.encrypted = False
        self.mail = self.rcpt = False  # a MAIL taken, a recipient taken
        self.auth_alone = False  # AUTH came without its response

    # --- reading -------------------------------------------------------------
    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise Dropped()
        self.buffer += data

    def read_line(self):
        while b"\n" not in self.buffer:
            self.fill()
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line[:-1] if line.endswith(b"\r") else line

    def read_bytes(self, count):
        while len(self.buffer) < count:
            self.fill()
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    # --- writing -------------------------------------------------------------
    def reply_for(self, verb, line):
        replies = self.script.get("replies", {})
        if len(line) > (12288 if verb == "*" else 510):
            return "500 5.5.2 line too long"
        words = line.split()
        if verb == "AUTH" and len(words) == 2 and words[1].upper() in INITIAL_RESPONSE and "*" not in replies:
            self.auth_alone = True  # what the script says to AUTH answers the response
            return "334 "
        if verb == "*" and self.auth_alone:
            self.auth_alone, verb = False, "AUTH"
        occurrence = self.seen.get(verb, 0)
        self.seen[verb] = occurrence + 1
        reply = replies.get(verb, self.default(verb, line))
        if isinstance(reply, list):
            reply = reply[min(occurrence, len(reply) - 1)] if reply else None
        if isinstance(reply, str):
            reply = reply.replace("{line}", line)
        return reply

    def default(self, verb, line):
        if verb == "AUTH" and len(line.split()) == 2:
            return "334 "  # the response comes alone
        if verb in ("RCPT", "DATA", "BDAT") and not self.mail:
            return "503 5.5.1 Error: need MAIL command"
        if verb == "DATA" and not self.rcpt:
            return "554 5.5.1 Error: no valid recipients"
        if verb in ("EHLO", "HELO"):
            keywords = self.script.get("ehlo", [])
            if self.encrypted:
                keywords = self.script.get("ehlo_tls", [k for k in keywords if k.upper() != "STARTTLS"])
            if verb == "HELO":
                keywords = []
            return "\n".join(["250-script.test"] + ["250-" + k for k in keywords[:-1]]
                             + ["250 " + k for k in keywords[-1:]]) if keywords else "250 script.test"
        return {"STARTTLS": "220 2.0.0 ready", "AUTH": "235 2.7.0 ok", "*": "235 2.7.0 ok",
                "MAIL": "250 2.1.0 ok", "RCPT": "250 2.1.5 ok", "DATA": "354 go ahead",
                ".": "250 2.0.0 queued", "BDAT": "250 2.0.0 queued", "RSET": "250 2.0.0 ok",
                "NOOP": "250 2.0.0 ok", "QUIT": "221 2.0.0 bye"}.get(verb, "500 5.5.1 unknown command")

    def write(self, reply, extra=b""):
        """Writes a reply now (or keeps it back while a hold is on); returns its first line."""
        if reply is None:
            say("DROP %d" % self.number)
            raise Dropped()
        if isinstance(reply, dict):
            self.release()
            parts = [p.encode() for p in reply["parts"]]
            for i, part in enumerate(parts):
                if i:
                    time.sleep(reply.get("pause", 0.05))
                self.sock.sendall(part)
            for text in as_text(b"".join(parts)).splitlines():
                say("SEND %s" % text)
            return as_text(b"".join(parts))
        lines = reply.split("\n")
        for text in lines:
            say("SEND %s" % text)
        data = "".join(text + "\r\n" for text in lines).encode() + extra
        if any(first <= self.count < last for first, last in self.script.get("hold", [])):
            self.held.append(data)
        else:
            self.held.append(data)
            self.release()
        return reply

    def release(self):
        if self.held:
            self.sock.sendall(b"".join(self.held))
            self.held = []

    # --- the dialogue --------------------------------------------------------
    def run(self):
        self.write(self.script.get("greeting", "220 script.test ESMTP"))
        auth_pending = False
        while True:
            line = as_text(self.read_line())
            self.count += 1
            say("RECV %s" % line)
            verb = "*" if auth_pending else line.split(" ", 1)[0].upper()
            if verb == "BDAT":
                words = line.split()
                size = int(words[1]) if len(words) > 1 and words[1].isdigit() else 0
                body = self.read_bytes(size)
                texts = as_text(body).split("\r\n")
                for text in texts[:-1] if body.endswith(b"\r\n") else texts:
                    say("BODY %s" % text)
                reply = self.reply_for(verb, line)
                if len(words) > 2 and words[2].upper() == "LAST":
                    self.count_message(reply, as_text(body).split("\r\n", 1)[0])
                    self.mail = self.rcpt = False
                self.write(reply)
                continue
            if verb == "STARTTLS" and self.tls_context and not self.encrypted:
                inject = self.script.get("inject")
                extra = "".join(t + "\r\n" for t in inject.split("\n")).encode() if inject else b""
                self.write(self.reply_for(verb, line), extra)
                self.release()
                self.sock = self.tls_context.wrap_socket(self.sock, server_side=True)
                self.encrypted = True
                self.buffer = b""
                continue
            first = self.write(self.reply_for(verb, line))
            auth_pending = first.startswith("334")
            self.mail = (self.mail or verb == "MAIL" and first.startswith("2")) and verb != "RSET"
            self.rcpt = (self.rcpt or verb == "RCPT" and first.startswith("2")) and self.mail
            if verb == "DATA" and first.startswith("354"):
                self.read_data()
            elif verb == "QUIT":
                self.release()
                self.close_tls()
                return

    def close_tls(self):
        if not self.encrypted:
            return
        try:
            self.sock.settimeout(5)
            self.sock = self.sock.unwrap()
            say("TLS-CLOSE %d ok" % self.number)
        except (OSError, ssl.SSLError):
            say("TLS-CLOSE %d lost" % self.number)

    def read_data(self):
        lines = []
        while True:
            line = self.read_line()
            if line == b".":
                break
            say("BODY %s" % as_text(line))
            lines.append(line[1:] if line.startswith(b".") else line)
        self.count += 1
        self.mail = self.rcpt = False
        say("RECV .")
        reply = self.reply_for(".", ".")
        self.count_message(reply, as_text(lines[0]) if lines else "")
        self.write(reply)

    @staticmethod
    def count_message(reply, first_line):
        # Before the reply goes out: a client that has its answer finds the count made.
        text = "".join(reply["parts"]) if isinstance(reply, dict) else reply
        if text and text.startswith("2"):
            say("MESSAGE %s" % first_line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--script")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    script = json.loads(args.script or "{}")
    connections = script.get("connections") or [{}]
    tls_context = None
    if args.cert:
        tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls_context.load_cert_chain(args.cert, args.key)
    counter = [0]
    counter_lock = threading.Lock()

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            with counter_lock:
                counter[0] += 1
                number = counter[0]
            say("CONNECT %d" % number)
            session = Session(self.request, number, connections[min(number, len(connections)) - 1], tls_context)
            try:
                session.run()
            except (Dropped, OSError, ssl.SSLError):
                pass
            try:
                session.sock.close()
            except OSError:
                pass
            say("CLOSED %d" % number)

    class Server(socketserver.ThreadingTCPServer):
        allow_reuse_address = True
        daemon_threads = True

    with Server(("127.0.0.1", args.port), Handler) as server:
        say("READY %d" % args.port)
        server.serve_forever()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
