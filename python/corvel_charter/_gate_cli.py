"""The gate's command: ``check``, one tool call judged by a policy, for writing and debugging
policies. Exit status 0 on an allow, 1 on a denial, 2 for a usage error (a bad policy file or
arguments that are not a JSON object among them)."""

import json
import os
import sys
import tempfile


class UsageError(Exception):
    """A mistake in the command line or its files: one line on standard error, status 2."""


def add_commands(commands):
    check = commands.add_parser(
        "check", help="decide one tool call by a Cedar policy and show the decision and the deciding policies")
    check.add_argument("tool", metavar="TOOL", help="the tool's name")
    check.add_argument("arguments", metavar="ARGS_JSON", help='the call\'s arguments, a JSON object: \'{"path": "a.txt"}\'')
    check.add_argument("--policy", required=True, metavar="P",
                       help="the Cedar policy file ('example' for the policy shipped with the package)")
    check.add_argument("--schema", metavar="FILE", help="a Cedar schema file that the policy must validate against")
    check.add_argument("--agent", default="cli", help="the agent making the call (default: cli)")
    check.add_argument("--server", help="the server the tool belongs to")
    check.add_argument("--trail", metavar="LOG",
                       help="record the decision in this trail (with --key); by default a scratch trail is used")
    check.add_argument("--key", metavar="KEY_FILE", help="the trail's key file, for --trail")
    check.set_defaults(gate_run=check_command)


def run(args):
    try:
        return args.gate_run(args)
    except UsageError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2


def read(path, what):
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeError) as error:
        reason = error.strerror if isinstance(error, OSError) else "not UTF-8 text"
        raise UsageError(f"{what} {path}: {reason}") from None


def no_duplicates(pairs):
    members = {}
    for name, value in pairs:
        if name in members:
            raise UsageError(f"ARGS_JSON: the member {name!r} is given twice")
        members[name] = value
    return members


def check_command(args):
    try:
        from corvel_charter import gate as gates
    except ImportError as missing:
        raise UsageError(str(missing)) from None
    import corvel_charter as cc

    policy = gates.example_policy() if args.policy == "example" else read(args.policy, "policy")
    schema = read(args.schema, "schema") if args.schema else None
    try:
        arguments = json.loads(args.arguments, object_pairs_hook=no_duplicates)
    except json.JSONDecodeError as error:
        raise UsageError(f"ARGS_JSON is not JSON: {error}") from None
    if not isinstance(arguments, dict):
        raise UsageError("ARGS_JSON must be a JSON object of the call's arguments")
    if (args.trail is None) != (args.key is None):
        raise UsageError("--trail and --key go together")

    with tempfile.TemporaryDirectory(prefix="corvel-check-") as scratch:
        try:
            if args.trail is None:
                trail = cc.AuditTrail(os.path.join(scratch, "check.trail"), cc.TrailKey.generate())
            else:
                trail = cc.AuditTrail(args.trail, cc.TrailKey.load(args.key))
        except cc.TrailError as error:
            raise UsageError(str(error)) from None
        with trail:
            try:
                gate = gates.Gate(policy, trail, args.agent, server=args.server, schema=schema)
            except gates.GateError as error:
                raise UsageError(str(error)) from None
            decision = gate.check(args.tool, arguments)
        print(f"{'ALLOW' if decision.allowed else 'DENY'}  {args.tool}")
        print(f"  reason       {decision.reason}")
        print(f"  policies     {', '.join(decision.policies) or '(none)'}")
        print(f"  arguments    sha256 {decision.arguments_hash.hex()}")
        print(f"  fingerprint  {gate.fingerprint}")
        if args.trail is not None:
            print(f"  recorded     {args.trail} entry {decision.index}")
    return 0 if decision.allowed else 1
