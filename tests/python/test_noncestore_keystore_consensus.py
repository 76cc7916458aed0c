import decimal
import json
import math
import os
import shutil
import subprocess
import sys

import pytest

import _corvel_core as core
from test_faults import SHIM

# ---------------------------------------------------------------- MemoryNonceStore


@pytest.mark.parametrize(
    "nonce",
    [bytes(32), bytearray(32), [0] * 32, [255] * 32, tuple(range(32)), memoryview(bytes(32)), [True] * 32],
    ids=["bytes", "bytearray", "list", "list-255", "tuple", "memoryview", "bools"],
)
def test_new_store_contains_nothing(nonce):
    assert core.MemoryNonceStore().contains(nonce) is False
    assert core.MemoryNonceStore().contains(nonce=nonce) is False


@pytest.mark.parametrize("nonce", [bytes(31), bytes(33), b"", [], [0] * 31, bytearray(64)])
def test_nonce_of_wrong_length(nonce):
    with pytest.raises(ValueError) as raised:
        core.MemoryNonceStore().contains(nonce)
    assert type(raised.value) is ValueError
    assert str(raised.value) == "Nonce must be exactly 32 bytes"


@pytest.mark.parametrize(
    "nonce, error, message",
    [
        # A str is refused as a type even when it has 32 characters.
        ("a" * 32, TypeError, "argument 'nonce': a str is not accepted as a sequence of bytes"),
        (None, TypeError, "argument 'nonce': 'NoneType' object cannot be converted to 'Sequence'"),
        (0, TypeError, "argument 'nonce': 'int' object cannot be converted to 'Sequence'"),
        (["a"] * 32, TypeError, "argument 'nonce': 'str' object cannot be interpreted as an integer"),
        ([256] + [0] * 31, ValueError, "argument 'nonce': item 0: byte values must be in range(0, 256)"),
        ([0] * 31 + [-1], ValueError, "argument 'nonce': item 31: byte values must be in range(0, 256)"),
    ],
)
def test_nonce_of_wrong_type(nonce, error, message):
    with pytest.raises(error) as raised:
        core.MemoryNonceStore().contains(nonce)
    assert type(raised.value) is error and str(raised.value) == message


def test_nonce_store_surface():
    store = core.MemoryNonceStore()
    assert repr(store) == "MemoryNonceStore(persistent=false)" == str(store)
    assert core.MemoryNonceStore.__doc__ == "In-memory nonce store"
    assert core.MemoryNonceStore.__text_signature__ == "()"
    assert core.MemoryNonceStore.contains.__doc__ == "Check if a nonce exists"
    assert core.MemoryNonceStore.contains.__text_signature__ == "($self, nonce)"
    for call in (lambda: core.MemoryNonceStore(100), lambda: core.MemoryNonceStore(max_nonces=1),
                 lambda: store.contains(), lambda: store.contains(bytes(32), bytes(32))):
        with pytest.raises(TypeError):
            call()


def test_nonce_store_is_independent_of_auditors():
    charter = core.SealedCharter(["r"])
    charter.seal()
    proof = charter.verify_action(core.Action.read_file("a"))
    store = core.MemoryNonceStore()
    with pytest.raises(core.AuditorError):
        core.ProofAuditor().verify_proof(proof)
    assert store.contains(proof.nonce_bytes()) is False


def test_contains_keeps_reference_counts_flat():
    store = core.MemoryNonceStore()
    nonce, as_list = bytes(32), [7] * 32
    before = sys.getrefcount(nonce), sys.getrefcount(as_list), sys.getrefcount(as_list[0])
    for _ in range(5000):
        store.contains(nonce)
        store.contains(as_list)
        try:
            store.contains(as_list[:31])
        except ValueError:
            pass
    assert (sys.getrefcount(nonce), sys.getrefcount(as_list), sys.getrefcount(as_list[0])) == before


# ---------------------------------------------------------------- SoftwareKeyStore


def test_generate_on_class_and_instance():
    first = core.SoftwareKeyStore.generate()
    second = first.generate()
    assert type(first) is type(second) is core.SoftwareKeyStore
    assert first is not second
    assert repr(first) == repr(second) == "SoftwareKeyStore(type='Ed25519')"
    # Nothing of the key is reachable from Python.
    assert [name for name in dir(first) if not name.startswith("_")] == ["generate"]


