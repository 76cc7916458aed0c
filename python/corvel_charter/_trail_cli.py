"""The audit trail's commands: ``keygen``, ``verify``, ``prove``, ``verify-evidence``,
``consistency`` and ``inspect``.

Exit status: 0 when verified (or done), 1 when verification fails or the work cannot be done, 2
for a usage error or input that cannot be read. docs/command-line.md gives the conventions.
"""

import contextlib
import datetime
import json
import os
import re
import shutil
import sys
import tempfile
import time

import corvel_charter as cc

# Files smaller than this verify too fast for progress to be worth showing.
PROGRESS_FROM_BYTES = 16 << 20


class CommandError(Exception):
    """An ordinary failure of a command: printed as one line, exit status 1."""


class UsageError(CommandError):
    """A usage error or input that cannot be read: printed as one line, exit status 2."""


# The largest entry index: indexes are unsigned 64-bit numbers.
MAX_INDEX = (1 << 64) - 1


def add_commands(commands):
    keygen = commands.add_parser("keygen", help="create a trail key file and print its public key")
    keygen.add_argument("key_file", metavar="KEY_FILE", help="where to write the private key (mode 0600, never overwritten)")
    keygen.add_argument("--name", help="also print the signed-note verifier key under this key name")
    keygen.add_argument("--public-out", metavar="FILE", help="also write the public key as SPKI PEM to FILE")
    keygen.set_defaults(run=keygen_command)

    verify = commands.add_parser("verify", help="verify a trail file with its public key")
    verify.add_argument("log", metavar="LOG", help="the trail file ('-' for standard input)")
    verify.add_argument("--public-key", required=True, metavar="KEY",
                        help="the public key: a file ('-' for standard input) or a text (SPKI PEM, 64 hex "
                             "digits or a verifier key)")
    verify.add_argument("--checkpoint", metavar="FILE",
                        help="also prove that the file extends this signed checkpoint: its first entries, as many "
                             "as the checkpoint covers (at most the file's entry count), give the checkpoint's "
                             "root ('-' for standard input; default: the checkpoint beside the trail, "
                             "LOG.checkpoint, when there is one)")
    verify.add_argument("--full", action="store_true",
                        help="check every entry's signature even where a checkpoint vouches for its entries")
    verify.add_argument("--json", action="store_true", help="print the outcome as one JSON object")
    verify.add_argument("--quiet", action="store_true",
                        help="no progress on standard error (shown only when it is a terminal)")
    verify.set_defaults(run=verify_command)

    prove = commands.add_parser("prove", help="print portable evidence (JSON) of one entry")
    prove.add_argument("log", metavar="LOG", help="the trail file (its checkpoint and tree lie beside it)")
    prove.add_argument("index", metavar="INDEX", help="the entry's index")
    prove.set_defaults(run=prove_command)

    evidence = commands.add_parser("verify-evidence", help="verify an evidence file offline")
    evidence.add_argument("evidence", metavar="EVIDENCE", help="the evidence file ('-' for standard input)")
    evidence.add_argument("--key", required=True, metavar="VKEY",
                          help="the trail's verifier key (name+id+key; the checkpoint's origin must be its "
                               "name), or its public key as SPKI PEM or 64 hex digits, as a text or a file "
                               "('-' for standard input)")
    evidence.set_defaults(run=verify_evidence_command)

    verify_consistency = commands.add_parser(
        "verify-consistency", help="verify a consistency proof offline (exit 0 verified, 1 refused, 2 unreadable)")
    verify_consistency.add_argument("document", metavar="DOC",
                                    help="the consistency document ('-' for standard input)")
    verify_consistency.add_argument("--key", required=True, metavar="VKEY",
                                    help="the trail's key: its verifier key (name+ID+key), SPKI PEM or 64 hex digits, as a "
                                         "text, a file or '-'")
    verify_consistency.set_defaults(run=verify_consistency_command)

    consistency = commands.add_parser("consistency", help="prove that a trail extends an older checkpoint")
    consistency.add_argument("old_checkpoint", metavar="OLD_CHECKPOINT",
                             help="a checkpoint file of the trail ('-' for standard input)")
    consistency.add_argument("log", metavar="LOG", help="the trail file (its checkpoint and tree lie beside it)")
    consistency.set_defaults(run=consistency_command)

    inspect = commands.add_parser("inspect", help="show a trail file's entries")
    inspect.add_argument("log", metavar="LOG", help="the trail file ('-' for standard input)")
    inspect.add_argument("--json", action="store_true", help="one JSON object per entry instead of a table")
    inspect.set_defaults(run=inspect_command)


