"""The documented road, typed: seal a charter, verify an action, let the watchdog judge.

    python examples/road.py

mypy --strict passes on this file (tests/python/test_stubs.py checks it).
"""

import corvel_charter as cc

RULES = ["Do no harm", "Respect privacy"]


def seal(rules: list[str]) -> cc.SealedCharter:
    charter = cc.SealedCharter(rules=rules)
    charter.seal()
    return charter


def prove(charter: cc.SealedCharter, action: cc.Action) -> cc.Proof:
    proof = charter.verify_action(action)
    print(proof)
    return proof


def judge(watchdog: cc.Watchdog, action: cc.Action) -> str:
    result: cc.WatchdogResult = watchdog.verify_action(action)
    if result.approved:
        return "approved"
    denial = result.denial_proof
    assert denial is not None
    return f"denied by {denial.violated_rule!r}: {denial.denial_reason}"


def main() -> int:
    charter = seal(RULES)
    proof = prove(charter, cc.Action.delete_file("user_data.txt"))
    charter_hash = charter.charter_hash()
    assert charter_hash is not None
    print(f"approved: {proof.approved}, expires in {proof.ttl_seconds} s, nonce {proof.nonce_hex()[:16]}...")

    watchdog = cc.Watchdog(RULES, charter_hash)
    for action in (cc.Action.read_file("notes.txt"), cc.Action.delete_file("/etc/passwd")):
        print(f"{action!r}: {judge(watchdog, action)}")

    try:
        cc.ProofAuditor().verify_proof(proof)
    except cc.AuditorError as refusal:
        # A fresh auditor holds a key of its own, so it refuses the charter's proof.
        print(f"auditor: {refusal}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
