"""The audit trail end to end: what the writer writes verifies with the product and with an
independent verifier written from the format document; damage of every kind is refused at the
right index; crashes, threads, second writers and bad input lose nothing."""

import json
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import corvel_charter as cc
from conftest import run_python

cryptography = pytest.importorskip("cryptography")
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402

import trail_reference as ref  # noqa: E402

RULES = ["Do no harm", "Respect privacy"]


@pytest.fixture(scope="module")
def key():
    return cc.TrailKey.generate()


def sealed_charter():
    charter = cc.SealedCharter(rules=RULES)
    charter.seal()
    return charter


def write_trail(path, key, count):
    """A trail of approvals, signed denials and one hard reset (the tenth violation in a row)."""
    charter = sealed_charter()
    watchdog = cc.Watchdog(RULES, charter.charter_hash())
    with cc.AuditTrail(str(path), key, sync_every=0) as trail:
        for i in range(count):
            action = (cc.Action.delete_file("/etc/passwd") if i % 3
                      else cc.Action.write_file(f"f{i}.txt \u00e9\n\"x\"", b"payload"))
            trail.append(action, charter.verify_action(action), watchdog.verify_action(action))
            if i % 3 == 2:
                trail.append(cc.Action.read_file(f"r{i}"), charter.verify_action(cc.Action.read_file(f"r{i}")),
                             cc.Decision.denied(f"manual {i}"))
        # Ten violations in a row: the last one carries the hard-reset signal.
        watchdog = cc.Watchdog(RULES, charter.charter_hash())
        for _ in range(cc.max_violations()):
            action = cc.Action.execute_command("rm -rf /")
            result = watchdog.verify_action(action)
            trail.append(action, charter.verify_action(action), result)
        assert result.hard_reset_required
        return trail.count


def product_refusal(path, public_key):
    """(kind, index) of the product verifier's refusal, or None if it accepts."""
    try:
        cc.verify_trail(str(path), public_key)
    except cc.TrailIntegrityError as error:
        message = str(error)
        chain = re.fullmatch(r"Audit chain integrity broken at index (\d+): expected \[.*\], found \[.*\]", message)
        if chain:
            return "chain", int(chain.group(1))
        signature = re.fullmatch(r"Invalid signature at audit log index (\d+)", message)
        assert signature, message
        return "signature", int(signature.group(1))
    except cc.TrailError as error:
        message = str(error)
        assert message.startswith("Serialization error in audit log: "), message
        nonce = re.search(r"proof nonce of entry (\d+) repeats", message)
        if nonce:
            return "nonce", int(nonce.group(1))
        line = re.search(r"line (\d+):", message) or re.search(r"entry (\d+) holds index", message)
        index = None
        if line:
            index = int(line.group(1)) - 2 if line.re.pattern.startswith("line") else int(line.group(1))
        return "layout", index
    return None


def reference_refusal(data, public_key):
    try:
        ref.verify(data, public_key.raw)
    except ref.Refused as refused:
        return refused.kind, refused.index
    return None


# ---------------------------------------------------------------- what is written


def test_every_append_verifies_loads_and_agrees_with_the_independent_verifier(tmp_path, key):
    path = tmp_path / "trail.json"
    charter = sealed_charter()
    watchdog = cc.Watchdog(RULES, charter.charter_hash())
    with cc.AuditTrail(str(path), key) as trail:
        assert cc.AuditLogger(str(path)).entry_count() == 0
        for i, action in enumerate([cc.Action.read_file("a"), cc.Action.delete_file("/etc/passwd"),
                                    cc.Action.execute_command("ls -l"), cc.Action.write_file("b\u00e9\n", b"\x00\xff")]):
            index, current = trail.append(action, charter.verify_action(action), watchdog.verify_action(action))
            assert index == i and len(current) == 32
            assert cc.AuditLogger(str(path)).entry_count() == i + 1
            summary = cc.verify_trail(str(path), key.public_key)
            assert (summary.count, summary.head_index, summary.head_hash) == (i + 1, i, current)
            assert ref.verify(path.read_bytes(), key.public_key.raw) == (i + 1, current)
        assert trail.head_hash == current


