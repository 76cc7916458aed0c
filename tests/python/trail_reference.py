"""An audit trail verifier written from docs/audit-trail.md alone, with pyca/cryptography.

It shares no code with the product: the tests hold the two to agreeing on every file.
"""

import json
import struct

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

ENTRY_DOMAIN = b"corvel-trail-entry-v1\x00"
SIGNATURE_DOMAIN = b"corvel-trail-signature-v1\x00"
ACTION_TAGS = {"Delete": 0, "Write": 1, "Read": 2, "Execute": 3, "Network": 4}
MAX_LINE = 64 << 20


class Refused(Exception):
    """kind is 'layout' (also every malformed member), 'chain', 'signature' or 'nonce'."""

    def __init__(self, kind, index, detail=""):
        super().__init__(f"{kind} at {index}: {detail}")
        self.kind = kind
        self.index = index


def u32(value):
    return struct.pack("<I", value)


def u64(value):
    return struct.pack("<Q", value)


def counted(data):
    return u64(len(data)) + data


def sha256(data):
    digest = hashes.Hash(hashes.SHA256())
    digest.update(data)
    return digest.finalize()


# ---------------------------------------------------------------- reading the members


class Bad(Exception):
    pass


def no_duplicates(pairs):
    out = {}
    for key, value in pairs:
        if key in out:
            raise Bad(f"duplicate {key}")
        out[key] = value
    return out


def obj(value, required, optional=()):
    if not isinstance(value, dict):
        raise Bad("not an object")
    names = set(value)
    if not set(required) <= names or not names <= set(required) | set(optional):
        raise Bad(f"members {sorted(names)}")
    return value


def integer(value, bits=64):
    if type(value) is not int or not 0 <= value < 2**bits:
        raise Bad(f"integer {value!r}")
    return value


def text(value):
    if not isinstance(value, str):
        raise Bad(f"text {value!r}")
    return value.encode("utf-8")


def byte_list(value, length=None):
    if not isinstance(value, list) or any(type(b) is not int or not 0 <= b <= 255 for b in value):
        raise Bad("byte list")
    if length is not None and len(value) != length:
        raise Bad("byte list length")
    return bytes(value)


def action_type(value):
    if isinstance(value, str) and value in ACTION_TAGS:
        return u32(ACTION_TAGS[value])
    if isinstance(value, dict) and list(value) == ["Custom"]:
        return u32(5) + counted(text(value["Custom"]))
    raise Bad(f"action type {value!r}")


def optional_bytes(data):
    return b"\x00" if data is None else b"\x01" + counted(data)


def action_encoding(value):
    a = obj(value, ["action_type", "target", "payload", "metadata"])
    payload = None if a["payload"] is None else byte_list(a["payload"])
    metadata = None if a["metadata"] is None else text(a["metadata"])
    return action_type(a["action_type"]) + counted(text(a["target"])) + optional_bytes(payload) + optional_bytes(metadata)


def proof_encoding(value):
    p = obj(value, ["nonce", "timestamp", "ttl", "action_hash", "action_type", "capsule_hash", "status", "signature"])
    status = p["status"]
    if status == "OK":
        status_bytes = u32(0)
    elif status == "Tampered":
        status_bytes = u32(1)
    elif isinstance(status, dict) and list(status) == ["Failed"]:
        status_bytes = u32(2) + counted(text(status["Failed"]))
    else:
        raise Bad("status")
    return (byte_list(p["nonce"], 32) + u64(integer(p["timestamp"])) + u64(integer(p["ttl"])) +
            byte_list(p["action_hash"], 32) + action_type(p["action_type"]) + counted(text(p["capsule_hash"])) +
            status_bytes + counted(byte_list(p["signature"])))


def decision_encoding(value):
    if value == "Approved":
        return u32(0)
    if isinstance(value, dict) and list(value) == ["Denied"]:
        inner = obj(value["Denied"], ["reason"])
        return u32(1) + counted(text(inner["reason"]))
    raise Bad("decision")


def denial_encoding(value):
    d = obj(value, ["nonce", "timestamp", "action_hash", "action_type", "violated_rule", "denial_reason",
                    "violation_count", "triggered_hard_reset", "signature"])
    if not isinstance(d["triggered_hard_reset"], bool):
        raise Bad("flag")
    return (byte_list(d["nonce"], 32) + u64(integer(d["timestamp"])) + byte_list(d["action_hash"], 32) +
            action_type(d["action_type"]) + counted(text(d["violated_rule"])) + counted(text(d["denial_reason"])) +
            u32(integer(d["violation_count"], 32)) + (b"\x01" if d["triggered_hard_reset"] else b"\x00") +
            counted(byte_list(d["signature"])))


