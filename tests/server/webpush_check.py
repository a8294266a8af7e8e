#!/usr/bin/env python3
"""Checks the server's Web Push output with another implementation (python3-cryptography), written from the
RFCs with HKDF rather than the server's chain of HMACs.

  webpush_check.py subscribe   prints a fresh subscription key pair as JSON: private, p256dh, auth
  webpush_check.py check       reads JSON from standard input (private, auth, body, size, plaintext,
                               authorization, aud, sub, now, k), decrypts the body and verifies the VAPID
                               header; prints "ok", or the first thing wrong on standard error and exits 1
Byte strings are base64url without padding, as on the wire.
"""

import base64
import json
import os
import re
import struct
import sys

from cryptography.exceptions import InvalidSignature, InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat


class Wrong(Exception):
    pass


def b64decode(text):
    if "=" in text:
        raise Wrong("padding in base64url text: " + text)
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def b64encode(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def hkdf(salt, ikm, info, length):
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(ikm)


def subscribe():
    key = ec.generate_private_key(ec.SECP256R1())
    print(json.dumps({
        "private": b64encode(key.private_numbers().private_value.to_bytes(32, "big")),
        "p256dh": b64encode(key.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)),
        "auth": b64encode(os.urandom(16)),
    }))


def decrypt(private, auth, body, size):
    if len(body) != size:
        raise Wrong("body of %d bytes, not the padded %d" % (len(body), size))
    salt, rs, idlen = body[:16], struct.unpack(">I", body[16:20])[0], body[20]
    if rs != 4096 or idlen != 65:
        raise Wrong("header rs=%d idlen=%d" % (rs, idlen))
    as_public = body[21:86]
    ua_key = ec.derive_private_key(int.from_bytes(private, "big"), ec.SECP256R1())
    ua_public = ua_key.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)
    sender = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), as_public)
    secret = ua_key.exchange(ec.ECDH(), sender)
    ikm = hkdf(auth, secret, b"WebPush: info\x00" + ua_public + as_public, 32)
    cek = hkdf(salt, ikm, b"Content-Encoding: aes128gcm\x00", 16)
    nonce = hkdf(salt, ikm, b"Content-Encoding: nonce\x00", 12)
    try:
        record = AESGCM(cek).decrypt(nonce, body[86:], None)
    except InvalidTag:
        raise Wrong("the body does not decrypt")
    unpadded = record.rstrip(b"\x00")
    if not unpadded.endswith(b"\x02"):
        raise Wrong("the record does not end with the last-record delimiter and zeros")
    return unpadded[:-1]


def verify_vapid(header, aud, sub, now, k):
    match = re.fullmatch(r"vapid t=([A-Za-z0-9_-]+)\.([A-Za-z0-9_-]+)\.([A-Za-z0-9_-]+), k=([A-Za-z0-9_-]+)",
                         header)
    if not match:
        raise Wrong("not a vapid Authorization header: " + header)
    head, claims, signature, key = match.groups()
    if key != k:
        raise Wrong("k= is not the server's public key")
    if json.loads(b64decode(head)) != {"typ": "JWT", "alg": "ES256"}:
        raise Wrong("JWT header " + b64decode(head).decode())
    raw = b64decode(signature)
    if len(raw) != 64:
        raise Wrong("signature of %d bytes, not r || s" % len(raw))
    public = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b64decode(key))
    der = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    try:
        public.verify(der, (head + "." + claims).encode(), ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        raise Wrong("the ES256 signature does not verify")
    values = json.loads(b64decode(claims))
    if values.get("aud") != aud or values.get("sub") != sub:
        raise Wrong("claims " + json.dumps(values))
    if values.get("exp") != now + 12 * 3600:
        raise Wrong("exp %r is not 12 hours after %d" % (values.get("exp"), now))


def check():
    given = json.load(sys.stdin)
    plaintext = decrypt(b64decode(given["private"]), b64decode(given["auth"]), b64decode(given["body"]),
                        given["size"])
    if plaintext != b64decode(given["plaintext"]):
        raise Wrong("decrypted %r" % plaintext)
    verify_vapid(given["authorization"], given["aud"], given["sub"], given["now"], given["k"])
    print("ok")


if __name__ == "__main__":
    try:
        {"subscribe": subscribe, "check": check}[sys.argv[1]]()
    except Wrong as wrong:
        print(wrong, file=sys.stderr)
        sys.exit(1)
