#pragma once
// Argument parsing for fast calls (METH_FASTCALL | METH_KEYWORDS) and for constructors
// (tp_new's tuple and dict). Every parameter may be given by position or by keyword; a
// missing, unexpected, repeated or surplus argument raises TypeError worded like CPython's own
// and throws PyErrorRaised.
//
//   PyObject* verify_action(PySealedCharter* self, const FastArgs& args) {
//       auto [action] = parse("SealedCharter.verify_action", {"action"}, 1, args);
//       ...
//   }
//
// The results are borrowed references, valid for the call; optional parameters that were not
// given come back as null. `required` counts the leading parameters that must be given.

#include <Python.h>

#include <array>
#include <cstddef>

namespace corvel::python {

struct FastArgs {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

namespace detail {
void bind_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                    PyObject* const* positional, Py_ssize_t npositional, PyObject* kwnames,
                    PyObject* const* kwvalues, PyObject* kwdict, PyObject** out);
}  // namespace detail

template <std::size_t N>
std::array<PyObject*, N> parse(const char* function, const char* const (&names)[N], std::size_t required,
                               const FastArgs& args) {
    std::array<PyObject*, N> out{};
    const auto given = static_cast<std::size_t>(args.nargs);
    if (args.kwnames == nullptr && given >= required && given <= N) {
        for (std::size_t i = 0; i < given; ++i) out[i] = args.args[i];
        return out;
    }
    detail::bind_arguments(function, names, N, required, args.args, args.nargs, args.kwnames,
                           args.args + args.nargs, nullptr, out.data());
    return out;
}

// The same for a constructor's positional tuple and keyword dict (either may be null).
template <std::size_t N>
std::array<PyObject*, N> parse(const char* function, const char* const (&names)[N], std::size_t required,
                               PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    PyObject* const* positional = args != nullptr ? PySequence_Fast_ITEMS(args) : nullptr;
    const Py_ssize_t npositional = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    detail::bind_arguments(function, names, N, required, positional, npositional, nullptr, nullptr,
                           kwargs, out.data());
    return out;
}

// A constructor without parameters: refuses every argument.
void parse_none(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace corvel::python
