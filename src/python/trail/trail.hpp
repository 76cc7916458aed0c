#pragma once
// Python classes AuditTrail (the writer), Decision, TrailSummary and the verify_trail function.

#include <Python.h>

#include <memory>

#include "audit_trail/trail_verifier.hpp"
#include "audit_trail/trail_writer.hpp"
#include "python/support/binding.hpp"

namespace corvel::python::trail {

struct PyAuditTrail : Binding<std::unique_ptr<TrailWriter>> {
    static const ClassSpec definition;
};

struct PyDecision : Binding<Decision> {
    static const ClassSpec definition;
};

struct PyTrailSummary : Binding<TrailSummary> {
    static const ClassSpec definition;
};

// verify_trail(path, public_key, progress=None)
extern PyMethodDef verify_trail_function;
// prove, verify_evidence, prove_consistency; ends with a null entry
extern PyMethodDef evidence_functions[];

}  // namespace corvel::python::trail
