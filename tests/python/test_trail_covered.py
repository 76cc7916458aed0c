"""Verification against a checkpoint: the covered prefix is authenticated by its hashes and the
checkpoint's root, the rest entry by entry; every failure is named as a check of every signature
names it, by the product and by the independent verifier."""

import base64
import json
import random
import re
import subprocess
import sys

import pytest

import corvel_charter as cc

pytest.importorskip("cryptography")
from cryptography.hazmat.primitives import serialization  # noqa: E402

import trail_reference as ref  # noqa: E402

ORIGIN = "example.com/agent-7"
COVERED, TOTAL = 30, 40


@pytest.fixture(scope="module")
def written(tmp_path_factory, key):
    """A trail of TOTAL entries, a checkpoint of its first COVERED, and the key's private half."""
    folder = tmp_path_factory.mktemp("covered")
    path = folder / "trail.json"
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    with cc.AuditTrail(str(path), key, checkpoint_origin=False) as trail:
        for i in range(TOTAL):
            action = cc.Action.read_file(f"f{i}") if i % 4 else cc.Action.delete_file(f"/tmp/f{i}")
            decision = cc.Decision.approved() if i % 3 else cc.Decision.denied(f"no {i}")
            trail.append(action, charter.verify_action(action), decision)
            if i + 1 == COVERED:
                note = trail.checkpoint(ORIGIN)
    key.save(str(folder / "key.pem"))
    private = serialization.load_pem_private_key((folder / "key.pem").read_bytes(), password=None)
    return path.read_bytes(), note, private


def entries_of(data):
    return [json.loads(line.rstrip(b",")) for line in data.splitlines()[1:-1]]


def render(entries):
    lines = [json.dumps(e, separators=(",", ":"), ensure_ascii=False) for e in entries]
    return ("[\n" + ",\n".join(lines) + "\n]\n").encode()


def rehash(entries, start, private=None):
    """Recomputes hashes (and, with the key, signatures) from `start` on, re-chaining."""
    for i in range(start, len(entries)):
        entries[i]["prev_hash"] = entries[i - 1]["current_hash"] if i else [0] * 32
        entries[i]["current_hash"] = list(ref.entry_hash(entries[i]))
        if private is not None:
            entries[i]["signature"] = list(private.sign(ref.SIGNATURE_DOMAIN + bytes(entries[i]["current_hash"])))


def product(path, key, note, full):
    """(kind, index) of the product's refusal, or the count it accepts."""
    try:
        return cc.verify_trail(str(path), key.public_key, checkpoint=note, full=full).count
    except cc.TrailError as error:
        message = str(error)
    for kind, pattern in (("chain", r"Audit chain integrity broken at index (\d+):"),
                          ("signature", r"Invalid signature at audit log index (\d+)$"),
                          ("nonce", r"proof nonce of entry (\d+) repeats"),
                          ("layout", r"line (\d+):"), ("index", r"entry (\d+) holds index")):
        found = re.search(pattern, message)
        if found:
            index = int(found.group(1))
            return ("layout", index - 2) if kind == "layout" else ("layout" if kind == "index" else kind, index)
    assert "does not hold the checkpoint's tree" in message, message
    return "prefix", None


def reference(data, key, note, full):
    lines = note.split("\n")
    size, root = int(lines[1]), base64.b64decode(lines[2])
    try:
        return ref.verify_covered(data, key.public_key.raw, size, root, full=full)[0]
    except ref.Refused as refused:
        return refused.kind, refused.index


def judged(tmp_path, key, note, data):
    path = tmp_path / "trail.json"
    path.write_bytes(data)
    return [product(path, key, note, False), product(path, key, note, True),
            reference(data, key, note, False), reference(data, key, note, True)]


def test_a_covered_trail_verifies_alike_with_and_without_full(tmp_path, key, written):
    data, note, _ = written
    assert judged(tmp_path, key, note, data) == [TOTAL] * 4


# Each damage, at an entry inside the covered prefix and at one after it, is refused at that
# entry exactly as a check of every signature refuses it.
DAMAGES = {
    "value changed": (lambda entries, i, private: entries[i]["action"].update(target="innocent"), ("chain",)),
    "value changed, hash recomputed": (
        lambda entries, i, private: (entries[i]["action"].update(target="innocent"),
                                     entries[i].update(current_hash=list(ref.entry_hash(entries[i])))),
        ("signature",)),
    "rewritten and re-chained unsigned": (
        lambda entries, i, private: (entries[i]["action"].update(target="x"), rehash(entries, i)),
        ("signature",)),
    "nonce repeated, re-signed": (
        lambda entries, i, private: (entries[i]["proof"].update(nonce=entries[i - 1]["proof"]["nonce"]),
                                     rehash(entries, i, private)),
        ("nonce",)),
    "rewritten and re-signed by the key holder": (
        lambda entries, i, private: (entries[i]["action"].update(target="innocent"), rehash(entries, i, private)),
        ("prefix", None)),
    "index changed": (lambda entries, i, private: entries[i].update(index=i + 1), ("layout",)),
}


