#!/usr/bin/python3
"""A POP3 server without STLS for the login-before-SMTP tests: accepts any
user and password. Prints "READY <port>" once listening and "PASS" when a
password arrives (never the password itself).

Usage: pop3_plain.py --port P [--host ADDRESS]
"""
import argparse
import asyncio
import sys


async def session(reader, writer):
    writer.write(b"+OK ready\r\n")
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            verb = line.split(b" ", 1)[0].strip().upper()
            if verb == b"CAPA":
                writer.write(b"+OK\r\nUSER\r\n.\r\n")
            elif verb == b"PASS":
                print("PASS", flush=True)
                writer.write(b"+OK logged in\r\n")
            elif verb == b"QUIT":
                writer.write(b"+OK bye\r\n")
                await writer.drain()
                break
            else:
                writer.write(b"+OK\r\n")
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    args = parser.parse_args()
    server = await asyncio.start_server(session, args.host, args.port)
    print("READY %d" % args.port, flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