def test_the_file_records_the_watchdog_verdict(tmp_path, key):
    path = tmp_path / "trail.json"
    count = write_trail(path, key, 6)
    entries = [json.loads(line.rstrip(",")) for line in path.read_text().splitlines()[1:-1]]
    assert len(entries) == count
    denied = entries[1]
    assert denied["decision"] == {"Denied": {"reason": denied["denial_proof"]["denial_reason"]}}
    assert denied["denial_proof"]["violated_rule"] == "Do no harm"
    assert len(denied["denial_proof"]["signature"]) == 64
    last = entries[-1]
    assert "denial_proof" not in last
    signal = last["hard_reset_signal"]
    assert signal["total_violations"] == 10 and signal["final_denial"]["signature"] == []
    assert last["decision"] == {"Denied": {"reason": "10 consecutive violations reached"}}
    assert entries[0]["decision"] == "Approved" and entries[0]["prev_hash"] == [0] * 32
    assert ref.verify(path.read_bytes(), key.public_key.raw)[0] == count


def test_reopening_continues_and_another_key_is_refused(tmp_path, key):
    path = tmp_path / "trail.json"
    first = write_trail(path, key, 3)
    with cc.AuditTrail(str(path), key) as trail:
        assert trail.count == first and trail.repaired_bytes is None
        charter = sealed_charter()
        action = cc.Action.read_file("more")
        assert trail.append(action, charter.verify_action(action), cc.Decision.approved())[0] == first
    other = cc.TrailKey.generate()
    with pytest.raises(cc.TrailIntegrityError, match="was written under another key"):
        cc.AuditTrail(str(path), other)
    with pytest.raises(cc.TrailIntegrityError, match=r"^Invalid signature at audit log index 0$"):
        cc.verify_trail(str(path), other.public_key)


def test_the_writer_refuses_a_replayed_or_foreign_proof(tmp_path, key):
    path = tmp_path / "trail.json"
    charter = sealed_charter()
    action = cc.Action.read_file("a")
    proof = charter.verify_action(action)
    with cc.AuditTrail(str(path), key) as trail:
        trail.append(action, proof, cc.Decision.approved())
        before = path.read_bytes()
        with pytest.raises(cc.TrailError, match="^Proof nonce already recorded in the audit trail at index 0$"):
            trail.append(action, proof, cc.Decision.denied("again"))
        with pytest.raises(cc.TrailError, match="^The proof was issued for another action$"):
            trail.append(cc.Action.read_file("b"), charter.verify_action(action), cc.Decision.approved())
        assert path.read_bytes() == before and trail.count == 1


# ---------------------------------------------------------------- the tamper matrix


def leaves(value, path=()):
    """Every scalar of a decoded entry with its path; of a byte list, the first and last only."""
    if isinstance(value, dict):
        for name, item in value.items():
            yield from leaves(item, path + (name,))
    elif isinstance(value, list) and value and all(isinstance(b, int) for b in value):
        yield path + (0,), value[0]
        yield path + (len(value) - 1,), value[-1]
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from leaves(item, path + (i,))
    else:
        yield path, value


def changed(value):
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return (value + 1) % 256 if value < 256 else value + 1
    if isinstance(value, str):
        return value + "x"
    return 0  # null


def set_at(entry, path, value):
    target = entry
    for step in path[:-1]:
        target = target[step]
    target[path[-1]] = value


def render(entries):
    lines = [json.dumps(e, separators=(",", ":"), ensure_ascii=False) for e in entries]
    return ("[\n" + ",\n".join(lines) + ("\n" if lines else "") + "]\n").encode()


@pytest.fixture(scope="module")
def pristine(tmp_path_factory, key):
    path = tmp_path_factory.mktemp("tamper") / "trail.json"
    write_trail(path, key, 6)
    data = path.read_bytes()
    entries = [json.loads(line.rstrip(",")) for line in data.decode().splitlines()[1:-1]]
    assert render(entries) == data  # the test's own rendering matches the writer's bytes
    return entries