def test_key_store_surface():
    for call in (lambda: core.SoftwareKeyStore(), lambda: core.SoftwareKeyStore.__new__(core.SoftwareKeyStore)):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == "No constructor defined for SoftwareKeyStore"
    with pytest.raises(TypeError):
        core.SoftwareKeyStore.generate(1)
    assert core.SoftwareKeyStore.__doc__ == "Software-based KeyStore"
    assert core.SoftwareKeyStore.__text_signature__ is None
    assert core.SoftwareKeyStore.generate.__doc__ == "Generate a new Ed25519 keypair"
    assert core.SoftwareKeyStore.generate.__text_signature__ == "()"


# ---------------------------------------------------------------- ConsensusEngine


class Index:
    def __index__(self):
        return 4


class Real:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((), {"required_sources": 5, "tolerance": 0.25}),
        ((5, 0.25), {}),
        ((0,), {"tolerance": 0}),
        ((), {"tolerance": 1}),
        ((2**64 - 1, -1.5), {}),
        ((True, math.inf), {}),
        ((Index(), Real()), {}),
        ((), {"tolerance": math.nan}),
        ((), {"tolerance": decimal.Decimal("0.3")}),
    ],
)
def test_consensus_engine_accepts(args, kwargs):
    engine = core.ConsensusEngine(*args, **kwargs)
    assert repr(engine) == "ConsensusEngine(backend='native')" == str(engine)


@pytest.mark.parametrize(
    "kwargs, error, prefix",
    [
        ({"required_sources": -1}, OverflowError, "argument 'required_sources': "),
        ({"required_sources": 2**64}, OverflowError, "argument 'required_sources': "),
        ({"required_sources": 2.5}, TypeError, "argument 'required_sources': "),
        ({"required_sources": "3"}, TypeError, "argument 'required_sources': "),
        ({"required_sources": None}, TypeError, "argument 'required_sources': "),
        ({"tolerance": "x"}, TypeError, "argument 'tolerance': "),
        ({"tolerance": None}, TypeError, "argument 'tolerance': "),
        ({"tolerance": 1j}, TypeError, "argument 'tolerance': "),
    ],
)
def test_consensus_engine_refuses(kwargs, error, prefix):
    with pytest.raises(error) as raised:
        core.ConsensusEngine(**kwargs)
    assert type(raised.value) is error
    assert str(raised.value).startswith(prefix)


def test_consensus_engine_argument_binding():
    for call, message in [
        (lambda: core.ConsensusEngine(3, 0.1, 7), "ConsensusEngine() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda: core.ConsensusEngine(sources=3), "ConsensusEngine() got an unexpected keyword argument 'sources'"),
        (lambda: core.ConsensusEngine(3, required_sources=3),
         "ConsensusEngine() got multiple values for argument 'required_sources'"),
    ]:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message
    assert core.ConsensusEngine.__doc__ == "Python wrapper for ConsensusEngine"
    assert core.ConsensusEngine.__text_signature__ == "(required_sources=3, tolerance=0.1)"
    assert [name for name in dir(core.ConsensusEngine()) if not name.startswith("_")] == []


# ---------------------------------------------------------------- common


@pytest.mark.parametrize(
    "make",
    [core.MemoryNonceStore, core.SoftwareKeyStore.generate, core.ConsensusEngine],
    ids=["MemoryNonceStore", "SoftwareKeyStore", "ConsensusEngine"],
)
def test_instances_are_closed(make):
    instance = make()
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (type(instance),), {})


def test_random_source_failure_is_a_panic(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the fault shim")
    (tmp_path / "shim.c").write_text(SHIM)
    library = tmp_path / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(tmp_path / "shim.c"), "-ldl"],
                   check=True)
    child_code = (
        "import ctypes, json, os\n"
        "import _corvel_core as core\n"
        "shim = ctypes.CDLL(os.environ['SHIM'])\n"
        "report = {}\n"
        "calls = {'generate': core.SoftwareKeyStore.generate, 'auditor': core.ProofAuditor,\n"
        "         'logger': lambda: core.AuditLogger(os.environ['ABSENT'])}\n"
        "for name, call in calls.items():\n"
        "    shim.shim_fail_random(1)\n"
        "    try:\n"
        "        call()\n"
        "        report[name] = 'returned'\n"
        "    except BaseException as error:\n"
        "        report[name] = [type(error).__name__, isinstance(error, Exception), str(error)]\n"
        "    shim.shim_fail_random(0)\n"
        "    call()\n"  # usable again once the source works
        "print(json.dumps(report))\n"
    )
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(library)]))
    env = dict(os.environ, LD_PRELOAD=preload, SHIM=str(library), ABSENT=str(tmp_path / "absent.json"))
    child = subprocess.run([sys.executable, "-c", child_code], env=env, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    for name, result in json.loads(child.stdout).items():
        assert result[:2] == ["PanicException", False], name
        assert result[2].startswith("RNG failure"), name
