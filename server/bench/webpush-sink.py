#!/usr/bin/env python3
"""A light push service on loopback and a paced pusher, for server/bench/push-bench.sh's Web Push runs.

  webpush-sink.py serve RECORD [--refuse FILE]
      Listens on http://127.0.0.1:PORT and prints one JSON line {"port", "p256dh", "auth", "private"}: the keys
      of every subscription http://127.0.0.1:PORT/NAME. Answers 201, or 503 with Retry-After: 1 while FILE
      exists. Appends "ARRIVAL NAME STATUS BODY" to RECORD for each request (ARRIVAL on the monotonic clock, which
      every process on the machine shares; BODY in base64, "-" for names starting with "count-", which are only
      counted). It decrypts nothing while serving: a push service is another machine, and its work must not take
      the CPU from the server measured here. It checks nothing else: that is the delivery tests' job.
  webpush-sink.py pace SENT --base URL --key KEY --device ID --tag TAG --rate N --seconds S
      Pushes "bench TAG SEQ" N times a second on one kept-alive connection (on a schedule, not after each
      answer); writes "TAG:SEQ SENT ANSWERED STATUS" per push to SENT, STATUS 0 when the server could not be reached.
  webpush-sink.py report SENT RECORD --keys SINK --subscriptions N
      With SINK the serving sink's JSON line, whose keys decrypt each body's message "bench TAG SEQ": pushes
      answered 200, deliveries each of them owed (N per push) against those accepted with 201, the ones lost and
      the ones accepted twice, and p50/p99 of push → first accepted delivery and of the push's answer.
Needs python3-cryptography.
"""
import argparse
import asyncio
import base64
import http.client
import json
import os
import re
import sys
import time
import urllib.parse

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def hkdf(salt, ikm, info, length):
    return HKDF(hashes.SHA256(), length, salt, info).derive(ikm)


class Keys:
    def __init__(self, private=None, auth=None):
        self.private = ec.derive_private_key(private, ec.SECP256R1()) if private else ec.generate_private_key(
            ec.SECP256R1())
        self.public = self.private.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)
        self.auth = auth or os.urandom(16)

    def decrypt(self, body):
        # aes128gcm (RFC 8188) with the Web Push key derivation (RFC 8291), one record.
        salt, idlen = body[:16], body[20]
        sender = body[21:21 + idlen]
        secret = self.private.exchange(ec.ECDH(), ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), sender))
        ikm = hkdf(self.auth, secret, b"WebPush: info\x00" + self.public + sender, 32)
        cek = hkdf(salt, ikm, b"Content-Encoding: aes128gcm\x00", 16)
        nonce = hkdf(salt, ikm, b"Content-Encoding: nonce\x00", 12)
        return AESGCM(cek).decrypt(nonce, body[21 + idlen:], None).rstrip(b"\x00")[:-1]


def sequence(keys, body):
    if body == "-":
        return "-"
    try:
        body = base64.b64decode(body)
        match = re.fullmatch(r"bench (\S+) (\d+)", json.loads(keys.decrypt(body)).get("msg", ""))
        return match.group(1) + ":" + match.group(2) if match else "-"
    except Exception:  # anything undecryptable is only counted here
        return "?"


async def answer(reader, writer, record, refuse):
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
            body = await reader.readexactly(int(length.group(1)) if length else 0)
            arrival = time.monotonic()
            name = head.split(b" ", 2)[1].decode().lstrip("/")
            refused = refuse is not None and os.path.exists(refuse)
            status = 503 if refused else 201
            kept = "-" if name.startswith("count-") else base64.b64encode(body).decode() or "="
            record.write("%.6f %s %d %s\n" % (arrival, name, status, kept))
            writer.write(b"HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n" if refused
                         else b"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")
            await writer.drain()
            if re.search(rb"(?im)^connection:\s*close", head):
                break
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()


async def serve(arguments):
    keys = Keys()
    record = open(arguments.record, "a", buffering=1)
    server = await asyncio.start_server(lambda r, w: answer(r, w, record, arguments.refuse), "127.0.0.1", 0,
                                        backlog=1024)
    port = server.sockets[0].getsockname()[1]
    print(json.dumps({"port": port, "p256dh": b64(keys.public), "auth": b64(keys.auth),
                      "private": keys.private.private_numbers().private_value}), flush=True)
    async with server:
        await server.serve_forever()


