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


ORIGIN = "example.com/agent-7"


def write_targets(path, key, targets, origin=ORIGIN):
    """A trail that reads each target in turn, with its checkpoint (under `origin`) beside it."""
    charter = cc.SealedCharter(rules=RULES)
    charter.seal()
    with cc.AuditTrail(str(path), key, sync_every=0, checkpoint_origin=origin) as trail:
        for target in targets:
            action = cc.Action.read_file(target)
            trail.append(action, charter.verify_action(action), cc.Decision.approved())


@pytest.fixture
def signed(tmp_path):
    """A key, its files, and a four-entry trail with checkpoint and evidence of entry 1."""
    key = cc.TrailKey.generate()
    private = tmp_path / "trail.key"
    key.save(str(private))
    pem = tmp_path / "public.pem"
    pem.write_text(key.public_key.pem())
    trail = tmp_path / "audit.json"
    write_targets(trail, key, ["a", "b", "c", "d"])
    evidence = tmp_path / "evidence.json"
    evidence.write_text(cc.prove(str(trail), 1))
    return key, private, pem, trail, evidence


def test_no_message_repeats_key_material(signed, tmp_path):
    key, private, pem, trail, evidence = signed
    private_pem = private.read_text()
    body = private_pem.splitlines()[1]  # the base64 of the private key
    public_hex = key.public_key.hex()
    secrets = [body, body[:20], body[-20:], public_hex[:20], public_hex[-20:], key.public_key.pem().splitlines()[1][:20]]
    given = {
        # (text, what the message must say it is)
        "private PEM as $(cat)": (private_pem.rstrip("\n"), "a private key"),
        "private PEM whole": (private_pem, "a private key"),
        "private PEM on one line": (private_pem.replace("\n", " "), "a private key"),
        "private base64 cut at a plus": (body[:12] + " " + body[12:30] + "+" + body[30:], "verifier-key text"),
        "public PEM cut short": (key.public_key.pem()[:60], "PEM public key"),
        "hex one digit short": (public_hex[:-1], "63 hex digits"),
        "verifier key with a forged ID": (key.public_key.verifier_key(ORIGIN).replace("+", "+0", 1)[:-1],
                                          "verifier-key text"),
    }
    for case, (text, kind) in given.items():
        for command in (["verify", str(trail), "--public-key", text], ["verify-evidence", str(evidence), "--key", text]):
            refused = cli(*command)
            assert_refused(refused, kind)
            assert not any(secret in refused.stderr for secret in secrets), (case, refused.stderr)
        # The same text from standard input, and from a file, is refused the same way.
        from_stdin = cli("verify", str(trail), "--public-key", "-", stdin=text)
        assert_refused(from_stdin, kind)
        assert not any(secret in from_stdin.stderr for secret in secrets), (case, from_stdin.stderr)
    key_file = tmp_path / "given.txt"
    key_file.write_text(private_pem)
    for command in (["verify", str(trail), "--public-key", str(key_file)],
                    ["verify-evidence", str(evidence), "--key", str(key_file)],
                    ["verify-evidence", str(evidence), "--key", str(private)]):
        refused = cli(*command)
        assert_refused(refused, "this is a private key")
        assert body not in refused.stderr and body[:20] not in refused.stderr
    # A key pasted where a key name belongs is not shown back either.
    named = cli("keygen", str(tmp_path / "new.key"), "--name", private_pem)
    assert_refused(named, "--name")
    assert body[:20] not in named.stderr and not (tmp_path / "new.key").exists()
    # From Python, the core's own texts hold none of it.
    for text, _ in given.values():
        with pytest.raises(cc.TrailKeyError) as refused:
            cc.TrailPublicKey.parse(text)
        assert not any(secret in str(refused.value) for secret in secrets), str(refused.value)


