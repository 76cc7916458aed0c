"""Command line: ``python -m corvel_charter demo`` walks through the documented road."""

import argparse
import sys

import corvel_charter as cc

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


def demo():
    proof = charter_road()
    if hasattr(cc, "ProofAuditor"):
        print()
        auditor_road(proof)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m corvel_charter", description=cc.__doc__.splitlines()[0])
    parser.add_argument("--version", action="version", version=f"corvel-charter {cc.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("demo", help="walk through the documented road")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    parser.print_help(sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
