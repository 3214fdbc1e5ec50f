#!/usr/bin/python3
"""A capturing SMTP server that takes only so many messages a minute, as a
provider does per mailbox: the storm benchmark's server and the digest tests'.

Messages are written as smtp_capture.py writes them (OUT/NNNNNN.eml with the
envelope in front), announced with "MESSAGE <path>"; "READY <port>" once it
listens.

  --per-minute R     beyond R messages accepted within the last 60 s, the end of
                     data is answered "432 4.3.2 STOREDRV.ClientSubmit; sender
                     thread limit exceeded" (as Exchange Online does) and the
                     message is not kept; prints "THROTTLED"
  --withhold REGEX   the first message whose Subject matches is kept, and then
                     its reply never comes (the connection stays open, silent):
                     a client killed now cannot know that it arrived; prints
                     "WITHHELD <path>"
"""
import argparse
import asyncio
import collections
import email.parser
import email.policy
import os
import re
import signal
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from smtp_capture import Capture, CaptureController  # noqa: E402

THROTTLED = "432 4.3.2 STOREDRV.ClientSubmit; sender thread limit exceeded"


class Throttle(Capture):
    def __init__(self, out, per_minute, withhold):
        super().__init__(out, [], False)
        self.per_minute = per_minute
        self.recent = collections.deque()  # acceptance times within the last minute
        self.withhold = re.compile(withhold) if withhold else None
        self.withheld = False

    async def handle_DATA(self, server, session, envelope):
        now = time.monotonic()
        while self.recent and now - self.recent[0] >= 60:
            self.recent.popleft()
        if self.per_minute and len(self.recent) >= self.per_minute:
            print("THROTTLED", flush=True)
            return THROTTLED
        self.recent.append(now)
        reply = await super().handle_DATA(server, session, envelope)
        if self.withhold and not self.withheld:
            headers = email.parser.BytesHeaderParser(policy=email.policy.default).parsebytes(
                envelope.original_content or envelope.content)
            if self.withhold.search(str(headers["Subject"] or "")):
                self.withheld = True
                print("WITHHELD %s" % os.path.join(self.out, "%06d.eml" % self.count), flush=True)
                await asyncio.sleep(3600)
        return reply


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--per-minute", type=int, default=0)
    parser.add_argument("--withhold")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    controller = CaptureController(Throttle(args.out, args.per_minute, args.withhold),
                                   hostname="127.0.0.1", port=args.port)
    controller.start()
    print("READY %d" % args.port, flush=True)
    signal.sigwait([signal.SIGTERM, signal.SIGINT])
    controller.stop()
    return 0


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    sys.exit(main())
