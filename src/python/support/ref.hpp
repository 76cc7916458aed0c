#pragma once
// Ref: an owning PyObject* so that no path leaks or double-frees a reference.
//
//   Ref r = Ref::steal(PyUnicode_FromString("x"));  // takes over a new reference (may be null)
//   Ref b = Ref::borrow(obj);                       // adds a reference of its own
//   return r.release();                             // hands the reference to the caller

#include <Python.h>

#include <utility>

namespace corvel::python {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace corvel::python
