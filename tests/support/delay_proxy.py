#!/usr/bin/python3
"""A TCP proxy on loopback that makes a slow link out of a fast one.

Every chunk read from one side is written to the other side D ms after it was
read (default 10 ms each way, so a round trip costs 20 ms), in the order it was
read; the end of a direction (EOF) is passed on the same way. Nothing else is
shaped: no bandwidth limit, no loss, no reordering. The proxy prints
"READY <port>" once it listens and stops by itself after --max-seconds.

  delay_proxy.py --listen 2530 --connect 2526 [--delay-ms 10] [--max-seconds 900]
"""
import argparse
import asyncio
import collections
import selectors
import socket
import sys

EOF = None  # the queued mark for "this direction has ended"


class Direction:
    """One way of one connection: chunks wait in arrival order until due.

    A single writer task drains the queue, so order holds even when several
    chunks fall due at the same instant."""

    def __init__(self, reader, writer, delay_s):
        self.reader, self.writer, self.delay_s = reader, writer, delay_s
        self.queue = collections.deque()
        self.ready = asyncio.Event()

    async def read_side(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                chunk = await self.reader.read(65536)
                self.queue.append((loop.time() + self.delay_s, chunk or EOF))
                self.ready.set()
                if not chunk:
                    return
        except OSError:  # reset by the peer: pass it on as the end
            self.queue.append((loop.time() + self.delay_s, EOF))
            self.ready.set()

    async def write_side(self):
        loop = asyncio.get_running_loop()
        while True:
            while not self.queue:
                self.ready.clear()
                await self.ready.wait()
            due, chunk = self.queue.popleft()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            try:
                if chunk is EOF:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    return
                self.writer.write(chunk)
                await self.writer.drain()
            except OSError:  # the other side is gone; its reader ends the relay
                return

    async def run(self):
        await asyncio.gather(self.read_side(), self.write_side())


async def relay(client_reader, client_writer, target_port, delay_s):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError as error:
        print("CONNECT FAILED %s" % error, file=sys.stderr, flush=True)
        client_writer.close()
        return
    for writer in (client_writer, server_writer):
        # asyncio sets this itself for TCP; say it anyway, since a Nagle delay
        # on the proxy's writes would add to the link's own.
        writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        await asyncio.gather(Direction(client_reader, server_writer, delay_s).run(),
                             Direction(server_reader, client_writer, delay_s).run())
    finally:
        client_writer.close()
        server_writer.close()


async def serve(listen_port, target_port, delay_s, max_seconds):
    server = await asyncio.start_server(
        lambda r, w: relay(r, w, target_port, delay_s), "127.0.0.1", listen_port)
    print("READY %d" % listen_port, flush=True)
    async with server:
        try:
            await asyncio.wait_for(server.serve_forever(), max_seconds)
        except asyncio.TimeoutError:
            pass
    # Time is up: end the open relays too, closing their sockets while the
    # loop still runs.
    relays = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
    for task in relays:
        task.cancel()
    await asyncio.gather(*relays, return_exceptions=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--listen", type=int, required=True, help="port on 127.0.0.1")
    parser.add_argument("--connect", type=int, required=True, help="target port on 127.0.0.1")
    parser.add_argument("--delay-ms", type=float, default=10.0,
                        help="hold in each direction (the round trip is twice this)")
    parser.add_argument("--max-seconds", type=float, default=900.0,
                        help="stop after this long whatever is going on")
    args = parser.parse_args()
    # select() takes its timeout in microseconds; epoll and poll round it up to
    # the next millisecond, which would add half a millisecond to every hold.
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    try:
        loop.run_until_complete(
            serve(args.listen, args.connect, args.delay_ms / 1000.0, args.max_seconds))
    finally:
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
