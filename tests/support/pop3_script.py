#!/usr/bin/python3
"""A POP3 server that misbehaves on purpose, for the POP3 client's fault tests.
Accepts any user and password. Prints "READY <port>" once listening and
"CMD <VERB> <plain|tls>" for every command (never its argument).

Modes:
  plain         no STLS, a normal login
  tls           STLS offered and done properly (needs --cert and --key)
  implicit      TLS from the first byte, as on port 995
  inject        like tls, but a line follows "+OK" to STLS in the clear
  stls-refused  STLS offered, then "-ERR" to it
  stls-garbage  "+OK" to STLS, then bytes that are not TLS
  stall-greeting / stall-handshake   say nothing from that point on
  not-pop3      an SMTP greeting
  long-line     a greeting line of 5000 bytes
  deny          "-ERR" to PASS, the password echoed in it

Usage: pop3_script.py --mode MODE [--port P] [--cert PEM --key PEM]
"""
import argparse
import asyncio
import ssl
import sys

args = None


def server_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    return context


def log(verb, tls):
    print("CMD %s %s" % (verb.decode("ascii", "replace"), "tls" if tls else "plain"), flush=True)


async def stall(reader):
    while await reader.read(4096):
        pass


async def session(reader, writer):
    mode = args.mode
    tls = mode == "implicit"
    try:
        if mode == "stall-greeting":
            await stall(reader)
            return
        if mode == "not-pop3":
            writer.write(b"220 mail.example ESMTP\r\n")
        elif mode == "long-line":
            writer.write(b"+OK " + b"a" * 5000)
        else:
            writer.write(b"+OK ready\r\n")
        await writer.drain()
        offers_stls = mode not in ("plain", "deny", "implicit")
        while True:
            line = await reader.readline()
            if not line:
                break
            parts = line.rstrip(b"\r\n").split(b" ", 1)
            verb = parts[0].upper()
            log(verb, tls)
            if verb == b"CAPA":
                writer.write(b"+OK\r\nUSER\r\n" + (b"STLS\r\n" if offers_stls and not tls else b"") + b".\r\n")
            elif verb == b"STLS" and not tls:
                if mode == "stls-refused":
                    writer.write(b"-ERR not today\r\n")
                elif mode == "stall-handshake":
                    writer.write(b"+OK begin TLS\r\n")
                    await writer.drain()
                    await stall(reader)
                    return
                elif mode == "stls-garbage":
                    writer.write(b"+OK begin TLS\r\n")
                    await writer.drain()
                    await reader.read(1)  # the client hello
                    writer.write(b"this is not a TLS record\r\n" * 4)
                    await writer.drain()
                    return
                else:
                    injected = b"-ERR injected\r\n" * 3 if mode == "inject" else b""
                    writer.write(b"+OK begin TLS\r\n" + injected)
                    await writer.drain()
                    try:
                        await writer.start_tls(server_context())
                    except (ssl.SSLError, ConnectionError, OSError):
                        return
                    tls = True
                    continue
            elif verb == b"PASS" and mode == "deny":
                writer.write(b"-ERR bad password " + (parts[1] if len(parts) > 1 else b"") + b"\r\n")
            elif verb == b"QUIT":
                writer.write(b"+OK bye\r\n")
                await writer.drain()
                break
            else:
                writer.write(b"+OK\r\n")
            await writer.drain()
    except (ConnectionError, OSError, ssl.SSLError):
        pass
    finally:
        writer.close()


async def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    context = server_context() if args.mode == "implicit" else None
    server = await asyncio.start_server(session, "127.0.0.1", args.port, ssl=context)
    print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
