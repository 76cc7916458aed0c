"""Evidence and consistency documents as a third party meets them: never emitted when they fail,
verified with the verifier key alone, names as the signed-note rules allow them, and refusals
that say what is wrong with what was given. Checked against the independent implementation in
note_reference (pyca/cryptography)."""

import base64
import json
import re
import shutil
import subprocess
import sys

import pytest

import corvel_charter as cc

pytest.importorskip("cryptography")
from cryptography.hazmat.primitives import serialization  # noqa: E402

import note_reference as notes  # noqa: E402

ORIGIN = "example.com/agent-7"

# Every character Unicode calls a space, by Python's own table (not the product's list).
UNICODE_SPACES = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]


def append(trail, charter, target):
    action = cc.Action.read_file(target)
    trail.append(action, charter.verify_action(action), cc.Decision.approved())


def written_trail(folder, key, charter, count, checkpoints_at=()):
    """A trail of `count` approvals with its checkpoint beside it; the checkpoints taken after
    the sizes in `checkpoints_at`."""
    path = folder / "t.json"
    olds = []
    with cc.AuditTrail(str(path), key, sync_every=0, checkpoint_origin=ORIGIN) as trail:
        if 0 in checkpoints_at:
            olds.append(trail.checkpoint(ORIGIN))
        for i in range(count):
            append(trail, charter, f"f{i}")
            if i + 1 in checkpoints_at:
                olds.append(trail.checkpoint(ORIGIN))
    return path, olds


def entries_of(path):
    return [json.loads(line.rstrip(",")) for line in path.read_text().splitlines()[1:-1]]


def private_key_of(key, folder):
    key_file = folder / "key.pem"
    if not key_file.exists():
        key.save(str(key_file))
    return serialization.load_pem_private_key(key_file.read_bytes(), password=None)


def run_cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "corvel_charter", *args], capture_output=True, text=True,
                          input=stdin, timeout=120)


def independently_verified(evidence, key):
    """The evidence checked by the reference: signed checkpoint and inclusion proof."""
    doc = json.loads(evidence)
    origin, size, root = notes.open_checkpoint(doc["checkpoint"], ORIGIN, key.public_key.raw)
    leaf = notes.leaf_hash(bytes(doc["entry"]["current_hash"]))
    proof = [base64.b64decode(p) for p in doc["inclusion_proof"]]
    return origin == ORIGIN and notes.verify_inclusion(doc["entry"]["index"], size, leaf, proof, root)


# ---------------------------------------------------------------- evidence never fails


def test_a_damaged_tree_never_yields_evidence_that_fails(tmp_path, key, charter):
    path, _ = written_trail(tmp_path, key, charter, 4)
    tree = tmp_path / "t.json.tree"
    vkey = key.public_key.verifier_key(ORIGIN)
    original = tree.read_bytes()
    assert len(original) == 16 + 7 * 32  # header, then 2n - popcount(n) records

    # One bit of byte 19 (inside leaf 0) first, then a bit of every record in turn.
    for offset in [19] + list(range(16, len(original), 32)):
        damaged = bytearray(original)
        damaged[offset] ^= 1
        tree.write_bytes(bytes(damaged))
        for index in range(4):
            evidence = cc.prove(str(path), index)
            assert cc.verify_evidence(evidence, vkey)["index"] == index
            assert independently_verified(evidence, key)
        assert tree.read_bytes() == bytes(damaged)  # read, never written

    # Missing, cut inside a record, a foreign header, another trail's tree: all rebuilt.
    other = tmp_path / "other"
    other.mkdir()
    written_trail(other, cc.TrailKey.generate(), charter, 4)
    for damage in (b"", original[:40], b"NOTATREE" + original[8:], (other / "t.json.tree").read_bytes()):
        tree.write_bytes(damage)
        for index in range(4):
            assert cc.verify_evidence(cc.prove(str(path), index), vkey)["index"] == index
    tree.unlink()
    assert cc.verify_evidence(cc.prove(str(path), 2), vkey)["tree_size"] == 4

    # The command line: prove exits 0 and verify-evidence accepts what it printed.
    damaged = bytearray(original)
    damaged[19] ^= 1
    tree.write_bytes(bytes(damaged))
    proved = run_cli("prove", str(path), "1")
    assert proved.returncode == 0, proved.stderr
    (tmp_path / "e.json").write_text(proved.stdout)
    checked = run_cli("verify-evidence", str(tmp_path / "e.json"), "--key", vkey)
    assert checked.returncode == 0 and checked.stdout.startswith("OK: entry 1 of"), checked.stderr


