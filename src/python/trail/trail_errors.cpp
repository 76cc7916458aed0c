#include "python/trail/trail_errors.hpp"

#include "python/support/guard.hpp"
#include "python/support/ref.hpp"
#include "python/trail/core_values.hpp"

namespace corvel::python::trail {

namespace {

PyObject* exception_class(PyObject*& cell, const char* name, const char* doc, PyObject* base) {
    if (cell == nullptr && base != nullptr) cell = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    return cell;
}

[[noreturn]] void raise_text(PyObject* type, const std::string& text) {
    if (type == nullptr) throw PyErrorRaised{};
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) throw PyErrorRaised{};
    PyErr_SetObject(type, message.get());
    throw PyErrorRaised{};
}

}  // namespace

PyObject* trail_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "corvel_charter.TrailError", "Audit trail error", PyExc_Exception);
}

PyObject* trail_integrity_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "corvel_charter.TrailIntegrityError",
                           "The audit trail is not what its key signed: a broken chain or an invalid signature",
                           trail_error_class());
}

PyObject* trail_key_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "corvel_charter.TrailKeyError", "Audit trail key error", trail_error_class());
}

PyObject* approval_error_class() {
    static PyObject* cell = nullptr;
    return exception_class(cell, "corvel_charter.ApprovalError",
                           "An approval request or approval was refused; the message names the condition that failed",
                           trail_error_class());
}

void raise_error(const ApprovalError& error) { raise_text(approval_error_class(), error.message()); }

void raise_error(const AuditError& error) {
    switch (error.kind()) {
        case AuditError::Kind::ChainBroken:
        case AuditError::Kind::InvalidSignature: raise_text(trail_integrity_error_class(), error.message());
        case AuditError::Kind::Crypto: raise_text(core_crypto_error_class(), error.message());
        default: raise_text(trail_error_class(), error.message());
    }
}

void raise_error(const TrailError& error) {
    if (const AuditError* audit = error.audit_error()) raise_error(*audit);
    const bool integrity = error.kind() == TrailError::Kind::WrongKey || error.kind() == TrailError::Kind::NotThePrefix ||
                           error.kind() == TrailError::Kind::ProofRefused;
    raise_text(integrity ? trail_integrity_error_class() : trail_error_class(), error.message());
}

void raise_error(const TrailKeyError& error) { raise_text(trail_key_error_class(), error.message()); }

void raise_error(const NoteError& error) { raise_text(trail_key_error_class(), error.message()); }

void raise_error(const CryptoError& error) { raise_text(core_crypto_error_class(), error.message()); }

}  // namespace corvel::python::trail
