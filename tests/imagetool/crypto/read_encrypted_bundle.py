#!/usr/bin/env python3
"""Decrypts an encrypted sparse bundle into a flat image file, written from the published format alone
(independent of the disk-image tool's code), for the tests to judge what the tool made.

usage: read_encrypted_bundle.py BUNDLE OUTPUT [--skip-missing]
The password comes from standard input (to end-of-file). Exit status 2 means a wrong password.
With --skip-missing, bands absent from the bundle are left as holes instead of decrypted zero
ciphertext (which reads as noise), so that large, mostly empty images stay quick to read."""

import hashlib
import hmac
import os
import plistlib
import struct
import sys

from cryptography.hazmat.primitives import hashes, padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES
except ImportError:  # older python3-cryptography
    TripleDES = algorithms.TripleDES


def unwrap(token, password):
    if token[:8] != b"encrcdsa" or struct.unpack(">I", token[8:12])[0] != 2:
        sys.exit("not a version 2 encrypted-image header")
    key_bits, = struct.unpack(">I", token[24:28])
    chunk, = struct.unpack(">I", token[52:56])
    count, = struct.unpack(">I", token[72:76])
    for i in range(count):
        kind, offset, size = struct.unpack(">IQQ", token[76 + 20 * i:96 + 20 * i])
        if kind != 1:
            continue
        rec = token[offset:offset + size]
        kdf, _prng, iterations, salt_len = struct.unpack(">IIII", rec[0:16])
        salt = rec[16:16 + salt_len]
        iv_len, = struct.unpack(">I", rec[48:52])
        iv = rec[52:52 + iv_len]
        blob_len, = struct.unpack(">I", rec[100:104])
        blob = rec[104:104 + blob_len]
        assert kdf == 103, "unexpected key derivation"
        wrap_key = PBKDF2HMAC(hashes.SHA1(), 24, salt, iterations).derive(password)
        dec = Cipher(TripleDES(wrap_key), modes.CBC(iv)).decryptor()
        plain = dec.update(blob) + dec.finalize()
        try:
            unpadder = padding.PKCS7(64).unpadder()
            plain = unpadder.update(plain) + unpadder.finalize()
        except ValueError:
            continue
        n = key_bits // 8
        if plain[n + 20:n + 24] == b"CKIE":
            return plain[:n], plain[n:n + 20], chunk
    return None


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    skip_missing = "--skip-missing" in sys.argv
    bundle, output = args
    password = sys.stdin.buffer.read()
    with open(os.path.join(bundle, "Info.plist"), "rb") as f:
        info = plistlib.load(f)
    band_size, size = info["band-size"], info["size"]
    with open(os.path.join(bundle, "token"), "rb") as f:
        keys = unwrap(f.read(), password)
    if keys is None:
        print("wrong password", file=sys.stderr)
        sys.exit(2)
    aes_key, hmac_key, chunk = keys
    # Chunk numbers start again in every band, so one list of IVs serves every band.
    chunks = band_size // chunk
    ivs = [hmac.new(hmac_key, struct.pack(">I", n), hashlib.sha1).digest()[:16] for n in range(chunks)]
    ecb = Cipher(algorithms.AES(aes_key), modes.ECB())
    with open(output, "wb") as out:
        out.truncate(size)
        for band in range((size + band_size - 1) // band_size):
            path = os.path.join(bundle, "bands", format(band, "x"))
            length = min(band_size, size - band * band_size)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    data = f.read(length)
            elif skip_missing:
                continue
            else:
                data = b""
            data = data.ljust(length, b"\0")
            # CBC by its definition: each plain block is the decrypted block XOR the ciphertext block
            # before it, or XOR the chunk's IV for the first block of a chunk.
            previous = bytearray(b"\0" * 16 + data[:-16])
            for n in range(length // chunk):
                previous[n * chunk:n * chunk + 16] = ivs[n]
            dec = ecb.decryptor()
            blocks = dec.update(data) + dec.finalize()
            plain = (int.from_bytes(blocks, "big") ^ int.from_bytes(previous, "big")).to_bytes(length, "big")
            out.seek(band * band_size)
            out.write(plain)


if __name__ == "__main__":
    main()