def expected_kind(path):
    if path[0] == "index":
        return "layout"
    if path[0] == "signature":
        return "signature"
    return "chain"


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_changing_any_value_is_refused_at_that_entry(tmp_path, key, pristine, data):
    index = data.draw(st.integers(0, len(pristine) - 1))
    entry = json.loads(json.dumps(pristine[index]))
    path, value = data.draw(st.sampled_from(list(leaves(entry))))
    set_at(entry, path, changed(value))
    entries = [*pristine[:index], entry, *pristine[index + 1:]]
    file = tmp_path / "t.json"
    file.write_bytes(render(entries))

    product = product_refusal(file, key.public_key)
    assert product == reference_refusal(file.read_bytes(), key.public_key), (path, value)
    assert product[1] == index, (path, product)
    # A changed variant name or type makes the member malformed; anything else breaks the hash.
    assert product[0] in (expected_kind(path), "layout"), (path, product)
    with pytest.raises(cc.TrailError):
        cc.AuditTrail(str(file), key)


@pytest.mark.parametrize("damage", ["delete", "duplicate", "swap", "resign", "rechain", "truncate_head"])
def test_moving_entries_or_resigning_is_refused(tmp_path, key, pristine, damage):
    entries = json.loads(json.dumps(pristine))
    at = 3
    if damage == "delete":
        del entries[at]
        expected = ("layout", at)
    elif damage == "duplicate":
        entries.insert(at, entries[at])
        expected = ("layout", at + 1)
    elif damage == "swap":
        entries[at], entries[at + 1] = entries[at + 1], entries[at]
        expected = ("layout", at)
    elif damage == "resign":
        # A valid signature, by someone else's key.
        stranger = Ed25519PrivateKey.generate()
        entries[at]["signature"] = list(stranger.sign(ref.SIGNATURE_DOMAIN + bytes(entries[at]["current_hash"])))
        expected = ("signature", at)
    elif damage == "rechain":
        # Rewritten and re-chained with correct hashes: only the signatures give it away.
        entries[at]["action"]["target"] = "innocent.txt"
        for e, prev in zip(entries[at:], [entries[at - 1]] + entries[at:]):
            e["prev_hash"] = prev["current_hash"]
            e["current_hash"] = list(ref.entry_hash(e))
        expected = ("signature", at)
    else:
        entries = entries[1:]
        expected = ("layout", 0)
    file = tmp_path / "t.json"
    file.write_bytes(render(entries))
    assert product_refusal(file, key.public_key) == expected
    assert reference_refusal(file.read_bytes(), key.public_key) == expected
    with pytest.raises(cc.TrailError):
        cc.AuditTrail(str(file), key)


@pytest.mark.parametrize("text", [
    b"", b"[\n]", b"[]\n", b"[\n\n]\n", b" [\n]\n", b"[\n]\n\n", b"[\n]\n]\n", b"\xef\xbb\xbf[\n]\n",
])
def test_the_layout_is_exact(tmp_path, key, text):
    file = tmp_path / "t.json"
    file.write_bytes(text)
    assert product_refusal(file, key.public_key)[0] == "layout"
    assert reference_refusal(text, key.public_key)[0] == "layout"