def test_inspect_escapes_what_could_drive_a_terminal(tmp_path):
    key = cc.TrailKey.generate()
    trail = tmp_path / "audit.json"
    targets = ["evil\x1b[2J\nINDEX 99 forged\r", "bidi \u202e txt.exe", "nbsp\u00a0and\u2028line", "back\\slash \\x1b",
               "caf\u00e9 \u6587\u5b57", "tag \U000e0041 end"]
    write_targets(trail, key, targets)
    table = cli("inspect", str(trail))
    assert table.returncode == 0, table.stderr
    lines = table.stdout.split("\n")
    assert len(lines) == len(targets) + 3 and lines[-1] == ""  # header, one line a row, the count
    assert not any(not char.isprintable() for line in lines for char in line), table.stdout
    assert lines[1].endswith("Read evil\\x1b[2J\\x0aINDEX 99 forged\\x0d")
    assert lines[2].endswith("Read bidi \\u202e txt.exe")
    assert lines[3].endswith("Read nbsp\\xa0and\\u2028line")
    assert lines[4].endswith("Read back\\\\slash \\\\x1b")  # a real backslash is never read as an escape
    assert lines[5].endswith("Read caf\u00e9 \u6587\u5b57")  # printable text stays as it is
    assert lines[6].endswith("Read tag \\U000e0041 end")
    assert [line.split()[0] for line in lines[1:6]] == ["0", "1", "2", "3", "4"]
    # --json stays exact, and one entry is one line even for readers that end lines at U+2028.
    listed = cli("inspect", str(trail), "--json").stdout
    assert listed.replace("\n", "").isprintable()
    rows = [json.loads(line) for line in listed.splitlines()]
    assert [row["action"] for row in rows] == [f"Read {target}" for target in targets]
    # An error naming a file shows its name escaped too.
    odd = tmp_path / "odd\x1b[2Jname.json"
    assert_refused(cli("inspect", str(odd)), "odd\\x1b[2Jname.json: No such file or directory")


def test_exit_status_for_every_command(signed, tmp_path):
    key, private, pem, trail, evidence = signed
    vkey = key.public_key.verifier_key(ORIGIN)
    other = cc.TrailKey.generate().public_key
    checkpoint = tmp_path / "audit.json.checkpoint"
    tampered = tmp_path / "tampered.json"
    tampered.write_text(evidence.read_text().replace('"target":"b"', '"target":"B"'))
    grown = tmp_path / "grown.json"  # its checkpoint covers entries the file no longer holds
    write_targets(grown, key, ["a", "b", "c"])
    (tmp_path / "grown.json.checkpoint").rename(tmp_path / "grown.checkpoint")
    grown.write_text(trail.read_text().split("\n", 2)[0] + "\n" + trail.read_text().split("\n")[1].rstrip(",") + "\n]\n")
    missing = str(tmp_path / "missing.json")
    cases = [
        (0, ["verify", str(trail), "--public-key", str(pem)]),
        (0, ["verify", str(trail), "--public-key", vkey, "--checkpoint", str(checkpoint)]),
        (1, ["verify", str(trail), "--public-key", other.hex()]),
        (1, ["verify", str(grown), "--public-key", str(pem), "--checkpoint", str(tmp_path / "grown.checkpoint")]),
        (2, ["verify", missing, "--public-key", str(pem)]),
        (2, ["verify", str(tmp_path), "--public-key", str(pem)]),
        (2, ["verify", str(trail), "--public-key", "nothex"]),
        (2, ["verify", str(trail), "--public-key", str(pem), "--checkpoint", missing]),
        (2, ["verify", str(trail), "--public-key", str(pem), "--checkpoint", ""]),
        (2, ["verify", str(trail)]),  # argparse: a required option missing
        (0, ["prove", str(trail), "3"]),
        (1, ["prove", str(trail), "4"]),  # beyond the checkpoint
        (2, ["prove", str(trail), "-1"]),
        (2, ["prove", str(trail), str(1 << 64)]),
        (2, ["prove", str(trail), "1.5"]),
        (2, ["prove", missing, "0"]),
        (2, ["prove", "-", "0"]),
        (0, ["verify-evidence", str(evidence), "--key", vkey]),
        (1, ["verify-evidence", str(tampered), "--key", vkey]),
        (1, ["verify-evidence", str(evidence), "--key", key.public_key.verifier_key("example.com/other")]),
        (2, ["verify-evidence", missing, "--key", vkey]),
        (2, ["verify-evidence", str(evidence), "--key", "nothex"]),
        (0, ["consistency", str(checkpoint), str(trail)]),
        (2, ["consistency", missing, str(trail)]),
        (2, ["consistency", str(checkpoint), missing]),
        (0, ["inspect", str(trail)]),
        (1, ["inspect", str(evidence)]),  # not a trail
        (2, ["inspect", missing]),
        (2, ["keygen", str(private)]),  # never overwritten
        (2, []),
    ]
    for status, command in cases:
        done = cli(*command)
        assert done.returncode == status, (command, done.stdout, done.stderr)
        assert "Traceback" not in done.stderr, (command, done.stderr)
        assert (done.stderr == "") == (status == 0), (command, done.stderr)
        assert status == 0 or done.stderr.startswith(("error: ", "usage: ")), (command, done.stderr)
    index = cli("prove", str(trail), str(1 << 64))
    assert_refused(index, f"INDEX must be an entry index, a whole number of 0 to {(1 << 64) - 1}")


