// The module _corvel_core: initialisation, class registration and module attributes.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>

#include "crypto/initialize.hpp"
#include "python/action.hpp"
#include "python/auditlog.hpp"
#include "python/auditor.hpp"
#include "python/charter.hpp"
#include "python/consensus.hpp"
#include "python/errors.hpp"
#include "python/keystore.hpp"
#include "python/noncestore.hpp"
#include "python/proof.hpp"
#include "python/support/binding.hpp"
#include "python/support/convert.hpp"
#include "python/support/guard.hpp"
#include "python/support/ref.hpp"
#include "python/watchdog.hpp"

namespace corvel::python {

namespace {

// The classes in the order in which they become module attributes (and entries of __all__).
// A new class adds one line here, in its place in that order.
struct ClassEntry {
    const ClassSpec* definition;
    PyTypeObject* (*type)();
};
template <class Self>
constexpr ClassEntry entry() {
    return {&Self::definition, &type_of<Self>};
}
constexpr ClassEntry kClasses[] = {
    entry<PySealedCharter>(),  entry<PyAction>(),         entry<PyProof>(),
    entry<PyProofAuditor>(),   entry<PyConsensusEngine>(), entry<PySoftwareKeyStore>(),
    entry<PyMemoryNonceStore>(), entry<PyAuditLogger>(),  entry<PyAuditEntry>(),
    entry<PyWatchdog>(),       entry<PyViolationCounter>(), entry<PyDenialProof>(),
    entry<PyHardResetSignal>(), entry<PyWatchdogResult>(),
};

// The exception classes, after the classes and max_violations, in this order.
struct ExceptionEntry {
    const char* name;
    PyObject* (*get)();
};
constexpr ExceptionEntry kExceptions[] = {
    {"CharterError", &charter_error_class},   {"CryptoError", &crypto_error_class},
    {"AuditorError", &auditor_error_class},   {"ConsensusError", &consensus_error_class},
    {"AibomError", &aibom_error_class},       {"WatchdogError", &watchdog_error_class},
};

constexpr const char* kVersion = "1.8.0";
constexpr const char* kAuthor = "Corvel Charter maintainers <maintainers@corvel-charter.example>";

constexpr const char* kModuleDoc =
    "Corvel Charter Python module\n"
    "\n"
    "Provides tamper-evident cryptographic framework for AI accountability.\n"
    "\n"
    "# Example\n"
    "\n"
    "```python\n"
    "import corvel_charter as cc\n"
    "\n"
    "# Create and seal charter\n"
    "charter = cc.SealedCharter(rules=[\"Do no harm\", \"Respect privacy\"])\n"
    "charter.seal()\n"
    "\n"
    "# Verify action\n"
    "action = cc.Action.delete_file(\"user_data.txt\")\n"
    "proof = charter.verify_action(action)\n"
    "\n"
    "# Audit proof\n"
    "auditor = cc.ProofAuditor()\n"
    "auditor.verify_proof(proof)\n"
    "```";

PyObject* max_violations() { return to_int(std::uint64_t{MAX_VIOLATIONS}); }

PyMethodDef kMaxViolations =
    module_function<&max_violations>("max_violations", "max_violations()\n--\n\nMaximum violations before hard reset (10)");

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_corvel_core",
    kModuleDoc,
    0,        // no per-module state: everything is process-wide
    nullptr,  // max_violations is added during initialisation, in its place in __all__
    nullptr, nullptr, nullptr, nullptr,
};

// -1 until an interpreter has initialised the module.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

// Appends the name to __all__ (creating the list if needed), then sets the attribute.
void add(PyObject* module, const char* name, PyObject* value) {
    Ref owned = Ref::steal(value);
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorRaised{};
        PyErr_Clear();
        all = Ref::steal(check(PyList_New(0)));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    Ref key = Ref::steal(check(PyUnicode_FromString(name)));
    check_status(PyList_Append(all.get(), key.get()));
    check_status(PyObject_SetAttr(module, key.get(), owned.get()));
}

void add_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", entry.definition->name);
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);
        PyErr_SetRaisedException(error);
        throw PyErrorRaised{};
    }
    add(module, entry.definition->name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

void populate(PyObject* module) {
    for (const ClassEntry& entry : kClasses) add_class(module, entry);
    Ref name = Ref::steal(check(PyModule_GetNameObject(module)));
    add(module, kMaxViolations.ml_name, check(PyCFunction_NewEx(&kMaxViolations, module, name.get())));
    for (const ExceptionEntry& entry : kExceptions) add(module, entry.name, Py_NewRef(check(entry.get())));
    add(module, "__version__", check(PyUnicode_FromString(kVersion)));
    add(module, "__author__", check(PyUnicode_FromString(kAuthor)));
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_corvel_core does not support sub-interpreters: it is already initialised in another "
                        "interpreter of this process");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    // libsodium must be ready before any key is made. If it cannot start, the module cannot
    // work at all: say so as an ImportError, which callers expect from an import and which
    // leaves the import free to be retried.
    try {
        initialize_crypto();
    } catch (const std::exception& fault) {
        PyErr_Format(PyExc_ImportError, "_corvel_core cannot start its cryptography: %s", fault.what());
        return nullptr;
    }

    Ref module = Ref::steal(check(PyModule_Create(&kModule)));
    populate(module.get());
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace corvel::python

PyMODINIT_FUNC PyInit__corvel_core() {
    return corvel::python::guard<PyObject*>(nullptr, [] { return corvel::python::initialise(); });
}