@pytest.mark.parametrize("damage", DAMAGES)
@pytest.mark.parametrize("where", ["first", "inside", "last covered", "after"])
def test_damage_is_refused_at_its_entry(tmp_path, key, written, damage, where):
    data, note, private = written
    index = {"first": 1, "inside": random.Random(damage).randrange(2, COVERED - 1),
             "last covered": COVERED - 1, "after": COVERED + 3}[where]
    entries = entries_of(data)
    change, expected = DAMAGES[damage]
    change(entries, index, private)
    verdicts = judged(tmp_path, key, note, render(entries))
    # Everyone agrees, and the default check names what the full one names.
    assert len(set(verdicts)) == 1, verdicts
    if expected == ("prefix", None):
        # Re-signed by the key holder: only the checkpoint's root tells, and only inside it.
        assert verdicts[0] == (("prefix", None) if where != "after" else TOTAL)
    else:
        assert verdicts[0] == (expected[0], index)


def test_a_damaged_signature_over_an_intact_entry_needs_full(tmp_path, key, written):
    data, note, _ = written
    for index, default in ((7, TOTAL), (COVERED + 2, ("signature", COVERED + 2))):
        entries = entries_of(data)
        entries[index]["signature"][5] ^= 1
        verdicts = judged(tmp_path, key, note, render(entries))
        # Inside the prefix the checkpoint vouches for the entry; --full still refuses it.
        assert verdicts == [default, ("signature", index), default, ("signature", index)]


def test_a_trail_cut_short_below_the_checkpoint_is_refused(tmp_path, key, written):
    data, note, _ = written
    entries = entries_of(data)
    assert judged(tmp_path, key, note, render(entries[:COVERED - 5])) == [("prefix", None)] * 4
    with pytest.raises(TypeError, match="full"):
        cc.verify_trail(str(tmp_path / "trail.json"), key.public_key, checkpoint=note, full=1)


def test_the_command_line_checks_every_signature_with_full(tmp_path, key, written):
    data, note, _ = written
    entries = entries_of(data)
    entries[7]["signature"][5] ^= 1
    path = tmp_path / "trail.json"
    path.write_bytes(render(entries))
    (tmp_path / "trail.json.checkpoint").write_text(note)
    command = [sys.executable, "-m", "corvel_charter", "verify", str(path), "--public-key", key.public_key.raw.hex()]
    default = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert default.returncode == 0 and "40 entries verified" in default.stdout, default
    full = subprocess.run(command + ["--full"], capture_output=True, text=True, timeout=60)
    assert full.returncode == 1 and "Invalid signature at audit log index 7" in full.stderr, full


def test_a_writer_opens_a_covered_trail_and_refuses_damage_as_a_full_check_does(tmp_path, key, written):
    data, note, private = written
    path = tmp_path / "trail.json"
    (tmp_path / "trail.json.checkpoint").write_text(note)
    path.write_bytes(data)
    with cc.AuditTrail(str(path), key) as trail:
        assert (trail.count, trail.checkpoint_origin) == (TOTAL, ORIGIN)

    refusals = {}
    for name in ("rewritten and re-chained unsigned", "rewritten and re-signed by the key holder", "value changed"):
        entries = entries_of(data)
        DAMAGES[name][0](entries, 5, private)
        path.write_bytes(render(entries))
        (tmp_path / "trail.json.tree").unlink(missing_ok=True)
        with pytest.raises(cc.TrailError) as refused:
            cc.AuditTrail(str(path), key)
        refusals[name] = str(refused.value)
        assert path.read_bytes() == render(entries)  # refused untouched
    assert refusals["rewritten and re-chained unsigned"] == "Invalid signature at audit log index 5"
    assert refusals["value changed"].startswith("Audit chain integrity broken at index 5: ")
    assert "do not give the root of the checkpoint beside it" in refusals["rewritten and re-signed by the key holder"]


@pytest.fixture(scope="module")
def large(tmp_path_factory, key):
    """A trail of some megabytes, so that its signatures are checked on every core."""
    path = tmp_path_factory.mktemp("large") / "trail.json"
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    with cc.AuditTrail(str(path), key, sync_every=0) as trail:
        for i in range(2500):
            action = cc.Action.write_file(f"f{i}", b"y" * 300)
            trail.append(action, charter.verify_action(action), cc.Decision.approved())
    return path.read_bytes()


# Damage at several places: the first in file order is reported, wherever the checks ran.
@pytest.mark.parametrize("damage", [
    {1700: "signature", 2300: "signature"},
    {2100: "signature", 300: "signature"},
    {1200: "signature", 1900: "value"},
    {1499: "signature", 1500: "line"},
    {900: "value", 2400: "signature"},
    {2499: "signature"},
])
def test_signatures_checked_on_every_core_report_the_first_failure(tmp_path, key, large, damage):
    entries = entries_of(large)
    for index, kind in damage.items():
        if kind == "signature":
            entries[index]["signature"][9] ^= 1
        elif kind == "value":
            entries[index]["timestamp"] += 1
    data = render(entries)
    for index, kind in damage.items():
        if kind == "line":  # an entry line that is not JSON
            lines = data.split(b"\n")
            lines[index + 1] = b"{" + lines[index + 1]
            data = b"\n".join(lines)
    path = tmp_path / "trail.json"
    path.write_bytes(data)
    first = min(damage)
    expected = {"signature": ("signature", first), "value": ("chain", first), "line": ("layout", first)}
    try:
        ref.verify(data, key.public_key.raw)
    except ref.Refused as refused:
        assert (refused.kind, refused.index) == expected[damage[first]]
    with pytest.raises(cc.TrailError) as refused:
        cc.verify_trail(str(path), key.public_key)
    message = str(refused.value)
    if damage[first] == "signature":
        assert message == f"Invalid signature at audit log index {first}"
    elif damage[first] == "value":
        assert message.startswith(f"Audit chain integrity broken at index {first}: ")
    else:
        assert f"line {first + 2}:" in message, message
