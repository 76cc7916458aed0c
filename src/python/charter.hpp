#pragma once
// Python class SealedCharter: a core SealedCharter behind a lock (Shared), so that the object
// may be shared between threads.

#include <Python.h>

#include "charter/sealed_charter.hpp"
#include "python/support/binding.hpp"
#include "python/support/shared.hpp"

namespace corvel::python {

struct PySealedCharter : Binding<Shared<SealedCharter>> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
