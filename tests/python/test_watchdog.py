import re
import sys
import time
import tracemalloc

import pytest

import _corvel_core as core
from conftest import UNDER_ASAN, rss_bytes

LOCKED = "Watchdog is locked - hard reset required"
CAPSULE = "abc123..."


def watchdog(rules=("Do no harm",), capsule_hash=CAPSULE):
    return core.Watchdog(list(rules), capsule_hash)


def passwd():
    return core.Action.delete_file("/etc/passwd")


def lock(dog, action=None):
    """Drives the watchdog to its limit; returns the hard-reset result."""
    action = action or passwd()
    for _ in range(core.max_violations() - dog.violation_count() - 1):
        assert not dog.verify_action(action).hard_reset_required
    result = dog.verify_action(action)
    assert result.hard_reset_required
    return result


def denial_fields(proof):
    return (proof.nonce(), proof.action_hash(), proof.is_signed(), proof.signature_hex(), proof.timestamp,
            proof.violated_rule, proof.denial_reason, proof.violation_count, proof.triggered_hard_reset)


# ---------------------------------------------------------------- verdicts


def test_first_violation_is_denied_with_a_signed_proof():
    dog = watchdog()
    action = passwd()
    result = dog.verify_action(action)
    assert type(result) is core.WatchdogResult
    assert result.approved is False and result.hard_reset_required is False and result.hard_reset_signal is None
    assert repr(result) == "WatchdogResult(DENIED, count=1)"
    proof = result.denial_proof
    assert type(proof) is core.DenialProof
    assert proof.violated_rule == "Do no harm"
    assert proof.denial_reason == "Destructive action on critical path: /etc/passwd"
    assert proof.violation_count == 1 and proof.triggered_hard_reset is False
    assert proof.is_signed() is True and re.fullmatch("[0-9a-f]{128}", proof.signature_hex())
    assert proof.action_hash() == bytes.fromhex(action.action_hash())
    assert len(proof.nonce()) == 32
    assert abs(proof.timestamp - time.time()) <= 5
    assert repr(proof) == "DenialProof(rule='Do no harm', count=1, hard_reset=false)"
    assert dog.violation_count() == 1 and dog.is_locked() is False
    # Each denial has its own nonce and signature.
    again = dog.verify_action(action).denial_proof
    assert again.nonce() != proof.nonce() and again.signature_hex() != proof.signature_hex()
    assert again.violation_count == 2


def test_compliant_action_is_approved_and_resets_the_count():
    dog = watchdog()
    dog.verify_action(passwd())
    result = dog.verify_action(core.Action.read_file("data.txt"))
    assert repr(result) == "WatchdogResult(APPROVED)"
    assert result.approved is True and result.hard_reset_required is False
    assert result.denial_proof is None and result.hard_reset_signal is None
    assert dog.violation_count() == 0


def make(kind, target):
    return core.Action.write_file(target, b"x") if kind == "write_file" else getattr(core.Action, kind)(target)


DESTRUCTIVE, DANGEROUS, SENSITIVE = ("Destructive action on critical path: ", "Dangerous command detected: ",
                                     "Accessing sensitive data: ")


