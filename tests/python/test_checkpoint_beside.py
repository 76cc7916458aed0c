"""The checkpoint kept beside a trail stays current when the trail is reopened without an origin,
a trail cut short below it is refused by the writer and by `verify`, and `verify` says which
checkpoint it used."""

import subprocess
import sys
import warnings

import pytest

import corvel_charter as cc

ORIGIN = "example.com/agent-7"


def append(trail, charter, count):
    for i in range(count):
        action = cc.Action.read_file(f"f{trail.count}-{i}")
        trail.append(action, charter.verify_action(action), cc.Decision.approved())


def checkpoint_size(path):
    origin, size = (path.parent / (path.name + ".checkpoint")).read_text().split("\n")[:2]
    return origin, int(size)


def cli(*args):
    return subprocess.run([sys.executable, "-m", "corvel_charter", *args], capture_output=True, text=True,
                          timeout=120)


def test_reopening_without_an_origin_keeps_the_checkpoint_current(tmp_path, key, charter):
    path = tmp_path / "t.json"
    with cc.AuditTrail(path, key, checkpoint_origin=ORIGIN) as trail:
        append(trail, charter, 3)
    assert checkpoint_size(path) == (ORIGIN, 3)

    with cc.AuditTrail(path, key) as trail:
        assert trail.checkpoint_origin == ORIGIN
        append(trail, charter, 2)
        assert checkpoint_size(path) == (ORIGIN, 5)  # every sync, as with the origin given
    assert cc.verify_trail(path, key.public_key, checkpoint=(tmp_path / "t.json.checkpoint").read_text()).count == 5

    # Told otherwise, the writer leaves the file alone.
    beside = (tmp_path / "t.json.checkpoint").read_bytes()
    with cc.AuditTrail(path, key, checkpoint_origin=False) as trail:
        assert trail.checkpoint_origin is None
        append(trail, charter, 1)
    assert (tmp_path / "t.json.checkpoint").read_bytes() == beside

    # Without a checkpoint beside it, there is nothing to follow.
    with cc.AuditTrail(tmp_path / "plain.json", key) as trail:
        assert trail.checkpoint_origin is None
        append(trail, charter, 1)
    assert not (tmp_path / "plain.json.checkpoint").exists()
    with pytest.raises(TypeError, match="argument 'checkpoint_origin'"):
        cc.AuditTrail(path, key, checkpoint_origin=True)


def test_a_checkpoint_of_another_key_is_left_alone_with_a_warning(tmp_path, key, charter):
    path = tmp_path / "t.json"
    with cc.AuditTrail(path, key) as trail:
        append(trail, charter, 2)
    other = cc.AuditTrail(tmp_path / "other.json", cc.TrailKey.generate(), checkpoint_origin=ORIGIN)
    other.close()
    foreign = (tmp_path / "other.json.checkpoint").read_bytes()
    (tmp_path / "t.json.checkpoint").write_bytes(foreign)
    with pytest.warns(RuntimeWarning, match="the checkpoint beside it is left as it is and not kept current"):
        trail = cc.AuditTrail(path, key)
    with trail:
        assert trail.checkpoint_origin is None
        append(trail, charter, 1)
    assert (tmp_path / "t.json.checkpoint").read_bytes() == foreign


def test_a_trail_cut_short_below_its_checkpoint_is_refused(tmp_path, key, charter):
    path = tmp_path / "t.json"
    with cc.AuditTrail(path, key, checkpoint_origin=ORIGIN) as trail:
        append(trail, charter, 4)
    whole = path.read_bytes()
    beside = (tmp_path / "t.json.checkpoint").read_bytes()
    # The last entry removed at a line boundary: the trail alone still verifies.
    cut = whole[:whole.rfind(b",\n")] + b"\n]\n"
    path.write_bytes(cut)
    assert cc.verify_trail(path, key.public_key).count == 3

    with pytest.raises(cc.TrailIntegrityError, match="covers 4 entries, the file holds 3: it was cut short"):
        cc.AuditTrail(path, key)
    assert path.read_bytes() == cut and (tmp_path / "t.json.checkpoint").read_bytes() == beside

    # Naming the origin does not replace the checkpoint either: that would hide the loss.
    with pytest.raises(cc.TrailIntegrityError, match="it was cut short"):
        cc.AuditTrail(path, key, checkpoint_origin=ORIGIN)
    assert (tmp_path / "t.json.checkpoint").read_bytes() == beside

    verified = cli("verify", str(path), "--public-key", key.public_key.hex())
    assert verified.returncode == 1 and "cut short" in verified.stderr, verified.stdout + verified.stderr

    # Told to leave the checkpoint alone, the writer appends; the checkpoint still exposes the cut.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with cc.AuditTrail(path, key, checkpoint_origin=False) as trail:
            assert trail.count == 3


def test_a_forked_trail_under_the_same_key_is_refused(tmp_path, key, charter):
    path = tmp_path / "t.json"
    with cc.AuditTrail(path, key, checkpoint_origin=ORIGIN) as trail:
        append(trail, charter, 3)
    beside = (tmp_path / "t.json.checkpoint").read_bytes()
    # Another history of five entries, signed by the same key, put in the trail's place.
    with cc.AuditTrail(tmp_path / "fork.json", key) as fork:
        append(fork, charter, 5)
    path.write_bytes((tmp_path / "fork.json").read_bytes())
    (tmp_path / "t.json.tree").unlink()
    with pytest.raises(cc.TrailIntegrityError, match="entries do not give the root of the checkpoint beside it"):
        cc.AuditTrail(path, key)
    assert (tmp_path / "t.json.checkpoint").read_bytes() == beside


def test_verify_names_the_checkpoint_it_used(tmp_path, key, charter):
    path = tmp_path / "t.json"
    with cc.AuditTrail(path, key, checkpoint_origin=ORIGIN) as trail:
        append(trail, charter, 3)
        old = trail.checkpoint(ORIGIN)
        append(trail, charter, 1)
    public = key.public_key.hex()
    beside = cli("verify", str(path), "--public-key", public)
    assert beside.returncode == 0, beside.stderr
    assert beside.stdout.endswith(f"; checkpoint {path}.checkpoint ({ORIGIN}, 4 entries) matches\n")

    (tmp_path / "old.checkpoint").write_text(old)
    given = cli("verify", str(path), "--public-key", public, "--checkpoint", str(tmp_path / "old.checkpoint"))
    assert given.returncode == 0, given.stderr
    assert given.stdout.endswith(f"; checkpoint {tmp_path / 'old.checkpoint'} ({ORIGIN}, 3 entries) matches\n")

    (tmp_path / "t.json.checkpoint").unlink()
    plain = cli("verify", str(path), "--public-key", public)
    assert plain.returncode == 0 and "checkpoint" not in plain.stdout, plain.stdout + plain.stderr