def run(args):
    """Runs the chosen command; an ordinary failure is one line on standard error: status 2 for a
    usage error or input that cannot be read, 1 for the rest."""
    try:
        return args.run(args)
    except (cc.TrailError, CommandError, OSError, UnicodeError) as error:
        if isinstance(error, BrokenPipeError):
            raise
        print(f"error: {describe(error)}", file=sys.stderr)
        return 2 if isinstance(error, (UsageError, OSError, UnicodeError)) else 1


def describe(error):
    if isinstance(error, OSError) and error.filename is not None:
        text = f"{error.filename}: {error.strerror}"
    else:
        text = str(error)
    return visible(hashes_in_hex(text))


# A hash as the audit log's texts write it: its 32 byte values in decimal, "[0, 255, ...]".
DECIMAL_HASH = re.compile(r"\[(?:(?:25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d), ){31}(?:25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)\]")


def hashes_in_hex(text):
    """The text with every hash written in hex, as everywhere else on the command line."""
    return DECIMAL_HASH.sub(lambda match: bytes(json.loads(match.group())).hex(), text)


def visible(text):
    """The text with control and other non-printing characters (and the backslash, so that an
    escape is never ambiguous) escaped, so that no text from a file or an argument can move the
    cursor, clear the screen or forge a line on a terminal."""
    if text.isprintable() and "\\" not in text:
        return text
    out = []
    for char in text:
        if char == "\\":
            out.append("\\\\")
        elif char.isprintable():
            out.append(char)
        else:
            code = ord(char)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    return "".join(out)


PUBLIC_KEY_FORMS = "a file holding it, its SPKI PEM text, its 64 hex digits or its verifier key"
HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


def key_text_kind(text):
    """What a key argument holds, said without repeating any of it: a message never shows key
    material, public or private."""
    line = text.strip()
    if "PRIVATE KEY" in line:
        return "a private key"
    if line.startswith("-----BEGIN PUBLIC KEY-----"):
        return "a PEM public key that cannot be read"
    if line.startswith("-----BEGIN "):
        return "a PEM text that is not a public key"
    if "+" in line:
        return "a verifier-key text that cannot be read"
    if line and set(line) <= HEX_DIGITS:
        return f"{len(line)} hex digits, not 64"
    return None


def json_line(value):
    """One JSON object on one line, exact: characters that do not print (U+2028 and its kind
    included, which some readers take for line ends) are written as JSON escapes."""
    text = json.dumps(value, ensure_ascii=False)
    if text.isprintable():
        return text
    out = []
    for char in text:
        if char.isprintable():
            out.append(char)
        elif ord(char) < 0x10000:
            out.append(f"\\u{ord(char):04x}")
        else:
            high, low = divmod(ord(char) - 0x10000, 0x400)
            out.append(f"\\u{0xD800 + high:04x}\\u{0xDC00 + low:04x}")
    return "".join(out)


def public_key_text(text, option, from_file):
    """The public key a text holds; a usage error, naming the option but never the text, if none."""
    try:
        return cc.TrailPublicKey.parse(text)
    except cc.TrailKeyError as error:
        kind = key_text_kind(text)
        if kind == "a private key":
            raise UsageError(f"{option} was given a private key; it wants the trail's public key: "
                             f"{PUBLIC_KEY_FORMS}") from None
        # The reader's reason says what is wrong inside a PEM or verifier-key text; it repeats none of it.
        why = f" ({error})" if kind is not None and kind.startswith(("a PEM", "a verifier")) else ""
        given = f"{kind or 'a text that is no key'}{why}"
        what = f"holds {given}" if from_file else f"is neither a key file nor a public key text: it is {given}"
        raise UsageError(f"{option} {what}; it wants the trail's public key: {PUBLIC_KEY_FORMS}") from None


