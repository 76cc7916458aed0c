"""The trail's command line as a user meets it: keygen, verify and inspect on a real trail, the
ordinary mistakes (each one line on standard error, never a traceback: status 2 for a usage
error or input that cannot be read, 1 for a verification failure), a reader that stops early,
progress on long files (only on a terminal), no key material in any message, escaped texts in
the table, standard input for '-', and verify's JSON outcome."""

import json
import os
import pty
import stat
import subprocess
import sys

import pytest

import corvel_charter as cc

RULES = ["Do no harm"]


def cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "corvel_charter", *args], capture_output=True, text=True,
                          input=stdin, timeout=120)


def write_trail(path, key, count, payload=b"x"):
    charter = cc.SealedCharter(rules=RULES)
    charter.seal()
    watchdog = cc.Watchdog(RULES, charter.charter_hash())
    actions = [cc.Action.read_file("notes.txt"), cc.Action.delete_file("/etc/passwd"),
               cc.Action.write_file("out.bin", payload)]
    with cc.AuditTrail(str(path), key, sync_every=0) as trail:
        for i in range(count):
            action = actions[i % 3]
            trail.append(action, charter.verify_action(action), watchdog.verify_action(action))


def assert_refused(process, text, status=2):
    assert process.returncode == status, process.stdout + process.stderr
    assert process.stderr.startswith("error: ") and text in process.stderr, process.stderr
    assert process.stderr.count("\n") == 1 and "Traceback" not in process.stderr, process.stderr


def test_keygen_verify_and_inspect(tmp_path):
    key_file = tmp_path / "trail.key"
    made = cli("keygen", str(key_file), "--name", "example.com/agent-7")
    assert made.returncode == 0, made.stderr
    assert stat.S_IMODE(os.stat(key_file).st_mode) == 0o600
    key = cc.TrailKey.load(str(key_file))
    printed = dict(line.split(":", 1) for line in made.stdout.splitlines() if ": " in line)
    assert printed["public key"].strip() == key.public_key.hex()
    assert printed["verifier key"].strip() == key.public_key.verifier_key("example.com/agent-7")
    assert key.public_key.pem() in made.stdout
    # A key file is never overwritten.
    assert_refused(cli("keygen", str(key_file)), "already exists")
    assert cc.TrailKey.load(str(key_file)).public_key.hex() == key.public_key.hex()

    trail = tmp_path / "audit.json"
    write_trail(trail, key, 7)
    pem_file = tmp_path / "public.pem"
    pem_file.write_text(key.public_key.pem())
    for form in [key.public_key.hex(), str(pem_file), key.public_key.verifier_key("example.com/agent-7")]:
        verified = cli("verify", str(trail), "--public-key", form)
        assert verified.returncode == 0, verified.stderr
        assert verified.stdout.startswith(f"OK: {trail}: 7 entries verified, head 6 ") and verified.stdout.count("\n") == 1

    table = cli("inspect", str(trail))
    assert table.returncode == 0, table.stderr
    lines = table.stdout.splitlines()
    assert lines[0].split() == ["INDEX", "TIME", "DECISION", "HASH", "PREV", "ACTION"]
    assert [line.split()[2] for line in lines[1:8]] == ["Approved", "Denied"] + ["Approved"] * 2 + ["Denied"] + ["Approved"] * 2
    assert "[Destructive action on critical path: /etc/passwd]" in lines[2]
    assert lines[8].startswith("7 entries (not verified")
    rows = [json.loads(line) for line in cli("inspect", str(trail), "--json").stdout.splitlines()]
    assert [row["index"] for row in rows] == list(range(7))
    assert rows[1]["decision"] == "Denied" and rows[1]["watchdog_record"] == "denial_proof"
    assert all(row["prev_hash"] == before["current_hash"] for before, row in zip(rows, rows[1:]))


