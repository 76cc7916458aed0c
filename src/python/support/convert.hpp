#pragma once
// Conversions of core values into new Python objects. Each returns a new reference, or raises
// and throws PyErrorRaised, so a binding body can `return to_str(...)` directly.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"
#include "base/hex.hpp"
#include "python/support/guard.hpp"
#include "python/support/siphash.hpp"

namespace corvel::python {

// Core texts are UTF-8 (they come from Python str or from the core's own literals).
inline PyObject* to_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline PyObject* to_bytes(ByteView bytes) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

inline PyObject* to_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
inline PyObject* to_none() { return Py_NewRef(Py_None); }
inline PyObject* to_int(std::uint64_t value) { return check(PyLong_FromUnsignedLongLong(value)); }
inline PyObject* to_int(std::int64_t value) { return check(PyLong_FromLongLong(value)); }
inline PyObject* to_int(int value) { return check(PyLong_FromLong(value)); }

// Lower-case hexadecimal written straight into a new ASCII str.
inline PyObject* to_hex_str(ByteView bytes) {
    PyObject* out = check(PyUnicode_New(static_cast<Py_ssize_t>(2 * bytes.size()), 127));
    write_hex(static_cast<char*>(PyUnicode_DATA(out)), bytes);
    return out;
}

inline PyObject* to_str_list(const std::vector<std::string>& texts) {
    PyObject* list = check(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = PyUnicode_FromStringAndSize(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
        if (item == nullptr) {
            Py_DECREF(list);
            throw PyErrorRaised{};
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// The hash of a value identified by a byte string: SipHash-1-3 with a zero key over the length
// (u64 little-endian) and the bytes. Stable across processes; -1 is reserved for errors.
inline Py_hash_t value_hash(ByteView bytes) {
    std::uint8_t buffer[8 + 64];
    std::vector<std::uint8_t> large;
    std::uint8_t* data = buffer;
    if (bytes.size() > 64) {
        large.resize(8 + bytes.size());
        data = large.data();
    }
    const std::uint64_t size = bytes.size();
    for (int i = 0; i < 8; ++i) data[i] = static_cast<std::uint8_t>(size >> (8 * i));
    if (!bytes.empty()) std::memcpy(data + 8, bytes.data(), bytes.size());
    const auto hash = static_cast<Py_hash_t>(siphash13(0, 0, data, 8 + bytes.size()));
    return hash == -1 ? -2 : hash;
}

}  // namespace corvel::python