def test_prove_refuses_an_index_beyond_64_bits_with_the_trail_error(signed):
    _, _, _, trail, _ = signed
    for index, says in [(-1, "it is negative"), (1 << 64, "it needs more than 64 bits"), (-(1 << 70), "it is negative")]:
        with pytest.raises(cc.TrailError, match=f"Entry index out of range: {says}"):
            cc.prove(str(trail), index)
    with pytest.raises(TypeError):
        cc.prove(str(trail), "1")
    assert json.loads(cc.prove(str(trail), True))["entry"]["index"] == 1  # the index protocol, as before


def test_standard_input_wherever_a_file_is_read(signed):
    key, private, pem, trail, evidence = signed
    vkey = key.public_key.verifier_key(ORIGIN)
    checkpoint = trail.read_text() and (trail.parent / "audit.json.checkpoint").read_text()
    verified = cli("verify", "-", "--public-key", str(pem), stdin=trail.read_text())
    assert verified.returncode == 0 and verified.stdout.startswith("OK: standard input: 4 entries verified"), verified
    assert cli("verify", str(trail), "--public-key", "-", stdin=pem.read_text()).returncode == 0
    assert cli("verify", str(trail), "--public-key", str(pem), "--checkpoint", "-", stdin=checkpoint).returncode == 0
    assert cli("inspect", "-", stdin=trail.read_text()).stdout == cli("inspect", str(trail)).stdout
    assert cli("verify-evidence", "-", "--key", vkey, stdin=evidence.read_text()).returncode == 0
    assert cli("verify-evidence", str(evidence), "--key", "-", stdin=vkey + "\n").returncode == 0
    consistency = cli("consistency", "-", str(trail), stdin=checkpoint)
    assert consistency.returncode == 0 and json.loads(consistency.stdout)["proof"] == []
    # A damaged trail on standard input fails like the file would.
    damaged = trail.read_text().replace('"target":"c"', '"target":"C"')
    assert_refused(cli("verify", "-", "--public-key", str(pem), stdin=damaged),
                   "standard input: Audit chain integrity broken at index 2", status=1)
    assert_refused(cli("verify", "-", "--public-key", "-", stdin=pem.read_text()), "standard input ('-')")
    assert_refused(cli("verify-evidence", "-", "--key", "-", stdin=vkey), "standard input ('-')")


def test_verify_evidence_takes_the_key_forms_verify_takes(signed, tmp_path):
    key, private, pem, trail, evidence = signed
    vkey_file = tmp_path / "vkey.txt"
    vkey_file.write_text(key.public_key.verifier_key(ORIGIN) + "\n")
    for form in [key.public_key.hex(), key.public_key.hex().upper(), str(pem), pem.read_text(),
                 key.public_key.verifier_key(ORIGIN), str(vkey_file)]:
        checked = cli("verify-evidence", str(evidence), "--key", form)
        assert checked.returncode == 0, (form, checked.stderr)
        assert checked.stdout.startswith(f"OK: entry 1 of {ORIGIN} is in its checkpoint of 4 entries")
    # A bare public key takes the checkpoint's origin; a verifier key pins it.
    other = tmp_path / "other.json"
    write_targets(other, key, ["x"], origin="example.com/other")
    other_evidence = cli("prove", str(other), "0").stdout
    bare = cli("verify-evidence", "-", "--key", key.public_key.hex(), stdin=other_evidence)
    assert bare.returncode == 0 and "of example.com/other is in its checkpoint of 1 entry " in bare.stdout
    assert_refused(cli("verify-evidence", "-", "--key", key.public_key.verifier_key(ORIGIN), stdin=other_evidence),
                   "is not the verifier key's name", status=1)
    # Another key's evidence fails under each form.
    for form in [cc.TrailKey.generate().public_key.hex(), cc.TrailKey.generate().public_key.verifier_key(ORIGIN)]:
        assert cli("verify-evidence", str(evidence), "--key", form).returncode == 1


