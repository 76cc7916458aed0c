import sys
import threading

import pytest

import _corvel_core as core


@pytest.fixture(scope="module")
def proof():
    charter = core.SealedCharter(rules=["Do no harm", "Respect privacy"])
    charter.seal()
    return charter.verify_action(core.Action.delete_file("user_data.txt"))


def test_charter_proof_is_refused_as_forged(proof):
    # The auditor verifies under its own new key, never under the charter's.
    auditor = core.ProofAuditor()
    for _ in range(3):  # a refusal records nothing, so it repeats unchanged
        with pytest.raises(core.AuditorError) as raised:
            auditor.verify_proof(proof)
        assert type(raised.value) is core.AuditorError
        assert str(raised.value) == "Proof signature verification failed"
        assert raised.value.args == ("Proof signature verification failed",)
        assert raised.value.__cause__ is None and raised.value.__context__ is None
    with pytest.raises(core.AuditorError, match="^Proof signature verification failed$"):
        core.ProofAuditor().verify_proof(proof=proof)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.verify_proof("x"), "argument 'proof': 'str' object cannot be converted to 'Proof'"),
        (lambda a: a.verify_proof(None), "argument 'proof': 'NoneType' object cannot be converted to 'Proof'"),
        (lambda a: a.verify_proof(core.Action.read_file("a")),
         "argument 'proof': 'Action' object cannot be converted to 'Proof'"),
        (lambda a: a.verify_proof(a), "argument 'proof': 'ProofAuditor' object cannot be converted to 'Proof'"),
        (lambda a: a.verify_proof(), "ProofAuditor.verify_proof() missing 1 required positional argument: 'proof'"),
        (lambda a: a.verify_proof(p=1), "ProofAuditor.verify_proof() got an unexpected keyword argument 'p'"),
    ],
)
def test_verify_proof_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call(core.ProofAuditor())
    assert str(raised.value) == message


def test_constructor_takes_nothing():
    for call in (lambda: core.ProofAuditor(1), lambda: core.ProofAuditor(key=None)):
        with pytest.raises(TypeError):
            call()


def test_repr_and_documentation():
    auditor = core.ProofAuditor()
    assert repr(auditor) == "ProofAuditor(backend='native')" == str(auditor)
    # One backend word for the whole module.
    assert repr(core.ConsensusEngine()) == "ConsensusEngine(backend='native')"
    assert core.ProofAuditor.__doc__ == "Python wrapper for ProofAuditor"
    assert core.ProofAuditor.__text_signature__ == "()"
    assert core.ProofAuditor.verify_proof.__doc__ == "Verify a proof"
    assert core.ProofAuditor.verify_proof.__text_signature__ == "($self, proof)"


def test_instances_are_closed(proof):
    auditor = core.ProofAuditor()
    with pytest.raises(AttributeError):
        auditor.key_store = None
    with pytest.raises(AttributeError):
        auditor.verify_proof = lambda proof: None
    with pytest.raises(core.AuditorError):
        auditor.verify_proof(proof)
    with pytest.raises(TypeError):
        type("Lenient", (core.ProofAuditor,), {"verify_proof": lambda self, proof: None})


def test_reference_counts_stay_flat(proof):
    auditor = core.ProofAuditor()
    before = sys.getrefcount(proof), sys.getrefcount(auditor)
    for _ in range(2000):
        try:
            auditor.verify_proof(proof)
        except core.AuditorError:
            pass
        try:
            auditor.verify_proof("x")
        except TypeError:
            pass
    assert (sys.getrefcount(proof), sys.getrefcount(auditor)) == before


def test_one_auditor_shared_between_threads(proof):
    # The interpreter lock is held throughout each call, so threads never see the object busy.
    auditor = core.ProofAuditor()
    outcomes = []

    def work():
        for _ in range(200):
            try:
                auditor.verify_proof(proof)
            except BaseException as error:
                outcomes.append((type(error), str(error)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert set(outcomes) == {(core.AuditorError, "Proof signature verification failed")}
    assert len(outcomes) == 800
