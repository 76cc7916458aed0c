#include "python/watchdog.hpp"

#include <string>
#include <utility>
#include <vector>

#include "python/action.hpp"
#include "python/errors.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"

namespace corvel::python {

namespace {

const char* flag(bool value) { return value ? "true" : "false"; }

// Records are handed out as fresh copies, so no core value is ever shared between objects.
PyObject* new_denial_proof(const DenialProof& proof) { return wrap<PyDenialProof>(DenialProof(proof)); }
PyObject* new_hard_reset_signal(const HardResetSignal& signal) {
    return wrap<PyHardResetSignal>(HardResetSignal(signal));
}

// ---------------------------------------------------------------- Watchdog

PyObject* construct_watchdog(PyObject* args, PyObject* kwargs) {
    auto [rules, capsule_hash] = parse("Watchdog", {"rules", "capsule_hash"}, 2, args, kwargs);
    std::vector<std::string> rule_texts = text_list(rules, "rules");
    std::string hash(text(capsule_hash, "capsule_hash"));
    auto watchdog = Watchdog::create(std::move(rule_texts), std::move(hash));
    if (!watchdog) raise(to_python(watchdog.error()));
    return wrap<PyWatchdog>(std::move(*watchdog));
}

PyObject* verify_action(PyWatchdog* self, const FastArgs& args) {
    auto [argument] = parse("Watchdog.verify_action", {"action"}, 1, args);
    PyAction& action = instance<PyAction>(argument, "action");
    // Actions never change, so the core value is read in place rather than copied.
    SharedBorrow action_borrow(action.borrow);
    auto verdict = self->value.judge(core_action(action), digest_of(action));
    if (!verdict) raise(to_python(verdict.error()));
    return wrap<PyWatchdogResult>(std::move(*verdict));
}

PyObject* report_success(PyWatchdog* self) {
    self->value.report_success();
    return to_none();
}

PyObject* acknowledge_reset(PyWatchdog* self) {
    self->value.acknowledge_reset();
    return to_none();
}

PyObject* watchdog_is_locked(PyWatchdog* self) { return to_bool(self->value.is_locked()); }

PyObject* violation_count(PyWatchdog* self) { return to_int(std::uint64_t{self->value.violation_count()}); }

PyObject* rules(PyWatchdog* self) { return to_str_list(self->value.rules()); }

PyObject* capsule_hash(PyWatchdog* self) { return to_str(self->value.capsule_hash()); }

PyObject* watchdog_repr(PyWatchdog* self) {
    const Watchdog& watchdog = self->value;
    const std::string text = "Watchdog(rules=" + std::to_string(watchdog.rules().size()) +
                             ", violations=" + std::to_string(watchdog.violation_count()) +
                             ", locked=" + flag(watchdog.is_locked()) + ")";
    return to_str(text);
}

constexpr const char* kWatchdogDoc =
    "Watchdog(rules, capsule_hash)\n--\n\n"
    "The Watchdog - Iron Discipline Enforcement Engine\n"
    "\n"
    "Monitors actions and enforces SealedCharter rules.\n"
    "After 10 consecutive violations, triggers hard reset.\n"
    "\n"
    "# Example\n"
    "\n"
    "```python\n"
    "watchdog = Watchdog(rules=[\"Do no harm\"], capsule_hash=charter.charter_hash())\n"
    "result = watchdog.verify_action(Action.delete_file(\"/etc/passwd\"))\n"
    "if result.hard_reset_required:\n"
    "    restart(result.hard_reset_signal)\n"
    "elif not result.approved:\n"
    "    print(result.denial_proof.denial_reason)\n"
    "```";

PyMethodDef watchdog_methods[] = {
    method<&verify_action>("verify_action",
                           "verify_action($self, action)\n--\n\n"
                           "Verify an action against rules\n"
                           "\n"
                           "Returns WatchdogResult with:\n"
                           "- approved=True if action is allowed\n"
                           "- denial_proof if action is denied\n"
                           "- hard_reset_required=True if 10th violation"),
    method<&report_success>("report_success", "report_success($self)\n--\n\nReport successful action (resets counter)"),
    method<&acknowledge_reset>("acknowledge_reset",
                               "acknowledge_reset($self)\n--\n\n"
                               "Acknowledge hard reset (unlock watchdog)\n"
                               "\n"
                               "Call after:\n"
                               "1. Clearing all context\n"
                               "2. Verifying charter is unchanged\n"
                               "3. Ready to restart"),
    method<&watchdog_is_locked>("is_locked",
                                "is_locked($self)\n--\n\nCheck if watchdog is locked (hard reset required)"),
    method<&violation_count>("violation_count", "violation_count($self)\n--\n\nGet current violation count"),
    method<&rules>("rules", "rules($self)\n--\n\nGet rules (read-only)"),
    method<&capsule_hash>("capsule_hash", "capsule_hash($self)\n--\n\nGet capsule hash"),
    kEndMethods,
};

// ---------------------------------------------------------------- ViolationCounter

PyObject* construct_counter(PyObject* args, PyObject* kwargs) {
    parse_none("ViolationCounter", args, kwargs);
    return wrap<PyViolationCounter>();
}

PyObject* counter_count(PyViolationCounter* self) { return to_int(std::uint64_t{self->value.count()}); }

PyObject* counter_increment(PyViolationCounter* self) { return to_int(std::uint64_t{self->value.increment()}); }

PyObject* counter_reset(PyViolationCounter* self) {
    self->value.reset();
    return to_none();
}

PyObject* counter_is_max_reached(PyViolationCounter* self) { return to_bool(self->value.is_max_reached()); }

PyObject* counter_is_locked(PyViolationCounter* self) { return to_bool(self->value.is_locked()); }

PyObject* counter_repr(PyViolationCounter* self) {
    const std::string text = "ViolationCounter(count=" + std::to_string(self->value.count()) +
                             ", locked=" + flag(self->value.is_locked()) + ")";
    return to_str(text);
}

constexpr const char* kCounterDoc =
    "ViolationCounter()\n--\n\n"
    "Thread-safe violation counter (zero-allocation)\n"
    "\n"
    "# Example\n"
    "\n"
    "```python\n"
    "counter = ViolationCounter()\n"
    "counter.increment()       # 1\n"
    "counter.is_max_reached()  # False\n"
    "counter.reset()\n"
    "```";

PyMethodDef counter_methods[] = {
    method<&counter_count>("count", "count($self)\n--\n\nGet current violation count"),
    method<&counter_increment>("increment", "increment($self)\n--\n\nIncrement violation count"),
    method<&counter_reset>("reset", "reset($self)\n--\n\nReset violation count to zero"),
    method<&counter_is_max_reached>("is_max_reached",
                                    "is_max_reached($self)\n--\n\nCheck if maximum violations (10) reached"),
    method<&counter_is_locked>("is_locked", "is_locked($self)\n--\n\nCheck if watchdog is locked"),
    kEndMethods,
};

// ---------------------------------------------------------------- DenialProof

PyObject* denial_nonce(PyDenialProof* self) { return to_bytes(self->value.nonce); }

PyObject* denial_action_hash(PyDenialProof* self) { return to_bytes(self->value.action_hash); }

PyObject* denial_is_signed(PyDenialProof* self) { return to_bool(self->value.is_signed()); }

PyObject* denial_signature_hex(PyDenialProof* self) { return to_hex_str(self->value.signature); }

PyObject* denial_timestamp(PyDenialProof* self) { return to_int(self->value.timestamp); }

PyObject* denial_violated_rule(PyDenialProof* self) { return to_str(self->value.violated_rule); }

PyObject* denial_reason(PyDenialProof* self) { return to_str(self->value.denial_reason); }

PyObject* denial_violation_count(PyDenialProof* self) {
    return to_int(std::uint64_t{self->value.violation_count});
}

PyObject* denial_triggered_hard_reset(PyDenialProof* self) { return to_bool(self->value.triggered_hard_reset); }

PyObject* denial_repr(PyDenialProof* self) {
    const DenialProof& proof = self->value;
    const std::string text = "DenialProof(rule='" + proof.violated_rule + "', count=" +
                             std::to_string(proof.violation_count) + ", hard_reset=" +
                             flag(proof.triggered_hard_reset) + ")";
    return to_str(text);
}

constexpr const char* kDenialDoc =
    "Cryptographic proof of rule violation\n"
    "\n"
    "Contains Ed25519 signed evidence of why an action was denied.\n"
    "\n"
    "# Example\n"
    "\n"
    "```python\n"
    "result = watchdog.verify_action(Action.delete_file(\"/etc/passwd\"))\n"
    "proof = result.denial_proof\n"
    "print(proof.violated_rule, proof.denial_reason, proof.violation_count)\n"
    "assert proof.is_signed()\n"
    "```";

PyMethodDef denial_methods[] = {
    method<&denial_nonce>("nonce", "nonce($self)\n--\n\nGet nonce as bytes"),
    method<&denial_action_hash>("action_hash", "action_hash($self)\n--\n\nGet action hash as bytes"),
    method<&denial_is_signed>("is_signed", "is_signed($self)\n--\n\nWhether proof is cryptographically signed"),
    method<&denial_signature_hex>("signature_hex", "signature_hex($self)\n--\n\nGet signature as hex string"),
    kEndMethods,
};

PyGetSetDef denial_properties[] = {
    property<&denial_timestamp>("timestamp", "Unix timestamp of denial"),
    property<&denial_violated_rule>("violated_rule", "The rule that was violated"),
    property<&denial_reason>("denial_reason", "Human-readable denial reason"),
    property<&denial_violation_count>("violation_count", "Current violation count (1-10)"),
    property<&denial_triggered_hard_reset>("triggered_hard_reset", "Whether this denial triggered a hard reset"),
    kEndProperties,
};

// ---------------------------------------------------------------- HardResetSignal

PyObject* signal_total_violations(PyHardResetSignal* self) {
    return to_int(std::uint64_t{self->value.total_violations});
}

PyObject* signal_charter_hash(PyHardResetSignal* self) { return to_str(self->value.charter_hash); }

PyObject* signal_reset_timestamp(PyHardResetSignal* self) { return to_int(self->value.reset_timestamp); }

PyObject* signal_final_denial(PyHardResetSignal* self) { return new_denial_proof(self->value.final_denial); }

PyObject* signal_repr(PyHardResetSignal* self) {
    const HardResetSignal& signal = self->value;
    const std::string text = "HardResetSignal(violations=" + std::to_string(signal.total_violations) +
                             ", charter_hash='" + signal.charter_hash + "')";
    return to_str(text);
}

constexpr const char* kSignalDoc =
    "Signal that hard reset is required\n"
    "\n"
    "Returned after 10 consecutive violations.\n"
    "The AI runtime MUST clear all context and restart.";

PyGetSetDef signal_properties[] = {
    property<&signal_total_violations>("total_violations", "Total violations that triggered reset"),
    property<&signal_charter_hash>("charter_hash", "Charter hash (for verification after restart)"),
    property<&signal_reset_timestamp>("reset_timestamp", "Timestamp of reset signal"),
    property<&signal_final_denial>("final_denial", "Get the final denial proof that triggered reset"),
    kEndProperties,
};

// ---------------------------------------------------------------- WatchdogResult

PyObject* result_approved(PyWatchdogResult* self) { return to_bool(self->value.approved); }

PyObject* result_denial_proof(PyWatchdogResult* self) {
    const auto& proof = self->value.denial_proof;
    return proof ? new_denial_proof(*proof) : to_none();
}

PyObject* result_hard_reset_required(PyWatchdogResult* self) { return to_bool(self->value.hard_reset_required); }

PyObject* result_hard_reset_signal(PyWatchdogResult* self) {
    const auto& signal = self->value.hard_reset_signal;
    return signal ? new_hard_reset_signal(*signal) : to_none();
}

PyObject* result_repr(PyWatchdogResult* self) {
    const WatchdogVerdict& verdict = self->value;
    if (verdict.hard_reset_required) return to_str("WatchdogResult(HARD_RESET_REQUIRED)");
    if (verdict.approved) return to_str("WatchdogResult(APPROVED)");
    const std::uint32_t count = verdict.denial_proof ? verdict.denial_proof->violation_count : 0;
    return to_str("WatchdogResult(DENIED, count=" + std::to_string(count) + ")");
}

constexpr const char* kResultDoc =
    "Result of action verification\n"
    "\n"
    "Contains either:\n"
    "- approved=True (action allowed)\n"
    "- approved=False + denial_proof (action denied, but not 10th violation)\n"
    "- hard_reset_required=True + hard_reset_signal (10th violation, must reset)";

PyGetSetDef result_properties[] = {
    property<&result_approved>("approved", "Whether action was approved"),
    property<&result_denial_proof>("denial_proof", "Denial proof (if action was denied)"),
    property<&result_hard_reset_required>("hard_reset_required", "Whether hard reset is required"),
    property<&result_hard_reset_signal>("hard_reset_signal", "Hard reset signal (if reset required)"),
    kEndProperties,
};

}  // namespace

const ClassSpec PyWatchdog::definition{
    .name = "Watchdog",
    .doc = kWatchdogDoc,
    .constructor = constructor<&construct_watchdog>(),
    .methods = watchdog_methods,
    .slots = {slot<Py_tp_repr, &watchdog_repr>()},
};

const ClassSpec PyViolationCounter::definition{
    .name = "ViolationCounter",
    .doc = kCounterDoc,
    .constructor = constructor<&construct_counter>(),
    .methods = counter_methods,
    .slots = {slot<Py_tp_repr, &counter_repr>()},
};

const ClassSpec PyDenialProof::definition{
    .name = "DenialProof",
    .doc = kDenialDoc,
    .methods = denial_methods,
    .properties = denial_properties,
    .slots = {slot<Py_tp_repr, &denial_repr>()},
};

const ClassSpec PyHardResetSignal::definition{
    .name = "HardResetSignal",
    .doc = kSignalDoc,
    .properties = signal_properties,
    .slots = {slot<Py_tp_repr, &signal_repr>()},
};

const ClassSpec PyWatchdogResult::definition{
    .name = "WatchdogResult",
    .doc = kResultDoc,
    .properties = result_properties,
    .slots = {slot<Py_tp_repr, &result_repr>()},
};

}  // namespace corvel::python
