#pragma once
// Python classes TrailKey (the trail's secret key) and TrailPublicKey (what a verifier holds).

#include <Python.h>

#include <memory>

#include "keys/trail_key.hpp"
#include "keys/trail_public_key.hpp"
#include "python/support/binding.hpp"

namespace corvel::python::trail {

inline constexpr const char* kPackage = "corvel_charter";

// Shared with every AuditTrail opened with it, so a writer keeps its key alive.
struct PyTrailKey : Binding<std::shared_ptr<const TrailKey>> {
    static const ClassSpec definition;
};

struct PyTrailPublicKey : Binding<TrailPublicKey> {
    static const ClassSpec definition;
};

// A TrailPublicKey argument, or a text in any form parse() accepts, or 32 raw bytes.
TrailPublicKey public_key_argument(PyObject* value, const char* name);

}  // namespace corvel::python::trail