@pytest.mark.parametrize(
    "rules, kind, target, verdict",
    [
        (["DO NO HARM"], "delete_file", "/etc/passwd", ("DO NO HARM", DESTRUCTIVE)),
        (["dO nO hArM"], "delete_file", "C:/Windows/System32", None),  # the target's case matters
        (["Do no harm"], "delete_file", "/ETC/passwd", None),
        (["Do no harm"], "delete_file", "/home/user/bootstrap.sh", ("Do no harm", DESTRUCTIVE)),
        (["Do no harm"], "execute_command", "reformat the report", ("Do no harm", DANGEROUS)),
        (["Do no harm"], "execute_command", ":(){ :|:& };:", ("Do no harm", DANGEROUS)),
        (["Do no harm"], "execute_command", "RM -RF /", None),
        (["Do no harm", "Respect privacy"], "write_file", "/etc/passwd", None),
        (["Do no harm"], "read_file", "/etc/passwd", None),
        (["Respect privacy", "Do no harm"], "delete_file", "/bin/ls", ("Do no harm", DESTRUCTIVE)),
        (["Do no harm and respect privacy"], "read_file", "~/.ssh/id_rsa",
         ("Do no harm and respect privacy", SENSITIVE)),
        (["Respect privacy", "RESPECT PRIVACY"], "read_file", "credentials.json", ("Respect privacy", SENSITIVE)),
        (["Do no-harm", "Do no  harm", "Do noharm"], "delete_file", "/etc/passwd", None),
        (["PRİVACY"], "read_file", "password", None),  # İ lower-cases to i plus a combining dot
        (["ΣΕΒΑΣΜΌΣ privacy"], "read_file", "my password", ("ΣΕΒΑΣΜΌΣ privacy", SENSITIVE)),
        ([], "delete_file", "/etc/passwd", None),
    ],
)
def test_rule_check(rules, kind, target, verdict):
    dog = watchdog(rules)
    result = dog.verify_action(make(kind, target))
    if verdict is None:
        assert result.approved and dog.violation_count() == 0
    else:
        rule, reason = verdict
        assert not result.approved
        assert (result.denial_proof.violated_rule, result.denial_proof.denial_reason) == (rule, reason + target)


def test_empty_watchdog():
    dog = watchdog([], "")
    assert repr(dog) == "Watchdog(rules=0, violations=0, locked=false)"
    assert dog.rules() == [] and dog.capsule_hash() == ""
    for action in (passwd(), core.Action.execute_command("rm -rf /"), core.Action.read_file(".ssh/id")):
        assert dog.verify_action(action).approved


def test_non_ascii_texts_pass_through_unescaped():
    rule = "Ne fais pas de mal — do no harm 'ever'"
    dog = watchdog([rule], "hash ✓")
    result = dog.verify_action(core.Action.delete_file("/etc/café\x00"))
    assert result.denial_proof.denial_reason == "Destructive action on critical path: /etc/café\x00"
    assert repr(result.denial_proof) == f"DenialProof(rule='{rule}', count=1, hard_reset=false)"
    assert dog.rules() == [rule] and dog.capsule_hash() == "hash ✓"
    assert repr(lock(dog).hard_reset_signal) == "HardResetSignal(violations=10, charter_hash='hash ✓')"


# ---------------------------------------------------------------- count, lock and hard reset


def test_the_tenth_violation_requires_a_hard_reset():
    dog = watchdog()
    action = passwd()
    for count in range(1, 10):
        proof = dog.verify_action(action).denial_proof
        assert (proof.violation_count, proof.triggered_hard_reset, proof.is_signed()) == (count, False, True)
    result = dog.verify_action(action)
    assert repr(result) == "WatchdogResult(HARD_RESET_REQUIRED)"
    assert result.approved is False and result.hard_reset_required is True
    assert dog.is_locked() is True and dog.violation_count() == 10
    assert repr(dog) == "Watchdog(rules=1, violations=10, locked=true)"

    final = result.denial_proof
    assert final.violated_rule == "Multiple violations"
    assert final.denial_reason == "10 consecutive violations reached"
    assert final.violation_count == 10 and final.triggered_hard_reset is True
    assert final.is_signed() is False and final.signature_hex() == ""
    assert final.action_hash() == bytes.fromhex(action.action_hash())
    assert repr(final) == "DenialProof(rule='Multiple violations', count=10, hard_reset=true)"

    signal = result.hard_reset_signal
    assert type(signal) is core.HardResetSignal
    assert signal.total_violations == 10 and signal.charter_hash == CAPSULE
    assert abs(signal.reset_timestamp - time.time()) <= 5
    assert repr(signal) == f"HardResetSignal(violations=10, charter_hash='{CAPSULE}')"
    # The result's final denial and the signal's are the same record.
    assert denial_fields(signal.final_denial) == denial_fields(final)