def test_layout_damage_inside_entries(tmp_path, key, pristine):
    data = render(pristine)
    lines = data.split(b"\n")
    cases = {
        "missing comma": b"\n".join([lines[0], lines[1][:-1], *lines[2:]]),
        "comma after last": b"\n".join([*lines[:-3], lines[-3] + b",", *lines[-2:]]),
        "unknown member": data.replace(b'{"index":1,', b'{"index":1,"note":0,'),
        "duplicate member": data.replace(b'{"index":1,', b'{"index":1,"index":1,'),
        "float": data.replace(b'"ttl":60', b'"ttl":60.0'),
        "negative": data.replace(b'"ttl":60', b'"ttl":-60'),
        # -0 reads as the value 0, so hash and signature still hold: only the sign is wrong.
        "-0 index": data.replace(b'{"index":0,', b'{"index":-0,'),
        "-0 byte": data.replace(b'"prev_hash":[0,', b'"prev_hash":[-0,', 1),
        "CR before the comma": data.replace(b'},\n', b'}\r,\n', 1),
        "CR before the closing line": data.replace(b'}\n]', b'}\r\n]'),
        "CR before an object": data.replace(b'\n{"index":1,', b'\n\r{"index":1,'),
        "CR inside an object": data.replace(b'{"index":1,', b'{"index":1,\r'),
        "CR LF line ends": data.replace(b"\n", b"\r\n"),
        "space after the comma": data.replace(b'},\n', b'}, \n', 1),
    }
    for name, damaged in cases.items():
        assert damaged != data, name
        file = tmp_path / "t.json"
        file.write_bytes(damaged)
        product = product_refusal(file, key.public_key)
        assert product is not None and product[0] == "layout", name
        assert reference_refusal(damaged, key.public_key)[0] == "layout", name
        with pytest.raises(cc.TrailError, match="^Serialization error in audit log: "):
            cc.AuditTrail(str(file), key)
        assert file.read_bytes() == damaged, name
    # White space inside an entry is JSON's own, and spaces and tabs may stand around the
    # object: both read through it.
    spaced = (data.replace(b'{"index":1,', b'{ "index" : 1 ,\t').replace(b'\n{"index":2,', b'\n \t{"index":2,')
              .replace(b'},\n', b'} \t,\n').replace(b'}\n]', b'}\t \n]'))
    assert product_refusal_of(tmp_path, spaced, key) is None
    assert reference_refusal(spaced, key.public_key) is None


def test_an_entry_line_over_the_limit_is_refused(tmp_path, key, pristine):
    lines = render(pristine[:2]).split(b"\n")
    limit = 64 << 20
    for extra, refused in ((0, False), (1, True)):
        # Entry 0 padded with spaces to the limit (its comma not counted), or one byte over.
        padded = b" " * (limit - len(lines[1]) + 1 + extra) + lines[1]
        data = b"\n".join([lines[0], padded, *lines[2:]])
        product = product_refusal_of(tmp_path, data, key)
        assert product == (("layout", 0) if refused else None)
        assert reference_refusal(data, key.public_key) == product
        if refused:
            with pytest.raises(cc.TrailError, match="line 2: the entry line is longer than the limit"):
                cc.AuditTrail(str(tmp_path / "t.json"), key)
        del data, padded


def test_failures_are_reported_in_file_order(tmp_path, key, pristine):
    entries = json.loads(json.dumps(pristine))
    entries[1]["signature"][0] ^= 1
    bad_signature = render(entries)
    cases = {
        # Damage after a bad signature is never reached.
        "text after ]": (bad_signature + b"x\n", ("signature", 1)),
        "CR later": (bad_signature.replace(b'{"index":3,', b'\r{"index":3,'), ("signature", 1)),
        "cut short later": (bad_signature[:-5], ("signature", 1)),
        # Damage before it is.
        "CR earlier": (bad_signature.replace(b'{"index":0,', b'\r{"index":0,'), ("layout", 0)),
        "comma missing earlier": (bad_signature.replace(b'},\n{"index":1,', b'}\n{"index":1,'), ("layout", 1)),
    }
    for name, (data, expected) in cases.items():
        assert product_refusal_of(tmp_path, data, key) == expected, name
        assert reference_refusal(data, key.public_key) == expected, name


def product_refusal_of(tmp_path, data, key):
    file = tmp_path / "t.json"
    file.write_bytes(data)
    return product_refusal(file, key.public_key)


# ---------------------------------------------------------------- reading rules a verifier must share


@pytest.fixture(scope="module")
def private_key(tmp_path_factory, key):
    """The module key as pyca/cryptography holds it, to sign entries the writer would never write."""
    key_file = tmp_path_factory.mktemp("key") / "key.pem"
    key.save(str(key_file))
    return serialization.load_pem_private_key(key_file.read_bytes(), password=None)


def resign(entries, start, private_key):
    """Re-chains entries from `start` on with correct hashes and signatures under the key."""
    for i in range(start, len(entries)):
        entries[i]["prev_hash"] = entries[i - 1]["current_hash"] if i else [0] * 32
        entries[i]["current_hash"] = list(ref.entry_hash(entries[i]))
        entries[i]["signature"] = list(private_key.sign(ref.SIGNATURE_DOMAIN + bytes(entries[i]["current_hash"])))


