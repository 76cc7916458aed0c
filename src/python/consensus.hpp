#pragma once
// Python class ConsensusEngine: the configuration of a consensus engine (how many independent
// sources must agree, within what tolerance), fixed at construction and never exposed.

#include <Python.h>

#include "auditor/consensus_settings.hpp"
#include "python/support/binding.hpp"

namespace corvel::python {

struct PyConsensusEngine : Binding<ConsensusSettings> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
