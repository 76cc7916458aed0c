"""Signed notes, checkpoints and Merkle proofs written from the public formats alone, with
pyca/cryptography: the tests hold the product to agreeing with them."""

import base64
import hashlib

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

DASH = "\u2014"


def key_id(name, public_key):
    return hashlib.sha256(name.encode() + b"\n\x01" + public_key).digest()[:4]


def verifier_key(name, public_key):
    return f"{name}+{key_id(name, public_key).hex()}+{base64.b64encode(b'\x01' + public_key).decode()}"


def sign_note(text, name, private_key):
    """A signature line for `text`, by a pyca Ed25519PrivateKey under `name`."""
    public = private_key.public_key().public_bytes_raw()
    blob = key_id(name, public) + private_key.sign(text.encode())
    return f"{DASH} {name} {base64.b64encode(blob).decode()}\n"


def open_checkpoint(note, name, public_key):
    """(origin, size, root) of a checkpoint note signed by (name, public_key); raises ValueError."""
    text, separator, signatures = note.partition("\n\n")
    if not separator or not signatures.endswith("\n"):
        raise ValueError("not a signed note")
    text += "\n"
    verified = False
    for line in signatures[:-1].split("\n"):
        dash, line_name, blob = line.split(" ")
        raw = base64.b64decode(blob, validate=True)
        if dash != DASH or line_name != name or raw[:4] != key_id(name, public_key):
            continue  # another key's signature: ignored
        try:
            Ed25519PublicKey.from_public_bytes(public_key).verify(raw[4:], text.encode())
        except InvalidSignature:
            raise ValueError("bad signature") from None
        verified = True
    if not verified:
        raise ValueError("no signature by the key")
    lines = text[:-1].split("\n")
    return lines[0], int(lines[1]), base64.b64decode(lines[2], validate=True)


def leaf_hash(data):
    return hashlib.sha256(b"\x00" + data).digest()


def node(left, right):
    return hashlib.sha256(b"\x01" + left + right).digest()


def split(n):
    k = 1
    while k * 2 < n:
        k *= 2
    return k


def root(leaves):
    if not leaves:
        return hashlib.sha256(b"").digest()
    if len(leaves) == 1:
        return leaves[0]
    k = split(len(leaves))
    return node(root(leaves[:k]), root(leaves[k:]))


def verify_inclusion(index, size, leaf, proof, expected_root):
    if index >= size:
        return False
    fn, sn, r = index, size - 1, leaf
    for p in proof:
        if sn == 0:
            return False
        if fn % 2 == 1 or fn == sn:
            r = node(p, r)
            if fn % 2 == 0:
                while fn % 2 == 0 and fn != 0:
                    fn >>= 1
                    sn >>= 1
        else:
            r = node(r, p)
        fn >>= 1
        sn >>= 1
    return sn == 0 and r == expected_root


def verify_consistency(m, n, root1, root2, proof):
    if m == n:
        return not proof and root1 == root2
    if m == 0:
        return not proof
    if not proof:
        return False
    if m & (m - 1) == 0:
        proof = [root1] + list(proof)
    fn, sn = m - 1, n - 1
    while fn % 2 == 1:
        fn >>= 1
        sn >>= 1
    fr = sr = proof[0]
    for c in proof[1:]:
        if sn == 0:
            return False
        if fn % 2 == 1 or fn == sn:
            fr, sr = node(c, fr), node(c, sr)
            if fn % 2 == 0:
                while fn % 2 == 0 and fn != 0:
                    fn >>= 1
                    sn >>= 1
        else:
            sr = node(sr, c)
        fn >>= 1
        sn >>= 1
    return fr == root1 and sr == root2 and sn == 0
