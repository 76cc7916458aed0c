"""The audit trail's commands: ``keygen``, ``verify`` and ``inspect``."""

import datetime
import json
import os
import sys
import time

import corvel_charter as cc

# Files smaller than this verify too fast for progress to be worth showing.
PROGRESS_FROM_BYTES = 16 << 20


class CommandError(Exception):
    """An ordinary failure of a command: printed as one line, exit status 1."""


def add_commands(commands):
    keygen = commands.add_parser("keygen", help="create a trail key file and print its public key")
    keygen.add_argument("key_file", metavar="KEY_FILE", help="where to write the private key (mode 0600, never overwritten)")
    keygen.add_argument("--name", help="also print the signed-note verifier key under this key name")
    keygen.add_argument("--public-out", metavar="FILE", help="also write the public key as SPKI PEM to FILE")
    keygen.set_defaults(run=keygen_command)

    verify = commands.add_parser("verify", help="verify a trail file with its public key")
    verify.add_argument("log", metavar="LOG", help="the trail file")
    verify.add_argument("--public-key", required=True, metavar="KEY",
                        help="the public key: a file or a text (SPKI PEM, 64 hex digits or a verifier key)")
    verify.add_argument("--checkpoint", metavar="FILE",
                        help="also prove that the file holds exactly the tree this signed checkpoint covers")
    verify.add_argument("--quiet", action="store_true", help="no progress on standard error")
    verify.set_defaults(run=verify_command)

    prove = commands.add_parser("prove", help="print portable evidence (JSON) of one entry")
    prove.add_argument("log", metavar="LOG", help="the trail file (its checkpoint and tree lie beside it)")
    prove.add_argument("index", metavar="INDEX", type=int, help="the entry's index")
    prove.set_defaults(run=prove_command)

    evidence = commands.add_parser("verify-evidence", help="verify an evidence file offline")
    evidence.add_argument("evidence", metavar="EVIDENCE", help="the evidence file ('-' for standard input)")
    evidence.add_argument("--key", required=True, metavar="VKEY",
                          help="the trail's verifier key (name+id+key), or a file holding it")
    evidence.set_defaults(run=verify_evidence_command)

    consistency = commands.add_parser("consistency", help="prove that a trail extends an older checkpoint")
    consistency.add_argument("old_checkpoint", metavar="OLD_CHECKPOINT", help="a checkpoint file of the trail")
    consistency.add_argument("log", metavar="LOG", help="the trail file (its checkpoint and tree lie beside it)")
    consistency.set_defaults(run=consistency_command)

    inspect = commands.add_parser("inspect", help="show a trail file's entries")
    inspect.add_argument("log", metavar="LOG", help="the trail file")
    inspect.add_argument("--json", action="store_true", help="one JSON object per entry instead of a table")
    inspect.set_defaults(run=inspect_command)


def run(args):
    """Runs the chosen command; an ordinary failure is one line on standard error and status 1."""
    try:
        return args.run(args)
    except (cc.TrailError, CommandError, OSError, UnicodeError) as error:
        if isinstance(error, BrokenPipeError):
            raise
        print(f"error: {describe(error)}", file=sys.stderr)
        return 1


def describe(error):
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def public_key_from(argument):
    """A public key from a file holding one, or from the text itself."""
    if os.path.exists(argument):
        return cc.TrailPublicKey.load(argument)
    try:
        return cc.TrailPublicKey.parse(argument)
    except cc.TrailKeyError as error:
        raise CommandError(f"{argument!r} is neither a key file nor a public key text ({error})") from None


def keygen_command(args):
    key = cc.TrailKey.generate()
    key.save(args.key_file)
    public = key.public_key
    if args.public_out:
        with open(args.public_out, "x", encoding="ascii") as out:
            out.write(public.pem())
    print(f"private key: {args.key_file}")
    print(f"public key:  {public.hex()}")
    if args.name:
        print(f"verifier key: {public.verifier_key(args.name)}")
    print(public.pem(), end="")
    return 0


class Progress:
    """Percentages on standard error, at most a few times a second."""

    def __init__(self):
        self.shown_at = 0.0
        self.shown = False

    def __call__(self, done, total):
        now = time.monotonic()
        if now - self.shown_at < 0.25 and done < total:
            return
        self.shown_at = now
        self.shown = True
        percent = 100 * done // total if total else 100
        end = "\r" if sys.stderr.isatty() else "\n"
        print(f"verifying: {percent:3d}% ({done >> 20} of {total >> 20} MiB)", end=end, file=sys.stderr, flush=True)

    def finish(self):
        if self.shown and sys.stderr.isatty():
            print(file=sys.stderr)


def verify_command(args):
    public = public_key_from(args.public_key)
    size = os.stat(args.log).st_size
    progress = None if args.quiet or size < PROGRESS_FROM_BYTES else Progress()
    checkpoint = read_text(args.checkpoint) if args.checkpoint else None
    try:
        summary = cc.verify_trail(args.log, public, progress, checkpoint)
    finally:
        if progress is not None:
            progress.finish()
    if summary.count == 0:
        print(f"OK: {args.log}: empty trail, verified with key {public.hex()[:16]}")
    else:
        print(f"OK: {args.log}: {summary.count} entries verified, head {summary.head_index} "
              f"{summary.head_hash.hex()} (key {public.hex()[:16]})")
    return 0


def read_text(path):
    if path == "-":
        return sys.stdin.read()
    with open(path, encoding="utf-8") as file:
        return file.read()