def test_a_trail_that_does_not_give_its_checkpoint_is_refused_not_proved(tmp_path, key, charter):
    path, _ = written_trail(tmp_path, key, charter, 4)
    (tmp_path / "t.json.tree").unlink()
    checkpoint = tmp_path / "t.json.checkpoint"
    own_checkpoint = checkpoint.read_text()
    # A checkpoint of another size of the same trail: the file's entries do not give its root.
    foreign_dir = tmp_path / "longer"
    foreign_dir.mkdir()
    written_trail(foreign_dir, key, charter, 6)
    checkpoint.write_text((foreign_dir / "t.json.checkpoint").read_text())
    with pytest.raises(cc.TrailIntegrityError, match="^The audit trail does not hold the checkpoint's tree: "):
        cc.prove(str(path), 0)
    # An entry line rewritten under the checkpoint: its own hash no longer holds.
    checkpoint.write_text(own_checkpoint)  # the checkpoint of the 4 entries again
    lines = path.read_text().splitlines(keepends=True)
    lines[2] = lines[2].replace('"target":"f1"', '"target":"f9"')
    path.write_text("".join(lines))
    with pytest.raises(cc.TrailIntegrityError, match="^Audit chain integrity broken at index 1"):
        cc.prove(str(path), 1)


def test_consistency_proofs_from_a_damaged_tree_still_verify(tmp_path, key, charter):
    path, olds = written_trail(tmp_path, key, charter, 9, checkpoints_at=(0, 1, 4, 5, 9))
    tree = tmp_path / "t.json.tree"
    original = tree.read_bytes()
    vkey = key.public_key.verifier_key(ORIGIN)
    for offset in range(16, len(original), 32):
        damaged = bytearray(original)
        damaged[offset + 3] ^= 0x80
        tree.write_bytes(bytes(damaged))
        for old in olds:
            document = cc.prove_consistency(old, str(path))
            summary = cc.verify_consistency(document, vkey)
            assert summary["new_size"] == 9 and summary["origin"] == ORIGIN


def test_prove_and_consistency_work_on_a_read_only_copy(tmp_path, key, charter):
    # Tests run as root, for whom a chmod does not stop a write: the copy is bind-mounted
    # read-only in a mount namespace of its own, so every write fails with EROFS.
    path, olds = written_trail(tmp_path, key, charter, 6, checkpoints_at=(2,))
    copy = tmp_path / "copy"
    copy.mkdir()
    for name in ("t.json", "t.json.tree", "t.json.checkpoint"):
        shutil.copy(tmp_path / name, copy / name)
    damaged = bytearray((copy / "t.json.tree").read_bytes())
    damaged[19] ^= 1
    (copy / "t.json.tree").write_bytes(bytes(damaged))
    (copy / "old.checkpoint").write_text(olds[0])
    (copy / "t.json.tree.sealed").write_bytes(bytes(damaged))
    script = (
        'mount --bind -o ro "$1" "$1" || exit 97\n'
        'if touch "$1/probe" 2>/dev/null; then exit 98; fi\n'
        '"$2" -m corvel_charter prove "$1/t.json" 0 > "$3/evidence.json" || exit 1\n'
        '"$2" -m corvel_charter consistency "$1/old.checkpoint" "$1/t.json" > "$3/consistency.json" || exit 2\n'
    )
    out = tmp_path / "out"
    out.mkdir()
    done = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", str(copy), sys.executable, str(out)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stderr)
    vkey = key.public_key.verifier_key(ORIGIN)
    assert cc.verify_evidence((out / "evidence.json").read_text(), vkey)["index"] == 0
    assert cc.verify_consistency((out / "consistency.json").read_text(), vkey)["old_size"] == 2
    assert (copy / "t.json.tree").read_bytes() == bytes(damaged)


# ---------------------------------------------------------------- Unicode spaces in names