def pace(arguments):
    url = urllib.parse.urlsplit(arguments.base)
    connection = None
    start = time.monotonic()
    with open(arguments.sent, "w") as sent:
        for seq in range(int(arguments.rate * arguments.seconds)):
            due = start + seq / arguments.rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            target = "/all/api.php?" + urllib.parse.urlencode(
                {"apikey": arguments.key, "devices": arguments.device, "msg": "bench %s %d" % (arguments.tag, seq),
                 "extra": "tel:+33612345678"}, quote_via=urllib.parse.quote)
            sentAt = time.monotonic()
            status = 0
            try:
                if connection is None:
                    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=5)
                connection.request("GET", target)
                reply = connection.getresponse()
                body = reply.read()
                status = reply.status if body == b'{"status":"valid"}' else -reply.status
            except (OSError, http.client.HTTPException):
                if connection is not None:
                    connection.close()
                connection = None
            sent.write("%s:%d %.6f %.6f %d\n" % (arguments.tag, seq, sentAt, time.monotonic(), status))
    print("paced %d pushes in %.1f s" % (int(arguments.rate * arguments.seconds), time.monotonic() - start))


def percentile(values, p):
    ordered = sorted(values)
    return "%.2f" % ordered[min(len(ordered) - 1, int(len(ordered) * p / 100))] if ordered else "-"


def report(arguments):
    sent, answered = {}, []
    for line in open(arguments.sent):
        seq, sentAt, answeredAt, status = line.split()
        if status == "200":
            sent[seq] = float(sentAt)
            answered.append((float(answeredAt) - float(sentAt)) * 1000)
    sink = json.load(open(arguments.keys))
    keys = Keys(sink["private"], base64.urlsafe_b64decode(sink["auth"] + "=="))
    # Only what was accepted after this run's first push can be one of its deliveries: the rest (earlier runs'
    # deliveries, and the 503s) is not decrypted again for every report.
    start = min(sent.values(), default=float("inf"))
    first, accepted = {}, {}
    for line in open(arguments.record):
        arrival, name, status, body = line.split()
        if status != "201" or float(arrival) < start:
            continue
        seq = sequence(keys, body)
        if seq in sent:
            key = (seq, name)
            accepted[key] = accepted.get(key, 0) + 1
            first.setdefault(key, float(arrival))
    owed = len(sent) * arguments.subscriptions
    delays = [(arrival - sent[seq]) * 1000 for (seq, _), arrival in first.items()]
    print("pushes answered 200: %d" % len(sent))
    print("push answer p50 ms: %s" % percentile(answered, 50))
    print("push answer p99 ms: %s" % percentile(answered, 99))
    print("deliveries owed: %d" % owed)
    print("deliveries accepted: %d" % len(first))
    print("deliveries lost: %d" % (owed - len(first)))
    print("deliveries accepted twice: %d" % sum(1 for count in accepted.values() if count > 1))
    print("push to delivery p50 ms: %s" % percentile(delays, 50))
    print("push to delivery p99 ms: %s" % percentile(delays, 99))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    serving = commands.add_parser("serve")
    serving.add_argument("record")
    serving.add_argument("--refuse")
    pacing = commands.add_parser("pace")
    pacing.add_argument("sent")
    for option in ("--base", "--key", "--device", "--tag"):
        pacing.add_argument(option, required=True)
    pacing.add_argument("--rate", type=float, default=200)
    pacing.add_argument("--seconds", type=float, default=10)
    reporting = commands.add_parser("report")
    reporting.add_argument("sent")
    reporting.add_argument("record")
    reporting.add_argument("--keys", required=True)
    reporting.add_argument("--subscriptions", type=int, default=3)
    arguments = parser.parse_args()
    if arguments.command == "serve":
        try:
            asyncio.run(serve(arguments))
        except KeyboardInterrupt:
            pass
    elif arguments.command == "pace":
        pace(arguments)
    else:
        report(arguments)


if __name__ == "__main__":
    sys.exit(main())
