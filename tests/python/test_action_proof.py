import datetime
import hashlib
import json
import re
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

import _corvel_core as core
from conftest import assert_memory_flat, run_python

DELETE, WRITE, READ, EXECUTE = 0, 1, 2, 3


def canonical_hash(kind, target, payload=None):
    """SHA-256 of the canonical action encoding, written out independently of the core."""
    encoded = target.encode("utf-8")
    out = struct.pack("<I", kind) + struct.pack("<Q", len(encoded)) + encoded
    out += b"\x00" if payload is None else b"\x01" + struct.pack("<Q", len(payload)) + bytes(payload)
    out += b"\x00"  # no metadata
    return hashlib.sha256(out).hexdigest()


@pytest.fixture(scope="module")
def charter():
    charter = core.SealedCharter(rules=["Do no harm"])
    charter.seal()
    return charter


@pytest.fixture
def proof(charter):
    return charter.verify_action(core.Action.delete_file("user_data.txt"))


# ---------------------------------------------------------------- Action


@pytest.mark.parametrize(
    "make, kind, name, target, payload",
    [
        (lambda: core.Action.delete_file("data.txt"), DELETE, "Delete", "data.txt", None),
        (lambda: core.Action.read_file(file_path="a"), READ, "Read", "a", None),
        (lambda: core.Action.write_file("a", b"x"), WRITE, "Write", "a", b"x"),
        (lambda: core.Action.write_file(content=b"", file_path=""), WRITE, "Write", "", b""),
        (lambda: core.Action.execute_command("rm -rf / --no-preserve-root"), EXECUTE, "Execute",
         "rm -rf / --no-preserve-root", None),
        (lambda: core.Action.delete_file("café/\x00'quote'"), DELETE, "Delete", "café/\x00'quote'", None),
    ],
)
def test_factories(make, kind, name, target, payload):
    action = make()
    assert type(action) is core.Action
    assert action.action_hash() == canonical_hash(kind, target, payload)
    # The target goes into the representation as it is, without escaping.
    assert repr(action) == f"Action(type='{name}', target='{target}')"


@settings(max_examples=80, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",))), st.binary(max_size=300))
def test_action_hash_matches_canonical_encoding(target, payload):
    assert core.Action.write_file(target, payload).action_hash() == canonical_hash(WRITE, target, payload)
    assert core.Action.read_file(target).action_hash() == canonical_hash(READ, target)


def test_content_forms():
    expected = core.Action.write_file("a", b"hi")
    assert core.Action.write_file("a", [104, 105]) == expected
    assert core.Action.write_file("a", (104, 105)) == expected
    assert core.Action.write_file("a", bytearray(b"hi")) == expected
    assert core.Action.write_file("a", memoryview(b"hi")) == expected
    assert core.Action.write_file("a", [True, 0]).action_hash() == canonical_hash(WRITE, "a", b"\x01\x00")
    # Absent and empty payloads differ.
    assert core.Action.write_file("a", b"").action_hash() != core.Action.read_file("a").action_hash()


@pytest.mark.parametrize(
    "content, error, message",
    [
        ("text", TypeError, "argument 'content': a str is not accepted as a sequence of bytes"),
        (5, TypeError, "argument 'content': 'int' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'content': 'NoneType' object cannot be converted to 'Sequence'"),
        ([1.5], TypeError, "argument 'content': 'float' object cannot be interpreted as an integer"),
        (["a"], TypeError, "argument 'content': 'str' object cannot be interpreted as an integer"),
        ([256], ValueError, "argument 'content': item 0: byte values must be in range(0, 256)"),
        ([0, -1], ValueError, "argument 'content': item 1: byte values must be in range(0, 256)"),
        ([2**70], ValueError, "argument 'content': item 0: byte values must be in range(0, 256)"),
    ],
)
def test_bad_content(content, error, message):
    with pytest.raises(error) as raised:
        core.Action.write_file("a", content)
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: core.Action.delete_file(1), "argument 'file_path': 'int' object cannot be converted to 'str'"),
        (lambda: core.Action.read_file(b"a"), "argument 'file_path': 'bytes' object cannot be converted to 'str'"),
        (lambda: core.Action.execute_command(["ls"]), "argument 'command': 'list' object cannot be converted to 'str'"),
        (lambda: core.Action.write_file(None, b""), "argument 'file_path': 'NoneType' object cannot be converted to 'str'"),
        (lambda: core.Action.delete_file(), "Action.delete_file() missing 1 required positional argument: 'file_path'"),
        (lambda: core.Action.write_file(), "Action.write_file() missing 2 required positional arguments: 'file_path' and 'content'"),
        (lambda: core.Action.write_file("a", b"", 3), "Action.write_file() takes 2 positional arguments but 3 were given"),
        (lambda: core.Action.read_file(path="a"), "Action.read_file() got an unexpected keyword argument 'path'"),
        (lambda: core.Action.read_file("a", file_path="a"), "Action.read_file() got multiple values for argument 'file_path'"),
        (lambda: core.Action(), "No constructor defined for Action"),
        (lambda: core.Action.__new__(core.Action), "No constructor defined for Action"),
    ],
)
def test_action_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_content_changed_while_being_read():
    content = []

    class Evil:
        def __index__(self):
            content.clear()  # drops the list's reference to this very object
            return 7

    content.extend([Evil(), 1, 2])
    assert core.Action.write_file("a", content).action_hash() == canonical_hash(WRITE, "a", b"\x07")