def record_encoding(entry):
    if "denial_proof" in entry and "hard_reset_signal" in entry:
        raise Bad("two records")
    if "denial_proof" in entry:
        return b"\x01" + denial_encoding(entry["denial_proof"])
    if "hard_reset_signal" in entry:
        s = obj(entry["hard_reset_signal"],
                ["final_denial", "charter_hash", "signature", "reset_timestamp", "total_violations"])
        return (b"\x02" + denial_encoding(s["final_denial"]) + counted(text(s["charter_hash"])) +
                counted(byte_list(s["signature"])) + u64(integer(s["reset_timestamp"])) +
                u32(integer(s["total_violations"], 32)))
    return b"\x00"


def gate_encoding(entry):
    """G(gate) of section 9.2; nothing for an entry without a gate member."""
    if "gate" not in entry:
        return b""
    gate = entry["gate"]
    if not isinstance(gate, dict) or len(gate) != 1:
        raise Bad("gate")
    if "call" in gate:
        call = obj(gate["call"], ["policies", "denials"])
        if not isinstance(call["policies"], list):
            raise Bad("gate.call.policies")
        ids = b"".join(counted(text(id_)) for id_ in call["policies"])
        return b"\x01" + u64(len(call["policies"])) + ids + u32(integer(call["denials"], 32))
    if "outcome" in gate:
        outcome = obj(gate["outcome"], ["decision_index", "success", "result_hash"])
        if not isinstance(outcome["success"], bool):
            raise Bad("gate.outcome.success")
        return (b"\x02" + u64(integer(outcome["decision_index"])) + (b"\x01" if outcome["success"] else b"\x00") +
                byte_list(outcome["result_hash"], 32))
    raise Bad("gate variant")


def proof_signing_data(proof):
    """Section 8.3: what the trail key signs of an allow's proof."""
    return (byte_list(proof["nonce"], 32) + u64(proof["timestamp"]) + u64(proof["ttl"]) +
            byte_list(proof["action_hash"], 32) + text(proof["capsule_hash"]))


def signal_signing_data(signal):
    """Section 8.3: what the trail key signs of a gate's hard-reset signal."""
    d = signal["final_denial"]
    return (byte_list(d["nonce"], 32) + u64(d["timestamp"]) + byte_list(d["action_hash"], 32) +
            text(d["violated_rule"]) + text(d["denial_reason"]) + u32(d["violation_count"]) +
            (b"\x01" if d["triggered_hard_reset"] else b"\x00") + text(signal["charter_hash"]) +
            u64(signal["reset_timestamp"]))


def gate_signatures(entry):
    """The (data, signature) pairs section 9.3 has a verifier check in a gate's call entry."""
    if "call" not in entry.get("gate", {}):
        return []
    out = []
    if entry["decision"] == "Approved":
        out.append((proof_signing_data(entry["proof"]), byte_list(entry["proof"]["signature"])))
    if "hard_reset_signal" in entry:
        signal = entry["hard_reset_signal"]
        out.append((signal_signing_data(signal), byte_list(signal["signature"])))
    return out


ENTRY_MEMBERS = ["index", "timestamp", "action", "proof", "decision", "prev_hash", "current_hash", "signature"]


def entry_hash(entry):
    """The entry hash of a decoded entry object, raising Bad for a malformed member."""
    e = obj(entry, ENTRY_MEMBERS, ["denial_proof", "hard_reset_signal", "gate"])
    data = (ENTRY_DOMAIN + u64(integer(e["index"])) + u64(integer(e["timestamp"])) +
            counted(action_encoding(e["action"])) + proof_encoding(e["proof"]) + decision_encoding(e["decision"]) +
            record_encoding(e) + byte_list(e["prev_hash"], 32) + gate_encoding(e))
    return sha256(data)


# ---------------------------------------------------------------- the file


