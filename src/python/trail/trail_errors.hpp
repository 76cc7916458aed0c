#pragma once
// The trail's exception classes and the conversion of its core errors into them.
//
//   TrailError(Exception)          every refusal of the trail, its writer and its verifier
//   TrailIntegrityError(TrailError)  the file is not what its key signed: a broken chain or an
//                                  invalid signature
//   TrailKeyError(TrailError)      key files and key texts
//   ApprovalError(TrailError)      an approval request or approval refused, and why
//
// Errors from a key store are the _corvel_core CryptoError, as everywhere else.

#include <Python.h>

#include "approval/approval_error.hpp"
#include "audit_trail/trail_error.hpp"
#include "note/note_error.hpp"
#include "keys/trail_key_error.hpp"

namespace corvel::python::trail {

PyObject* trail_error_class();
PyObject* trail_integrity_error_class();
PyObject* trail_key_error_class();
PyObject* approval_error_class();

// Set the matching exception and throw PyErrorRaised.
[[noreturn]] void raise_error(const TrailError& error);
[[noreturn]] void raise_error(const AuditError& error);
[[noreturn]] void raise_error(const TrailKeyError& error);
[[noreturn]] void raise_error(const CryptoError& error);
[[noreturn]] void raise_error(const NoteError& error);
[[noreturn]] void raise_error(const ApprovalError& error);

}  // namespace corvel::python::trail
