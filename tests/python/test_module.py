import importlib
import sys
import weakref

import pytest

import _corvel_core as core
import corvel_charter
from conftest import run_python

# The module's attributes in registration order.
FULL_ORDER = [
    "SealedCharter", "Action", "Proof", "ProofAuditor", "ConsensusEngine", "SoftwareKeyStore",
    "MemoryNonceStore", "AuditLogger", "AuditEntry", "Watchdog", "ViolationCounter", "DenialProof",
    "HardResetSignal", "WatchdogResult", "max_violations", "CharterError", "CryptoError",
    "AuditorError", "ConsensusError", "AibomError", "WatchdogError", "__version__", "__author__",
]
CLASSES = FULL_ORDER[:14]

EXCEPTIONS = [
    ("CharterError", "PyCharterError", "Corvel Charter error"),
    ("CryptoError", "PyCryptoError", "Cryptographic operation error"),
    ("AuditorError", "PyAuditorError", "Proof auditor error"),
    ("ConsensusError", "PyConsensusError", "Consensus engine error"),
    ("AibomError", "PyAibomError", "AI-BOM verification error"),
    ("WatchdogError", "PyWatchdogError", "Watchdog enforcement error (v1.7.0)"),
]


def present_classes():
    return [getattr(core, name) for name in CLASSES if hasattr(core, name)]


def test_all_lists_the_attributes_in_registration_order():
    assert core.__all__ == FULL_ORDER
    assert all(isinstance(name, str) and hasattr(core, name) for name in core.__all__)
    # Nothing public beyond __all__ (PanicException in particular is not a module attribute).
    public = {name for name in dir(core) if not name.startswith("_")}
    assert public == {name for name in core.__all__ if not name.startswith("_")}


def test_metadata():
    assert core.__version__ == "1.8.0"
    assert "\n" not in core.__author__ and "@" in core.__author__
    assert core.__name__ == "_corvel_core"
    lines = core.__doc__.splitlines()
    assert lines[:6] == [
        "Corvel Charter Python module",
        "",
        "Provides tamper-evident cryptographic framework for AI accountability.",
        "",
        "# Example",
        "",
    ]
    for fragment in ('SealedCharter(rules=["Do no harm", "Respect privacy"])', "# Create and seal charter",
                     'Action.delete_file("user_data.txt")', "# Verify action", "# Audit proof",
                     "ProofAuditor()", "verify_proof(proof)"):
        assert fragment in core.__doc__


def test_reimport_returns_the_same_module_and_classes():
    first = sys.modules.pop("_corvel_core")
    try:
        again = importlib.import_module("_corvel_core")
        assert again is first
        assert again.CharterError is core.CharterError and again.Action is core.Action
    finally:
        sys.modules["_corvel_core"] = first


@pytest.mark.parametrize("attribute, name, doc", EXCEPTIONS)
def test_exception_classes(attribute, name, doc):
    error = getattr(core, attribute)
    assert error.__name__ == name and error.__qualname__ == name
    assert error.__module__ == "_corvel_core"
    assert error.__doc__ == doc
    assert error.__bases__ == (Exception,)
    assert repr(error) == f"<class '_corvel_core.{name}'>"
    instance = error("some message")
    assert str(instance) == "some message" and instance.args == ("some message",)


def test_exception_classes_do_not_catch_each_other():
    errors = [getattr(core, attribute) for attribute, _, _ in EXCEPTIONS]
    for raised in errors:
        for other in errors:
            assert issubclass(raised, other) == (raised is other)


def test_max_violations():
    assert core.max_violations() == 10
    assert core.max_violations.__module__ == "_corvel_core"
    assert core.max_violations.__self__ is core
    assert core.max_violations.__text_signature__ == "()"
    assert core.max_violations.__doc__ == "Maximum violations before hard reset (10)"
    with pytest.raises(TypeError):
        core.max_violations(1)


def test_package_reexports_the_native_module():
    # The native module's names, then the audit trail's.
    assert corvel_charter.__all__[: len(core.__all__)] == core.__all__
    assert set(corvel_charter.__all__[len(core.__all__):]) == {
        "AuditTrail", "Decision", "TrailError", "TrailIntegrityError", "TrailKey", "TrailKeyError",
        "TrailPublicKey", "TrailSummary", "prove", "prove_consistency", "verify_consistency", "verify_evidence",
        "verify_trail",
        # approvals of single tool calls
        "ApprovalError", "approval_request", "approve", "check_approval", "read_approval_request"}
    assert corvel_charter.__version__ == "1.8.0"
    for name in core.__all__:
        assert getattr(corvel_charter, name) is getattr(core, name)


@pytest.mark.parametrize("cls", present_classes(), ids=lambda cls: cls.__name__)
def test_common_class_properties(cls):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "_corvel_core"
    assert cls.__name__ == cls.__qualname__ and "." not in cls.__name__
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    # Class attributes cannot be replaced, so verify_action and friends cannot be patched out.
    with pytest.raises(TypeError):
        cls.injected = 1
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)


def test_instances_take_no_new_attributes_or_weak_references():
    charter = core.SealedCharter(["r"])
    charter.seal()
    action = core.Action.read_file("a")
    proof = charter.verify_action(action)
    for instance in (charter, action, proof):
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(instance)


def test_import_under_warnings_as_errors():
    # A type created without a module name makes 3.12 warn; the import must stay clean.
    run_python("import _corvel_core, corvel_charter", env={"PYTHONWARNINGS": "error"})


def test_second_interpreter_is_refused_by_the_module():
    # isolated=False lets the sub-interpreter load single-phase modules at all, so the refusal
    # seen here is the module's own check, not the interpreter's.
    child = run_python(
        "import _xxsubinterpreters as interpreters\n"
        "import _corvel_core\n"
        "sub = interpreters.create(isolated=False)\n"
        "try:\n"
        "    interpreters.run_string(sub, 'import _corvel_core')\n"
        "except interpreters.RunFailedError as error:\n"
        "    print(error)\n"
        "else:\n"
        "    print('imported')\n"
        "import _corvel_core as again\n"
        "print(again.SealedCharter(['x']))\n"
    )
    lines = child.stdout.splitlines()
    assert lines[0].startswith("<class 'ImportError'>: ")
    assert "does not support sub-interpreters" in lines[0]
    assert lines[1] == "SealedCharter(rules=1, sealed=false)"


def test_first_interpreter_to_import_keeps_the_module():
    child = run_python(
        "import _xxsubinterpreters as interpreters\n"
        "sub = interpreters.create(isolated=False)\n"
        "interpreters.run_string(sub, 'import _corvel_core')\n"
        "try:\n"
        "    import _corvel_core\n"
        "except ImportError as error:\n"
        "    print('refused', error)\n"
    )
    assert child.stdout.startswith("refused ") and "sub-interpreters" in child.stdout
