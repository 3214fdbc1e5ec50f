#!/usr/bin/python3
"""A scripted SMTP server that stops answering at one step of the dialogue.

Usage: smtp_stall.py --port P --stall STEP [--auth] [--echo-auth] [--once]
STEP is one of greeting, ehlo, tls (STARTTLS offered and accepted, then no
word of the handshake), auth, mail, rcpt, data, dot (after the final "."),
quit, none. Up to that step it answers like a plain server; from there on
it reads what comes but says nothing, and keeps the connection open. Prints
"READY <port>" once listening, "STALL <step>" the moment the stall begins,
"RECV <verb>" for every command it reads, "MESSAGE" for every message it
accepts and "CLOSED" when a client goes. With --once only the first session
stalls; later ones are answered in full. With --echo-auth a login is refused
with a long reply that repeats, near its 200th character, what the client sent.
"""
import argparse
import asyncio
import signal
import sys


def say(text):
    print(text, flush=True)


async def session(reader, writer, stall, auth, echo_auth=False):
    silent = False
    auth_data = False

    def reply(step, text):
        nonlocal silent
        if silent:
            return
        if step == stall:
            silent = True
            say("STALL %s" % step)
            return
        writer.write(text.encode())

    try:
        reply("greeting", "220 stall.test ESMTP\r\n")
        await writer.drain()
        in_data = False
        while True:
            line = await reader.readline()
            if not line:
                break
            if in_data:
                if line == b".\r\n":
                    in_data = False
                    reply("dot", "250 2.0.0 queued\r\n")
                    if not silent:
                        say("MESSAGE")
                continue
            if auth_data:
                auth_data = False
                echo = line.strip().decode(errors="replace")
                reply("auth", "535 5.7.8 %s %s rejected\r\n" % ("x" * 180, echo))
                await writer.drain()
                continue
            verb = line.split(b" ", 1)[0].strip().upper().decode(errors="replace")
            say("RECV %s" % verb)
            if verb in ("EHLO", "HELO"):
                extra = "250-AUTH PLAIN LOGIN\r\n" if auth else ""
                if stall == "tls":
                    extra += "250-STARTTLS\r\n"
                reply("ehlo", "250-stall.test\r\n" + extra + "250 8BITMIME\r\n")
            elif verb == "STARTTLS":
                writer.write(b"220 2.0.0 ready\r\n")
                await writer.drain()
                reply("tls", "")
            elif verb == "AUTH" and echo_auth:
                parts = line.split()
                if len(parts) > 2:
                    reply("auth", "535 5.7.8 %s %s rejected\r\n" % ("x" * 180, parts[2].decode(errors="replace")))
                else:
                    auth_data = True
                    reply("auth", "334 \r\n")
            elif verb == "AUTH":
                reply("auth", "235 2.7.0 ok\r\n")
            elif verb == "MAIL":
                reply("mail", "250 2.1.0 ok\r\n")
            elif verb == "RCPT":
                reply("rcpt", "250 2.1.5 ok\r\n")
            elif verb == "DATA":
                reply("data", "354 go on\r\n")
                in_data = not silent
            elif verb == "QUIT":
                reply("quit", "221 2.0.0 bye\r\n")
                if not silent:
                    await writer.drain()
                    break
            else:
                reply("other", "250 ok\r\n")
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    say("CLOSED")
    writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--stall", required=True)
    parser.add_argument("--auth", action="store_true")
    parser.add_argument("--once", action="store_true")
    parser.add_argument("--echo-auth", action="store_true")
    args = parser.parse_args()
    sessions = [0]

    def start(reader, writer):
        sessions[0] += 1
        stall = args.stall if sessions[0] == 1 or not args.once else "none"
        return session(reader, writer, stall, args.auth, args.echo_auth)

    server = await asyncio.start_server(start, "127.0.0.1", args.port)
    say("READY %d" % args.port)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    async with server:
        await stop.wait()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
