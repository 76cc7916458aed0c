"""Checkpoints, portable evidence and consistency proofs over the audit trail, each checked
against an independent implementation of the public formats."""

import base64
import json
import shutil
import subprocess
import sys

import pytest

import corvel_charter as cc

pytest.importorskip("cryptography")
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402

import note_reference as notes  # noqa: E402
import trail_reference as ref  # noqa: E402

ORIGIN = "example.com/agent-7"


@pytest.fixture(scope="module")
def key(tmp_path_factory):
    return cc.TrailKey.generate()


def append(trail, charter, target):
    action = cc.Action.read_file(target)
    return trail.append(action, charter.verify_action(action), cc.Decision.approved())


def checkpointed_trail(path, key, charter, count):
    """Writes a trail of `count` approvals; returns its checkpoint note."""
    with cc.AuditTrail(str(path), key) as trail:
        for i in range(count):
            append(trail, charter, f"f{i}")
        return trail.checkpoint(ORIGIN)


@pytest.fixture
def charter():
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    return charter


def entries_of(path):
    return [json.loads(line.rstrip(",")) for line in path.read_text().splitlines()[1:-1]]


def render(entries):
    lines = [json.dumps(e, separators=(",", ":"), ensure_ascii=False) for e in entries]
    return ("[\n" + ",\n".join(lines) + ("\n" if lines else "") + "]\n").encode()


