#include "python/support/guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvel::python {

namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails internally.\n"
    "\n"
    "It signals a fault inside the extension (a broken random source, a clock before 1970, a\n"
    "lock left poisoned by an earlier fault), not an error in the caller's input. Like\n"
    "SystemExit it derives from BaseException, so that `except Exception` does not swallow it\n"
    "and it normally propagates to the top and ends the interpreter.";

constexpr const char* kGenericPanic = "native code failed without a message";

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("_corvel_core.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        if (type == nullptr) abort_at_boundary();
        const char* text = message != nullptr && *message != '\0' ? message : kGenericPanic;
        // Fault texts are ASCII in practice; never let a stray byte stop the report.
        PyObject* value = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
        if (value == nullptr) abort_at_boundary();
        PyErr_SetObject(type, value);
        Py_DECREF(value);
    } catch (...) {
        abort_at_boundary();
    }
}

void ensure_error_set() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "binding failed without setting an exception");
    }
}

}  // namespace corvel::python
