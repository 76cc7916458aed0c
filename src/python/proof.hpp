#pragma once
// Python class Proof: one core IntegrityProof, by value, never changed after creation. Made
// only by SealedCharter.verify_action.

#include <Python.h>

#include "proof/integrity_proof.hpp"
#include "python/support/binding.hpp"

namespace corvel::python {

struct PyProof : Binding<IntegrityProof> {
    static const ClassSpec definition;
};

// The object's proof in place. Hold a SharedBorrow of proof.borrow while using it.
inline const IntegrityProof& core_proof(const PyProof& proof) { return proof.value; }

}  // namespace corvel::python
