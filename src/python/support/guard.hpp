#pragma once
// The fault guard around every entry point from Python.
//
// Two kinds of failure leave a binding body:
// - a Python exception, already set: the body either returns null or throws PyErrorRaised
//   (every toolkit helper that sets an exception throws it, so bodies need no error checks);
// - a C++ exception (corvel::Fault, std::bad_alloc, ...): a fault. The guard raises
//   PanicException with its text. PanicException derives from BaseException, like SystemExit,
//   so `except Exception` does not swallow it.
//
// Entry points never call guard() themselves: the adapters in binding.hpp do.

#include <Python.h>

#include <exception>

namespace corvel::python {

// Thrown once a Python exception has been set; the guard returns the slot's failure value.
// Deliberately not a std::exception, so that no fault handler mistakes it for a fault.
struct PyErrorRaised {};

// Throws PyErrorRaised if `object` is null (a failed C API call), else returns it.
inline PyObject* check(PyObject* object) {
    if (object == nullptr) throw PyErrorRaised{};
    return object;
}
inline void check_status(int status) {
    if (status < 0) throw PyErrorRaised{};
}

// The fault exception class, created on first use and kept for the life of the process; not
// added to the module. Null (with a Python error set) if it cannot be created.
PyObject* panic_exception_type();

// Raises PanicException with the text (a generic text when null). If even that fails the
// process aborts with "uncaught panic at ffi boundary".
void raise_panic(const char* message) noexcept;

// Covers a PyErrorRaised thrown without an exception actually set.
void ensure_error_set() noexcept;

template <class Result, class Body>
Result guard(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorRaised&) {
        ensure_error_set();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return failure;
}

}  // namespace corvel::python
