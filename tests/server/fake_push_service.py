#!/usr/bin/env python3
"""A browser's push service as far as tapvela-server sees one, for its delivery tests.

  fake_push_service.py [--tls DIR] RECORD NAME=ANSWERS...

Listens on plain http on 127.0.0.1, a free port, and prints one JSON line: {"port", "p256dh", "auth"}, the
subscription keys that every endpoint http://127.0.0.1:PORT/NAME uses. With --tls it speaks https instead, with
a certificate for 127.0.0.1 from a certificate authority it makes and writes to DIR/ca.pem. ANSWERS are what NAME's requests get in
turn, comma-separated, the last one repeated: a status ("201", "410"), a status with Retry-After seconds
("503+1"), either of them followed by "-close" (the connection is closed after the answer, which does not say
so, as a service's idle time-out would), "hang" (no answer: the connection stays open until the client gives
up) or "hold" (201 once the file RECORD.release exists). A query in the path is not part of NAME. Each request
appends a JSON line to RECORD: name, answer, "connection" (numbered in the order they were made), "time" (when it
came, seconds since the epoch) and "payload"
(the decrypted message) or "error" (what was wrong with the request: its headers, its encryption or its VAPID
token).
"""

import datetime
import ipaddress
import json
import os
import re
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Beside this file; no bytecode cache left in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webpush_check  # noqa: E402
from webpush_check import Wrong, b64decode  # noqa: E402

BODY_SIZE = 3072
MAX_LIFETIME = 24 * 3600


def check_vapid(header, origin):
    match = re.fullmatch(r"vapid t=[\w-]+\.([\w-]+)\.[\w-]+, k=[\w-]+", header or "")
    if not match:
        raise Wrong("not a vapid Authorization header: %r" % header)
    claims = json.loads(b64decode(match.group(1)))
    exp, sub = claims.get("exp"), claims.get("sub")
    now = int(time.time())
    if not isinstance(exp, int) or exp <= now or exp > now + MAX_LIFETIME:
        raise Wrong("exp %r is not within 24 hours" % exp)
    if not isinstance(sub, str) or not (sub.startswith("mailto:") or sub.startswith("https:")):
        raise Wrong("sub %r" % sub)
    # The signature against k=, the header and the audience; the lifetime was checked above.
    webpush_check.verify_vapid(header, origin, sub, exp - 12 * 3600, header.rsplit("k=", 1)[1])


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        service = self.server
        name = self.path.lstrip("/").partition("?")[0]
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with service.lock:
            if not hasattr(self, "serial"):  # one handler per connection
                service.connections += 1
                self.serial = service.connections
            answers = service.script.get(name, ["404"])
            count = service.counts.get(name, 0)
            service.counts[name] = count + 1
        answer = answers[min(count, len(answers) - 1)]
        entry = {"name": name, "answer": answer, "connection": self.serial, "time": time.time()}
        try:
            expected = {"TTL": None, "Urgency": "high", "Content-Encoding": "aes128gcm",
                        "Content-Type": "application/octet-stream"}
            for header, value in expected.items():
                if self.headers.get(header) is None or (value and self.headers.get(header) != value):
                    raise Wrong("header %s: %r" % (header, self.headers.get(header)))
            check_vapid(self.headers.get("Authorization"), "%s://127.0.0.1:%d" % (service.scheme,
                                                                                    service.server_address[1]))
            entry["payload"] = json.loads(webpush_check.decrypt(service.private, service.auth, body, BODY_SIZE))
        except (Wrong, ValueError, KeyError) as wrong:
            entry["error"] = str(wrong)
        with service.lock, open(service.record, "a") as record:
            record.write(json.dumps(entry) + "\n")
        if answer == "hang":
            # Until the client closes the connection.
            self.rfile.read(1)
            self.close_connection = True
            return
        if answer == "hold":
            while not os.path.exists(service.record + ".release"):
                time.sleep(0.02)
            answer = "201"
        answer, closes = answer.removesuffix("-close"), answer.endswith("-close")
        status, _, retry = answer.partition("+")
        self.send_response(int(status))
        if retry:
            self.send_header("Retry-After", retry)
        self.send_header("Content-Length", "0")
        self.end_headers()
        self.close_connection = self.close_connection or closes


def make_certificates(directory):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject, issuer, public_key, signer, extensions):
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public_key)
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(hours=1))
                   .not_valid_after(now + datetime.timedelta(days=1)))
        for extension, critical in extensions:
            builder = builder.add_extension(extension, critical)
        return builder.sign(signer, hashes.SHA256())

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "fake push service CA")])
    ca = certificate(ca_name, ca_name, ca_key.public_key(), ca_key, [
        (x509.BasicConstraints(ca=True, path_length=0), True),
        (x509.KeyUsage(False, False, False, False, False, True, True, False, False), True),
        (x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key()), False)])
    leaf = certificate(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]), ca_name,
                       key.public_key(), ca_key, [
                           (x509.BasicConstraints(ca=False, path_length=None), True),
                           (x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False),
                           (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False),
                           (x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), False)])
    pem = serialization.Encoding.PEM
    with open(os.path.join(directory, "ca.pem"), "wb") as out:
        out.write(ca.public_bytes(pem))
    with open(os.path.join(directory, "server.pem"), "wb") as out:
        out.write(leaf.public_bytes(pem))
        out.write(key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    return os.path.join(directory, "server.pem")


def main():
    arguments = sys.argv[1:]
    tls_directory = None
    if arguments[:1] == ["--tls"]:
        tls_directory, arguments = arguments[1], arguments[2:]
    keys = json.loads(subscription_keys())
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.scheme = "http"
    if tls_directory:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(make_certificates(tls_directory))
        server.socket = context.wrap_socket(server.socket, server_side=True)
        server.scheme = "https"
    server.daemon_threads = True
    server.lock = threading.Lock()
    server.record = arguments[0]
    server.script = {}
    for argument in arguments[1:]:
        name, _, answers = argument.partition("=")
        server.script[name] = answers.split(",")
    server.counts = {}
    server.connections = 0
    server.private, server.auth = b64decode(keys["private"]), b64decode(keys["auth"])
    print(json.dumps({"port": server.server_address[1], "p256dh": keys["p256dh"], "auth": keys["auth"]}), flush=True)
    server.serve_forever()


def subscription_keys():
    # webpush_check prints a fresh key pair; take its output rather than make one another way.
    import contextlib
    import io
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        webpush_check.subscribe()
    return out.getvalue()


if __name__ == "__main__":
    main()