def test_locked_watchdog():
    dog = watchdog()
    lock(dog)
    for _ in range(2):
        with pytest.raises(core.WatchdogError) as raised:
            dog.verify_action(passwd())
        assert type(raised.value) is core.WatchdogError and raised.value.args == (LOCKED,)
        assert dog.violation_count() == 10 and dog.is_locked()
    # Compliant actions still pass, and reset the count, but the lock holds.
    assert dog.verify_action(core.Action.write_file("/etc/passwd", b"")).approved
    assert dog.violation_count() == 0 and dog.is_locked()
    with pytest.raises(core.WatchdogError, match=LOCKED):
        dog.verify_action(core.Action.execute_command("mkfs /dev/sda"))
    assert dog.violation_count() == 0

    assert dog.acknowledge_reset() is None
    assert dog.is_locked() is False and dog.violation_count() == 0
    assert dog.verify_action(passwd()).denial_proof.violation_count == 1
    # A second full run locks again.
    assert lock(dog).hard_reset_signal.total_violations == 10


def test_approvals_and_report_success_break_the_run():
    dog = watchdog()
    dog.verify_action(passwd())
    dog.verify_action(passwd())
    dog.verify_action(core.Action.read_file("notes"))
    assert dog.verify_action(passwd()).denial_proof.violation_count == 1
    assert dog.report_success() is None and dog.violation_count() == 0
    assert dog.verify_action(passwd()).denial_proof.violation_count == 1

    lock(dog)
    dog.report_success()
    assert dog.violation_count() == 0 and dog.is_locked() is True
    dog.acknowledge_reset()
    # Acknowledging an unlocked watchdog just clears the count.
    assert dog.verify_action(passwd()).denial_proof.violation_count == 1
    dog.acknowledge_reset()
    assert (dog.violation_count(), dog.is_locked()) == (0, False)


def test_watchdogs_are_independent():
    first, second = watchdog(), watchdog()
    lock(first)
    assert second.violation_count() == 0 and not second.is_locked()
    assert second.verify_action(passwd()).denial_proof.violation_count == 1


# ---------------------------------------------------------------- ViolationCounter


def test_violation_counter():
    counter = core.ViolationCounter()
    assert (counter.count(), counter.is_locked(), counter.is_max_reached()) == (0, False, False)
    assert counter.increment() == 1
    for expected in range(2, 10):
        assert counter.increment() == expected
    assert counter.is_max_reached() is False
    assert counter.increment() == 10
    assert counter.is_max_reached() is True and counter.is_locked() is False
    assert repr(counter) == "ViolationCounter(count=10, locked=false)"
    # It neither stops nor locks at the limit.
    assert counter.increment() == 11 and counter.count() == 11 and not counter.is_locked()
    assert counter.reset() is None
    assert counter.count() == 0 and not counter.is_max_reached()
    assert core.ViolationCounter().count() == 0  # each counter is its own


def test_max_violations():
    assert core.max_violations() == 10
    assert core.max_violations.__text_signature__ == "()"
    assert core.max_violations.__doc__ == "Maximum violations before hard reset (10)"


# ---------------------------------------------------------------- objects


def test_every_read_returns_a_fresh_object():
    dog = watchdog()
    denied = dog.verify_action(passwd())
    first, second = denied.denial_proof, denied.denial_proof
    assert first is not second and denial_fields(first) == denial_fields(second)

    reset = lock(dog)
    assert reset.hard_reset_signal is not reset.hard_reset_signal
    signal = reset.hard_reset_signal
    assert signal.final_denial is not signal.final_denial
    assert denial_fields(signal.final_denial) == denial_fields(reset.hard_reset_signal.final_denial)
    rules = dog.rules()
    rules.append("mutated")
    assert dog.rules() == ["Do no harm"] and dog.rules() is not dog.rules()


