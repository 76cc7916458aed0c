"""Per-call cost of the hot Python entry points.

    python bench/python_bench.py [--seconds 1.0]

verify_action is dominated by Ed25519 signing and the verify-after-sign check; the others
measure the binding's own overhead (argument parsing, object creation, hashing).
"""

import argparse
import timeit

import corvel_charter as cc


def measure(label, statement, namespace, seconds):
    # Best of several rounds of about `seconds / 5` each: the least disturbed figure.
    timer = timeit.Timer(statement, globals=namespace)
    number, elapsed = timer.autorange()
    number = max(number, int(number * seconds / 5 / max(elapsed, 1e-9)))
    best = min(timer.repeat(repeat=5, number=number)) / number
    if best >= 1e-6:
        print(f"{label:<40} {best * 1e6:10.2f} us/call")
    else:
        print(f"{label:<40} {best * 1e9:10.1f} ns/call")
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="rough time budget per benchmark")
    args = parser.parse_args()

    charter = cc.SealedCharter(rules=["Do no harm", "Respect privacy"])
    charter.seal()
    action = cc.Action.delete_file("user_data.txt")
    proof = charter.verify_action(action)
    namespace = {"cc": cc, "charter": charter, "action": action, "proof": proof}

    measure("charter.verify_action(action)", "charter.verify_action(action)", namespace, args.seconds)
    measure('Action.delete_file("user_data.txt")', 'cc.Action.delete_file("user_data.txt")', namespace, args.seconds)
    measure("action.action_hash()", "action.action_hash()", namespace, args.seconds)
    measure("hash(action)", "hash(action)", namespace, args.seconds)
    measure("hash(proof)", "hash(proof)", namespace, args.seconds)
    measure("proof.nonce_hex()", "proof.nonce_hex()", namespace, args.seconds)

    # The watchdog's approve path: two rules, a compliant deletion with a 40-byte target (the
    # input of bench/watchdog_bench.cpp, where the core alone takes about 21-26 ns). Nothing is
    # signed on this path, so the figure is the binding's own cost plus the rule check.
    watchdog = cc.Watchdog(["Do no harm", "Respect privacy"], charter.charter_hash())
    target = "/home/agent/workspace/report-2026-12.txt"
    assert len(target) == 40
    compliant = cc.Action.delete_file(target)
    assert watchdog.verify_action(compliant).approved
    namespace.update(watchdog=watchdog, compliant=compliant)
    measure("watchdog.verify_action(compliant)", "watchdog.verify_action(compliant)", namespace, args.seconds)


if __name__ == "__main__":
    main()
