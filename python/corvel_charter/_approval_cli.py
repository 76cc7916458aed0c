"""The approver's command: ``approve`` signs an approval request with the approver's own key."""

import datetime
import os
import sys

import corvel_charter as cc
from corvel_charter._trail_cli import CommandError, UsageError, one_standard_input, read_text


def add_commands(commands):
    approve = commands.add_parser(
        "approve",
        help="approve one tool call: sign its approval request with your key",
        description="Shows what the request asks (on standard error) and prints the approval (a signed note) "
        "on standard output; give that text back with the retried call.",
    )
    approve.add_argument("request", metavar="REQUEST", help="the approval request file ('-' for standard input)")
    approve.add_argument("--key", required=True, metavar="KEY_FILE", help="the approver's private key file")
    approve.add_argument("--name", required=True, metavar="NAME",
                         help="the approver's key name (the name of the verifier key the gate trusts)")
    approve.add_argument("--gate-key", metavar="VKEY",
                         help="the gate's verifier key (text or file): refuse a request it did not sign")
    approve.add_argument("--output", "-o", metavar="FILE", help="write the approval to FILE (new) instead of standard output")
    approve.set_defaults(run=approve_command)


def verifier_key_text(argument):
    """A verifier key given as its text, a file holding it, or '-' for standard input."""
    if argument == "-" or os.path.isfile(argument):
        return read_text(argument, "--gate-key", usage=True).strip()
    return argument.strip()


def when(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def approve_command(args):
    one_standard_input(args.request, args.gate_key or "")
    request = read_text(args.request, "REQUEST")
    gate_key = verifier_key_text(args.gate_key) if args.gate_key else None
    try:
        key = cc.TrailKey.load(args.key)
        if gate_key is not None:
            cc.TrailPublicKey.parse(gate_key)  # a key that cannot be read is a usage error, not a refusal
    except cc.TrailKeyError as error:
        raise UsageError(str(error)) from None
    terms = cc.read_approval_request(request, gate_key)
    approval = cc.approve(request, key, args.name, gate_key)
    print(f"approving a call of tool {terms['tool']!r}", file=sys.stderr)
    print(f"  arguments (SHA-256): {terms['arguments_hash'].hex()}", file=sys.stderr)
    print(f"  policy fingerprint:  {terms['policy_fingerprint'].hex()}", file=sys.stderr)
    print(f"  good once, until {when(terms['expires'])}", file=sys.stderr)
    if gate_key is None:
        print("  (the request's signature was not checked: give --gate-key to check it)", file=sys.stderr)
    if args.output:
        try:
            with open(args.output, "x", encoding="utf-8") as out:
                out.write(approval)
        except FileExistsError:
            raise CommandError(f"{args.output} exists; the approval was not written") from None
    else:
        sys.stdout.write(approval)
    return 0