def test_every_unicode_space_is_refused_in_names_and_origins(tmp_path, key, charter):
    assert {"\u00a0", "\u1680", "\u2003", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"} <= set(UNICODE_SPACES)
    path, _ = written_trail(tmp_path, key, charter, 2)
    private = private_key_of(key, tmp_path)
    public = key.public_key.raw
    good_note = (tmp_path / "t.json.checkpoint").read_text()
    body = good_note.partition("\n\n")[0] + "\n"
    for space in UNICODE_SPACES:
        name = f"example.com{space}agent"
        where = f"U+{ord(space):04X}"
        # Written: a verifier key, a trail's checkpoint origin, a checkpoint (nothing created).
        with pytest.raises(cc.TrailKeyError, match="Invalid note key name"):
            key.public_key.verifier_key(name)
        fresh = tmp_path / "fresh.json"
        # U+001C to U+001F are spaces to Python but not to Unicode: refused as control characters.
        with pytest.raises(cc.TrailError, match=rf"it holds a (space|control character) \({re.escape(where)}\)"):
            cc.AuditTrail(str(fresh), key, checkpoint_origin=name)
        assert not fresh.exists()
        with cc.AuditTrail(str(path), key) as trail, pytest.raises(cc.TrailError):
            trail.checkpoint(name)
        # Read: a verifier key text and notes made by the reference implementation.
        vkey = notes.verifier_key(name, public)
        with pytest.raises(cc.TrailKeyError, match=re.escape(where)):
            cc.verify_evidence("{}", vkey)
        with pytest.raises(cc.TrailKeyError):
            cc.TrailPublicKey.parse(vkey)
        text = name + "\n" + body.partition("\n")[2]
        note = text + "\n" + notes.sign_note(text, name, private)
        with pytest.raises(cc.TrailError, match="Checkpoint error"):
            cc.verify_trail(str(path), key.public_key, checkpoint=note)
        with pytest.raises(cc.TrailError, match="Checkpoint error"):
            cc.prove_consistency(note, str(path))
        # A valid checkpoint text signed (also) under a name with the space: the line is malformed.
        doubly = good_note + notes.sign_note(body, name, private)
        with pytest.raises(cc.TrailError, match="^Checkpoint error: Malformed signed note: "):
            cc.verify_trail(str(path), key.public_key, checkpoint=doubly)

    # Not spaces: letters beyond ASCII, and the zero-width space (not White_Space in Unicode).
    for name in ("exämple.com/agent", "例え.jp/エージェント", "a\u200bb", "a\u180eb"):
        vkey = key.public_key.verifier_key(name)
        assert vkey == notes.verifier_key(name, public)
        assert cc.TrailPublicKey.parse(vkey) == key.public_key


# ---------------------------------------------------------------- consistency documents


def test_consistency_documents_verify_and_every_tamper_is_refused(tmp_path, key, charter):
    path, olds = written_trail(tmp_path, key, charter, 13, checkpoints_at=(0, 1, 7, 8, 13))
    vkey = key.public_key.verifier_key(ORIGIN)
    documents = [cc.prove_consistency(old, str(path), vkey) for old in olds]
    for old, document in zip((0, 1, 7, 8, 13), documents):
        assert cc.verify_consistency(document, vkey) == {"origin": ORIGIN, "old_size": old, "new_size": 13}
        doc = json.loads(document)
        _, m, root1 = notes.open_checkpoint(doc["old_checkpoint"], ORIGIN, key.public_key.raw)
        _, n, root2 = notes.open_checkpoint(doc["new_checkpoint"], ORIGIN, key.public_key.raw)
        assert notes.verify_consistency(m, n, root1, root2, [base64.b64decode(p) for p in doc["proof"]])
        # From size 0 and between equal sizes the proof is empty.
        assert (doc["proof"] == []) == (old in (0, 13))

    doc = json.loads(documents[2])  # 7 -> 13
    flipped = []
    for i, item in enumerate(doc["proof"]):
        raw = bytearray(base64.b64decode(item))
        raw[31] ^= 1
        flipped.append({**doc, "proof": doc["proof"][:i] + [base64.b64encode(raw).decode()] + doc["proof"][i + 1:]})
    proof_tampers = flipped + [
        {**doc, "proof": doc["proof"][:-1]},
        {**doc, "proof": doc["proof"] + doc["proof"][:1]},
        {**doc, "proof": []},
        {**json.loads(documents[0]), "proof": doc["proof"][:1]},  # from 0: any hash is too many
        {**json.loads(documents[4]), "proof": doc["proof"][:1]},  # equal sizes: likewise
        {**doc, "old_checkpoint": olds[3]},  # the proof of another old size
        {**doc, "old_checkpoint": doc["new_checkpoint"], "new_checkpoint": doc["old_checkpoint"]},
    ]
    for bad in proof_tampers:
        with pytest.raises(cc.TrailIntegrityError, match="^The proof does not verify: "):
            cc.verify_consistency(json.dumps(bad), vkey)

    other_key = cc.TrailKey.generate()
    private = private_key_of(key, tmp_path)
    old_body = doc["old_checkpoint"].partition("\n\n")[0] + "\n"
    renamed = "other.example/agent-8\n" + old_body.partition("\n")[2]
    changed_root = old_body.replace(old_body.splitlines()[2], base64.b64encode(bytes(32)).decode())
    note_tampers = {
        "new checkpoint": {**doc, "new_checkpoint": doc["new_checkpoint"].replace("\n13\n", "\n14\n")},
        "old checkpoint": {**doc, "old_checkpoint": changed_root + doc["old_checkpoint"].partition("\n\n")[2]},
        "another key": {**doc, "old_checkpoint": old_body + "\n" + notes.sign_note(
            old_body, ORIGIN, serialization.load_pem_private_key(saved(other_key, tmp_path), password=None))},
        "another origin": {**doc, "old_checkpoint": renamed + "\n" + notes.sign_note(renamed, ORIGIN, private)},
    }
    # The two edge cases, signed by the key itself: a size-0 checkpoint whose root is not the
    # empty tree's, and two checkpoints of one size with different roots.
    def signed(size, root):
        text = f"{ORIGIN}\n{size}\n{base64.b64encode(root).decode()}\n"
        return text + "\n" + notes.sign_note(text, ORIGIN, private)
    new_root = base64.b64decode(doc["new_checkpoint"].splitlines()[2])
    for old, new in ((signed(0, bytes(32)), doc["new_checkpoint"]), (signed(13, bytes(32)), doc["new_checkpoint"])):
        with pytest.raises(cc.TrailIntegrityError, match="^The proof does not verify: "):
            cc.verify_consistency(json.dumps({**doc, "old_checkpoint": old, "new_checkpoint": new, "proof": []}), vkey)
    empty = signed(0, notes.root([]))
    assert cc.verify_consistency(json.dumps({**doc, "old_checkpoint": empty, "proof": []}), vkey)["old_size"] == 0
    assert new_root == notes.root([notes.leaf_hash(bytes(e["current_hash"])) for e in entries_of(path)])

    for what, bad in note_tampers.items():
        with pytest.raises(cc.TrailError, match="^Checkpoint error: "):
            cc.verify_consistency(json.dumps(bad), vkey)
    with pytest.raises(cc.TrailError, match="is not the verifier key's name"):
        cc.verify_consistency(json.dumps(note_tampers["another origin"]), vkey)
    with pytest.raises(cc.TrailError, match="^Checkpoint error: "):
        cc.verify_consistency(documents[2], other_key.public_key.verifier_key(ORIGIN))

    shape_tampers = [
        "not json", "[]", json.dumps({**doc, "extra": 1}), json.dumps({k: v for k, v in doc.items() if k != "proof"}),
        json.dumps({**doc, "consistency": "corvel-trail-consistency-v2"}), json.dumps({**doc, "proof": "AAAA"}),
        json.dumps({**doc, "proof": ["not base64!"]}),
        json.dumps({**doc, "proof": [base64.b64encode(bytes(31)).decode()]}),
        documents[2].replace('"proof":', '"proof":[],"proof":', 1),
    ]
    for bad in shape_tampers:
        with pytest.raises(cc.TrailError, match="^Invalid consistency document: "):
            cc.verify_consistency(bad, vkey)


def saved(key, folder):
    key_file = folder / f"{key.public_key.hex()[:8]}.pem"
    key.save(str(key_file))
    return key_file.read_bytes()


def test_prove_consistency_with_a_key_checks_the_old_checkpoint(tmp_path, key, charter):
    path, olds = written_trail(tmp_path, key, charter, 5, checkpoints_at=(3,))
    vkey = key.public_key.verifier_key(ORIGIN)
    assert json.loads(cc.prove_consistency(olds[0], str(path), vkey))["proof"]
    # Without a key only the form is checked: a forged signature passes; with one it is refused.
    body, _, signature = olds[0].partition("\n\n")
    forged = body + "\n\n" + notes.sign_note(
        body + "\n", ORIGIN, serialization.load_pem_private_key(saved(cc.TrailKey.generate(), tmp_path), None))
    assert cc.prove_consistency(forged, str(path))
    with pytest.raises(cc.TrailError, match="^Checkpoint error: the old checkpoint: Signed note: no signature"):
        cc.prove_consistency(forged, str(path), vkey)
    other_name = key.public_key.verifier_key("other.example/agent-8")
    with pytest.raises(cc.TrailError, match="is not the verifier key's name"):
        cc.prove_consistency(olds[0], str(path), other_name)


def test_verify_consistency_on_the_command_line(tmp_path, key, charter):
    path, olds = written_trail(tmp_path, key, charter, 6, checkpoints_at=(2,))
    vkey = key.public_key.verifier_key(ORIGIN)
    document = tmp_path / "c.json"
    document.write_text(cc.prove_consistency(olds[0], str(path)))
    key_file = tmp_path / "vkey.txt"
    key_file.write_text(vkey + "\n")
    for key_argument in (vkey, str(key_file)):
        ok = run_cli("verify-consistency", str(document), "--key", key_argument)
        assert ok.returncode == 0 and ok.stdout == f"OK: {ORIGIN} at 6 entries extends its checkpoint of 2 entries\n"
    assert run_cli("verify-consistency", "-", "--key", vkey, stdin=document.read_text()).returncode == 0

    tampered = tmp_path / "bad.json"
    doc = json.loads(document.read_text())
    tampered.write_text(json.dumps({**doc, "proof": doc["proof"][::-1]}))
    refused = run_cli("verify-consistency", str(tampered), "--key", vkey)
    assert refused.returncode == 1 and refused.stderr.startswith("error: The proof does not verify: ")
    stranger = cc.TrailKey.generate().public_key.verifier_key(ORIGIN)
    wrong_key = run_cli("verify-consistency", str(document), "--key", stranger)
    assert wrong_key.returncode == 1

    # A document that is read but is no text is refused as content (1), naming the file.
    binary = tmp_path / "binary.json"
    binary.write_bytes(b"\x00\xff\xfe")
    not_text = run_cli("verify-consistency", str(binary), "--key", vkey)
    assert not_text.returncode == 1 and f"{binary}: not UTF-8 text (byte 1)" in not_text.stderr
    for args in (("verify-consistency", str(tmp_path / "missing.json"), "--key", vkey),
                 ("verify-consistency", str(document), "--key", "a+b"),
                 ("verify-consistency", str(document), "--key", str(tmp_path / "no-such-key"))):
        unreadable = run_cli(*args)
        assert unreadable.returncode == 2 and unreadable.stderr.startswith("error: "), (args, unreadable.stderr)
        assert "Traceback" not in unreadable.stderr


# ---------------------------------------------------------------- origins in verify_trail


def test_verify_trail_refuses_a_checkpoint_of_another_origin_as_evidence_does(tmp_path, key, charter):
    path, _ = written_trail(tmp_path, key, charter, 3)
    note = (tmp_path / "t.json.checkpoint").read_text()
    named = key.public_key.verifier_key(ORIGIN)
    other = key.public_key.verifier_key("other.example/agent-8")
    assert cc.verify_trail(str(path), named, checkpoint=note).count == 3
    assert cc.verify_trail(str(path), key.public_key, checkpoint=note).count == 3  # a bare key names no trail
    with pytest.raises(cc.TrailError) as from_trail:
        cc.verify_trail(str(path), other, checkpoint=note)
    with pytest.raises(cc.TrailError) as from_evidence:
        cc.verify_evidence(cc.prove(str(path), 0), other)
    assert str(from_trail.value) == str(from_evidence.value)
    said = str(from_trail.value)
    assert 'origin "example.com/agent-7" is not the verifier key\'s name "other.example/agent-8"' in said

    # Signed by the key under a name other than the origin: no signature under the origin's name.
    private = private_key_of(key, tmp_path)
    body = note.partition("\n\n")[0] + "\n"
    misnamed = body + "\n" + notes.sign_note(body, "other.example/agent-8", private)
    with pytest.raises(cc.TrailError, match="no signature by a known key"):
        cc.verify_trail(str(path), key.public_key, checkpoint=misnamed)

    # The command line passes a verifier key text through, name and all.
    key_file = tmp_path / "other.vkey"
    key_file.write_text(other + "\n")
    (tmp_path / "cp").write_text(note)
    for key_argument in (other, str(key_file)):
        refused = run_cli("verify", str(path), "--public-key", key_argument, "--checkpoint", str(tmp_path / "cp"))
        assert refused.returncode == 1 and "is not the verifier key's name" in refused.stderr
    assert run_cli("verify", str(path), "--public-key", named, "--checkpoint", str(tmp_path / "cp")).returncode == 0


# ---------------------------------------------------------------- messages


def test_refusals_say_what_is_wrong_with_what_was_given(tmp_path, key, charter):
    path, _ = written_trail(tmp_path, key, charter, 4)
    vkey = key.public_key.verifier_key(ORIGIN)
    evidence = cc.prove(str(path), 2)
    doc = json.loads(evidence)

    # A bad proof is the proof's fault, not the trail's.
    doc_bad = {**doc, "inclusion_proof": doc["inclusion_proof"][::-1]}
    with pytest.raises(cc.TrailIntegrityError, match="^The proof does not verify: the inclusion proof of entry 2 "):
        cc.verify_evidence(json.dumps(doc_bad), vkey)
    # Numbers: beyond 64 bits, and -0.
    too_big = evidence.replace('"tree_size":4', '"tree_size":18446744073709551616')
    assert too_big != evidence
    with pytest.raises(cc.TrailError, match="^Invalid evidence: a number does not fit in 64 bits$"):
        cc.verify_evidence(too_big, vkey)
    with pytest.raises(cc.TrailError, match="^Invalid evidence: it is not valid JSON"):
        cc.verify_evidence(evidence.replace('"tree_size":4', '"tree_size":04'), vkey)
    with pytest.raises(cc.TrailError, match="^Invalid evidence: a number with a minus sign"):
        cc.verify_evidence(evidence.replace('"tree_size":4', '"tree_size":-0'), vkey)
    # A missing trail is named, not taken for a missing checkpoint.
    for prove in (lambda: cc.prove(str(tmp_path / "missing.json"), 0),
                  lambda: cc.prove_consistency("x", str(tmp_path / "missing.json"))):
        with pytest.raises(cc.TrailError, match=f"missing.json: No such file or directory$"):
            prove()
    with pytest.raises(cc.TrailError, match="no checkpoint beside the trail"):
        lone = tmp_path / "lone.json"
        cc.AuditTrail(str(lone), key).close()
        cc.prove(str(lone), 0)
    # Names: a lone surrogate is the name's fault, not an encoding error; key texts are not echoed.
    with pytest.raises(cc.TrailKeyError, match="^Invalid note key name of 5 bytes: it is not valid UTF-8"):
        key.public_key.verifier_key("a\ud800b")
    with pytest.raises(cc.TrailKeyError, match="not valid UTF-8"):
        cc.verify_evidence(evidence, "a\ud800b+00000000+AAAA")
    pem = key.public_key.pem()
    with pytest.raises(cc.TrailKeyError, match="^Invalid verifier key: this is a PEM key") as from_pem:
        cc.verify_evidence(evidence, pem)
    assert "BEGIN" not in str(from_pem.value)
    private_pem = saved(key, tmp_path).decode()
    with pytest.raises(cc.TrailKeyError, match="this is a private key") as from_private:
        cc.verify_evidence(evidence, private_pem)
    assert private_pem.splitlines()[1][:16] not in str(from_private.value)


def test_command_line_messages_for_evidence(tmp_path, key, charter):
    path, _ = written_trail(tmp_path, key, charter, 3)
    vkey = key.public_key.verifier_key(ORIGIN)
    evidence = tmp_path / "e.json"
    evidence.write_text(cc.prove(str(path), 0))
    pub = tmp_path / "pub.pem"
    pub.write_text(key.public_key.pem())

    missing = run_cli("prove", str(tmp_path / "missing.json"), "0")
    assert missing.stderr == f"error: {tmp_path / 'missing.json'}: No such file or directory\n"
    # A public key file is one of the key forms --key takes: the evidence verifies under it.
    from_pem = run_cli("verify-evidence", str(evidence), "--key", str(pub))
    assert from_pem.returncode == 0 and from_pem.stdout.startswith(f"OK: entry 0 of {ORIGIN}")
    no_file = run_cli("verify-evidence", str(evidence), "--key", "missing-file")
    assert no_file.stderr.startswith("error: --key is neither a key file nor a public key text: ")
    assert "missing-file" not in no_file.stderr
    binary = tmp_path / "binary.json"
    binary.write_bytes(b'{"evidence":\xff}')
    from_binary = run_cli("verify-evidence", str(binary), "--key", vkey)
    assert from_binary.stderr == f"error: EVIDENCE: {binary}: not UTF-8 text (byte 12)\n"
    for result in (missing, no_file, from_binary):
        assert result.returncode != 0 and "Traceback" not in result.stderr