def public_key_from(argument, option="--public-key"):
    """A public key from a file holding one ('-' for standard input), or from the text itself."""
    return key_argument(argument, option)[0]


def key_argument(argument, option):
    """The public key an argument gives, and its verifier-key text when it is given as one (a
    verifier key names the trail, so a checkpoint's origin must then be its name), else None."""
    if argument == "-":
        text = read_text("-", option, usage=True)
        public = public_key_text(text, f"{option} (standard input)", True)
    elif os.path.exists(argument):
        try:
            public = cc.TrailPublicKey.load(argument)
        except cc.TrailKeyError as error:
            raise UsageError(str(error)) from None
        text = read_text(argument, option, usage=True)
    else:
        text = argument
        public = public_key_text(text, option, False)
    line = text.strip()
    return public, (line if "+" in line and not line.startswith("-----BEGIN ") else None)


def new_file_problem(path):
    """Why a new file cannot be made at `path`, or None: checked before anything is written."""
    if not path:
        return "an empty path"
    if os.path.lexists(path):
        return f"{path}: already exists: refusing to overwrite it"
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        return f"{path}: No such file or directory (no folder {folder})"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"{path}: Permission denied (the folder {folder} is not writable)"
    return None


def keygen_command(args):
    # Everything is checked before anything is written, so a mistake leaves no file behind and the
    # same command, corrected, runs.
    key = cc.TrailKey.generate()
    public = key.public_key
    try:
        verifier = public.verifier_key(args.name) if args.name is not None else None
    except cc.TrailKeyError as error:
        kind = key_text_kind(args.name)
        if kind is not None:  # key material: not shown back
            raise UsageError(f"--name was given {kind}, not a key name") from None
        raise UsageError(f"--name: {error}") from None
    if args.public_out is not None:
        if os.path.abspath(args.public_out) == os.path.abspath(args.key_file):
            raise UsageError("--public-out must name another file than KEY_FILE")
        problem = new_file_problem(args.public_out)
        if problem:
            raise UsageError(f"--public-out: {problem}")
    try:  # checks its own path (no file there, the folder there) before it creates the file
        key.save(args.key_file)
    except cc.TrailKeyError as error:
        raise UsageError(str(error)) from None
    if args.public_out is not None:
        made = []
        try:
            with open(args.public_out, "x", encoding="ascii") as out:
                made.append(args.public_out)
                out.write(public.pem())
        except BaseException:
            # All or nothing: the files this command made go, the key file included.
            for path in [args.key_file, *made]:
                with contextlib.suppress(OSError):
                    os.unlink(path)
            raise
    print(f"private key: {args.key_file}")
    print(f"public key:  {public.hex()}")
    if verifier is not None:
        print(f"verifier key: {verifier}")
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
        print(f"verifying: {percent:3d}% ({done >> 20} of {total >> 20} MiB)", end="\r", file=sys.stderr, flush=True)

    def finish(self):
        if self.shown:
            print(file=sys.stderr)


def entries(count):
    return f"{count} entry" if count == 1 else f"{count} entries"


def shown_name(path):
    return "standard input" if path == "-" else path


def one_standard_input(*arguments):
    if sum(argument == "-" for argument in arguments) > 1:
        raise UsageError("standard input ('-') can be read for one argument only")


def unreadable(path):
    """The reason a file cannot be read (missing, a folder, no permission), or None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        return error.strerror
    try:
        return "Is a directory" if os.path.isdir(path) else None
    finally:
        os.close(fd)


def file_beside_sidecars(path):
    """A trail whose checkpoint and tree lie beside it: a file, never standard input."""
    if path == "-":
        raise UsageError("LOG must be a file here, not standard input: its checkpoint and tree lie beside it")
    reason = unreadable(path)
    if reason is not None:
        raise UsageError(f"{path}: {reason}")
    return path


@contextlib.contextmanager
def trail_file(path):
    """The trail's path; standard input is first copied to a file of its own, removed after."""
    if path != "-":
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="corvel-charter-") as folder:
        copy = os.path.join(folder, "standard-input.json")
        with open(copy, "wb") as out:
            shutil.copyfileobj(sys.stdin.buffer, out, 1 << 20)
        yield copy