def test_rules_are_copied_at_construction():
    rules = ["Do no harm"]
    dog = core.Watchdog(rules, CAPSULE)
    rules[0] = "anything"
    assert dog.rules() == ["Do no harm"] and not dog.verify_action(passwd()).approved
    assert core.Watchdog(("a", "b"), "").rules() == ["a", "b"]
    assert core.Watchdog(rules=[], capsule_hash="h").capsule_hash() == "h"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: core.Watchdog("Do no harm", CAPSULE), "argument 'rules': a str is not accepted as a sequence of str"),
        (lambda: core.Watchdog(["ok", 1], CAPSULE), "argument 'rules': item 1: 'int' object cannot be converted to 'str'"),
        (lambda: core.Watchdog(None, CAPSULE), "argument 'rules': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: core.Watchdog([], b"h"), "argument 'capsule_hash': 'bytes' object cannot be converted to 'str'"),
        (lambda: core.Watchdog([]), "Watchdog() missing 1 required positional argument: 'capsule_hash'"),
        (lambda: core.Watchdog([], "", 1), "Watchdog() takes 2 positional arguments but 3 were given"),
        (lambda: core.Watchdog([], capsule="h"), "Watchdog() got an unexpected keyword argument 'capsule'"),
        (lambda: watchdog().verify_action("rm -rf /"), "argument 'action': 'str' object cannot be converted to 'Action'"),
        (lambda: watchdog().verify_action(None), "argument 'action': 'NoneType' object cannot be converted to 'Action'"),
        (lambda: watchdog().verify_action(watchdog().verify_action(passwd()).denial_proof),
         "argument 'action': 'DenialProof' object cannot be converted to 'Action'"),
        (lambda: watchdog().verify_action(), "Watchdog.verify_action() missing 1 required positional argument: 'action'"),
        (lambda: watchdog().is_locked(1), "Watchdog.is_locked() takes no arguments (1 given)"),
        (lambda: core.ViolationCounter(0), "ViolationCounter() takes 0 positional arguments but 1 was given"),
        (lambda: core.DenialProof(), "No constructor defined for DenialProof"),
        (lambda: core.HardResetSignal(), "No constructor defined for HardResetSignal"),
        (lambda: core.WatchdogResult(), "No constructor defined for WatchdogResult"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


CLASSES = ["Watchdog", "ViolationCounter", "DenialProof", "HardResetSignal", "WatchdogResult"]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(core, name),), {})


def test_objects_are_closed_and_read_only():
    dog = watchdog()
    result = lock(dog)
    objects = {
        dog: [], core.ViolationCounter(): [], result: ["approved", "denial_proof", "hard_reset_required",
                                                       "hard_reset_signal"],
        result.denial_proof: ["timestamp", "violated_rule", "denial_reason", "violation_count",
                              "triggered_hard_reset"],
        result.hard_reset_signal: ["total_violations", "charter_hash", "reset_timestamp", "final_denial"],
    }
    for obj, properties in objects.items():
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")
        for name in properties:
            with pytest.raises(AttributeError):
                setattr(obj, name, None)
            with pytest.raises(AttributeError):
                delattr(obj, name)
    with pytest.raises(AttributeError):
        dog.verify_action = None
    assert result.hard_reset_required


