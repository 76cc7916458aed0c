#pragma once
// Python class MemoryNonceStore: one core MemoryNonceStore, by value and without a lock. No
// Python method records a nonce in it.

#include <Python.h>

#include "nonce_store/memory_nonce_store.hpp"
#include "python/support/binding.hpp"

namespace corvel::python {

struct PyMemoryNonceStore : Binding<MemoryNonceStore> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