def test_verify_json_outcome_and_messages_in_hex(signed, tmp_path):
    key, private, pem, trail, evidence = signed
    checkpoint = tmp_path / "audit.json.checkpoint"
    out = cli("verify", str(trail), "--public-key", str(pem), "--json", "--checkpoint", str(checkpoint))
    assert out.returncode == 0 and out.stderr == ""
    summary = cc.verify_trail(str(trail), key.public_key)
    assert json.loads(out.stdout) == {
        "verified": True, "file": str(trail), "entries": 4, "head_index": 3, "head_hash": summary.head_hash.hex(),
        "public_key": key.public_key.hex(),
        "checkpoint": {"file": str(checkpoint), "origin": ORIGIN, "tree_size": 4},
    }
    assert out.stdout.count("\n") == 1
    # A broken chain: the hashes in the message are hex, on standard error and in the object.
    lines = trail.read_text().split("\n")
    entry = json.loads(lines[2].rstrip(","))
    entry["prev_hash"] = [7] * 32
    lines[2] = json.dumps(entry, separators=(",", ":")) + ","
    broken = tmp_path / "broken.json"
    broken.write_text("\n".join(lines))
    failed = cli("verify", str(broken), "--public-key", str(pem), "--json")
    assert_refused(failed, f"broken.json: Audit chain integrity broken at index 1: expected "
                           f"{bytes(json.loads(lines[1].rstrip(','))['current_hash']).hex()}, found {'07' * 32}", status=1)
    outcome = json.loads(failed.stdout)
    assert outcome == {"verified": False, "file": str(broken), "error": failed.stderr[len("error: "):-1]}
    unreadable = cli("verify", str(tmp_path / "missing.json"), "--public-key", str(pem), "--json")
    assert unreadable.returncode == 2 and json.loads(unreadable.stdout)["verified"] is False
    # The documented text of a file that cannot be read.
    assert_refused(unreadable, "missing.json: IO error in audit log: No such file or directory")
    empty = tmp_path / "empty.json"
    empty.write_text("[\n]\n")
    nothing = json.loads(cli("verify", str(empty), "--public-key", str(pem), "--json").stdout)
    assert nothing["entries"] == 0 and nothing["head_index"] is None and nothing["head_hash"] is None


def test_one_entry_is_singular(tmp_path):
    key = cc.TrailKey.generate()
    trail = tmp_path / "audit.json"
    write_targets(trail, key, ["only"])
    assert cli("verify", str(trail), "--public-key", key.public_key.hex()).stdout.startswith(
        f"OK: {trail}: 1 entry verified, head 0 ")
    assert cli("inspect", str(trail)).stdout.splitlines()[-1].startswith("1 entry (not verified")
    evidence = cli("prove", str(trail), "0").stdout
    checked = cli("verify-evidence", "-", "--key", key.public_key.hex(), stdin=evidence)
    assert "in its checkpoint of 1 entry (entry hash" in checked.stdout, checked
    assert_refused(cli("prove", str(trail), "1"), "not covered by the checkpoint, which holds 1 entry\n", status=1)
    checkpoint = tmp_path / "audit.json.checkpoint"
    trail.write_text("[\n]\n")
    assert_refused(cli("verify", str(trail), "--public-key", key.public_key.hex(), "--checkpoint", str(checkpoint)),
                   "the checkpoint covers 1 entry, the file holds 0", status=1)


def test_keygen_checks_everything_before_writing_anything(tmp_path):
    key_file = tmp_path / "trail.key"
    existing = tmp_path / "existing.pem"
    existing.write_text("kept\n")
    for arguments, says in [
        (["--name", "bad name"], 'Invalid note key name "bad name"'),
        (["--name", ""], "Invalid note key name"),
        (["--name", "a\x1bb"], "it holds a control character (U+001B)"),  # the name itself not shown
        (["--public-out", str(existing)], "already exists"),
        (["--public-out", str(tmp_path / "no" / "public.pem")], "No such file or directory"),
        (["--public-out", str(key_file)], "another file"),
        (["--public-out", ""], "an empty path"),
    ]:
        assert_refused(cli("keygen", str(key_file), *arguments), says)
        assert sorted(path.name for path in tmp_path.iterdir()) == ["existing.pem"], arguments
        assert existing.read_text() == "kept\n"
    made = cli("keygen", str(key_file), "--name", "good.example/a", "--public-out", str(tmp_path / "public.pem"))
    assert made.returncode == 0, made.stderr
    key = cc.TrailKey.load(str(key_file))
    assert cc.TrailPublicKey.load(str(tmp_path / "public.pem")).hex() == key.public_key.hex()
    assert f"verifier key: {key.public_key.verifier_key('good.example/a')}" in made.stdout
