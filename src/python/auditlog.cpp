#include "python/auditlog.hpp"

#include <string>

#include "python/errors.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"

namespace corvel::python {

namespace {

// ---------------------------------------------------------------- AuditLogger

PyObject* construct_logger(PyObject* args, PyObject* kwargs) {
    auto [log_path] = parse("AuditLogger", {"log_path"}, 1, args, kwargs);
    std::string path(text(log_path, "log_path"));
    auto log = AuditLog::open(std::move(path));
    if (!log) raise(to_python(log.error()));
    return wrap<PyAuditLogger>(Shared<AuditLog>(std::move(*log)));
}

std::size_t entries_of(PyAuditLogger* self) {
    return self->value.with([](AuditLog& log) { return log.size(); });
}

PyObject* entry_count(PyAuditLogger* self) {
    SharedBorrow borrow(self->borrow);
    return to_int(static_cast<std::uint64_t>(entries_of(self)));
}

PyObject* logger_repr(PyAuditLogger* self) {
    SharedBorrow borrow(self->borrow);
    return to_str("AuditLogger(entries=" + std::to_string(entries_of(self)) + ")");
}

PyMethodDef logger_methods[] = {
    method<&entry_count>("entry_count", "entry_count($self)\n--\n\nGet the total number of audit entries"),
    kEndMethods,
};

// ---------------------------------------------------------------- AuditEntry

PyObject* index(PyAuditEntry* self) {
    SharedBorrow borrow(self->borrow);
    return to_int(self->value.index);
}

PyObject* timestamp(PyAuditEntry* self) {
    SharedBorrow borrow(self->borrow);
    return to_int(self->value.timestamp);
}

PyObject* entry_repr(PyAuditEntry* self) {
    SharedBorrow borrow(self->borrow);
    return to_str("AuditEntry(index=" + std::to_string(self->value.index) +
                  ", timestamp=" + std::to_string(self->value.timestamp) + ")");
}

PyGetSetDef entry_properties[] = {
    property<&index>("index", "Get the entry index"),
    property<&timestamp>("timestamp", "Get the entry timestamp"),
    kEndProperties,
};

}  // namespace

PyTypeObject* PyAuditLogger::type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(ClassSpec{
            .name = "AuditLogger",
            .doc = "AuditLogger(log_path)\n--\n\nPython wrapper for AuditLogger",
            .basicsize = sizeof(PyAuditLogger),
            .dealloc = &dealloc<PyAuditLogger>,
            .constructor = &constructor_slot<&construct_logger>,
            .methods = logger_methods,
            .slots = {{Py_tp_repr, reinterpret_cast<void*>(&unary_slot<&logger_repr>)}},
        });
    }
    return type;
}

PyTypeObject* PyAuditEntry::type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(ClassSpec{
            .name = "AuditEntry",
            .doc = "Python wrapper for AuditEntry",
            .basicsize = sizeof(PyAuditEntry),
            .dealloc = &dealloc<PyAuditEntry>,
            .properties = entry_properties,
            .slots = {{Py_tp_repr, reinterpret_cast<void*>(&unary_slot<&entry_repr>)}},
        });
    }
    return type;
}

}  // namespace corvel::python
