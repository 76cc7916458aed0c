import hashlib
import json
import re
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import _corvel_core as core
from conftest import assert_memory_flat

RULES = ["Do no harm", "Respect privacy"]
NOT_SEALED = "Charter must be sealed before generating proofs"
ALREADY_SEALED = "Charter is already sealed and immutable"


def compact_json_hash(rules):
    # Python's json writes exactly the compact form: only " \ and U+0000..U+001F escaped,
    # short escapes for \b \t \n \f \r, lower-case \u00xx otherwise, everything else as is.
    text = json.dumps(rules, ensure_ascii=False, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def sealed(rules=RULES):
    charter = core.SealedCharter(rules=rules)
    charter.seal()
    return charter


class CustomSequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def test_unsealed_then_sealed():
    charter = core.SealedCharter(rules=RULES)
    assert charter.is_sealed() is False
    assert charter.charter_hash() is None
    assert repr(charter) == str(charter) == "SealedCharter(rules=2, sealed=false)"
    diagnostics = charter.diagnostics()
    assert list(diagnostics) == ["version", "sealed", "rule_count", "rules"]
    assert diagnostics == {"version": "1.5.0", "sealed": False, "rule_count": 2, "rules": RULES}

    assert charter.seal() is None
    assert charter.is_sealed() is True
    digest = charter.charter_hash()
    assert digest == hashlib.sha256(b'["Do no harm","Respect privacy"]').hexdigest()
    assert repr(charter) == str(charter) == "SealedCharter(rules=2, sealed=true)"
    diagnostics = charter.diagnostics()
    assert list(diagnostics) == ["version", "sealed", "rule_count", "rules", "charter_hash"]
    assert diagnostics["sealed"] is True and diagnostics["charter_hash"] == digest
    assert charter.rules() == RULES


def test_second_seal_is_refused_and_keeps_the_hash():
    charter = sealed()
    digest = charter.charter_hash()
    with pytest.raises(core.CharterError) as raised:
        charter.seal()
    assert type(raised.value) is core.CharterError
    assert raised.value.args == (ALREADY_SEALED,)
    assert raised.value.__cause__ is None and raised.value.__context__ is None
    assert charter.charter_hash() == digest and charter.is_sealed()


def test_verify_before_sealing_is_refused():
    charter = core.SealedCharter(rules=RULES)
    with pytest.raises(core.CharterError) as raised:
        charter.verify_action(core.Action.read_file("a.txt"))
    assert str(raised.value) == NOT_SEALED
    assert not isinstance(raised.value, core.CryptoError)
    charter.seal()
    assert charter.verify_action(core.Action.read_file("a.txt")).approved


@pytest.mark.parametrize(
    "rules",
    [[], [""], ["a", "a"], ['say "hi"', "back\\slash", "line\nbreak"], ["é", "\u007f/", "\x1f\x00\b\f\t\r"],
     ["\U0001f600"]],
)
def test_charter_hash_is_sha256_of_compact_json(rules):
    assert sealed(rules).charter_hash() == compact_json_hash(rules)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.text(alphabet=st.characters(blacklist_categories=("Cs",))), max_size=6))
def test_charter_hash_matches_compact_json_for_any_rules(rules):
    assert sealed(rules).charter_hash() == compact_json_hash(rules)


def test_hash_depends_on_rules_and_order_only():
    assert sealed(RULES).charter_hash() == sealed(list(RULES)).charter_hash()
    assert sealed(RULES).charter_hash() != sealed(RULES[::-1]).charter_hash()
    assert sealed([]).charter_hash() == hashlib.sha256(b"[]").hexdigest()


def test_rule_sequences_accepted():
    for rules in (("a", "b"), CustomSequence(["a", "b"]), ["a", "b"]):
        charter = core.SealedCharter(rules)
        assert charter.rules() == ["a", "b"]
    # Subclasses of str are texts too.
    class Rule(str):
        pass
    assert core.SealedCharter([Rule("x")]).rules() == ["x"]


@pytest.mark.parametrize(
    "rules, message",
    [
        ("Do no harm", "argument 'rules': a str is not accepted as a sequence of str"),
        (42, "argument 'rules': 'int' object cannot be converted to 'Sequence'"),
        (None, "argument 'rules': 'NoneType' object cannot be converted to 'Sequence'"),
        ((r for r in RULES), "argument 'rules': 'generator' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'rules': 'dict' object cannot be converted to 'Sequence'"),
        (["ok", 3], "argument 'rules': item 1: 'int' object cannot be converted to 'str'"),
        ([b"bytes"], "argument 'rules': item 0: 'bytes' object cannot be converted to 'str'"),
        (b"ab", "argument 'rules': item 0: 'int' object cannot be converted to 'str'"),
    ],
)
def test_bad_rules_raise_type_error(rules, message):
    with pytest.raises(TypeError) as raised:
        core.SealedCharter(rules=rules)
    assert str(raised.value) == message


def test_rule_with_lone_surrogate_is_refused_cleanly():
    with pytest.raises(UnicodeEncodeError):
        core.SealedCharter(["fine", "bad \ud800"])


