#!/usr/bin/env python3
"""One account's Web Push deliveries while another account's push services hang (a benchmark, not a test).

  server/bench/fair-bench.py [--pushes N] [--rate N] [--hog-pushes N] [--wait S] [SERVER_BINARY...]

For each server binary (default build/linux/server/tapvela-server): a fresh database with two accounts, "hog"
and "fair", one device each; two fake push services on loopback (tests/server/fake_push_service.py), one whose
endpoints take each request and never answer, one that accepts at once. The hog's device subscribes 10
endpoints of the hanging service and is sent --hog-pushes pushes (100 deliveries that hang); once requests to
it are under way, the fair account's device (one endpoint of the other service) is sent --pushes pushes,
--rate a second. Reports how many of them reached their push service within --wait seconds of the last, and
the push -> push service time, p50 and p99 (an undelivered push counts as the longest).
On a shared machine: nice -n 10 server/bench/fair-bench.py ...
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FAKE = os.path.join(ROOT, "tests", "server", "fake_push_service.py")


def call(port, method, target):
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, target), method=method)
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def run(server, *arguments, stdin=None):
    return subprocess.run([server, *arguments], input=stdin, capture_output=True, text=True, check=True).stdout


def fake(directory, record, script):
    process = subprocess.Popen([sys.executable, FAKE, record, script], stdout=subprocess.PIPE, text=True)
    return process, json.loads(process.stdout.readline())


def records(path, name):
    found = []
    if os.path.exists(path):
        with open(path) as lines:
            for line in lines:
                entry = json.loads(line)
                if entry["name"] == name:
                    found.append(entry)
    return found


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def bench(server, options):
    with tempfile.TemporaryDirectory() as directory:
        db = os.path.join(directory, "fair.db")
        record = os.path.join(directory, "record.jsonl")
        pages = {}
        for account in ("hog", "fair"):
            run(server, "add-user", "--db", db, account, stdin=account + " password\n")
            out = run(server, "add-device", "--db", db, account, account + " phone")
            match = re.search(r"device id: (\w+)\nphone page: \S+/d/(\S{32})", out)
            pages[account] = (match.group(1), match.group(2))
        hanging, hanging_keys = fake(directory, record, "stuck=hang")
        accepting, accepting_keys = fake(directory, record, "fair=201")
        process = subprocess.Popen([server, "serve", "--port", "0", "--db", db, "--vapid-subject",
                                    "mailto:ops@example.org", "--webpush-allow-loopback-http", "--push-rate", "1000",
                                    "--push-burst", "1000"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   text=True)
        try:
            port = int(re.search(r":(\d+)$", process.stdout.readline().strip()).group(1))
            keys = {}
            for account in ("hog", "fair"):
                digest = hashlib.sha1((account + " password").encode()).hexdigest()
                keys[account] = call(port, "GET", "/all/login_app.php?username=%s&password=%s" % (account, digest))[1]
                keys[account] = keys[account].decode()

            def subscribe(token, endpoint, subscription):
                status, body = call(port, "POST", "/d/%s/subscription?endpoint=%s&p256dh=%s&auth=%s" % (
                    token, urllib.parse.quote(endpoint, safe=""), subscription["p256dh"], subscription["auth"]))
                assert status == 200, (status, body)

            def push(account, msg):
                device = pages[account][0]
                status, body = call(port, "GET", "/all/api.php?apikey=%s&devices=%s&msg=%s" % (
                    keys[account], device, urllib.parse.quote(msg)))
                assert b'"valid"' in body, body

            for n in range(10):
                subscribe(pages["hog"][1], "http://127.0.0.1:%d/stuck?n=%d" % (hanging_keys["port"], n), hanging_keys)
            subscribe(pages["fair"][1], "http://127.0.0.1:%d/fair" % accepting_keys["port"], accepting_keys)
            for n in range(options.hog_pushes):
                push("hog", "hog %d" % n)
            deadline = time.time() + 30
            while len(records(record, "stuck")) < 4 and time.time() < deadline:
                time.sleep(0.05)
            busy = len(records(record, "stuck"))

            sent = {}
            for n in range(options.pushes):
                msg = "fair %d" % n
                sent[msg] = time.time()
                push("fair", msg)
                time.sleep(1.0 / options.rate)
            deadline = time.time() + options.wait
            while len(records(record, "fair")) < options.pushes and time.time() < deadline:
                time.sleep(0.1)
            took = {}
            for entry in records(record, "fair"):
                msg = entry.get("payload", {}).get("msg")
                if msg in sent and msg not in took:
                    took[msg] = entry["time"] - sent[msg]
            longest = max([options.wait] + list(took.values()))
            latencies = [took.get(msg, longest) for msg in sent]
            return {"server": server, "hanging requests at start": busy, "delivered": len(took),
                    "of": options.pushes, "p50 ms": round(percentile(latencies, 0.5) * 1000, 1),
                    "p99 ms": round(percentile(latencies, 0.99) * 1000, 1),
                    "requests to the hanging service": len(records(record, "stuck"))}
        finally:
            process.terminate()
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                process.kill()
            for service in (hanging, accepting):
                service.terminate()
                service.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pushes", type=int, default=100)
    parser.add_argument("--rate", type=float, default=10)
    parser.add_argument("--hog-pushes", type=int, default=10)
    parser.add_argument("--wait", type=float, default=120)
    parser.add_argument("servers", nargs="*", default=[os.path.join(ROOT, "build", "linux", "server",
                                                                    "tapvela-server")])
    options = parser.parse_args()
    for server in options.servers:
        print(json.dumps(bench(server, options)), flush=True)


if __name__ == "__main__":
    main()
