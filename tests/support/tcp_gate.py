#!/usr/bin/python3
"""A TCP relay on loopback that can go silent like a firewall dropping an idle
connection: after "freeze" on stdin, every connection open at that moment
stops forwarding in both directions, without closing; connections made later
are relayed normally.

Usage: tcp_gate.py --port P --target T. Prints "READY <port>", "OPEN" for
every connection and "FROZEN <n>" after a freeze.
"""
import argparse
import asyncio
import sys


async def pipe(reader, writer, link):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            if link["frozen"]:
                continue  # swallowed: the other side never hears of it
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    if not link["frozen"]:
        writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--target", type=int, required=True)
    args = parser.parse_args()
    links = []

    async def relay(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target)
        link = {"frozen": False}
        links.append(link)
        print("OPEN", flush=True)
        await asyncio.gather(pipe(client_reader, server_writer, link), pipe(server_reader, client_writer, link))

    server = await asyncio.start_server(relay, "127.0.0.1", args.port)
    print("READY %d" % args.port, flush=True)
    loop = asyncio.get_running_loop()
    stdin = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(stdin), sys.stdin)
    async with server:
        while True:
            line = await stdin.readline()
            if not line:
                break
            if line.strip() == b"freeze":
                for link in links:
                    link["frozen"] = True
                print("FROZEN %d" % len(links), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