def test_huge_rule():
    rule = "x" * (8 << 20)
    charter = sealed([rule])
    assert charter.charter_hash() == compact_json_hash([rule])
    assert charter.rules()[0] == rule


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: core.SealedCharter(), "SealedCharter() missing 1 required positional argument: 'rules'"),
        (lambda: core.SealedCharter([], []), "SealedCharter() takes 1 positional argument but 2 were given"),
        (lambda: core.SealedCharter(rule=[]), "SealedCharter() got an unexpected keyword argument 'rule'"),
        (lambda: core.SealedCharter([], rules=[]), "SealedCharter() got multiple values for argument 'rules'"),
        (lambda: sealed().verify_action(), "SealedCharter.verify_action() missing 1 required positional argument: 'action'"),
        (lambda: sealed().seal(1), "SealedCharter.seal() takes no arguments (1 given)"),
        (lambda: sealed().__exit__(None, None, None, None),
         "SealedCharter.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_verify_action_requires_an_action():
    charter = sealed()
    proof = charter.verify_action(core.Action.read_file("a"))
    for wrong, name in (("x", "str"), (proof, "Proof"), (None, "NoneType"), (charter, "SealedCharter")):
        with pytest.raises(TypeError) as raised:
            charter.verify_action(wrong)
        assert str(raised.value) == f"argument 'action': '{name}' object cannot be converted to 'Action'"
    assert charter.verify_action(action=core.Action.read_file("a")).approved


def test_proofs_from_one_charter():
    charter = sealed()
    action = core.Action.delete_file("data.txt")
    first, second = charter.verify_action(action), charter.verify_action(action)
    for proof in (first, second):
        assert type(proof) is core.Proof
        assert proof.approved is True and proof.denial_reason() is None
        assert proof.charter_hash == charter.charter_hash()
        assert proof.action_hash == action.action_hash()
        assert proof.ttl_seconds == 60
        assert len(proof.signature_bytes()) == 64
    assert first.nonce_bytes() != second.nonce_bytes()
    assert first.signature_bytes() != second.signature_bytes()
    assert first != second


def test_context_manager():
    charter = core.SealedCharter(rules=RULES)
    with charter as bound:
        assert bound is charter
        charter.seal()
    with pytest.raises(KeyError):
        with charter:
            raise KeyError("inside")
    # Leaving the block changes nothing.
    assert charter.is_sealed()
    assert charter.__exit__() is False
    assert charter.__exit__(ValueError, ValueError("x"), None) is False
    assert charter.__exit__(_exc_type=None, _exc_value=None, _traceback=None) is False
    assert charter.__enter__() is charter


def test_docstrings_and_signatures():
    cls = core.SealedCharter
    assert cls.__text_signature__ == "(rules)"
    assert cls.__doc__.startswith(
        "Python wrapper for SealedCharter\n\nRepresents a cryptographically sealed set of ethical rules that governs\n"
        "AI decision-making with tamper-evident accountability.\n\n# Example\n"
    )
    assert 'SealedCharter(rules=["Do no harm", "Respect privacy"])' in cls.__doc__
    expected = {
        "seal": ("($self)", "Seal the charter, making it immutable"),
        "is_sealed": ("($self)", "Check if the charter is sealed"),
        "rules": ("($self)", "Get the charter's rules"),
        "charter_hash": ("($self)", "Get the charter's cryptographic hash"),
        "verify_action": ("($self, action)", "Verify an action against the charter rules"),
        "__enter__": ("($self)", "Context manager support: __enter__"),
        "__exit__": ("($self, _exc_type=None, _exc_value=None, _traceback=None)", "Context manager support: __exit__"),
        "diagnostics": ("($self)", "Get diagnostic information"),
    }
    for name, (signature, first_line) in expected.items():
        member = getattr(cls, name)
        assert member.__text_signature__ == signature, name
        assert member.__doc__.splitlines()[0] == first_line, name
    assert "Raises:\n    CharterError: If already sealed" in cls.seal.__doc__
    assert "    CharterError: If charter is not sealed\n    CryptoError: If signature generation fails" in cls.verify_action.__doc__
    assert "    list[str]: The immutable rule set" in cls.rules.__doc__
    assert "    dict: Diagnostic data including version, sealed status, rule count" in cls.diagnostics.__doc__


def test_rules_returns_a_fresh_list():
    charter = core.SealedCharter(rules=RULES)
    listed = charter.rules()
    listed.append("sneaky")
    assert charter.rules() == RULES
    assert charter.diagnostics()["rules"] is not charter.diagnostics()["rules"]


def test_reference_counts_stay_flat():
    charter = sealed()
    action = core.Action.read_file("a")
    rules = ["one rule"]
    before = (sys.getrefcount(charter), sys.getrefcount(action), sys.getrefcount(rules), sys.getrefcount(rules[0]))
    for _ in range(200):
        charter.verify_action(action)
        with charter:
            pass
        charter.__exit__(None, None, None)
        core.SealedCharter(rules)
        charter.rules()
        charter.diagnostics()
        try:
            charter.seal()
        except core.CharterError:
            pass
    after = (sys.getrefcount(charter), sys.getrefcount(action), sys.getrefcount(rules), sys.getrefcount(rules[0]))
    assert after == before


def test_no_memory_growth():
    rule = "r" * 4096
    action = core.Action.read_file("a")

    def churn(count):
        for _ in range(count):
            charter = core.SealedCharter([rule, "b"])
            charter.seal()
            charter.verify_action(action)
            charter.diagnostics()
            repr(charter)
            try:
                core.SealedCharter("not a list")
            except TypeError:
                pass

    # A leaked charter would hold its 4 KiB rule: 5000 of them are 20 MiB.
    assert_memory_flat(churn, 500, 5000)


def test_threads_share_one_charter():
    charter = sealed()
    action = core.Action.execute_command("ls")
    nonces, failures = [], []

    def work():
        try:
            for _ in range(50):
                nonces.append(charter.verify_action(action).nonce_hex())
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    assert len(set(nonces)) == 200
    assert all(re.fullmatch("[0-9a-f]{64}", nonce) for nonce in nonces)
