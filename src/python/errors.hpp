#pragma once
// The module's six exception classes and the conversion of core error values into them.
//
// Each class getter creates its class on first use and keeps it for the life of the process;
// it returns null (with an exception set) only if creation fails.
//
// A conversion turns one core error into a PendingError: the class and the display text are
// fixed at conversion time, the exception is made when raised. The text is always the core
// error's message(), unchanged. To convert a new core error type, add one to_python overload
// here that picks the class from the error's kind().
//
//   if (!result) raise(to_python(result.error()));

#include <Python.h>

#include <string>

#include "audit_log/audit_error.hpp"
#include "auditor/proof_auditor.hpp"
#include "charter/charter_error.hpp"
#include "crypto/crypto_error.hpp"
#include "nonce_store/nonce_store.hpp"
#include "watchdog/watchdog_error.hpp"

namespace corvel::python {

PyObject* charter_error_class();    // module attribute CharterError   (PyCharterError)
PyObject* crypto_error_class();     // module attribute CryptoError    (PyCryptoError)
PyObject* auditor_error_class();    // module attribute AuditorError   (PyAuditorError)
PyObject* consensus_error_class();  // module attribute ConsensusError (PyConsensusError)
PyObject* aibom_error_class();      // module attribute AibomError     (PyAibomError)
PyObject* watchdog_error_class();   // module attribute WatchdogError  (PyWatchdogError)

struct PendingError {
    PyObject* (*exception_class)();  // a getter above, or a built-in (see builtin_exception)
    std::string message;
};

// Sets the exception and throws PyErrorRaised.
[[noreturn]] void raise(const PendingError& error);

// Python's built-in Exception and ValueError, for core errors that map onto them.
PyObject* builtin_exception();
PyObject* builtin_value_error();

PendingError to_python(const CryptoError& error);
PendingError to_python(const CharterError& error);
PendingError to_python(const WatchdogError& error);
PendingError to_python(const AuditorError& error);
PendingError to_python(const AuditError& error);
PendingError to_python(const NonceLengthError& error);

}  // namespace corvel::python
