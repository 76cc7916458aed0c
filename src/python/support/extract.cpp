#include "python/support/extract.hpp"

#include <cstring>

#include "python/support/ref.hpp"

namespace corvel::python {

namespace {

// The last component of a dotted tp_name, as the interpreter's own messages show it.
const char* short_type_name(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

[[noreturn]] void raise_str_refused(const char* name, const char* expected) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str is not accepted as %s", name, expected);
    throw PyErrorRaised{};
}

// Borrowed items of a list or tuple, or of a list made from any other sequence.
class SequenceItems {
public:
    SequenceItems(PyObject* value, const char* name) {
        if (!PySequence_Check(value)) raise_wrong_type(value, name, "Sequence");
        sequence_ = Ref::steal(check(PySequence_Fast(value, "expected a sequence")));
    }
    Py_ssize_t size() const { return PySequence_Fast_GET_SIZE(sequence_.get()); }
    PyObject* operator[](Py_ssize_t i) const { return PySequence_Fast_GET_ITEM(sequence_.get(), i); }

private:
    Ref sequence_;
};

}  // namespace

void raise_wrong_type(PyObject* value, const char* name, const char* expected) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
                 short_type_name(value), expected);
    throw PyErrorRaised{};
}

void raise_with_argument_prefix(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) throw PyErrorRaised{};
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised));
    if (type != PyExc_TypeError && type != PyExc_ValueError && type != PyExc_OverflowError) {
        PyErr_SetRaisedException(raised);
        throw PyErrorRaised{};
    }
    Ref original = Ref::steal(raised);
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!message) throw PyErrorRaised{};
    Ref replacement = Ref::steal(PyObject_CallOneArg(type, message.get()));
    if (!replacement) throw PyErrorRaised{};
    PyException_SetCause(replacement.get(), original.release());
    PyErr_SetObject(type, replacement.get());
    throw PyErrorRaised{};
}

std::string_view text(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) raise_wrong_type(value, name, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) throw PyErrorRaised{};
    return {data, static_cast<std::size_t>(size)};
}

namespace {

[[noreturn]] void raise_bytes_path(const char* name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a bytes path is not supported; give a str or a pathlib.Path", name);
    throw PyErrorRaised{};
}

}  // namespace

std::string file_path(PyObject* value, const char* name) {
    Ref path;
    if (PyUnicode_Check(value)) {
        path = Ref::borrow(value);
    } else if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        raise_bytes_path(name);
    } else {
        if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__")) {
            raise_wrong_type(value, name, "str or os.PathLike");
        }
        path = Ref::steal(PyOS_FSPath(value));
        if (!path) throw PyErrorRaised{};
        if (!PyUnicode_Check(path.get())) raise_bytes_path(name);
    }
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) throw PyErrorRaised{};
    return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

PyObject* path_str(const std::string& path) {
    return check(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

std::string text_as_given(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) raise_wrong_type(value, name, "str");
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) return {data, static_cast<std::size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorRaised{};
    PyErr_Clear();
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
    if (!encoded) throw PyErrorRaised{};
    return {PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
}

std::vector<std::string> text_list(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) raise_str_refused(name, "a sequence of str");
    SequenceItems items(value, name);
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(items.size()));
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': item %zd: '%s' object cannot be converted to 'str'", name,
                         i, short_type_name(item));
            throw PyErrorRaised{};
        }
        out.emplace_back(text(item, name));
    }
    return out;
}

Bytes byte_sequence(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) raise_str_refused(name, "a sequence of bytes");
    if (PyBytes_Check(value)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
        return Bytes(data, data + PyBytes_GET_SIZE(value));
    }
    if (PyByteArray_Check(value)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(value));
        return Bytes(data, data + PyByteArray_GET_SIZE(value));
    }
    SequenceItems items(value, name);
    Bytes out;
    out.reserve(static_cast<std::size_t>(items.size()));
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        // __index__ runs Python code that may change a list argument: hold our own reference.
        Ref item = Ref::borrow(items[i]);
        Ref index = Ref::steal(PyNumber_Index(item.get()));
        if (!index) raise_with_argument_prefix(name);
        int overflow = 0;
        const long byte = PyLong_AsLongAndOverflow(index.get(), &overflow);
        if (byte == -1 && PyErr_Occurred()) throw PyErrorRaised{};
        if (overflow != 0 || byte < 0 || byte > 255) {
            PyErr_Format(PyExc_ValueError, "argument '%s': item %zd: byte values must be in range(0, 256)", name, i);
            throw PyErrorRaised{};
        }
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
}

std::uint64_t u64(PyObject* value, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) raise_with_argument_prefix(name);
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_with_argument_prefix(name);
    return result;
}

double f64(PyObject* value, const char* name) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) raise_with_argument_prefix(name);
    return result;
}

}  // namespace corvel::python