def object_paths(value, path=()):
    if isinstance(value, dict):
        yield path
        for name, item in value.items():
            yield from object_paths(item, path + (name,))


def dump(value, at, edit, path=()):
    """Compact JSON of `value`, the object at `at` rendered from edit([(name text, name, value)])."""
    if isinstance(value, dict):
        members = [(json.dumps(name), name, item) for name, item in value.items()]
        if path == at:
            members = edit(members)
        return "{" + ",".join(f"{text}:{dump(item, at, edit, path + (name,))}" for text, name, item in members) + "}"
    if isinstance(value, list):
        return "[" + ",".join(dump(item, at, edit, path) for item in value) + "]"
    return json.dumps(value, ensure_ascii=False)


def escaped_name(members):
    text, name, item = members[0]
    return [(f'"\\u{ord(name[0]):04x}{name[1:]}"', name, item), *members[1:]]


MEMBER_EDITS = {
    # edit: refused?
    "reversed order": (lambda members: members[::-1], False),
    "first name escaped": (escaped_name, False),
    "first given twice": (lambda members: [members[0], *members], True),
    "first missing": (lambda members: members[1:], True),
    "unknown member": (lambda members: [*members, ('"extra"', "extra", 0)], True),
}


def test_member_rules_hold_for_every_nested_object(tmp_path, key, pristine, private_key):
    entries = json.loads(json.dumps(pristine))
    # Entry 0 also gets a Custom action type and a Failed status, so every kind of object is met.
    entries[0]["action"]["action_type"] = entries[0]["proof"]["action_type"] = {"Custom": "deploy"}
    entries[0]["proof"]["status"] = {"Failed": "expired"}
    resign(entries, 0, private_key)
    assert "denial_proof" in entries[1] and "hard_reset_signal" in entries[-1]
    lines = [json.dumps(e, separators=(",", ":"), ensure_ascii=False) for e in entries]
    assert product_refusal_of(tmp_path, render(entries), key) is None
    seen = set()
    for index in (0, 1, len(entries) - 1):
        for at in object_paths(entries[index]):
            seen.add(at[-1] if at else "entry")
            for name, (edit, refused) in MEMBER_EDITS.items():
                edited = dump(entries[index], at, edit)
                data = ("[\n" + ",\n".join([*lines[:index], edited, *lines[index + 1:]]) + "\n]\n").encode()
                expected = ("layout", index) if refused else None
                assert product_refusal_of(tmp_path, data, key) == expected, (index, at, name)
                assert reference_refusal(data, key.public_key) == expected, (index, at, name)
    assert seen >= {"entry", "action", "action_type", "proof", "status", "decision", "Denied", "denial_proof",
                    "hard_reset_signal", "final_denial"}


def test_only_proof_nonces_count_as_repeated(tmp_path, key, pristine, private_key):
    base = json.loads(json.dumps(pristine))
    denied = [i for i, e in enumerate(base) if "denial_proof" in e]
    reset = len(base) - 1
    first, second = denied[0], denied[1]
    accepted = {
        "a denial nonce equal to an earlier proof nonce": (second, ("denial_proof", "nonce"), base[0]["proof"]["nonce"]),
        "a denial nonce equal to an earlier denial nonce": (second, ("denial_proof", "nonce"),
                                                             base[first]["denial_proof"]["nonce"]),
        "a final-denial nonce equal to an earlier proof nonce": (reset, ("hard_reset_signal", "final_denial", "nonce"),
                                                                 base[0]["proof"]["nonce"]),
        "a proof nonce equal to an earlier denial nonce": (second, ("proof", "nonce"),
                                                           base[first]["denial_proof"]["nonce"]),
        "a proof nonce equal to its own denial nonce": (second, ("proof", "nonce"), base[second]["denial_proof"]["nonce"]),
    }
    for name, (index, path, value) in accepted.items():
        entries = json.loads(json.dumps(base))
        set_at(entries[index], path, value)
        resign(entries, index, private_key)
        assert product_refusal_of(tmp_path, render(entries), key) is None, name
        assert reference_refusal(render(entries), key.public_key) is None, name
    entries = json.loads(json.dumps(base))
    entries[second]["proof"]["nonce"] = entries[0]["proof"]["nonce"]
    resign(entries, second, private_key)
    assert product_refusal_of(tmp_path, render(entries), key) == ("nonce", second)
    assert reference_refusal(render(entries), key.public_key) == ("nonce", second)