def test_docs():
    assert core.Watchdog.__text_signature__ == "(rules, capsule_hash)"
    assert core.ViolationCounter.__text_signature__ == "()"
    for name in ("DenialProof", "HardResetSignal", "WatchdogResult"):
        assert getattr(core, name).__text_signature__ is None
    assert core.Watchdog.__doc__.startswith(
        "The Watchdog - Iron Discipline Enforcement Engine\n\nMonitors actions and enforces SealedCharter rules.\n"
        "After 10 consecutive violations, triggers hard reset.\n")
    assert "verify_action" in core.Watchdog.__doc__
    assert core.WatchdogResult.__doc__ == (
        "Result of action verification\n\nContains either:\n- approved=True (action allowed)\n"
        "- approved=False + denial_proof (action denied, but not 10th violation)\n"
        "- hard_reset_required=True + hard_reset_signal (10th violation, must reset)")
    assert core.DenialProof.__doc__.startswith(
        "Cryptographic proof of rule violation\n\nContains Ed25519 signed evidence of why an action was denied.\n")
    assert "denial_proof" in core.DenialProof.__doc__
    assert core.HardResetSignal.__doc__ == (
        "Signal that hard reset is required\n\nReturned after 10 consecutive violations.\n"
        "The AI runtime MUST clear all context and restart.")
    assert core.ViolationCounter.__doc__.startswith("Thread-safe violation counter (zero-allocation)\n")
    assert "increment()" in core.ViolationCounter.__doc__

    methods = {
        core.Watchdog: {
            "verify_action": ("($self, action)", "Verify an action against rules\n\nReturns WatchdogResult with:\n"
                              "- approved=True if action is allowed\n- denial_proof if action is denied\n"
                              "- hard_reset_required=True if 10th violation"),
            "report_success": ("($self)", "Report successful action (resets counter)"),
            "acknowledge_reset": ("($self)", "Acknowledge hard reset (unlock watchdog)\n\nCall after:\n"
                                  "1. Clearing all context\n2. Verifying charter is unchanged\n3. Ready to restart"),
            "is_locked": ("($self)", "Check if watchdog is locked (hard reset required)"),
            "violation_count": ("($self)", "Get current violation count"),
            "rules": ("($self)", "Get rules (read-only)"),
            "capsule_hash": ("($self)", "Get capsule hash"),
        },
        core.ViolationCounter: {
            "count": ("($self)", "Get current violation count"),
            "increment": ("($self)", "Increment violation count"),
            "reset": ("($self)", "Reset violation count to zero"),
            "is_max_reached": ("($self)", "Check if maximum violations (10) reached"),
            "is_locked": ("($self)", "Check if watchdog is locked"),
        },
        core.DenialProof: {
            "nonce": ("($self)", "Get nonce as bytes"),
            "action_hash": ("($self)", "Get action hash as bytes"),
            "is_signed": ("($self)", "Whether proof is cryptographically signed"),
            "signature_hex": ("($self)", "Get signature as hex string"),
        },
    }
    for cls, table in methods.items():
        for name, (signature, doc) in table.items():
            assert (getattr(cls, name).__text_signature__, getattr(cls, name).__doc__) == (signature, doc), name
    properties = {
        core.WatchdogResult: {
            "approved": "Whether action was approved", "denial_proof": "Denial proof (if action was denied)",
            "hard_reset_required": "Whether hard reset is required",
            "hard_reset_signal": "Hard reset signal (if reset required)",
        },
        core.DenialProof: {
            "timestamp": "Unix timestamp of denial", "violated_rule": "The rule that was violated",
            "denial_reason": "Human-readable denial reason", "violation_count": "Current violation count (1-10)",
            "triggered_hard_reset": "Whether this denial triggered a hard reset",
        },
        core.HardResetSignal: {
            "total_violations": "Total violations that triggered reset",
            "charter_hash": "Charter hash (for verification after restart)",
            "reset_timestamp": "Timestamp of reset signal",
            "final_denial": "Get the final denial proof that triggered reset",
        },
    }
    for cls, table in properties.items():
        for name, doc in table.items():
            member = cls.__dict__[name]
            assert type(member).__name__ == "getset_descriptor" and member.__doc__ == doc, name


# ---------------------------------------------------------------- resources


def test_reference_counts_stay_flat():
    rules, capsule = ["Do no harm", "Respect privacy"], "capsule-" + "x" * 20
    dog = core.Watchdog(rules, capsule)
    bad, good, counter = passwd(), core.Action.read_file("fine"), core.ViolationCounter()

    def cycle():
        core.Watchdog(rules, capsule)
        result = lock(dog, bad)
        result.denial_proof, result.hard_reset_signal.final_denial, repr(result)
        try:
            dog.verify_action(bad)
        except core.WatchdogError:
            pass
        dog.verify_action(good).denial_proof
        dog.rules(), dog.capsule_hash(), repr(dog)
        dog.acknowledge_reset()
        dog.verify_action(action=bad).denial_proof.signature_hex()
        dog.report_success()
        counter.increment(), repr(counter)

    cycle()
    objects = (rules, capsule, dog, bad, good, counter)
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(30):
        cycle()
    assert [sys.getrefcount(obj) for obj in objects] == before


def test_no_native_memory_growth():
    dog = watchdog(["Do no harm " + "r" * 512], "c" * 512)
    bad = core.Action.delete_file("/etc/" + "p" * 1024)

    def churn(rounds):
        for _ in range(rounds):
            result = lock(dog, bad)
            result.hard_reset_signal.final_denial, repr(result.denial_proof)
            dog.acknowledge_reset()

    churn(20)
    tracemalloc.start()
    rss = rss_bytes()
    churn(300)  # 3000 denials, each holding over 2 KiB of texts
    grown = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    if not UNDER_ASAN:
        assert rss_bytes() - rss < 4 << 20
    assert grown < 64 << 10
