#!/usr/bin/env python3
"""Time from a push through one tapvela-server instance to its event on a phone page's stream held by another
instance sharing the database (a benchmark, not a test).

usage: handover.py --push-base http://127.0.0.1:A --stream-base http://127.0.0.1:B --key KEY --device ID
                   --token PAGE_TOKEN [--rate N] [--seconds N]
Prints: pushes answered 200, events seen, lost, handover p50/p99 ms."""

import argparse
import http.client
import json
import threading
import time
import urllib.parse


def percentile(values, share):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--push-base", required=True)
    parser.add_argument("--stream-base", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--device", required=True)
    parser.add_argument("--token", required=True)
    parser.add_argument("--rate", type=float, default=50)
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()

    sent = {}
    seen = {}
    lock = threading.Lock()
    stream_base = urllib.parse.urlsplit(args.stream_base)
    stream = http.client.HTTPConnection(stream_base.hostname, stream_base.port, timeout=30)
    stream.request("GET", "/d/%s/events" % args.token)
    response = stream.getresponse()
    if response.status != 200:
        raise SystemExit("handover: the stream answered %d" % response.status)
    ready = threading.Event()

    def read():
        data = []
        while True:
            line = response.fp.readline()
            if not line:
                return
            line = line.decode("utf-8", "replace").rstrip("\r\n")
            if line.startswith(":"):
                ready.set()
            elif line.startswith("data: "):
                data.append(line[6:])
            elif line == "" and data:
                message = json.loads("\n".join(data)).get("msg", "")
                data = []
                if message.startswith("handover "):
                    with lock:
                        seen.setdefault(int(message.split()[1]), time.monotonic())

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    ready.wait(10)

    push_base = urllib.parse.urlsplit(args.push_base)
    pusher = http.client.HTTPConnection(push_base.hostname, push_base.port, timeout=30)
    answered = 0
    count = int(args.rate * args.seconds)
    start = time.monotonic()
    for n in range(count):
        due = start + n / args.rate
        pause = due - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        target = "/all/api.php?apikey=%s&devices=%s&msg=%s&extra=tel%%3A1" % (
            args.key, args.device, urllib.parse.quote("handover %d" % n))
        with lock:
            sent[n] = time.monotonic()
        pusher.request("GET", target)
        reply = pusher.getresponse()
        body = reply.read()
        if reply.status == 200 and b"valid" in body:
            answered += 1
    # What is still under way arrives within a few seconds, or is lost.
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        with lock:
            if len(seen) >= answered:
                break
        time.sleep(0.05)
    with lock:
        delays = [(seen[n] - sent[n]) * 1000 for n in seen if n in sent]
        print("pushes answered 200: %d" % answered)
        print("events seen on the other instance: %d" % len(seen))
        print("lost: %d" % max(0, answered - len(seen)))
        print("handover p50 ms: %.1f" % percentile(delays, 0.50))
        print("handover p99 ms: %.1f" % percentile(delays, 0.99))


if __name__ == "__main__":
    main()
