"""Command line: ``python -m corvel_charter demo`` (or ``corvel-charter demo``) walks through the
documented road; examples/road.py in the repository is the same road as typed code."""

import argparse
import os
import sys

import corvel_charter as cc
from corvel_charter import _approval_cli, _gate_cli, _mcp_cli, _trail_cli

RULES = ["Do no harm", "Respect privacy"]


def show(label, value):
    print(f"  {label:<16} {value}")


def charter_road():
    """Seal a charter, verify an action with it and show the proof it issues."""
    print("== Sealed charter")
    charter = cc.SealedCharter(rules=RULES)
    print(f"  built            {charter!r}")
    charter.seal()
    print(f"  sealed           {charter!r}")
    show("charter hash", charter.charter_hash())

    action = cc.Action.delete_file("user_data.txt")
    print(f"  action           {action!r}")
    show("action hash", action.action_hash())

    proof = charter.verify_action(action)
    print(f"  proof            {proof}")
    show("approved", proof.approved)
    show("timestamp", f"{proof.timestamp()} ({proof.timestamp_string()})")
    show("ttl", f"{proof.ttl_seconds} s, expired: {proof.is_expired()}")
    show("nonce", proof.nonce_hex())
    show("action hash", proof.action_hash)
    show("charter hash", proof.charter_hash)
    show("signature", proof.signature_hex())
    return proof


def auditor_road(proof):
    """A fresh auditor holds a key of its own, so it refuses the charter's proof."""
    print("== Proof auditor")
    auditor = cc.ProofAuditor()
    print(f"  auditor          {auditor!r}")
    try:
        auditor.verify_proof(proof)
    except cc.AuditorError as refusal:
        show("refused", refusal)
    else:
        show("accepted", "the proof verified")


def watchdog_road(capsule_hash):
    """Approve a compliant action, deny a dangerous one, and lock at the tenth violation in a row."""
    print("== Watchdog")
    watchdog = cc.Watchdog(RULES, capsule_hash)
    print(f"  built            {watchdog!r}")

    result = watchdog.verify_action(cc.Action.read_file("notes.txt"))
    show("read notes.txt", f"{result!r}, approved: {result.approved}")

    dangerous = cc.Action.delete_file("/etc/passwd")
    result = watchdog.verify_action(dangerous)
    denial = result.denial_proof
    show("delete", f"/etc/passwd -> {result!r}")
    show("violated rule", denial.violated_rule)
    show("reason", denial.denial_reason)
    show("count", denial.violation_count)
    show("signed", f"{denial.is_signed()} ({denial.signature_hex()[:32]}...)")

    print(f"  the same deletion, {cc.max_violations()} times in a row in all:")
    while not result.hard_reset_required:
        result = watchdog.verify_action(dangerous)
        print(f"    {result!r}")
    signal = result.hard_reset_signal
    show("watchdog", repr(watchdog))
    show("signal", repr(signal))
    show("total", signal.total_violations)
    show("charter hash", signal.charter_hash)
    show("reset time", signal.reset_timestamp)
    final = signal.final_denial
    show("final denial", f"{final!r}: {final.denial_reason}")

    try:
        watchdog.verify_action(dangerous)
    except cc.WatchdogError as refusal:
        show("while locked", refusal)
    watchdog.acknowledge_reset()
    show("acknowledged", repr(watchdog))


def demo():
    proof = charter_road()
    print()
    watchdog_road(proof.charter_hash)
    # Last, the charter's proof meets an auditor with a key of its own, which refuses it.
    print()
    auditor_road(proof)
    return 0


def run(argv, prog):
    parser = argparse.ArgumentParser(prog=prog, description=cc.__doc__.splitlines()[0])
    parser.add_argument("--version", action="version", version=f"corvel-charter {cc.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("demo", help="walk through the documented road")
    _trail_cli.add_commands(commands)
    _gate_cli.add_commands(commands)
    _approval_cli.add_commands(commands)
    _mcp_cli.add_commands(commands)
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    if hasattr(args, "gate_run"):
        return _gate_cli.run(args)
    if hasattr(args, "proxy_run"):
        return _mcp_cli.run(args)
    if hasattr(args, "run"):
        return _trail_cli.run(args)
    parser.print_help(sys.stderr)
    return 2


def main(argv=None):
    """Entry point of ``python -m corvel_charter`` and of the ``corvel-charter`` console script."""
    script = os.path.basename(sys.argv[0])
    prog = "python -m corvel_charter" if script in ("__main__.py", "-m", "") else script
    try:
        status = run(argv, prog)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        # Ctrl-C: stop at once with the shell's status for it, without a traceback.
        print("interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`... demo | head`): stop quietly, as other command-line tools do.
        # Python flushes stdout once more at exit, so point it at /dev/null first.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
