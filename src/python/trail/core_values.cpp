#include "python/trail/core_values.hpp"

#include "audit_trail/trail_writer.hpp"
#include "python/action.hpp"
#include "python/proof.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"
#include "python/watchdog.hpp"

namespace corvel::python::trail {

namespace {

struct CoreClasses {
    PyTypeObject* action = nullptr;
    PyTypeObject* proof = nullptr;
    PyTypeObject* watchdog_result = nullptr;
    PyObject* crypto_error = nullptr;
};

CoreClasses g_classes;  // strong references, kept for the life of the process

PyObject* attribute(PyObject* module, const char* name) { return check(PyObject_GetAttrString(module, name)); }

template <class Self>
const typename Self::Core& value_of(PyObject* value, PyTypeObject* type, const char* name) {
    if (!Py_IS_TYPE(value, type)) raise_wrong_type(value, name, type->tp_name);
    return reinterpret_cast<Self*>(value)->value;
}

}  // namespace

void load_core_classes() {
    if (g_classes.action != nullptr) return;
    Ref module = Ref::steal(check(PyImport_ImportModule("_corvel_core")));
    Ref action = Ref::steal(attribute(module.get(), "Action"));
    Ref proof = Ref::steal(attribute(module.get(), "Proof"));
    Ref result = Ref::steal(attribute(module.get(), "WatchdogResult"));
    Ref crypto_error = Ref::steal(attribute(module.get(), "CryptoError"));
    for (PyObject* type : {action.get(), proof.get(), result.get()}) {
        if (!PyType_Check(type)) {
            PyErr_SetString(PyExc_ImportError, "_corvel_core does not hold the expected classes");
            throw PyErrorRaised{};
        }
    }
    g_classes.action = reinterpret_cast<PyTypeObject*>(action.release());
    g_classes.proof = reinterpret_cast<PyTypeObject*>(proof.release());
    g_classes.watchdog_result = reinterpret_cast<PyTypeObject*>(result.release());
    g_classes.crypto_error = crypto_error.release();
}

PyObject* core_crypto_error_class() { return g_classes.crypto_error; }

Action action_value(PyObject* value, const char* name) {
    const auto& held = value_of<PyAction>(value, g_classes.action, name);
    SharedBorrow borrow(reinterpret_cast<PyAction*>(value)->borrow);
    return held.action;
}

IntegrityProof proof_value(PyObject* value, const char* name) {
    const auto& held = value_of<PyProof>(value, g_classes.proof, name);
    SharedBorrow borrow(reinterpret_cast<PyProof*>(value)->borrow);
    return held;
}

bool is_watchdog_result(PyObject* value) { return Py_IS_TYPE(value, g_classes.watchdog_result); }

WatchdogRecord watchdog_record(PyObject* value) {
    const auto& verdict = value_of<PyWatchdogResult>(value, g_classes.watchdog_result, "decision");
    SharedBorrow borrow(reinterpret_cast<PyWatchdogResult*>(value)->borrow);
    return watchdog_record_of(verdict);
}

}  // namespace corvel::python::trail