def test_lone_surrogates_are_refused_cleanly():
    for call in (lambda: core.Action.delete_file("\udc80"), lambda: core.Action.execute_command("a\ud800b"),
                 lambda: core.Action.write_file("\udfff", b"x")):
        with pytest.raises(UnicodeEncodeError):
            call()


def test_huge_inputs():
    target = "t" * (16 << 20)
    payload = bytes(range(256)) * (1 << 14)
    action = core.Action.write_file(target, payload)
    assert action.action_hash() == canonical_hash(WRITE, target, payload)


def test_factories_are_static_methods():
    action = core.Action.read_file("a")
    assert action.delete_file("b") == core.Action.delete_file("b")
    assert isinstance(core.Action.__dict__["read_file"], staticmethod)


def test_action_equality_and_hash():
    a, b = core.Action.read_file("a"), core.Action.read_file("a")
    assert a == b and not (a != b) and hash(a) == hash(b) and a is not b
    assert core.Action.read_file("a") != core.Action.delete_file("a")
    assert core.Action.write_file("a", b"x") != core.Action.write_file("a", b"y")
    assert (a == 5) is False and (a != 5) is True and (a == None) is False  # noqa: E711
    assert len({a, b, core.Action.read_file("b")}) == 2
    for ordering in (lambda: a < b, lambda: a <= b, lambda: a > b, lambda: a >= b):
        with pytest.raises(TypeError):
            ordering()


def test_action_docs():
    cls = core.Action
    assert cls.__doc__ == "Python wrapper for Action" and cls.__text_signature__ is None
    expected = {
        "delete_file": ("(file_path)", "Create a file deletion action"),
        "read_file": ("(file_path)", "Create a file read action"),
        "write_file": ("(file_path, content)", "Create a file write action"),
        "execute_command": ("(command)", "Create a command execution action"),
        "action_hash": ("($self)", "Get the action hash"),
    }
    for name, (signature, doc) in expected.items():
        assert getattr(cls, name).__text_signature__ == signature
        assert getattr(cls, name).__doc__ == doc


# ---------------------------------------------------------------- hashing oracle


def test_hashes_match_siphash13_with_a_zero_key(charter):
    # With PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 under a zero key, the
    # same function and key as Action and Proof hashing, including the -1 -> -2 replacement.
    if sys.hash_info.algorithm != "siphash13":
        pytest.skip("the interpreter does not hash with SipHash-1-3")
    actions = [core.Action.read_file(str(i)) for i in range(40)] + [core.Action.write_file("", b"")]
    proofs = [charter.verify_action(action) for action in actions[:10]]
    digests = [bytes.fromhex(a.action_hash()) for a in actions] + [p.nonce_bytes() for p in proofs]
    child = run_python(
        "import json, struct\n"
        f"digests = {json.dumps([d.hex() for d in digests])}\n"
        "print(json.dumps([hash(struct.pack('<Q', 32) + bytes.fromhex(d)) for d in digests]))\n",
        env={"PYTHONHASHSEED": "0"},
    )
    assert json.loads(child.stdout) == [hash(x) for x in actions + proofs]


# ---------------------------------------------------------------- Proof


