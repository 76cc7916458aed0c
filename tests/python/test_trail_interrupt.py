"""Ctrl-C during long native work on a large trail: a real SIGINT stops verification, the opening
of a writer and the command line promptly, without a traceback and with the file unchanged."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

import corvel_charter as cc

ENTRIES = 50_000  # about 60 MB: verifying it takes seconds


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    key = cc.TrailKey.generate()
    key.save(str(folder / "key.pem"))
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    action = cc.Action.read_file("notes.txt")
    path = folder / "trail.json"
    with cc.AuditTrail(str(path), key, sync_every=0) as trail:
        for _ in range(ENTRIES):
            trail.append(action, charter.verify_action(action), cc.Decision.approved())
    return path, key


def interrupt(command, after=1.0, ready=None):
    """Starts `command`, sends SIGINT `after` seconds later (or, given `ready`, as soon as it
    prints that line); returns the process, its output and the seconds it took to end after
    the signal."""
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seen = ""
    if ready is None:
        time.sleep(after)
    else:
        while (line := child.stdout.readline()) and line.strip() != ready:
            seen += line
        seen += line
    assert child.poll() is None, child.communicate()
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, err = child.communicate(timeout=60)
    return child, seen + out, err, time.monotonic() - sent


def test_verification_stops_midway_on_sigint(large):
    path, key = large
    code = textwrap.dedent(f"""
        import corvel_charter as cc
        seen = [0, 0]
        def progress(done, total):
            if seen == [0, 0]:
                print("under way", flush=True)  # the signal comes now, far from the end
            seen[:] = [done, total]
        print("start", flush=True)
        try:
            cc.verify_trail({str(path)!r}, {key.public_key.hex()!r}, progress)
        except KeyboardInterrupt:
            print("interrupted", *seen)
        else:
            print("finished", *seen)
    """)
    child, out, err, took = interrupt([sys.executable, "-c", code], ready="under way")
    assert child.returncode == 0, err
    word, done, total = out.split()[-3:]
    assert word == "interrupted" and int(done) < int(total), out
    assert took < 2.0


def test_opening_a_large_trail_stops_on_sigint_and_changes_nothing(large):
    path, key = large
    before = path.read_bytes()
    code = textwrap.dedent(f"""
        import os
        import corvel_charter as cc
        key = cc.TrailKey.load({str(path.parent / "key.pem")!r})
        # No tree beside it: opening reads the trail twice, to rebuild the tree.
        os.remove({str(path) + ".tree"!r})
        try:
            cc.AuditTrail({str(path)!r}, key)
        except KeyboardInterrupt:
            print("interrupted")
        else:
            print("opened")
    """)
    child, out, err, took = interrupt([sys.executable, "-c", code])
    assert out.strip() == "interrupted", out + err
    assert took < 2.0
    assert path.read_bytes() == before
    # The next opening reads it whole, and then verification holds.
    with cc.AuditTrail(str(path), key) as trail:
        assert trail.count == ENTRIES


def test_the_command_line_exits_130_quietly_on_ctrl_c(large):
    path, key = large
    child, out, err, took = interrupt([sys.executable, "-m", "corvel_charter", "verify", str(path),
                                       "--public-key", key.public_key.hex(), "--quiet"])
    assert child.returncode == 130, out + err
    assert took < 2.0
    assert "Traceback" not in err and len(err.splitlines()) <= 1 and out == "", err
