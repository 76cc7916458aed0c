#pragma once
// Python classes ToolGate and ToolArguments: the gate's core for corvel_charter.gate, which
// asks the policy engine and hands its verdict over.

#include <Python.h>

#include <memory>

#include "gate/tool_gate.hpp"
#include "python/support/binding.hpp"
#include "python/support/ref.hpp"

namespace corvel::python::trail {

// The gate and the AuditTrail object whose writer it records into, kept alive with it. The
// gate is declared last so that it goes first.
struct GateHolder {
    Ref trail;
    std::unique_ptr<ToolGate> gate;
};

struct PyToolGate : Binding<GateHolder> {
    static const ClassSpec definition;
};

struct PyToolArguments : Binding<ToolArguments> {
    static const ClassSpec definition;
};

// corvel_charter.GateError: a refusal of the gate outside a decision.
PyObject* gate_error_class();

}  // namespace corvel::python::trail
