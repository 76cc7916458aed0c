#pragma once
// Python class Action: one core Action, by value, never changed after creation.

#include <Python.h>

#include <optional>

#include "proof/action.hpp"
#include "python/support/binding.hpp"

namespace corvel::python {

// The core action with its digest, computed on first use and then kept: hash(), == and
// action_hash() all need it, and the action never changes after creation.
struct HashedAction {
    Action action;
    mutable std::optional<Hash32> digest;

    const Hash32& hash() const {
        if (!digest) digest = action.hash();
        return *digest;
    }
};

struct PyAction : Binding<HashedAction> {
    static const ClassSpec definition;
};

// The object's core action in place, without a copy. Hold a SharedBorrow of action.borrow
// for as long as the reference is used.
inline const Action& core_action(const PyAction& action) { return action.value.action; }

// The digest the object keeps, for core operations that ask for it only when they need it.
// Under the same borrow as core_action.
inline ActionDigest digest_of(const PyAction& action) {
    return ActionDigest([](const void* context) { return static_cast<const HashedAction*>(context)->hash(); },
                        &action.value);
}

}  // namespace corvel::python
