// corvel_charter._trail: the audit trail's classes, over the same core as _corvel_core.

#include <Python.h>

#include "crypto/initialize.hpp"
#include "base/os_facilities.hpp"
#include "python/support/guard.hpp"
#include "python/support/ref.hpp"
#include "python/trail/approvals.hpp"
#include "python/trail/core_values.hpp"
#include "python/trail/gate.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail.hpp"
#include "python/trail/trail_errors.hpp"

namespace corvel::python::trail {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "corvel_charter._trail",
    "The audit trail: signed, hash-chained records of decisions, their keys and their verifier",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr || PyModule_AddObjectRef(module, name, value) < 0) throw PyErrorRaised{};
}

PyObject* create_module() {
    initialize_crypto();
    load_core_classes();
    Ref module = Ref::steal(check(PyModule_Create(&module_definition)));
    // Added here, not in the definition: the tables are built by other files' initialisers.
    static PyMethodDef verify[] = {verify_trail_function, {nullptr, nullptr, 0, nullptr}};
    check_status(PyModule_AddFunctions(module.get(), verify));
    check_status(PyModule_AddFunctions(module.get(), evidence_functions));
    check_status(PyModule_AddFunctions(module.get(), approval_functions));
    add(module.get(), "TrailError", trail_error_class());
    add(module.get(), "TrailIntegrityError", trail_integrity_error_class());
    add(module.get(), "TrailKeyError", trail_key_error_class());
    add(module.get(), "ApprovalError", approval_error_class());
    add(module.get(), "TrailKey", reinterpret_cast<PyObject*>(type_of<PyTrailKey>()));
    add(module.get(), "TrailPublicKey", reinterpret_cast<PyObject*>(type_of<PyTrailPublicKey>()));
    add(module.get(), "Decision", reinterpret_cast<PyObject*>(type_of<PyDecision>()));
    add(module.get(), "AuditTrail", reinterpret_cast<PyObject*>(type_of<PyAuditTrail>()));
    add(module.get(), "TrailSummary", reinterpret_cast<PyObject*>(type_of<PyTrailSummary>()));
    // The gate's core; corvel_charter.gate builds the Gate on it.
    add(module.get(), "GateError", gate_error_class());
    add(module.get(), "ToolArguments", reinterpret_cast<PyObject*>(type_of<PyToolArguments>()));
    add(module.get(), "ToolGate", reinterpret_cast<PyObject*>(type_of<PyToolGate>()));
    return module.release();
}

}  // namespace

}  // namespace corvel::python::trail

PyMODINIT_FUNC PyInit__trail() {
    return corvel::python::guard<PyObject*>(nullptr, [] { return corvel::python::trail::create_module(); });
}