def checkpoint_summary(note, path):
    """The origin and size of a checkpoint the trail was verified against."""
    origin, size = note.split("\n", 2)[:2]
    return {"file": shown_name(path), "origin": origin, "tree_size": int(size)}


def verify_command(args):
    try:
        return verify_trail_file(args)
    except (cc.TrailError, CommandError, OSError, UnicodeError) as error:
        if args.json and not isinstance(error, BrokenPipeError):
            print(json_line({"verified": False, "file": shown_name(args.log), "error": describe(error)}))
        raise


def verify_trail_file(args):
    one_standard_input(args.log, args.public_key, args.checkpoint)
    public, named = key_argument(args.public_key, "--public-key")
    checkpoint_file = args.checkpoint if args.checkpoint is not None else beside_checkpoint(args.log)
    checkpoint = read_text(checkpoint_file, "--checkpoint") if checkpoint_file is not None else None
    name = shown_name(args.log)
    with trail_file(args.log) as path:
        try:
            size = os.stat(path).st_size
        except OSError:
            size = 0  # the verifier says why it cannot read the file
        show = not args.quiet and not args.json and size >= PROGRESS_FROM_BYTES and sys.stderr.isatty()
        progress = Progress() if show else None
        try:
            summary = cc.verify_trail(path, named or public, progress, checkpoint, full=args.full)
        except cc.TrailError as error:
            failure = UsageError if unreadable(path) else CommandError
            raise failure(f"{name}: {error}") from None
        finally:
            if progress is not None:
                progress.finish()
    if args.json:
        print(json_line({
            "verified": True,
            "file": name,
            "entries": summary.count,
            "head_index": summary.head_index,
            "head_hash": None if summary.head_hash is None else summary.head_hash.hex(),
            "public_key": public.hex(),
            "checkpoint": None if checkpoint is None else checkpoint_summary(checkpoint, checkpoint_file),
        }))
        return 0
    used = ""
    if checkpoint is not None:
        matched = checkpoint_summary(checkpoint, checkpoint_file)
        used = (f"; checkpoint {visible(matched['file'])} ({visible(matched['origin'])}, "
                f"{entries(matched['tree_size'])}) matches")
    if summary.count == 0:
        print(f"OK: {visible(name)}: empty trail, verified with key {public.hex()[:16]}{used}")
    else:
        print(f"OK: {visible(name)}: {entries(summary.count)} verified, head {summary.head_index} "
              f"{summary.head_hash.hex()} (key {public.hex()[:16]}){used}")
    return 0


def beside_checkpoint(log):
    """The checkpoint the writer keeps beside a trail, if there is one (none for standard input)."""
    path = f"{log}.checkpoint"
    return path if log != "-" and os.path.exists(path) else None


