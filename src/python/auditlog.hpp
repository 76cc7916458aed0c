#pragma once
// Python classes AuditLogger (a core AuditLog behind a lock, loaded once from its storage
// file) and AuditEntry (one core entry, by value).

#include <Python.h>

#include "audit_log/audit_entry.hpp"
#include "audit_log/audit_log.hpp"
#include "python/support/binding.hpp"
#include "python/support/shared.hpp"

namespace corvel::python {

struct PyAuditLogger : Binding<Shared<AuditLog>> {
    static const ClassSpec definition;
};

struct PyAuditEntry : Binding<AuditEntry> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