def test_checkpoints_verify_independently_over_the_exact_note(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    with cc.AuditTrail(str(path), key, checkpoint_origin=ORIGIN) as trail:
        for size in range(0, 40):
            if size:
                append(trail, charter, f"f{size}")
            note = trail.checkpoint(ORIGIN)
            origin, tree_size, root = notes.open_checkpoint(note, ORIGIN, key.public_key.raw)
            leaves = [notes.leaf_hash(bytes(e["current_hash"])) for e in entries_of(path)]
            assert (origin, tree_size, root) == (ORIGIN, size, notes.root(leaves))
        # The checkpoint written beside the trail on each sync is the same tree.
        beside = (tmp_path / "trail.json.checkpoint").read_text()
        assert notes.open_checkpoint(beside, ORIGIN, key.public_key.raw)[1:] == (39, root)
    assert key.public_key.verifier_key(ORIGIN) == notes.verifier_key(ORIGIN, key.public_key.raw)


def private_key_of(key, tmp_path):
    """The trail key as a pyca key, through its key file."""
    key_file = tmp_path / "key.pem"
    key.save(str(key_file))
    return serialization.load_pem_private_key(key_file.read_bytes(), password=None)


def test_the_first_sync_after_opening_writes_the_checkpoint(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    beside = tmp_path / "trail.json.checkpoint"
    empty_root = notes.root([])
    # An empty trail: close() writes a checkpoint of size 0, and it verifies the empty trail.
    cc.AuditTrail(str(path), key, checkpoint_origin=ORIGIN).close()
    assert notes.open_checkpoint(beside.read_text(), ORIGIN, key.public_key.raw) == (ORIGIN, 0, empty_root)
    assert cc.verify_trail(str(path), key.public_key, checkpoint=beside.read_text()).count == 0
    # Entries written without an origin, then reopened with one: sync() alone writes it.
    beside.unlink()
    with cc.AuditTrail(str(path), key) as trail:
        for i in range(5):
            append(trail, charter, f"f{i}")
    assert not beside.exists()
    trail = cc.AuditTrail(str(path), key, checkpoint_origin=ORIGIN)
    trail.sync()
    written = beside.read_text()
    assert notes.open_checkpoint(written, ORIGIN, key.public_key.raw)[1] == 5
    # Later syncs with nothing new leave it; close() too.
    trail.sync()
    trail.close()
    assert beside.read_text() == written
    assert cc.verify_evidence(cc.prove(str(path), 4), key.public_key.verifier_key(ORIGIN))["tree_size"] == 5


def test_the_verifier_proves_the_checkpoints_prefix(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    with cc.AuditTrail(str(path), key) as trail:
        for i in range(12):
            append(trail, charter, f"f{i}")
        old = trail.checkpoint(ORIGIN)
        for i in range(12, 20):
            append(trail, charter, f"f{i}")
        current = trail.checkpoint(ORIGIN)
    for note in (old, current):
        assert cc.verify_trail(str(path), key.public_key, checkpoint=note).count == 20

    # Unknown signatures are ignored, up to 16 and more of them.
    stranger = Ed25519PrivateKey.generate()
    text = current.partition("\n\n")[0] + "\n"
    crowded = current + "".join(notes.sign_note(text, f"other{i}.example", stranger) for i in range(16))
    assert cc.verify_trail(str(path), key.public_key, checkpoint=crowded).count == 20
    # Signed by another key only: refused.
    foreign = text + "\n" + notes.sign_note(text, ORIGIN, stranger)
    with pytest.raises(cc.TrailError, match="^Checkpoint error: "):
        cc.verify_trail(str(path), key.public_key, checkpoint=foreign)
    # The right name and key ID with a bad signature: refused, not skipped.
    bad = current.replace(current.split(" ")[-1][:8], "AAAAAAAA")
    with pytest.raises(cc.TrailError, match="^Checkpoint error: "):
        cc.verify_trail(str(path), key.public_key, checkpoint=bad)
    # Extension lines after the three: non-empty ones are signed over and ignored, an empty one
    # is refused.
    private = private_key_of(key, tmp_path)
    extended = text + "extension: one\nextension: two\n"
    extended_note = extended + "\n" + notes.sign_note(extended, ORIGIN, private)
    assert cc.verify_trail(str(path), key.public_key, checkpoint=extended_note).count == 20
    hollow = text + "\n"
    with pytest.raises(cc.TrailError, match="extension line 1 is empty"):
        cc.verify_trail(str(path), key.public_key, checkpoint=hollow + "\n" + notes.sign_note(hollow, ORIGIN, private))


def resign(entries, start, private_key):
    """Re-chains entries from `start` on with correct hashes and signatures under the key."""
    for i in range(start, len(entries)):
        entries[i]["prev_hash"] = entries[i - 1]["current_hash"] if i else [0] * 32
        entries[i]["current_hash"] = list(ref.entry_hash(entries[i]))
        entries[i]["signature"] = list(private_key.sign(ref.SIGNATURE_DOMAIN + bytes(entries[i]["current_hash"])))


@pytest.fixture
def signed_trail(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    note = checkpointed_trail(path, key, charter, 16)
    key_file = tmp_path / "key.pem"
    key.save(str(key_file))
    private = serialization.load_pem_private_key(key_file.read_bytes(), password=None)
    return path, note, private


def test_truncation_rewriting_and_forks_below_a_checkpoint_are_refused(tmp_path, key, charter, signed_trail):
    path, note, private = signed_trail
    entries = entries_of(path)

    # Cut short: a well-formed, validly signed trail of 10 entries.
    path.write_bytes(render(entries[:10]))
    assert cc.verify_trail(str(path), key.public_key).count == 10
    with pytest.raises(cc.TrailIntegrityError, match="covers 16 entries, the file holds 10: it was cut short"):
        cc.verify_trail(str(path), key.public_key, checkpoint=note)

    # Rewritten and re-chained by the key holder: the chain verifies, the checkpoint does not.
    rewritten = json.loads(json.dumps(entries))
    rewritten[5]["action"]["target"] = "innocent.txt"
    resign(rewritten, 5, private)
    path.write_bytes(render(rewritten))
    assert cc.verify_trail(str(path), key.public_key).count == 16
    with pytest.raises(cc.TrailIntegrityError, match="do not give the checkpoint's root"):
        cc.verify_trail(str(path), key.public_key, checkpoint=note)

    # A fork: the first 8 entries, then other decisions appended by the writer itself.
    path.write_bytes(render(entries[:8]))
    (tmp_path / "trail.json.tree").unlink()
    with cc.AuditTrail(str(path), key) as trail:
        for i in range(8, 20):
            append(trail, charter, f"fork{i}")
        forked = trail.checkpoint(ORIGIN)
    with pytest.raises(cc.TrailIntegrityError, match="do not give the checkpoint's root"):
        cc.verify_trail(str(path), key.public_key, checkpoint=note)
    shutil.copy(path, tmp_path / "fork.json")
    (tmp_path / "trail.json.checkpoint").write_text(forked)
    with pytest.raises(cc.TrailIntegrityError, match="does not extend the old checkpoint"):
        cc.prove_consistency(note, str(path))


def test_evidence_verifies_offline_and_damage_is_refused(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    with cc.AuditTrail(str(path), key, sync_every=0, checkpoint_origin=ORIGIN) as trail:
        for i in range(37):
            append(trail, charter, f"f{i}")
        trail.sync()
    vkey = key.public_key.verifier_key(ORIGIN)
    for index in (0, 1, 17, 35, 36):
        evidence = cc.prove(str(path), index)
        summary = cc.verify_evidence(evidence, vkey)
        assert (summary["index"], summary["tree_size"], summary["origin"]) == (index, 37, ORIGIN)

        # The same bundle, checked with nothing from the product.
        doc = json.loads(evidence)
        assert sorted(doc) == ["checkpoint", "entry", "evidence", "inclusion_proof", "tree_size"]
        _, size, root = notes.open_checkpoint(doc["checkpoint"], ORIGIN, key.public_key.raw)
        entry = doc["entry"]
        assert ref.entry_hash(entry) == bytes(entry["current_hash"])
        proof = [base64.b64decode(p) for p in doc["inclusion_proof"]]
        assert notes.verify_inclusion(index, size, notes.leaf_hash(bytes(entry["current_hash"])), proof, root)
        assert len(evidence) < 4000

    doc = json.loads(cc.prove(str(path), 17))
    damaged = []
    for i in range(len(doc["inclusion_proof"])):
        flipped = json.loads(json.dumps(doc))
        raw = bytearray(base64.b64decode(flipped["inclusion_proof"][i]))
        raw[0] ^= 1
        flipped["inclusion_proof"][i] = base64.b64encode(raw).decode()
        damaged.append(flipped)
    for change in ({"tree_size": 36}, {"inclusion_proof": doc["inclusion_proof"][:-1]}):
        damaged.append({**doc, **change})
    other_index = json.loads(json.dumps(doc))
    other_index["entry"]["index"] = 16
    damaged.append(other_index)
    other_target = json.loads(json.dumps(doc))
    other_target["entry"]["action"]["target"] = "elsewhere"
    damaged.append(other_target)
    for bad in damaged:
        with pytest.raises(cc.TrailError):
            cc.verify_evidence(json.dumps(bad), vkey)
    with pytest.raises(cc.TrailError, match="Checkpoint error"):
        cc.verify_evidence(json.dumps(doc), cc.TrailKey.generate().public_key.verifier_key(ORIGIN))

    # -0 reads as 0, so the entry's hash and signature still hold: the sign alone is refused.
    first = cc.prove(str(path), 0)
    for signed in (first.replace('"prev_hash":[0,', '"prev_hash":[-0,', 1), first.replace('{"index":0,', '{"index":-0,')):
        assert signed != first
        with pytest.raises(cc.TrailError, match="a number with a minus sign"):
            cc.verify_evidence(signed, vkey)

    # White space around the verifier key is ignored, as for every one-line key text.
    assert cc.verify_evidence(json.dumps(doc), f" {vkey}\r\n")["index"] == 17

    # A checkpoint of another origin, signed by the same key under this key's name: another
    # trail's checkpoint, refused although its signature verifies.
    body = doc["checkpoint"].partition("\n\n")[0] + "\n"
    other = "other.example/agent-8\n" + body.partition("\n")[2]
    foreign = {**doc, "checkpoint": other + "\n" + notes.sign_note(other, ORIGIN, private_key_of(key, tmp_path))}
    with pytest.raises(cc.TrailError, match="origin \"other.example/agent-8\" is not the verifier key's name"):
        cc.verify_evidence(json.dumps(foreign), vkey)


def test_consistency_proofs_verify_independently(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    olds = []
    with cc.AuditTrail(str(path), key, sync_every=0, checkpoint_origin=ORIGIN) as trail:
        for i in range(30):
            append(trail, charter, f"f{i}")
            if i in (0, 1, 6, 15, 29):
                olds.append(trail.checkpoint(ORIGIN))
    for old in olds:
        doc = json.loads(cc.prove_consistency(old, str(path)))
        _, m, root1 = notes.open_checkpoint(doc["old_checkpoint"], ORIGIN, key.public_key.raw)
        _, n, root2 = notes.open_checkpoint(doc["new_checkpoint"], ORIGIN, key.public_key.raw)
        proof = [base64.b64decode(p) for p in doc["proof"]]
        assert n == 30 and notes.verify_consistency(m, n, root1, root2, proof)
        if proof:
            proof[0] = bytes([proof[0][0] ^ 1]) + proof[0][1:]
            assert not notes.verify_consistency(m, n, root1, root2, proof)


def test_a_lost_tree_is_rebuilt_from_the_trail(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    note = checkpointed_trail(path, key, charter, 10)
    tree = tmp_path / "trail.json.tree"
    for damage in (lambda: tree.unlink(), lambda: tree.write_bytes(tree.read_bytes()[:100]),
                   lambda: tree.write_bytes(tree.read_bytes()[:-32] + bytes(32))):
        damage()
        with cc.AuditTrail(str(path), key) as trail:
            assert trail.checkpoint(ORIGIN).partition("\n\n")[0] == note.partition("\n\n")[0]


def run_cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "corvel_charter", *args], capture_output=True, text=True,
                          input=stdin, timeout=60)


def test_command_line_prove_verify_evidence_and_consistency(tmp_path, key, charter):
    path = tmp_path / "trail.json"
    with cc.AuditTrail(str(path), key, checkpoint_origin=ORIGIN) as trail:
        for i in range(5):
            append(trail, charter, f"f{i}")
        old = tmp_path / "old.checkpoint"
        old.write_text(trail.checkpoint(ORIGIN))
        for i in range(5, 9):
            append(trail, charter, f"f{i}")
    vkey = key.public_key.verifier_key(ORIGIN)
    proved = run_cli("prove", str(path), "3")
    assert proved.returncode == 0, proved.stderr
    evidence = tmp_path / "evidence.json"
    evidence.write_text(proved.stdout)
    for key_text in (vkey, vkey + "\n"):
        checked = run_cli("verify-evidence", str(evidence), "--key", key_text)
        assert checked.returncode == 0 and checked.stdout.startswith(f"OK: entry 3 of {ORIGIN}"), checked.stderr
    evidence.write_text(proved.stdout.replace('"target":"f3"', '"target":"f4"'))
    refused = run_cli("verify-evidence", str(evidence), "--key", vkey)
    assert refused.returncode == 1 and refused.stderr.startswith("error: Audit chain integrity broken at index 3")
    assert "Traceback" not in refused.stderr
    consistency = run_cli("consistency", str(old), str(path))
    assert consistency.returncode == 0 and json.loads(consistency.stdout)["consistency"] == "corvel-trail-consistency-v1"
    assert run_cli("verify", str(path), "--public-key", vkey, "--checkpoint", str(old)).returncode == 0
    missing = run_cli("prove", str(tmp_path / "nothing.json"), "0")
    assert missing.returncode == 2 and "Traceback" not in missing.stderr


def test_verifying_takes_action_hash_as_signed(key, signed_trail):
    # The writer checks action_hash against the action; a verifier checks only what is signed,
    # so the key holder's entry with another action_hash verifies.
    path, _, private = signed_trail
    entries = entries_of(path)
    entries[3]["proof"]["action_hash"] = [7] * 32
    resign(entries, 3, private)
    path.write_bytes(render(entries))
    assert cc.verify_trail(str(path), key.public_key).count == 16
    assert ref.verify(path.read_bytes(), key.public_key.raw)[0] == 16


def test_the_tree_beside_the_trail_is_never_evidence(tmp_path, key, charter):
    # Verifying a trail against a checkpoint, and verifying evidence, read neither the tree nor
    # anything else beside the trail: a damaged or missing tree changes no verdict.
    path = tmp_path / "trail.json"
    with cc.AuditTrail(str(path), key, checkpoint_origin=ORIGIN) as trail:
        for i in range(6):
            append(trail, charter, f"f{i}")
    note = (tmp_path / "trail.json.checkpoint").read_text()
    evidence = cc.prove(str(path), 4)
    tree = tmp_path / "trail.json.tree"
    vkey = key.public_key.verifier_key(ORIGIN)
    for damage in (lambda: tree.write_bytes(tree.read_bytes()[:16] + bytes(len(tree.read_bytes()) - 16)),
                   lambda: tree.write_bytes(b"not a tree"), lambda: tree.unlink()):
        damage()
        assert cc.verify_trail(str(path), key.public_key, checkpoint=note).count == 6
        assert cc.verify_evidence(evidence, vkey)["index"] == 4
        checked = run_cli("verify", str(path), "--public-key", vkey, "--checkpoint", str(tmp_path / "trail.json.checkpoint"))
        assert checked.returncode == 0, checked.stderr
    # And a good tree does not make a damaged trail pass.
    entries = entries_of(path)
    entries[2]["action"]["target"] = "other"
    path.write_bytes(render(entries))
    with pytest.raises(cc.TrailIntegrityError):
        cc.verify_trail(str(path), key.public_key, checkpoint=note)