def read_text(path, what, usage=False):
    """A UTF-8 text file, or standard input for '-'. A file that cannot be opened is a usage
    error; one that is not UTF-8 is one too for a key (`usage`), else a failure of its content."""
    name = shown_name(path)
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as file:
                data = file.read()
    except OSError as error:
        raise UsageError(f"{what}: {name}: {error.strerror}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        failure = UsageError if usage else CommandError
        raise failure(f"{what}: {name}: not UTF-8 text (byte {error.start})") from None


def entry_index(text):
    """INDEX as an entry index: a decimal number of 0 to 2**64-1."""
    if not (text.isascii() and text.isdigit()) or int(text) > MAX_INDEX:
        raise UsageError(f"INDEX must be an entry index, a whole number of 0 to {MAX_INDEX}: got '{visible(text)}'")
    return int(text)


def prove_command(args):
    index = entry_index(args.index)
    print(cc.prove(file_beside_sidecars(args.log), index), end="")
    return 0


def checkpoint_origin(text):
    """The origin line of the checkpoint of an evidence document (or the newer checkpoint of a
    consistency document), or None where it has none: the verifier then says what is wrong."""
    try:
        document = json.loads(text)
    except ValueError:
        return None
    note = None
    if isinstance(document, dict):
        note = document.get("checkpoint", document.get("new_checkpoint"))
    return note.split("\n", 1)[0] if isinstance(note, str) else None


def verifier_key_from(argument, evidence):
    """The verifier key text for an evidence or consistency document: given as such (its name
    must then be the checkpoint's origin), or made from a public key (SPKI PEM or hex) under the
    checkpoint's own origin; as a text, a file or standard input."""
    if argument == "-":
        text = read_text(argument, "--key", usage=True)
        public = public_key_text(text, "--key (standard input)", True)
    elif os.path.exists(argument):
        public = public_key_from(argument, "--key")  # the key file rules: bounded, strict, named in errors
        text = read_text(argument, "--key", usage=True)
    else:
        text = argument
        public = public_key_text(text, "--key", False)  # checks a verifier-key text too, key ID included
    line = text.strip()
    if "+" in line and not line.startswith("-----BEGIN "):
        return line
    origin = checkpoint_origin(evidence)
    try:
        return public.verifier_key(origin if origin else "unknown")
    except cc.TrailKeyError:
        return public.verifier_key("unknown")  # an origin no key may have: the verifier refuses the note


def verify_evidence_command(args):
    one_standard_input(args.evidence, args.key)
    evidence = read_text(args.evidence, "EVIDENCE")
    summary = cc.verify_evidence(evidence, verifier_key_from(args.key, evidence))
    print(f"OK: entry {summary['index']} of {visible(summary['origin'])} is in its checkpoint of "
          f"{entries(summary['tree_size'])} (entry hash {summary['current_hash'].hex()})")
    return 0


def verify_consistency_command(args):
    one_standard_input(args.document, args.key)
    document = read_text(args.document, "DOC")
    summary = cc.verify_consistency(document, verifier_key_from(args.key, document))
    print(f"OK: {visible(summary['origin'])} at {entries(summary['new_size'])} extends its checkpoint of "
          f"{entries(summary['old_size'])}")
    return 0


def consistency_command(args):
    old = read_text(args.old_checkpoint, "OLD_CHECKPOINT")
    print(cc.prove_consistency(old, file_beside_sidecars(args.log)), end="")
    return 0


# What a line must hold to be shown as an entry.
ENTRY_MEMBERS = ("index", "timestamp", "action", "proof", "decision", "prev_hash", "current_hash", "signature")


def entry_rows(path):
    """The entries of a trail file, one decoded JSON object each, read line by line. A line
    that is not an entry ends the listing with an error naming the line."""
    with contextlib.nullcontext(sys.stdin.buffer) if path == "-" else open(path, "rb") as trail:
        path = shown_name(path)
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
        raise UsageError(f"{args.log}: Is a directory")
    rows = (summary_of(entry) for entry in entry_rows(args.log))
    if args.json:
        for row in rows:
            print(json_line(row))
        return 0
    header = f"{'INDEX':>7}  {'TIME':<20}  {'DECISION':<8}  {'HASH':<12}  {'PREV':<12}  ACTION"
    count = 0
    for row in rows:
        if count == 0:
            print(header)  # only once the file has shown an entry, so an error comes alone
        # Texts come from an unverified file: shown escaped, so none can drive the terminal.
        decision = row["decision"] + (" (reset)" if row["watchdog_record"] == "hard_reset_signal" else "")
        action = visible(row["action"])
        action = action if len(action) <= 60 else action[:57] + "..."
        reason = f"  [{visible(row['reason'])}]" if row["reason"] else ""
        print(f"{visible(str(row['index'])):>7}  {visible(row['time']):<20}  {decision:<8}  "
              f"{row['current_hash'][:12]:<12}  {row['prev_hash'][:12]:<12}  {action}{reason}{visible(gate_text(row['gate']))}")
        count += 1
    if count == 0:
        print(header)
    print(f"{entries(count)} (not verified: run 'verify' with the public key for that)")
    return 0
