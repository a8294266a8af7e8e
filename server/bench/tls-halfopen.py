#!/usr/bin/env python3
"""Memory of tapvela-server under half-open TLS connections (a benchmark, not a test).

For each server binary given: a throwaway certificate (the openssl tool), a server serving TLS on a free
loopback port, then --connections clients that each send a real ClientHello and never answer the server's
reply, from many loopback addresses (127.2.x.y, --per-address from each, so that the cap per client does not
simply turn them away). They are held for --hold seconds (below the handshake deadline), then closed by the
clients. Reports the server's resident memory (VmRSS) before, at its peak while they are held (sampled every
50 ms), and --after seconds after they are gone, with how many the server had closed by itself and whether a
complete handshake still succeeds while they are held.

usage: server/bench/tls-halfopen.py [--connections N] [--per-address N] [--hold S] [--after S] [SERVER...]
       (default binary: build/linux/server/tapvela-server; BENCH_SERVER_OPTIONS passes options to every server)
Python 3 standard library and the openssl tool only. Loopback only.
"""
import argparse
import os
import pathlib
import re
import resource
import shlex
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1))


def client_hello():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def complete_handshake(port):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with context.wrap_socket(raw, server_hostname="localhost") as tls:
                tls.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                return tls.recv(64).startswith(b"HTTP/1.1 200 ")
    except OSError:
        return False


def still_open(connection):
    connection.setblocking(False)
    try:
        while True:
            data = connection.recv(65536)
            if not data:
                return False
    except BlockingIOError:
        return True
    except OSError:
        return False


def run(server, args, directory):
    command = [server, "serve", "--port", "0", "--db", str(directory / f"bench-{os.getpid()}.db"),
               "--tls-cert", str(directory / "cert.pem"), "--tls-key", str(directory / "key.pem")]
    command += shlex.split(os.environ.get("BENCH_SERVER_OPTIONS", ""))
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        match = re.search(r"https://127\.0\.0\.1:(\d+)", line)
        if not match:
            sys.exit(f"tls-halfopen: {server} did not start: {line!r}")
        port = int(match.group(1))
        complete_handshake(port)
        before = resident_kib(process.pid)

        peak = [before]
        sampling = threading.Event()

        def sample():
            while not sampling.wait(0.05):
                peak[0] = max(peak[0], resident_kib(process.pid))

        sampler = threading.Thread(target=sample)
        sampler.start()
        held, failed = [], 0
        for i in range(args.connections):
            n = i // args.per_address
            try:
                connection = socket.socket()
                connection.bind((f"127.2.{n // 250}.{n % 250 + 1}", 0))
                connection.connect(("127.0.0.1", port))
                connection.sendall(client_hello())
                held.append(connection)
            except OSError:
                failed += 1
        time.sleep(args.hold / 2)
        served = complete_handshake(port)
        time.sleep(args.hold / 2)
        during = resident_kib(process.pid)
        closed_by_server = sum(not still_open(connection) for connection in held)
        for connection in held:
            connection.close()
        time.sleep(args.after)
        sampling.set()
        sampler.join()
        after = resident_kib(process.pid)
        print(f"{server}: {len(held)} half-open TLS connections ({failed} failed to connect), "
              f"{closed_by_server} closed by the server while held; a complete handshake meanwhile: "
              f"{'served' if served else 'FAILED'}")
        print(f"  VmRSS before {before / 1024:.1f} MB, peak while held {peak[0] / 1024:.1f} MB, "
              f"at the end of the hold {during / 1024:.1f} MB, {args.after} s after they closed "
              f"{after / 1024:.1f} MB")
    finally:
        process.terminate()
        process.wait(10)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--connections", type=int, default=2000)
    parser.add_argument("--per-address", type=int, default=50)
    parser.add_argument("--hold", type=float, default=4.0)
    parser.add_argument("--after", type=float, default=3.0)
    parser.add_argument("servers", nargs="*")
    args = parser.parse_args()
    if not 1 <= args.connections <= 20000 or not 1 <= args.per_address <= 1000 or not 0 < args.hold <= 60:
        sys.exit("tls-halfopen: --connections takes 1 to 20000, --per-address 1 to 1000, --hold up to 60")
    here = pathlib.Path(__file__).resolve().parent
    servers = args.servers or [str(here / "../../build/linux/server/tapvela-server")]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < args.connections + 64:
        sys.exit(f"tls-halfopen: this shell may open {hard} files; raise it (ulimit -n) for {args.connections}")
    with tempfile.TemporaryDirectory() as temporary:
        directory = pathlib.Path(temporary)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", directory / "key.pem", "-out", directory / "cert.pem", "-days", "1", "-subj",
                        "/CN=localhost"], check=True, capture_output=True)
        for server in servers:
            run(server, args, directory)


if __name__ == "__main__":
    main()
