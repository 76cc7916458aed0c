#pragma once
// The values inside _corvel_core's Action, Proof and WatchdogResult objects, read directly.
//
// This module is built from the same sources as _corvel_core, so the objects' layout (the
// binding structs of src/python) is the same in both. At import it takes _corvel_core's class
// objects; an argument is accepted only if its class is exactly one of them, and its core value
// is then copied out under a shared borrow, with the interpreter lock held.

#include <Python.h>

#include "audit_log/audit_entry.hpp"
#include "audit_trail/trail_entry.hpp"
#include "proof/action.hpp"
#include "proof/integrity_proof.hpp"

namespace corvel::python::trail {

// Imports _corvel_core and keeps the classes it needs. Raises and throws on failure.
void load_core_classes();

// The module's CryptoError class, for errors that come from a key store.
PyObject* core_crypto_error_class();

Action action_value(PyObject* value, const char* name);
IntegrityProof proof_value(PyObject* value, const char* name);
// Null when `value` is not a WatchdogResult; its record otherwise.
bool is_watchdog_result(PyObject* value);
WatchdogRecord watchdog_record(PyObject* value);

}  // namespace corvel::python::trail
