#pragma once
// Python class SoftwareKeyStore: one core SoftwareKeyStore, by value. Made only by the static
// generate(); nothing of its keys is exposed.

#include <Python.h>

#include "crypto/key_store.hpp"
#include "python/support/binding.hpp"

namespace corvel::python {

struct PySoftwareKeyStore : Binding<SoftwareKeyStore> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