def test_a_watchdog_record_is_not_held_to_the_decision(tmp_path, key, pristine, private_key):
    # The writer pairs them; a verifier does not check it: the entry hash covers both and only the
    # key holder, who may sign any entry, can sign another pairing.
    entries = json.loads(json.dumps(pristine))
    denied = next(i for i, e in enumerate(entries) if "denial_proof" in e)
    entries[denied]["decision"] = "Approved"
    entries[-1]["decision"] = {"Denied": {"reason": "not the signal's reason"}}
    entries[0]["hard_reset_signal"] = entries[-1]["hard_reset_signal"]
    resign(entries, 0, private_key)
    assert product_refusal_of(tmp_path, render(entries), key) is None
    assert reference_refusal(render(entries), key.public_key) is None


def test_a_signature_of_another_length_fails_the_signature_check(tmp_path, key, pristine):
    for length in (0, 63, 65, 128):
        entries = json.loads(json.dumps(pristine))
        entries[2]["signature"] = (entries[2]["signature"] * 2)[:length]
        data = render(entries)
        assert product_refusal_of(tmp_path, data, key) == ("signature", 2), length
        assert reference_refusal(data, key.public_key) == ("signature", 2), length
        # It is well formed, so the checks before it come first: a wrong hash is met before it.
        entries[2]["current_hash"][0] ^= 1
        assert product_refusal_of(tmp_path, render(entries), key) == ("chain", 2), length
        assert reference_refusal(render(entries), key.public_key) == ("chain", 2), length
    with pytest.raises(cc.TrailIntegrityError, match="^Invalid signature at audit log index 2$"):
        entries[2]["current_hash"][0] ^= 1
        (tmp_path / "t.json").write_bytes(render(entries))
        cc.verify_trail(str(tmp_path / "t.json"), key.public_key)


# ---------------------------------------------------------------- crashes, threads, writers

CHILD = textwrap.dedent("""
    import sys
    import corvel_charter as cc
    key = cc.TrailKey.load(sys.argv[2])
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    with cc.AuditTrail(sys.argv[1], key) as trail:
        print("open", trail.count, flush=True)
        while True:
            action = cc.Action.write_file("f", b"x" * 3000)
            index, _ = trail.append(action, charter.verify_action(action), cc.Decision.approved())
            print(index, flush=True)
""")


def test_killed_writers_lose_nothing_acknowledged(tmp_path, key):
    path, key_file = tmp_path / "trail.json", tmp_path / "key.pem"
    key.save(str(key_file))
    rng = random.Random(7)
    acknowledged = -1
    for _ in range(12):
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(path), str(key_file)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().split()[0] == "open"
        for _ in range(rng.randrange(1, 40)):
            line = child.stdout.readline()
            if not line:
                break
            acknowledged = max(acknowledged, int(line))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with cc.AuditTrail(str(path), key) as trail:
                assert trail.count >= acknowledged + 1
        assert cc.verify_trail(str(path), key.public_key).count >= acknowledged + 1
        assert cc.AuditLogger(str(path)).entry_count() >= acknowledged + 1
    assert acknowledged > 10


THREADED_CHILD = textwrap.dedent("""
    import sys, threading
    import corvel_charter as cc
    key = cc.TrailKey.load(sys.argv[2])
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    trail = cc.AuditTrail(sys.argv[1], key)  # every append durable before it returns
    print("open", trail.count, flush=True)
    out = threading.Lock()
    def work(t):
        i = 0
        while True:
            action = cc.Action.write_file(f"{t}-{i}", b"x" * (100 + 700 * t))
            index, digest = trail.append(action, charter.verify_action(action), cc.Decision.approved())
            with out:
                print(index, digest.hex(), flush=True)
            i += 1
    for t in range(8):
        threading.Thread(target=work, args=(t,), daemon=True).start()
    threading.Event().wait()
""")