def test_proof_fields(charter, proof):
    assert proof.approved is True
    assert proof.denial_reason() is None
    assert proof.ttl_seconds == 60
    assert proof.charter_hash == charter.charter_hash()
    assert proof.action_hash == core.Action.delete_file("user_data.txt").action_hash()
    assert len(proof.signature_bytes()) == 64 and proof.signature_hex() == proof.signature_bytes().hex()
    assert len(proof.nonce_bytes()) == 32 and proof.nonce_hex() == proof.nonce_bytes().hex()
    assert re.fullmatch("[0-9a-f]{128}", proof.signature_hex())
    assert proof.is_expired() is False


def test_proof_time(proof):
    now = int(datetime.datetime.now(datetime.timezone.utc).timestamp())
    assert abs(proof.timestamp() - now) <= 5
    expected = datetime.datetime.fromtimestamp(proof.timestamp(), datetime.timezone.utc).isoformat()
    assert proof.timestamp_string() == expected
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00", proof.timestamp_string())


def test_proof_text_forms(proof):
    nonce = proof.nonce_hex()[:8]
    assert repr(proof) == f"Proof(approved=true, timestamp={proof.timestamp()}, nonce='{nonce}')"
    assert str(proof) == f"\u2705 APPROVED | Timestamp: {proof.timestamp_string()} | Nonce: {nonce}..."


def test_proof_equality_and_hash(charter, proof):
    other = charter.verify_action(core.Action.delete_file("user_data.txt"))
    assert proof == proof and not (proof != proof)
    assert proof != other and not (proof == other)
    assert (proof == 5) is False and (proof != 5) is True
    assert hash(proof) == hash(proof) and len({proof, other}) == 2
    with pytest.raises(TypeError):
        proof < proof  # noqa: B015


def test_proof_is_read_only(proof):
    for name in ("approved", "charter_hash", "action_hash", "ttl_seconds"):
        with pytest.raises(AttributeError):
            setattr(proof, name, 1)
        with pytest.raises(AttributeError):
            delattr(proof, name)
    with pytest.raises(AttributeError):
        proof.timestamp = 0
    with pytest.raises(TypeError) as raised:
        core.Proof()
    assert str(raised.value) == "No constructor defined for Proof"


def test_proof_docs():
    cls = core.Proof
    assert cls.__doc__ == "Python wrapper for Proof" and cls.__text_signature__ is None
    properties = {
        "approved": "Check if the action was approved",
        "charter_hash": "Get the charter/capsule hash",
        "action_hash": "Get the action hash",
        "ttl_seconds": "Get the time-to-live in seconds",
    }
    for name, doc in properties.items():
        assert isinstance(cls.__dict__[name], type(core.Proof.approved)) and cls.__dict__[name].__doc__ == doc
    methods = {
        "signature_hex": "Get the cryptographic signature",
        "signature_bytes": "Get the signature as bytes",
        "nonce_hex": "Get the cryptographic nonce",
        "nonce_bytes": "Get the nonce as bytes",
        "timestamp": "Get the timestamp as Unix epoch seconds",
        "timestamp_string": "Get the timestamp as ISO 8601 string",
        "is_expired": "Check if the proof has expired",
        "denial_reason": "Get the denial reason (if denied)",
    }
    for name, doc in methods.items():
        assert getattr(cls, name).__text_signature__ == "($self)" and getattr(cls, name).__doc__ == doc


# ---------------------------------------------------------------- resources


def test_reference_counts_stay_flat(charter, proof):
    path, content = "some/path", b"payload"
    before = (sys.getrefcount(path), sys.getrefcount(content), sys.getrefcount(proof))
    for _ in range(300):
        core.Action.write_file(path, content)
        core.Action.write_file(file_path=path, content=content)
        proof.nonce_bytes(), proof.signature_hex(), proof.approved, proof.charter_hash
        proof == proof, proof != 5, hash(proof), str(proof), repr(proof)
    assert (sys.getrefcount(path), sys.getrefcount(content), sys.getrefcount(proof)) == before


def test_no_memory_growth(proof):
    target = "p" * 1024

    def churn(count):
        for _ in range(count):
            action = core.Action.write_file(target, b"x" * 64)
            action.action_hash(), repr(action), hash(action)
            proof.nonce_hex(), str(proof), proof.timestamp_string()
            try:
                core.Action.write_file(target, "text")
            except TypeError:
                pass

    # A leaked action would keep its 1 KiB target: 50000 of them are 50 MiB.
    assert_memory_flat(churn, 1000, 50000)
