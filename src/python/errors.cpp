#include "python/errors.hpp"

#include "python/support/guard.hpp"
#include "python/support/ref.hpp"

namespace corvel::python {

namespace {

PyObject* exception_class(PyObject*& cell, const char* qualified_name, const char* doc) {
    if (cell == nullptr) cell = PyErr_NewExceptionWithDoc(qualified_name, doc, PyExc_Exception, nullptr);
    return cell;
}

}  // namespace

PyObject* charter_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "_corvel_core.PyCharterError", "Corvel Charter error");
}

PyObject* crypto_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "_corvel_core.PyCryptoError", "Cryptographic operation error");
}

PyObject* auditor_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "_corvel_core.PyAuditorError", "Proof auditor error");
}

PyObject* consensus_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "_corvel_core.PyConsensusError", "Consensus engine error");
}

PyObject* aibom_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "_corvel_core.PyAibomError", "AI-BOM verification error");
}

PyObject* watchdog_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "_corvel_core.PyWatchdogError", "Watchdog enforcement error (v1.7.0)");
}

PyObject* builtin_exception() { return PyExc_Exception; }
PyObject* builtin_value_error() { return PyExc_ValueError; }

void raise(const PendingError& error) {
    PyObject* type = error.exception_class();
    if (type == nullptr) throw PyErrorRaised{};
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(error.message.data(),
                                                  static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (!message) throw PyErrorRaised{};
    PyErr_SetObject(type, message.get());
    throw PyErrorRaised{};
}

PendingError to_python(const CryptoError& error) { return {&crypto_error_class, error.message()}; }

PendingError to_python(const CharterError& error) {
    if (error.kind() == CharterError::Kind::Crypto) return {&crypto_error_class, error.message()};
    return {&charter_error_class, error.message()};
}

PendingError to_python(const AuditorError& error) {
    if (error.kind() == AuditorError::Kind::Crypto) return {&crypto_error_class, error.message()};
    return {&auditor_error_class, error.message()};
}

// The audit log has no exception class of its own: its errors surface as built-in Exception.
PendingError to_python(const AuditError& error) {
    if (error.kind() == AuditError::Kind::Crypto) return {&crypto_error_class, error.message()};
    return {&builtin_exception, error.message()};
}

PendingError to_python(const NonceLengthError& error) {
    return {&builtin_value_error, std::string(error.message())};
}

PendingError to_python(const WatchdogError& error) { return {&watchdog_error_class, error.user_message()}; }

}  // namespace corvel::python
