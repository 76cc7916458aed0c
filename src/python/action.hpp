#pragma once
// Python class Action: one core Action, by value, never changed after creation.

#include <Python.h>

#include "proof/action.hpp"
#include "python/support/binding.hpp"

namespace corvel::python {

struct PyAction : Binding<Action> {
    static PyTypeObject* type();
};

// An owned copy of the object's core action, every field copied (for classes that keep it).
Action to_core_action(PyAction& action);

// The object's core action in place, without a copy. Hold a SharedBorrow of action.borrow
// for as long as the reference is used.
inline const Action& core_action(const PyAction& action) { return action.value; }

}  // namespace corvel::python
