#pragma once
// Python class ProofAuditor: a core ProofAuditor behind a lock (Shared), so that the replay
// check and the recording of a nonce stay one step even when the object is shared between
// threads.

#include <Python.h>

#include "auditor/proof_auditor.hpp"
#include "python/support/binding.hpp"
#include "python/support/shared.hpp"

namespace corvel::python {

struct PyProofAuditor : Binding<Shared<ProofAuditor>> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
