#include "python/charter.hpp"

#include <string>

#include "python/action.hpp"
#include "python/errors.hpp"
#include "python/proof.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"

namespace corvel::python {

namespace {

// Every method takes its borrow of the object first, then the charter's lock; Python objects
// are made after the lock is released, except in diagnostics, which fills its dictionary under
// the lock so that it shows one consistent state.

PyObject* construct(PyObject* args, PyObject* kwargs) {
    auto [rules] = parse("SealedCharter", {"rules"}, 1, args, kwargs);
    auto charter = SealedCharter::create(text_list(rules, "rules"));
    if (!charter) raise(to_python(charter.error()));
    return wrap<PySealedCharter>(Shared<SealedCharter>(std::move(*charter)));
}

PyObject* seal(PySealedCharter* self) {
    auto sealed = self->value.with([](SealedCharter& charter) { return charter.seal(); });
    if (!sealed) raise(to_python(sealed.error()));
    return to_none();
}

PyObject* is_sealed(PySealedCharter* self) {
    return to_bool(self->value.with([](SealedCharter& charter) { return charter.is_sealed(); }));
}

PyObject* rules(PySealedCharter* self) {
    return to_str_list(self->value.with([](SealedCharter& charter) { return charter.rules(); }));
}

PyObject* charter_hash(PySealedCharter* self) {
    auto hash = self->value.with([](SealedCharter& charter) { return charter.capsule_hash(); });
    return hash ? to_str(*hash) : to_none();
}

PyObject* verify_action(PySealedCharter* self, const FastArgs& args) {
    auto [argument] = parse("SealedCharter.verify_action", {"action"}, 1, args);
    PyAction& action = instance<PyAction>(argument, "action");
    SharedBorrow action_borrow(action.borrow);
    // Hashed before the lock is taken: a fault while hashing a huge action (memory exhaustion)
    // must not poison the charter for every later call.
    const Hash32& digest = action.value.hash();
    auto proof = self->value.with([&](SealedCharter& charter) { return charter.verify_action(core_action(action), digest); });
    if (!proof) raise(to_python(proof.error()));
    return wrap<PyProof>(std::move(*proof));
}

PyObject* enter(PySealedCharter* self) { return Py_NewRef(reinterpret_cast<PyObject*>(self)); }

PyObject* exit(PySealedCharter*, const FastArgs& args) {
    // The three exception details are accepted and ignored; returning False lets an exception
    // raised inside the block propagate.
    parse("SealedCharter.__exit__", {"_exc_type", "_exc_value", "_traceback"}, 0, args);
    return to_bool(false);
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    check_status(PyDict_SetItemString(dict, key, owned.get()));
}

PyObject* diagnostics(PySealedCharter* self) {
    return self->value.with([](SealedCharter& charter) {
        Ref dict = Ref::steal(check(PyDict_New()));
        set_item(dict.get(), "version", to_str(SealedCharter::kDiagnosticsVersion));
        set_item(dict.get(), "sealed", to_bool(charter.is_sealed()));
        set_item(dict.get(), "rule_count", to_int(charter.rules().size()));
        set_item(dict.get(), "rules", to_str_list(charter.rules()));
        if (charter.capsule_hash()) set_item(dict.get(), "charter_hash", to_str(*charter.capsule_hash()));
        return dict.release();
    });
}

PyObject* repr(PySealedCharter* self) {
    const std::string text = self->value.with([](SealedCharter& charter) {
        return "SealedCharter(rules=" + std::to_string(charter.rules().size()) +
               ", sealed=" + (charter.is_sealed() ? "true" : "false") + ")";
    });
    return to_str(text);
}

constexpr const char* kClassDoc =
    "SealedCharter(rules)\n--\n\n"
    "Python wrapper for SealedCharter\n"
    "\n"
    "Represents a cryptographically sealed set of ethical rules that governs\n"
    "AI decision-making with tamper-evident accountability.\n"
    "\n"
    "# Example\n"
    "\n"
    "```python\n"
    "charter = SealedCharter(rules=[\"Do no harm\", \"Respect privacy\"])\n"
    "charter.seal()\n"
    "action = Action.delete_file(\"data.txt\")\n"
    "proof = charter.verify_action(action)\n"
    "```";

PyMethodDef methods[] = {
    method<&seal, Borrow::Exclusive>("seal",
                  "seal($self)\n--\n\n"
                  "Seal the charter, making it immutable\n"
                  "\n"
                  "After sealing, the charter's rules cannot be modified.\n"
                  "This is a cryptographically enforced guarantee.\n"
                  "\n"
                  "Raises:\n"
                  "    CharterError: If already sealed\n"
                  "\n"
                  "Example:\n"
                  "    >>> charter.seal()"),
    method<&is_sealed>("is_sealed",
                       "is_sealed($self)\n--\n\n"
                       "Check if the charter is sealed\n"
                       "\n"
                       "Returns:\n"
                       "    bool: True if sealed, False otherwise\n"
                       "\n"
                       "Example:\n"
                       "    >>> charter.is_sealed()\n"
                       "    False\n"
                       "    >>> charter.seal()\n"
                       "    >>> charter.is_sealed()\n"
                       "    True"),
    method<&rules>("rules",
                   "rules($self)\n--\n\n"
                   "Get the charter's rules\n"
                   "\n"
                   "Returns:\n"
                   "    list[str]: The immutable rule set\n"
                   "\n"
                   "Example:\n"
                   "    >>> print(charter.rules())\n"
                   "    ['Do no harm', 'Respect privacy']"),
    method<&charter_hash>("charter_hash",
                          "charter_hash($self)\n--\n\n"
                          "Get the charter's cryptographic hash\n"
                          "\n"
                          "Returns:\n"
                          "    str: Hex-encoded SHA-256 hash of the sealed charter\n"
                          "\n"
                          "Example:\n"
                          "    >>> print(charter.charter_hash()[:16] + \"...\")\n"
                          "    70aab6c3292ba4e3..."),
    method<&verify_action, Borrow::Exclusive>("verify_action",
                           "verify_action($self, action)\n--\n\n"
                           "Verify an action against the charter rules\n"
                           "\n"
                           "Args:\n"
                           "    action (Action): The action to verify\n"
                           "\n"
                           "Returns:\n"
                           "    Proof: Cryptographic proof of verification result\n"
                           "\n"
                           "Raises:\n"
                           "    CharterError: If charter is not sealed\n"
                           "    CryptoError: If signature generation fails\n"
                           "\n"
                           "Example:\n"
                           "    >>> action = Action.delete_file(\"data.txt\")\n"
                           "    >>> proof = charter.verify_action(action)\n"
                           "    >>> print(proof.approved)\n"
                           "    True"),
    method<&enter>("__enter__", "__enter__($self)\n--\n\nContext manager support: __enter__"),
    method<&exit, Borrow::Exclusive>("__exit__",
                  "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"
                  "Context manager support: __exit__"),
    method<&diagnostics>("diagnostics",
                         "diagnostics($self)\n--\n\n"
                         "Get diagnostic information\n"
                         "\n"
                         "Returns:\n"
                         "    dict: Diagnostic data including version, sealed status, rule count"),
    kEndMethods,
};

}  // namespace

const ClassSpec PySealedCharter::definition{
    .name = "SealedCharter",
    .doc = kClassDoc,
    .constructor = constructor<&construct>(),
    .methods = methods,
    .slots = {slot<Py_tp_repr, &repr>(),
              slot<Py_tp_str, &repr>()},
};

}  // namespace corvel::python
