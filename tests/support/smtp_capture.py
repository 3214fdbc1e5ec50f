#!/usr/bin/python3
"""A capturing SMTP server for tests and the demo.

Each accepted message is written to OUT/NNNNNN.eml (the DATA as received, with
the envelope in X-Envelope-From / X-Envelope-To lines in front) and announced
on stdout; "READY <port>" is printed once the server listens.
"""
import argparse
import asyncio
import os
import signal
import sys

from aiosmtpd.controller import Controller


class Capture:
    def __init__(self, out):
        self.out = out
        self.count = 0

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
        print("MESSAGE %s" % path, flush=True)
        return "250 Message accepted for delivery"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    controller = Controller(Capture(args.out), hostname="127.0.0.1", port=args.port)
    controller.start()
    print("READY %d" % args.port, flush=True)
    signal.sigwait([signal.SIGTERM, signal.SIGINT])
    controller.stop()
    return 0


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    sys.exit(main())
