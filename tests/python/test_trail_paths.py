"""Every path argument of the trail package takes a str or an os.PathLike (pathlib.Path); a
bytes path and other objects are refused with a TypeError naming the argument."""

import os

import pytest

import corvel_charter as cc

ORIGIN = "example.com/paths"


class OnlyPathLike:
    """An os.PathLike that is neither a str nor a pathlib.Path."""

    def __init__(self, path):
        self.path = str(path)

    def __fspath__(self):
        return self.path


def test_every_path_argument_takes_a_pathlib_path(tmp_path):
    key = cc.TrailKey.generate()
    key_file = tmp_path / "key.pem"
    key.save(key_file)
    assert cc.TrailKey.load(key_file).public_key == key.public_key
    public_file = tmp_path / "public.pem"
    public_file.write_text(key.public_key.pem())
    assert cc.TrailPublicKey.load(public_file) == key.public_key

    path = tmp_path / "t.json"
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    with cc.AuditTrail(path, key, checkpoint_origin=ORIGIN) as trail:
        assert trail.path == str(path) and type(trail.path) is str
        for target in ("a", "b", "c"):
            action = cc.Action.read_file(target)
            trail.append(action, charter.verify_action(action), cc.Decision.approved())
        old = trail.checkpoint(ORIGIN)
        action = cc.Action.read_file("d")
        trail.append(action, charter.verify_action(action), cc.Decision.approved())
    assert cc.verify_trail(path, key.public_key).count == 4
    assert cc.verify_trail(OnlyPathLike(path), key.public_key).count == 4
    evidence = cc.prove(path, 2)
    assert cc.verify_evidence(evidence, key.public_key.verifier_key(ORIGIN))["index"] == 2
    assert cc.prove_consistency(old, path) == cc.prove_consistency(old, str(path))


def test_a_name_that_is_not_utf8_round_trips(tmp_path):
    key = cc.TrailKey.generate()
    # How Python shows a file name holding a byte that is not UTF-8.
    name = os.fsdecode(b"trail-\xff.json")
    with cc.AuditTrail(tmp_path / name, key) as trail:
        assert trail.path == str(tmp_path / name)
    raw = os.path.join(os.fsencode(tmp_path), b"trail-\xff.json")
    assert os.path.exists(raw)
    assert cc.verify_trail(tmp_path / name, key.public_key).count == 0
    # A repair's warning names such a file without failing on it.
    with open(raw, "r+b") as file:
        file.truncate(3)
    with pytest.warns(RuntimeWarning, match="trail-\ufffd.json: completed the closing line"):
        cc.AuditTrail(tmp_path / name, key).close()


def test_bytes_paths_and_other_objects_are_refused(tmp_path):
    key = cc.TrailKey.generate()
    path = tmp_path / "t.json"
    calls = {
        "AuditTrail": lambda p: cc.AuditTrail(p, key),
        "verify_trail": lambda p: cc.verify_trail(p, key.public_key),
        "prove": lambda p: cc.prove(p, 0),
        "prove_consistency": lambda p: cc.prove_consistency("note", p),
        "TrailKey.load": lambda p: cc.TrailKey.load(p),
        "TrailKey.save": lambda p: key.save(p),
        "TrailPublicKey.load": lambda p: cc.TrailPublicKey.load(p),
    }
    for name, call in calls.items():
        for given in (bytes(path), bytearray(bytes(path)), BytesPathLike(bytes(path))):
            with pytest.raises(TypeError, match="^argument 'path': a bytes path is not supported"):
                call(given)
        with pytest.raises(TypeError, match="^argument 'path': 'int' object cannot be converted to 'str or os.PathLike'"):
            call(42)
        assert not path.exists(), name


class BytesPathLike:
    """An os.PathLike giving bytes."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path
