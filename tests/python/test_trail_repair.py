"""The writer's repair rule: opening a file that is not a trail, or a trail damaged at its end,
leaves it untouched; only the tail of an append that a crash cut short is removed, and what is
removed is first kept in a file beside the trail."""

import os
import subprocess
import sys
import warnings

import pytest

import corvel_charter as cc

import trail_reference as ref


def write_trail(path, key, count):
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    with cc.AuditTrail(str(path), key, sync_every=0) as trail:
        for i in range(count):
            action = cc.Action.write_file(f"f{i}.txt", b"payload")
            trail.append(action, charter.verify_action(action), cc.Decision.approved())
    return path.read_bytes()


def kept_files(path):
    return sorted(path.parent.glob(path.name + ".torn-*"))


def open_quietly(path, key):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        trail = cc.AuditTrail(path, key)
    return trail, [str(w.message) for w in caught]


# ---------------------------------------------------------------- refused, untouched


def test_files_that_are_not_a_trail_or_are_damaged_at_the_end_are_left_untouched(tmp_path, key):
    two = write_trail(tmp_path / "two.json", key, 2)
    cases = {
        "notes.txt": b"hello world, my precious notes\n",
        "array.json": b'[{"user":"alice"},{"user":"bob"}]',
        "array-lines.json": b'[\n{"user":"alice"},\n{"user":"bob"}\n]\n',
        "junk-after-closing.json": two + b"junk\n",
        "entry-after-closing.json": two + two.split(b"\n")[1] + b"\n",
        "not-an-entry-cut.json": two[:-3] + b',\n{"user":"mallory"',
        "whole-non-entry.json": two[:-3] + b',\n{"index":2}',
        "blank-line.json": two[:-3] + b",\n\n]\n",
        "one-letter": b"x",
        "nul-bytes": b"\0\0\0\0",
        "bom": b"\xef\xbb\xbf[\n]\n",
    }
    for name, data in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(cc.TrailError, match="was left untouched: it is not a trail, or it is damaged") as raised:
            cc.AuditTrail(path, key)
        assert str(path) in str(raised.value), name
        assert path.read_bytes() == data, name
        # Nothing beside it either: no tree, no kept tail.
        assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(name)) == [name], name


def test_a_refused_file_keeps_the_tree_it_already_had(tmp_path, key):
    path = tmp_path / "t.json"
    data = write_trail(path, key, 3)
    tree = (tmp_path / "t.json.tree").read_bytes()
    path.write_bytes(data + b"junk")
    with pytest.raises(cc.TrailError, match="left untouched"):
        cc.AuditTrail(path, key)
    assert (tmp_path / "t.json.tree").read_bytes() == tree


# ---------------------------------------------------------------- repaired, and kept


def test_a_cut_short_append_is_removed_and_kept_beside_the_trail(tmp_path, key):
    path = tmp_path / "t.json"
    three = write_trail(path, key, 3)
    two = three[:three.rfind(b",\n")] + b"\n]\n"
    append_size = len(three) - len(two) + 3  # ",\n", the entry, the closing line
    for cut in (1, 2, 3, 10, append_size - 4):
        # The new bytes up to the cut, the old closing line's bytes after it.
        torn = three[:len(two) - 3 + cut] + two[len(two) - 3 + cut:]
        path.write_bytes(torn)
        before = kept_files(path)
        trail, warned = open_quietly(path, key)
        trail.close()
        assert trail.count == 2 and path.read_bytes() == two, cut
        [kept] = sorted(set(kept_files(path)) - set(before))
        removed = torn[len(two) - 3:]
        assert kept.read_bytes() == removed, cut
        assert trail.repaired_bytes == len(removed), cut
        assert warned == [f"Audit trail {path}: removed {len(removed)} bytes of an append that was cut short, "
                          f"kept in {kept}; every whole entry was kept"], cut
    # Each repair kept its own file: none was overwritten.
    assert [p.name for p in kept_files(path)] == [f"t.json.torn-{n}" for n in range(1, 6)]
    assert ref.verify(path.read_bytes(), trail.public_key.raw)[0] == 2


def test_the_count_is_the_bytes_removed(tmp_path, key):
    path = tmp_path / "t.json"
    one = write_trail(path, key, 1)
    # An append cut after its separator: the file had shrunk by nothing, two bytes are removed.
    path.write_bytes(one[:-3] + b",\n")
    trail, warned = open_quietly(path, key)
    trail.close()
    assert trail.repaired_bytes == 2 and "removed 2 bytes" in warned[0]
    assert kept_files(path)[0].read_bytes() == b",\n" and path.read_bytes() == one

    # A closing line cut short is finished, with nothing removed and nothing kept.
    for cut in (1, 2, 3):
        path.write_bytes(one[:-cut])
        trail, warned = open_quietly(path, key)
        trail.close()
        assert trail.repaired_bytes == 0 and "nothing was removed" in warned[0]
        assert path.read_bytes() == one
    assert len(kept_files(path)) == 1


def test_a_cut_short_first_append_and_blocks_never_written(tmp_path, key):
    path = tmp_path / "t.json"
    one = write_trail(path, key, 1)
    for torn in (one[:20], one[:2], b"[", b"[\n", b"[\n]"):
        path.write_bytes(torn)
        trail, _ = open_quietly(path, key)
        trail.close()
        assert trail.count == 0 and path.read_bytes() == b"[\n]\n", torn
    # A crash can leave NUL bytes where the blocks of an append never reached the disk.
    path.write_bytes(one[:30] + b"\0" * 200)
    trail, _ = open_quietly(path, key)
    trail.close()
    assert trail.count == 0 and trail.repaired_bytes == 229
    assert kept_files(path)[-1].read_bytes() == one[1:30] + b"\0" * 200


def test_a_tail_that_cannot_be_kept_is_not_removed(tmp_path, key):
    folder = tmp_path / "ro"
    folder.mkdir()
    path = folder / "t.json"
    one = write_trail(path, key, 1)
    (folder / "t.json.tree").unlink()
    key.save(str(tmp_path / "key.pem"))
    torn = one[:-3] + b',\n{"index":1,"ti'
    path.write_bytes(torn)
    folder.chmod(0o555)
    code = f"import corvel_charter as cc; cc.AuditTrail({str(path)!r}, cc.TrailKey.load({str(tmp_path / 'key.pem')!r}))"
    command = [sys.executable, "-c", code]
    if os.geteuid() == 0:
        # Root ignores directory permissions; drop the capability that lets it.
        command = ["setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", *command]
    try:
        process = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        pytest.skip("setpriv is not installed")
    finally:
        folder.chmod(0o755)
    assert process.returncode == 1
    assert process.stderr.strip().endswith(
        f"corvel_charter.TrailError: Audit trail {path}: the 16 bytes of an append cut short could not be kept "
        "beside it (IO error in audit log: Permission denied), so the file was left untouched"), process.stderr
    assert path.read_bytes() == torn and kept_files(path) == []
