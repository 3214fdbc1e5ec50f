#!/usr/bin/python3
"""Parses a message captured by smtp_capture.py with Python's email package and
prints what a mail client would see, as JSON, for the mail component's tests."""
import email
import email.policy
import email.utils
import json
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from capture_format import split_envelope  # noqa: E402


def main(path):
    raw = open(path, "rb").read()
    # The capture server puts the envelope in front of the message.
    envelope_from, envelope_to, raw = split_envelope(raw)

    message = email.message_from_bytes(raw, policy=email.policy.default)
    lines = raw.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
    header_lines = [l.decode("latin-1") for l in lines]
    from_name, from_addr = email.utils.parseaddr(str(message["From"]))
    date = message["Date"]
    result = {
        "envelope_from": envelope_from,
        "envelope_to": envelope_to,
        "header_names": [k for k in message.keys()],
        "header_lines": header_lines,
        "max_line": max(len(l) for l in raw.split(b"\r\n")),
        "longest_line": max(raw.split(b"\r\n"), key=len).decode("latin-1"),
        "bare_lf": (b"\n" in raw.replace(b"\r\n", b"")) or (b"\r" in raw.replace(b"\r\n", b"")),
        "subject": str(message["Subject"]),
        "from_name": from_name,
        "from_addr": from_addr,
        "to": [a for _, a in email.utils.getaddresses([str(message["To"])])],
        "date_ok": date is not None and date.datetime is not None,
        "message_id": str(message["Message-ID"]),
        "mime_version": str(message["MIME-Version"]),
        "content_type": message.get_content_type(),
        "charset": message.get_content_charset(),
        "cte": str(message["Content-Transfer-Encoding"]),
        "x_priority": message["X-Priority"] and str(message["X-Priority"]),
        "importance": message["Importance"] and str(message["Importance"]),
        "receipt_to": message["Disposition-Notification-To"] and str(message["Disposition-Notification-To"]),
        # Quoted-printable hard breaks decode to CR LF; a client shows lines.
        "body": message.get_content().replace("\r\n", "\n"),
        "body_stray_cr": "\r" in message.get_content().replace("\r\n", ""),
        "defects": [type(d).__name__ for d in message.defects],
    }
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