def test_ordinary_mistakes_are_one_line_errors(tmp_path):
    key = cc.TrailKey.generate()
    trail = tmp_path / "audit.json"
    write_trail(trail, key, 2)
    private = tmp_path / "trail.key"
    key.save(str(private))
    (tmp_path / "binary.json").write_bytes(b"[\n\xff\n]\n")
    (tmp_path / "numbers.json").write_text("[1,2]\n")
    (tmp_path / "partial.json").write_text('[\n{"index":0},\n]\n')
    missing = str(tmp_path / "missing.json")

    assert_refused(cli("verify", missing, "--public-key", key.public_key.hex()), "No such file or directory")
    assert_refused(cli("verify", str(trail), "--public-key", "nothex"), "neither a key file nor a public key")
    assert_refused(cli("verify", str(trail), "--public-key", str(private)), "this is a private key")
    assert_refused(cli("verify", str(tmp_path), "--public-key", key.public_key.hex()), "directory")
    assert_refused(cli("verify", str(trail), "--public-key", cc.TrailKey.generate().public_key.hex()),
                   "Invalid signature at audit log index 0", status=1)
    assert_refused(cli("keygen", str(tmp_path / "no" / "such" / "dir.key")), "No such file or directory")
    for name, text, status in [("missing.json", "No such file or directory", 2),
                               ("binary.json", "line 2 is not UTF-8 text", 1),
                               ("numbers.json", "line 1 is not a trail entry", 1),
                               ("partial.json", "line 2 is not a trail entry", 1)]:
        refused = cli("inspect", str(tmp_path / name))
        assert_refused(refused, text, status)
        assert refused.stdout == "", name  # nothing printed before the error


def test_a_reader_that_stops_early_ends_the_output_quietly(tmp_path):
    key = cc.TrailKey.generate()
    trail = tmp_path / "audit.json"
    write_trail(trail, key, 1500)  # a table far larger than a pipe holds
    reader = subprocess.Popen([sys.executable, "-m", "corvel_charter", "inspect", str(trail)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert reader.stdout.readline().split() == [b"INDEX", b"TIME", b"DECISION", b"HASH", b"PREV", b"ACTION"]
    reader.stdout.close()
    assert reader.wait(timeout=60) in (0, 1)
    assert reader.stderr.read() == b""


def on_terminal(*args):
    """Runs the command with standard error on a pseudo-terminal; returns (status, stdout, stderr)."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "corvel_charter", *args], stdout=subprocess.PIPE,
                               stderr=terminal)
    os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(controller, 1 << 16)
        except OSError:  # EIO: the terminal's last writer is gone
            break
        if not chunk:
            break
        shown += chunk
    os.close(controller)
    out = process.stdout.read()
    process.stdout.close()
    return process.wait(timeout=120), out.decode(), shown.decode()


def test_verify_shows_progress_on_long_files_only_on_a_terminal(tmp_path):
    key = cc.TrailKey.generate()
    trail = tmp_path / "audit.json"
    # Every third entry carries 64 KiB of payload, written as "255," per byte: about 18 MiB.
    write_trail(trail, key, 210, payload=b"\xff" * (64 << 10))
    assert trail.stat().st_size > 16 << 20
    status, out, shown = on_terminal("verify", str(trail), "--public-key", key.public_key.hex())
    assert status == 0 and out.startswith(f"OK: {trail}: 210 entries verified"), shown
    progress = shown.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    progress = [line for line in progress if line]
    assert progress and all(line.startswith("verifying: ") for line in progress), shown
    assert progress[-1].startswith("verifying: 100%")
    quiet = on_terminal("verify", str(trail), "--public-key", key.public_key.hex(), "--quiet")
    assert quiet[0] == 0 and quiet[2] == ""
    # Standard error that is a file or a pipe gets no progress: it would only fill a log.
    piped = cli("verify", str(trail), "--public-key", key.public_key.hex())
    assert piped.returncode == 0 and piped.stderr == "", piped.stderr
