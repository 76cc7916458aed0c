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

PyObject* entry_count(PyAuditLogger* self) { return to_int(static_cast<std::uint64_t>(entries_of(self))); }

PyObject* logger_repr(PyAuditLogger* self) {
    return to_str("AuditLogger(entries=" + std::to_string(entries_of(self)) + ")");
}

PyMethodDef logger_methods[] = {
    method<&entry_count>("entry_count", "entry_count($self)\n--\n\nGet the total number of audit entries"),
    kEndMethods,
};

// ---------------------------------------------------------------- AuditEntry

PyObject* index(PyAuditEntry* self) { return to_int(self->value.index); }

PyObject* timestamp(PyAuditEntry* self) { return to_int(self->value.timestamp); }

PyObject* entry_repr(PyAuditEntry* self) {
    return to_str("AuditEntry(index=" + std::to_string(self->value.index) +
                  ", timestamp=" + std::to_string(self->value.timestamp) + ")");
}

PyGetSetDef entry_properties[] = {
    property<&index>("index", "Get the entry index"),
    property<&timestamp>("timestamp", "Get the entry timestamp"),
    kEndProperties,
};

}  // namespace

const ClassSpec PyAuditLogger::definition{
    .name = "AuditLogger",
    .doc = "AuditLogger(log_path)\n--\n\nPython wrapper for AuditLogger",
    .constructor = constructor<&construct_logger>(),
    .methods = logger_methods,
    .slots = {slot<Py_tp_repr, &logger_repr>()},
};

const ClassSpec PyAuditEntry::definition{
    .name = "AuditEntry",
    .doc = "Python wrapper for AuditEntry",
    .properties = entry_properties,
    .slots = {slot<Py_tp_repr, &entry_repr>()},
};

}  // namespace corvel::python
