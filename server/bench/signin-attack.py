#!/usr/bin/env python3
"""Password guessing against tapvela-server's sign-in on loopback (a benchmark of its back-off, not a test).

For each server binary given: a fresh database with the account "alice", a server on a free port, then

  bursts       --bursts times, --burst wrong passwords for "alice" sent at once from one address, each burst
               once the one before it is answered and a second has passed: how many were checked (answered
               "error") rather than refused (429, 503)
  distributed  --attackers addresses (127.4.0.x) guessing at "alice" without pause for --seconds, each one
               request at a time, ignoring Retry-After; meanwhile the real user, from 127.0.0.2, signs in with the
               right password once a second: how many of those sign-ins got an api key (and the statuses of
               the others), and how many guesses were checked

usage: server/bench/signin-attack.py [--bursts N] [--burst N] [--attackers N] [--seconds N] [SERVER_BINARY...]
       (default binary: build/linux/server/tapvela-server)
Python 3 standard library only; bounded in connections and time.
"""
import argparse
import asyncio
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time

PASSWORD = "alice password"


def digest(password):
    return hashlib.sha1(password.encode()).hexdigest()


async def sign_in(port, password, local):
    """One sign-in on its own connection: (status, body)."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port, local_addr=(local, 0))
    try:
        writer.write(f"GET /all/login_app.php?username=alice&password={digest(password)} HTTP/1.1\r\n"
                     "Host: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
        answer = await asyncio.wait_for(reader.read(), timeout=60)
    finally:
        writer.close()
    head, _, body = answer.partition(b"\r\n\r\n")
    status = int(head[9:12]) if head.startswith(b"HTTP/1.1 ") else 0
    return status, body


async def bursts(port, count, size):
    checked = []
    for b in range(count):
        answers = await asyncio.gather(*(sign_in(port, f"guess {b} {i}", "127.3.0.1") for i in range(size)),
                                       return_exceptions=True)
        checked.append(sum(1 for a in answers if not isinstance(a, Exception) and a == (200, b"error")))
        await asyncio.sleep(1)
    return checked


async def distributed(port, attackers, seconds):
    stop = asyncio.Event()
    guesses = {"checked": 0, "refused": 0}

    async def attacker(n):
        i = 0
        while not stop.is_set():
            i += 1
            try:
                status, body = await sign_in(port, f"guess {n} {i}", f"127.4.0.{n + 1}")
            except (OSError, asyncio.TimeoutError):
                await asyncio.sleep(0.1)
                continue
            if (status, body) == (200, b"error"):
                guesses["checked"] += 1
            else:
                guesses["refused"] += 1
                await asyncio.sleep(0.05)  # keeps the loop from spinning the machine: a refusal is cheap

    tasks = [asyncio.create_task(attacker(n)) for n in range(attackers)]
    await asyncio.sleep(1)  # the attack is under way before the real user comes
    signed_in = tries = 0
    refusals = {}
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        tries += 1
        try:
            status, body = await sign_in(port, PASSWORD, "127.0.0.2")
            if status == 200 and re.fullmatch(rb"[0-9a-f]{48}", body):
                signed_in += 1
            else:
                refusals[status] = refusals.get(status, 0) + 1
        except (OSError, asyncio.TimeoutError):
            refusals["no answer"] = refusals.get("no answer", 0) + 1
        await asyncio.sleep(1)
    stop.set()
    await asyncio.wait(tasks, timeout=70)
    return signed_in, tries, refusals, guesses


def run(binary, args):
    with tempfile.TemporaryDirectory() as directory:
        db = os.path.join(directory, "bench.db")
        subprocess.run([binary, "add-user", "--db", db, "alice"], input=PASSWORD + "\n", text=True, check=True,
                       stdout=subprocess.DEVNULL)
        server = subprocess.Popen([binary, "serve", "--port", "0", "--db", db], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        try:
            port = int(re.match(r"listening on http://127\.0\.0\.1:(\d+)", server.stdout.readline()).group(1))
            checked = asyncio.run(bursts(port, args.bursts, args.burst))
            print(f"{binary}: bursts of {args.burst} wrong passwords from one address, checked: {checked}")
            server.terminate()
            server.wait(10)
            server = subprocess.Popen([binary, "serve", "--port", "0", "--db", db], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True)
            port = int(re.match(r"listening on http://127\.0\.0\.1:(\d+)", server.stdout.readline()).group(1))
            signed_in, tries, refusals, guesses = asyncio.run(distributed(port, args.attackers, args.seconds))
            print(f"{binary}: {args.attackers} addresses guessing for {args.seconds} s: the real user signed in "
                  f"{signed_in} of {tries} times (refused: {refusals or 'never'}); guesses checked "
                  f"{guesses['checked']}, refused {guesses['refused']}")
        finally:
            server.terminate()
            server.wait(10)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bursts", type=int, default=4)
    parser.add_argument("--burst", type=int, default=10)
    parser.add_argument("--attackers", type=int, default=49)
    parser.add_argument("--seconds", type=int, default=26)
    parser.add_argument("binaries", nargs="*", default=["build/linux/server/tapvela-server"])
    args = parser.parse_args()
    for binary in args.binaries:
        run(binary, args)


if __name__ == "__main__":
    sys.exit(main())
