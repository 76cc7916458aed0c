#include "python/support/args.hpp"

#include <string>

#include "python/support/guard.hpp"

namespace corvel::python::detail {

namespace {

[[noreturn]] void too_many(const char* function, std::size_t count, std::size_t required, Py_ssize_t given) {
    std::string message = std::string(function) + "() takes ";
    if (required == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(required) + " to " + std::to_string(count);
    }
    message += count == 1 && required == count ? " positional argument" : " positional arguments";
    message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrorRaised{};
}

[[noreturn]] void missing(const char* function, const char* const* names, std::size_t required, PyObject** out) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < required; ++i) count += out[i] == nullptr;
    std::string message = std::string(function) + "() missing " + std::to_string(count) + " required positional " +
                          (count == 1 ? "argument: " : "arguments: ");
    std::size_t listed = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] != nullptr) continue;
        if (listed > 0) message += count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
        message += std::string("'") + names[i] + "'";
        ++listed;
    }
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrorRaised{};
}

void bind_keyword(const char* function, const char* const* names, std::size_t count, PyObject* key,
                  PyObject* value, PyObject** out) {
    if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) != 0) continue;
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[i]);
                throw PyErrorRaised{};
            }
            out[i] = value;
            return;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
    }
    throw PyErrorRaised{};
}

}  // namespace

void bind_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                    PyObject* const* positional, Py_ssize_t npositional, PyObject* kwnames,
                    PyObject* const* kwvalues, PyObject* kwdict, PyObject** out) {
    if (static_cast<std::size_t>(npositional) > count) too_many(function, count, required, npositional);
    for (Py_ssize_t i = 0; i < npositional; ++i) out[i] = positional[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            bind_keyword(function, names, count, PyTuple_GET_ITEM(kwnames, i), kwvalues[i], out);
        }
    }
    if (kwdict != nullptr) {
        Py_ssize_t at = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwdict, &at, &key, &value)) bind_keyword(function, names, count, key, value, out);
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) missing(function, names, required, out);
    }
}

}  // namespace corvel::python::detail

namespace corvel::python {

void parse_none(const char* function, PyObject* args, PyObject* kwargs) {
    if (args != nullptr && PyTuple_GET_SIZE(args) > 0) {
        const Py_ssize_t given = PyTuple_GET_SIZE(args);
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given", function, given,
                     given == 1 ? "was" : "were");
        throw PyErrorRaised{};
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t at = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(kwargs, &at, &key, &value);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
        throw PyErrorRaised{};
    }
}

}  // namespace corvel::python
