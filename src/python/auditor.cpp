#include "python/auditor.hpp"

#include <string>

#include "crypto/backend.hpp"
#include "python/errors.hpp"
#include "python/proof.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"

namespace corvel::python {

namespace {

PyObject* construct(PyObject* args, PyObject* kwargs) {
    parse_none("ProofAuditor", args, kwargs);
    return wrap<PyProofAuditor>(Shared<ProofAuditor>(ProofAuditor::create()));
}

PyObject* verify_proof(PyProofAuditor* self, const FastArgs& args) {
    auto [argument] = parse("ProofAuditor.verify_proof", {"proof"}, 1, args);
    PyProof& proof = instance<PyProof>(argument, "proof");
    SharedBorrow proof_borrow(proof.borrow);
    auto verified = self->value.with([&](ProofAuditor& auditor) { return auditor.verify_proof(core_proof(proof)); });
    if (!verified) raise(to_python(verified.error()));
    return to_none();
}

// Shows nothing of the auditor's state, so it needs no lock.
PyObject* repr(PyProofAuditor*) {
    return to_str(std::string("ProofAuditor(backend='") + kNativeBackend + "')");
}

PyMethodDef methods[] = {
    method<&verify_proof, Borrow::Exclusive>("verify_proof", "verify_proof($self, proof)\n--\n\nVerify a proof"),
    kEndMethods,
};

}  // namespace

const ClassSpec PyProofAuditor::definition{
    .name = "ProofAuditor",
    .doc = "ProofAuditor()\n--\n\nPython wrapper for ProofAuditor",
    .constructor = constructor<&construct>(),
    .methods = methods,
    .slots = {slot<Py_tp_repr, &repr>()},
};

}  // namespace corvel::python
