#pragma once
// Typed argument extractors. Each takes the argument object and its parameter name and returns
// the C++ value, or raises and throws PyErrorRaised. A wrong type raises
// TypeError("argument '{name}': ...").
//
//   std::string_view path = text(file_path, "file_path");
//   PyAction& action = instance<PyAction>(argument, "action");

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"
#include "python/support/binding.hpp"
#include "python/support/guard.hpp"

namespace corvel::python {

// "argument '{name}': '{type}' object cannot be converted to '{expected}'"
[[noreturn]] void raise_wrong_type(PyObject* value, const char* name, const char* expected);

// Re-raises the pending TypeError, ValueError or OverflowError as the same class with the
// "argument '{name}': " prefix, the original as its cause; other exceptions pass unchanged.
[[noreturn]] void raise_with_argument_prefix(const char* name);

// A str as UTF-8. The view borrows the str's own cached encoding: valid while the argument
// lives, that is for the whole call. A str that cannot be encoded (a lone surrogate) raises
// UnicodeEncodeError.
std::string_view text(PyObject* value, const char* name);

// A file system path: a str or an os.PathLike giving one (pathlib.Path), encoded as the OS
// expects (the file system encoding with its error handler, so a name that is not UTF-8
// round-trips). A bytes path is refused with a TypeError that says so.
std::string file_path(PyObject* value, const char* name);

// A file system path as the str Python shows for it (the inverse of file_path).
PyObject* path_str(const std::string& path);

// A str as UTF-8, a lone surrogate encoded as such (bytes that are not valid UTF-8), for a
// value the core checks and refuses with its own message rather than a UnicodeEncodeError.
std::string text_as_given(PyObject* value, const char* name);

// A sequence of str (list, tuple or any other sequence), copied in order. A str itself is
// refused: it is not taken as a sequence of one-character texts.
std::vector<std::string> text_list(PyObject* value, const char* name);

// bytes, bytearray, or any other sequence of integers 0 to 255. A str is refused. An element
// that is not an integer raises TypeError, one outside 0..255 ValueError.
Bytes byte_sequence(PyObject* value, const char* name);

// An unsigned 64-bit integer through the index protocol (int, bool, objects with __index__).
// A negative or too large value raises OverflowError.
std::uint64_t u64(PyObject* value, const char* name);

// A float, an int, or anything the interpreter converts with __float__ or __index__.
double f64(PyObject* value, const char* name);

// An instance of one of the module's classes (the types are not subclassable, so the check is
// exact). Self is the binding struct.
template <class Self>
Self& instance(PyObject* value, const char* name) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(check(reinterpret_cast<PyObject*>(type_of<Self>())));
    if (Py_IS_TYPE(value, type)) return *reinterpret_cast<Self*>(value);
    raise_wrong_type(value, name, type->tp_name);
}

}  // namespace corvel::python