def prove_command(args):
    if args.index < 0:
        raise CommandError("INDEX must not be negative")
    print(cc.prove(args.log, args.index), end="")
    return 0


def verifier_key_from(argument):
    """A verifier key text, given as such or in a file."""
    text = read_text(argument).strip() if os.path.exists(argument) else argument
    return text


def verify_evidence_command(args):
    summary = cc.verify_evidence(read_text(args.evidence), verifier_key_from(args.key))
    print(f"OK: entry {summary['index']} of {summary['origin']} is in its checkpoint of {summary['tree_size']} "
          f"entries (entry hash {summary['current_hash'].hex()})")
    return 0


def consistency_command(args):
    print(cc.prove_consistency(read_text(args.old_checkpoint), args.log), end="")
    return 0


# What a line must hold to be shown as an entry.
ENTRY_MEMBERS = ("index", "timestamp", "action", "proof", "decision", "prev_hash", "current_hash", "signature")


def entry_rows(path):
    """The entries of a trail file, one decoded JSON object each, read line by line. A line
    that is not an entry ends the listing with an error naming the line."""
    with open(path, "rb") as trail:
        for number, raw in enumerate(trail, start=1):
            try:
                line = raw.decode("utf-8").rstrip("\n")
            except UnicodeDecodeError:
                raise CommandError(f"{path}: line {number} is not UTF-8 text") from None
            if line in ("[", "]") or not line:
                continue
            try:
                entry = json.loads(line.removesuffix(","))
            except json.JSONDecodeError as error:
                raise CommandError(f"{path}: line {number} is not a trail entry ({error.msg})") from None
            if not isinstance(entry, dict):
                raise CommandError(f"{path}: line {number} is not a trail entry (not a JSON object)")
            missing = [name for name in ENTRY_MEMBERS if name not in entry]
            if missing or not isinstance(entry["action"], dict):
                what = f"no {', '.join(missing)}" if missing else "its action is not an object"
                raise CommandError(f"{path}: line {number} is not a trail entry ({what})")
            yield entry


def action_text(action):
    kind = action.get("action_type")
    if isinstance(kind, dict):
        kind = f"Custom:{kind.get('Custom')}"
    return f"{kind} {action.get('target')}"


def decision_of(entry):
    decision = entry.get("decision")
    if decision == "Approved":
        return "Approved", None
    reason = decision.get("Denied", {}).get("reason") if isinstance(decision, dict) else None
    return "Denied", reason


def utc(seconds):
    try:
        return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    except (OverflowError, OSError, ValueError, TypeError):
        return str(seconds)


def hex_of(byte_list):
    try:
        return bytes(byte_list).hex()
    except (TypeError, ValueError):
        return "?"


def gate_of(entry):
    """A gate's record, for people: the deciding policies of a call, or an outcome and its call."""
    gate = entry.get("gate")
    if not isinstance(gate, dict):
        return None
    call, outcome = gate.get("call"), gate.get("outcome")
    if isinstance(call, dict):
        policies = call.get("policies")
        return {"policies": policies if isinstance(policies, list) else [], "denials": call.get("denials")}
    if isinstance(outcome, dict):
        return {"outcome_of": outcome.get("decision_index"), "success": outcome.get("success"),
                "result_hash": hex_of(outcome.get("result_hash"))}
    return None


def gate_text(gate):
    if gate is None:
        return ""
    if "outcome_of" in gate:
        return f"  [outcome of {gate['outcome_of']}: {'success' if gate['success'] is True else 'error'}]"
    return f"  [policies: {', '.join(map(str, gate['policies'])) or 'none'}]"


def summary_of(entry):
    verdict, reason = decision_of(entry)
    record = "hard_reset_signal" if "hard_reset_signal" in entry else "denial_proof" if "denial_proof" in entry else None
    return {
        "index": entry.get("index"),
        "timestamp": entry.get("timestamp"),
        "time": utc(entry.get("timestamp")),
        "action": action_text(entry.get("action", {})),
        "decision": verdict,
        "reason": reason,
        "watchdog_record": record,
        "gate": gate_of(entry),
        "prev_hash": hex_of(entry.get("prev_hash")),
        "current_hash": hex_of(entry.get("current_hash")),
    }


def inspect_command(args):
    if os.path.isdir(args.log):
        raise CommandError(f"{args.log}: is a directory")
    rows = (summary_of(entry) for entry in entry_rows(args.log))
    if args.json:
        for row in rows:
            print(json.dumps(row, ensure_ascii=False))
        return 0
    header = f"{'INDEX':>7}  {'TIME':<20}  {'DECISION':<8}  {'HASH':<12}  {'PREV':<12}  ACTION"
    count = 0
    for row in rows:
        if count == 0:
            print(header)  # only once the file has shown an entry, so an error comes alone
        decision = row["decision"] + (" (reset)" if row["watchdog_record"] == "hard_reset_signal" else "")
        action = row["action"] if len(row["action"]) <= 60 else row["action"][:57] + "..."
        reason = f"  [{row['reason']}]" if row["reason"] else ""
        print(f"{row['index']:>7}  {row['time']:<20}  {decision:<8}  {row['current_hash'][:12]:<12}  "
              f"{row['prev_hash'][:12]:<12}  {action}{reason}{gate_text(row['gate'])}")
        count += 1
    if count == 0:
        print(header)
    print(f"{count} entries (not verified: run 'verify' with the public key for that)")
    return 0
