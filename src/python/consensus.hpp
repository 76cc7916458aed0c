#pragma once
// Python class ConsensusEngine: the configuration of a consensus engine (how many independent
// sources must agree, within what tolerance), fixed at construction and never exposed.

#include <Python.h>

#include <cstdint>

#include "python/support/binding.hpp"

namespace corvel::python {

struct ConsensusSettings {
    std::uint64_t required_sources = 3;
    double tolerance = 0.1;
};

struct PyConsensusEngine : Binding<ConsensusSettings> {
    static PyTypeObject* type();
};

}  // namespace corvel::python
