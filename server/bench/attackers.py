#!/usr/bin/env python3
"""Clients that cost a server connections rather than requests, for server/bench/push-bench.sh.

  --streams N  phone pages left open: GET /d/TOKEN/events, read and thrown away, opened again when the server
               closes it (after 3 s, as a browser's EventSource does); the tokens of --tokens FILE in turn
  --slow M     slow clients: a request header sent one byte every --interval seconds, never finished;
               reconnects when the server gives up on it

The connections come from many loopback addresses (127.1.x.y, at most --per-address from each), as an attack
from many machines would: the server's limits per client address are not what is measured.

Runs until SIGTERM or SIGINT (or --seconds), then prints one line of counts. Prints "ready" once every
connection has been tried, so that a load started afterwards meets them all. Python 3 standard library only.
"""
import argparse
import asyncio
import signal
import sys

counts = {
    "streams open": 0,        # answered 200 and held now
    "streams opened": 0,      # answered 200, in all
    "streams refused": 0,     # any other answer (503 when the server caps them)
    "slow held": 0,           # slow clients connected now
    "slow cut": 0,            # closed or answered by the server before their header ended
    "connect failures": 0,
}


def source(index, perAddress):
    n = index // perAddress
    return (f"127.1.{n // 250}.{n % 250 + 1}", 0)


async def stream(host, port, token, local, stop):
    request = f"GET /d/{token}/events HTTP/1.1\r\nHost: {host}\r\nAccept: text/event-stream\r\n\r\n".encode()
    while connection := await connect(host, port, local, stop):
        reader, writer = connection
        held = False
        try:
            writer.write(request)
            status = await reader.readline()
            if status.startswith(b"HTTP/1.1 200"):
                held = True
                counts["streams open"] += 1
                counts["streams opened"] += 1
                while not stop.is_set() and await reader.read(4096):
                    pass
            else:
                counts["streams refused"] += 1
        except OSError:
            pass
        finally:
            if held:
                counts["streams open"] -= 1
            writer.close()
        await pause(stop, 3)


async def slow(host, port, interval, local, stop):
    header = f"GET / HTTP/1.1\r\nHost: {host}\r\nX-Slow: ".encode() + b"a" * 100000
    while connection := await connect(host, port, local, stop):
        reader, writer = connection
        counts["slow held"] += 1
        try:
            for i in range(len(header)):
                writer.write(header[i : i + 1])
                await writer.drain()
                try:
                    await asyncio.wait_for(reader.read(1024), timeout=interval)
                    break  # the server answered (a time-out) or closed: this client's turn is over
                except asyncio.TimeoutError:
                    pass
                if stop.is_set():
                    break
        except OSError:
            pass
        finally:
            counts["slow held"] -= 1
            if not stop.is_set():
                counts["slow cut"] += 1
            writer.close()
        await pause(stop, 1)


async def connect(host, port, local, stop):
    """A connection from `local`, tried again every 3 s until one opens; None once `stop` is set."""
    while not stop.is_set():
        try:
            return await asyncio.open_connection(host, port, local_addr=local)
        except OSError:
            counts["connect failures"] += 1
            await pause(stop, 3)
    return None


async def pause(stop, seconds):
    try:
        await asyncio.wait_for(stop.wait(), timeout=seconds)
    except asyncio.TimeoutError:
        pass


async def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--tokens", help="a file of phone page tokens, one a line (needed with --streams)")
    parser.add_argument("--streams", type=int, default=1000)
    parser.add_argument("--slow", type=int, default=500)
    parser.add_argument("--interval", type=float, default=5.0, help="seconds between a slow client's bytes")
    parser.add_argument("--per-address", type=int, default=32, help="connections from each source address")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (0: at SIGTERM)")
    args = parser.parse_args()
    tokens = []
    if args.tokens:
        with open(args.tokens, encoding="ascii") as file:
            tokens = [line.strip() for line in file if line.strip()]
    if args.streams and not tokens:
        parser.error("--streams needs --tokens")

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    tasks = []
    # Opened in small groups, so that the server's accept queue is not what refuses them.
    for i in range(max(args.streams, args.slow)):
        if i < args.streams:
            local = source(len(tasks), args.per_address)
            tasks.append(asyncio.create_task(stream(args.host, args.port, tokens[i % len(tokens)], local, stop)))
        if i < args.slow:
            local = source(len(tasks), args.per_address)
            tasks.append(asyncio.create_task(slow(args.host, args.port, args.interval, local, stop)))
        if i % 50 == 49:
            await asyncio.sleep(0.05)
    await asyncio.sleep(1)
    print("ready", flush=True)
    if args.seconds:
        await pause(stop, args.seconds)
    else:
        await stop.wait()
    stop.set()
    line = ", ".join(f"{name} {value}" for name, value in counts.items())
    await asyncio.wait(tasks, timeout=5)
    print("attackers at the end: " + line, flush=True)


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(130)