def entry_lines(data):
    """The entry texts of a file's bytes, line by line; Refused('layout') where the layout fails.

    Being a generator, it reports a layout failure only once the entries before it were checked,
    which is the documented order.
    """
    if not data:
        raise Refused("layout", None, "empty file")
    lines = data.split(b"\n")
    cut = lines.pop()  # what follows the last line feed: a line cut short, if anything
    pieces = [(line, True) for line in lines] + ([(cut, False)] if cut else [])
    closed = comma_before = False
    count = 0
    for number, (line, terminated) in enumerate(pieces, start=1):
        where = number - 2  # the index an entry on this line would have
        if closed:
            raise Refused("layout", where, "text after ]")
        if b"\r" in line:
            raise Refused("layout", where, "carriage return")
        if number == 1:
            if line != b"[" or not terminated:
                raise Refused("layout", None, "line 1 is not [")
            continue
        if line == b"]":
            if comma_before or not terminated:
                raise Refused("layout", where, "] after a comma, or cut short")
            closed = True
            continue
        if count > 0 and not comma_before:
            raise Refused("layout", where, "no comma before this entry")
        comma_before = line.endswith(b",")
        text = line[:-1] if comma_before else line
        if len(text) > MAX_LINE:
            raise Refused("layout", where, "line over the limit")
        yield count, text
        count += 1
        if not terminated:
            raise Refused("layout", where, "cut short")
    if not closed:
        raise Refused("layout", None, "no closing ]")


def no_sign(literal):
    """parse_int hook: no number in an entry is negative, and "-0" is refused like the rest."""
    if literal.startswith("-"):
        raise Bad(f"signed number {literal}")
    return int(literal)


def verify_covered(data, public_key_bytes, size, root, full=False):
    """Checking against a checkpoint already opened (its size and root), section 7.2: the first
    `size` entries by their hashes, chain and root alone unless `full`; anything wrong there is
    reported as the check with every signature reports it. Returns (count, head hash)."""
    import note_reference as notes

    def attempt(covered):
        leaves = []
        try:
            result = verify(data, public_key_bytes, covered=covered, leaves=leaves, keep=size)
        except Refused as refused:
            if covered and (refused.index is None or refused.index < size):
                return None
            failure = refused
        else:
            failure = None
        if len(leaves) >= size and notes.root([notes.leaf_hash(leaf) for leaf in leaves]) != root:
            if covered:
                return None
            raise Refused("prefix", None, "the first entries do not give the checkpoint's root")
        if failure is not None:
            raise failure
        if result[0] < size:
            if covered:
                return None
            raise Refused("prefix", None, "cut short below the checkpoint")
        return result

    return (None if full else attempt(size)) or attempt(0)


def verify(data, public_key_bytes, covered=0, leaves=None, keep=0):
    """Returns (count, head hash) or raises Refused at the first failure, in the documented order.
    Entries below `covered` skip their own signature check (a checkpoint stands for it); the first
    `keep` entries' hashes go to `leaves`."""
    key = Ed25519PublicKey.from_public_bytes(public_key_bytes)
    prev = bytes(32)
    nonces = set()
    count = 0
    for i, line in entry_lines(data):
        try:
            entry = json.loads(line.decode("utf-8"), object_pairs_hook=no_duplicates, parse_int=no_sign,
                               parse_constant=lambda name: (_ for _ in ()).throw(Bad(name)))
            computed = entry_hash(entry)
            stored_prev = byte_list(entry["prev_hash"], 32)
            current = byte_list(entry["current_hash"], 32)
            signature = byte_list(entry["signature"])
            nonce = byte_list(entry["proof"]["nonce"], 32)
            gate_signed = gate_signatures(entry)
        except (Bad, ValueError, UnicodeError) as error:
            raise Refused("layout", i, str(error)) from None
        if entry["index"] != i:
            raise Refused("layout", i, "index")
        if stored_prev != prev:
            raise Refused("chain", i, "prev_hash")
        if current != computed:
            raise Refused("chain", i, "current_hash")
        try:
            if len(signature) != 64:
                raise InvalidSignature()
            if i >= covered:
                key.verify(signature, SIGNATURE_DOMAIN + current)
            for data, gate_signature in gate_signed:
                if len(gate_signature) != 64:
                    raise InvalidSignature()
                key.verify(gate_signature, data)
        except InvalidSignature:
            raise Refused("signature", i) from None
        if nonce in nonces:
            raise Refused("nonce", i)
        nonces.add(nonce)
        if leaves is not None and i < keep:
            leaves.append(current)
        prev = current
        count += 1
    return count, prev