def test_eight_threads_killed_at_random_lose_nothing_acknowledged(tmp_path, key):
    """Appends that share syncs still return only once durable: every acknowledged entry is in
    the file, with the hash it was acknowledged with, after a kill at any moment."""
    path, key_file = tmp_path / "trail.json", tmp_path / "key.pem"
    key.save(str(key_file))
    rng = random.Random(20)
    acknowledged = {}
    for _ in range(30):
        child = subprocess.Popen([sys.executable, "-c", THREADED_CHILD, str(path), str(key_file)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().split()[0] == "open"
        for _ in range(rng.randrange(0, 80)):
            line = child.stdout.readline()
            if not line:
                break
            index, digest = line.split()
            acknowledged[int(index)] = digest
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with cc.AuditTrail(str(path), key) as trail:
                assert trail.count >= max(acknowledged, default=-1) + 1
        entries = json.loads(path.read_bytes())
        for index, digest in acknowledged.items():
            assert bytes(entries[index]["current_hash"]).hex() == digest, index
        assert cc.verify_trail(str(path), key.public_key).count == len(entries)
    assert ref.verify(path.read_bytes(), key.public_key.raw)[0] == len(entries)
    assert len(acknowledged) > 300


def test_a_cut_short_append_is_repaired_with_a_warning(tmp_path, key):
    path = tmp_path / "trail.json"
    count = write_trail(path, key, 3)
    data = path.read_bytes()
    path.write_bytes(data[:-40])
    with pytest.warns(RuntimeWarning, match="removed .* bytes of an append that was cut short"):
        trail = cc.AuditTrail(str(path), key)
    assert trail.count == count - 1 and trail.repaired_bytes > 0
    trail.close()
    assert cc.verify_trail(str(path), key.public_key).count == count - 1


def test_threads_share_one_writer_and_a_second_writer_is_refused(tmp_path, key):
    path = tmp_path / "trail.json"
    charter = sealed_charter()
    indexes = []
    with cc.AuditTrail(str(path), key, sync_every=0, sync_interval=0.05) as trail:
        def work(t):
            for i in range(40):
                action = cc.Action.read_file(f"{t}-{i}")
                indexes.append(trail.append(action, charter.verify_action(action), cc.Decision.approved())[0])
        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        with pytest.raises(cc.TrailError, match="is already open for writing by another writer"):
            cc.AuditTrail(str(path), key)
        process = run_python(f"import corvel_charter as cc; cc.AuditTrail({str(path)!r}, cc.TrailKey.generate())",
                             check=False)
        assert "is already open for writing by another writer" in process.stderr
        for thread in threads:
            thread.join()
    assert sorted(indexes) == list(range(320))
    assert ref.verify(path.read_bytes(), key.public_key.raw)[0] == 320
    trail.close()  # a second close is harmless
    with pytest.raises(cc.TrailError, match="^Audit trail is closed$"):
        trail.sync()


# ---------------------------------------------------------------- bad input


def test_argument_errors(tmp_path, key):
    path = str(tmp_path / "trail.json")
    with pytest.raises(TypeError, match="argument 'path'"):
        cc.AuditTrail(42, key)
    with pytest.raises(TypeError, match="argument 'key'"):
        cc.AuditTrail(path, key.public_key)
    with pytest.raises(ValueError, match="sync_interval"):
        cc.AuditTrail(path, key, sync_interval=-1)
    charter = sealed_charter()
    action = cc.Action.read_file("a")
    with cc.AuditTrail(path, key) as trail:
        with pytest.raises(TypeError, match="argument 'action'"):
            trail.append("a", charter.verify_action(action), cc.Decision.approved())
        with pytest.raises(TypeError, match="argument 'proof'"):
            trail.append(action, action, cc.Decision.approved())
        with pytest.raises(TypeError, match="argument 'decision'"):
            trail.append(action, charter.verify_action(action), True)
    with pytest.raises(TypeError, match="argument 'public_key'"):
        cc.verify_trail(path, 42)
    assert cc.verify_trail(path, key.public_key.hex()).count == 0
    assert cc.verify_trail(path, key.public_key.raw).count == 0
    assert cc.Decision.denied("why") == cc.Decision.denied("why") != cc.Decision.approved()
    assert (cc.Decision.denied("why").reason, cc.Decision.approved().reason) == ("why", None)


def test_paths_that_cannot_hold_a_trail(tmp_path, key):
    with pytest.raises(cc.TrailError, match="^IO error in audit log: Is a directory$"):
        cc.AuditTrail(str(tmp_path), key)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(cc.TrailError, match="not a regular file"):
        cc.verify_trail(str(fifo), key.public_key)
    with pytest.raises(cc.TrailError, match="No such file or directory"):
        cc.verify_trail(str(tmp_path / "missing"), key.public_key)
    with pytest.raises(cc.TrailError, match="No such file or directory"):
        cc.AuditTrail(str(tmp_path / "missing" / "trail.json"), key)


def test_a_full_disk_loses_nothing(tmp_path, key):
    """Under a file-size limit an append fails cleanly; the file still verifies and reopens."""
    path = tmp_path / "trail.json"
    code = textwrap.dedent(f"""
        import resource
        import corvel_charter as cc
        key = cc.TrailKey.load({str(tmp_path / 'key.pem')!r})
        charter = cc.SealedCharter(rules=["r"])
        charter.seal()
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        with cc.AuditTrail({str(path)!r}, key) as trail:
            try:
                while True:
                    action = cc.Action.write_file("f", b"x" * 500)
                    trail.append(action, charter.verify_action(action), cc.Decision.approved())
            except cc.TrailError as error:
                print(trail.count, error)
    """)
    key.save(str(tmp_path / "key.pem"))
    out = run_python(code).stdout.split(" ", 1)
    count = int(out[0])
    assert count > 3 and out[1].strip() == "IO error in audit log: File too large"
    assert cc.verify_trail(str(path), key.public_key).count == count
    assert cc.AuditLogger(str(path)).entry_count() == count
    with cc.AuditTrail(str(path), key) as trail:
        assert trail.count == count and trail.repaired_bytes is None


def test_read_only_directory(tmp_path, key):
    folder = tmp_path / "ro"
    folder.mkdir()
    folder.chmod(0o555)
    code = f"import corvel_charter as cc; cc.AuditTrail({str(folder / 't.json')!r}, cc.TrailKey.generate())"
    command = [sys.executable, "-c", code]
    if os.geteuid() == 0:
        # Root ignores directory permissions; drop the capability that lets it.
        command = ["setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", *command]
    try:
        process = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        pytest.skip("setpriv is not installed")
    assert process.returncode == 1
    assert process.stderr.strip().endswith("corvel_charter.TrailError: IO error in audit log: Permission denied")
    assert not (folder / "t.json").exists()


# ---------------------------------------------------------------- keys


def test_key_files_interoperate_and_refuse_loose_permissions(tmp_path, key):
    path = tmp_path / "key.pem"
    key.save(str(path))
    assert (path.stat().st_mode & 0o777) == 0o600
    private = serialization.load_pem_private_key(path.read_bytes(), password=None)
    raw = private.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    assert raw == key.public_key.raw
    public = serialization.load_pem_public_key(key.public_key.pem().encode())
    assert public.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw) == raw
    assert cc.TrailKey.load(str(path)).public_key == key.public_key
    with pytest.raises(cc.TrailKeyError, match="already exists"):
        key.save(str(path))
    path.chmod(0o644)
    with pytest.raises(cc.TrailKeyError, match=r"^Permissions 0644 for '.*' are too open"):
        cc.TrailKey.load(str(path))
    path.chmod(0o600)
    path.write_bytes(path.read_bytes()[:50])
    with pytest.raises(cc.TrailKeyError, match="cut short"):
        cc.TrailKey.load(str(path))
    for text in [key.public_key.pem(), key.public_key.hex(), key.public_key.verifier_key("example.com/agent-7")]:
        assert cc.TrailPublicKey.parse(text) == key.public_key
    with pytest.raises(cc.TrailKeyError):
        cc.TrailPublicKey.parse("not a key")
