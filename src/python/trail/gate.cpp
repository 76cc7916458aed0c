// ToolGate and ToolArguments: the gate's core, for corvel_charter.gate.
#include "python/trail/gate.hpp"

#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail.hpp"
#include "python/trail/trail_errors.hpp"
#include "python/trail/without_interpreter_lock.hpp"

namespace corvel::python::trail {

PyObject* gate_error_class() {
    static PyObject* cell = nullptr;
    if (cell == nullptr) {
        cell = PyErr_NewExceptionWithDoc("corvel_charter.GateError",
                                         "The gate refused a request outside a decision: arguments with no canonical "
                                         "JSON form, an outcome for a call it never allowed, an entry the trail "
                                         "could not record",
                                         PyExc_Exception, nullptr);
    }
    return cell;
}

namespace {

[[noreturn]] void raise_gate_error(const GateError& error) {
    const std::string text = error.message();
    PyObject* type = gate_error_class();
    if (type == nullptr) throw PyErrorRaised{};
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) throw PyErrorRaised{};
    PyErr_SetObject(type, message.get());
    throw PyErrorRaised{};
}

PyObject* parse_arguments(const FastArgs& args) {
    auto [json] = parse("ToolArguments.parse", {"json"}, 1, args);
    auto arguments = tool_arguments(text(json, "json"));
    if (!arguments) raise_gate_error(arguments.error());
    return wrap<PyToolArguments>(std::move(*arguments));
}

PyObject* arguments_canonical(PyToolArguments* self) { return to_str(self->value.canonical); }
PyObject* arguments_hash(PyToolArguments* self) { return to_bytes(self->value.hash); }
PyObject* arguments_context(PyToolArguments* self) { return to_str(self->value.context); }

PyMethodDef arguments_methods[] = {
    static_method<&parse_arguments>("parse",
                                    "parse(json)\n--\n\nThe canonical form (RFC 8785) of a JSON text and the policy "
                                    "request's context made from it; raises GateError for text with no canonical form"),
    kEndMethods,
};

PyGetSetDef arguments_properties[] = {
    property<&arguments_canonical>("canonical", "The RFC 8785 canonical JSON text"),
    property<&arguments_hash>("hash", "SHA-256 of the canonical text"),
    property<&arguments_context>("context", "The Cedar request context, as JSON text"),
    kEndProperties,
};

PyObject* construct_gate(PyObject* args, PyObject* kwargs) {
    auto [trail, policy, agent, server] = parse("ToolGate", {"trail", "policy", "agent", "server"}, 3, args, kwargs);
    if (!Py_IS_TYPE(trail, type_of<PyAuditTrail>())) raise_wrong_type(trail, "trail", "AuditTrail");
    std::string policy_text(text(policy, "policy"));
    std::string agent_name(text(agent, "agent"));
    std::string server_name;
    if (server != nullptr && server != Py_None) server_name = std::string(text(server, "server"));
    TrailWriter& writer = *reinterpret_cast<PyAuditTrail*>(trail)->value;
    auto gate = ToolGate::create(std::move(policy_text), std::move(agent_name), std::move(server_name), writer);
    if (!gate) raise_gate_error(gate.error());
    return wrap<PyToolGate>(GateHolder{Ref::borrow(trail), std::move(*gate)});
}

ToolGate& gate_of(PyToolGate* self) { return *self->value.gate; }

// `failure` is what went wrong for a failure; for an allow or a deny, a note for the reason.
PolicyVerdict verdict_of(PyObject* kind, PyObject* policies, PyObject* failure) {
    const std::string_view name = text(kind, "verdict");
    if (name == "allow") return PolicyVerdict::allow(text_list(policies, "policies"), std::string(text(failure, "failure")));
    if (name == "deny") return PolicyVerdict::deny(text_list(policies, "policies"), std::string(text(failure, "failure")));
    if (name == "failure") return PolicyVerdict::failed(std::string(text(failure, "failure")));
    PyErr_SetString(PyExc_ValueError, "argument 'verdict': 'allow', 'deny' or 'failure'");
    throw PyErrorRaised{};
}

PyObject* decide(PyToolGate* self, const FastArgs& args) {
    auto [tool, arguments, kind, policies, failure] =
        parse("ToolGate.decide", {"tool", "arguments", "verdict", "policies", "failure"}, 5, args);
    const std::string_view name = text(tool, "tool");
    const ToolArguments* values = nullptr;
    if (arguments != Py_None) values = &instance<PyToolArguments>(arguments, "arguments").value;
    const PolicyVerdict verdict = verdict_of(kind, policies, failure);

    GateDecision decision;
    {
        // The arguments object is held by this call's caller, and its value never changes.
        WithoutInterpreterLock unlocked;
        decision = gate_of(self).decide(name, values, verdict);
    }
    Ref allowed = Ref::steal(to_bool(decision.allowed));
    Ref reason = Ref::steal(to_str(decision.reason));
    Ref ids = Ref::steal(to_str_list(decision.policies));
    Ref index = Ref::steal(decision.index ? to_int(*decision.index) : to_none());
    Ref hash = Ref::steal(to_bytes(decision.arguments_hash));
    Ref denials = Ref::steal(to_int(std::uint64_t{decision.denials}));
    Ref hard_reset = Ref::steal(to_bool(decision.hard_reset_signal.has_value()));
    return check(PyTuple_Pack(7, allowed.get(), reason.get(), ids.get(), index.get(), hash.get(), denials.get(),
                              hard_reset.get()));
}

PyObject* record_outcome(PyToolGate* self, const FastArgs& args) {
    auto [index, success, result_hash] =
        parse("ToolGate.record_outcome", {"decision_index", "success", "result_hash"}, 3, args);
    const std::uint64_t decision_index = u64(index, "decision_index");
    const int ok = PyObject_IsTrue(success);
    if (ok < 0) throw PyErrorRaised{};
    const Bytes hash = byte_sequence(result_hash, "result_hash");
    if (hash.size() != 32) {
        PyErr_SetString(PyExc_ValueError, "argument 'result_hash': expected 32 bytes");
        throw PyErrorRaised{};
    }
    Hash32 digest{};
    std::copy(hash.begin(), hash.end(), digest.begin());
    std::expected<std::uint64_t, GateError> recorded;
    {
        WithoutInterpreterLock unlocked;
        recorded = gate_of(self).record_outcome(decision_index, ok == 1, digest);
    }
    if (!recorded) raise_gate_error(recorded.error());
    return to_int(*recorded);
}

PyObject* acknowledge_reset(PyToolGate* self) {
    gate_of(self).acknowledge_reset();
    return to_none();
}

PyObject* gate_locked(PyToolGate* self) { return to_bool(gate_of(self).locked()); }
PyObject* gate_denials(PyToolGate* self) { return to_int(std::uint64_t{gate_of(self).denials()}); }
PyObject* gate_fingerprint(PyToolGate* self) { return to_str(gate_of(self).fingerprint()); }
PyObject* gate_agent(PyToolGate* self) { return to_str(gate_of(self).agent()); }
PyObject* gate_server(PyToolGate* self) {
    const std::string& server = gate_of(self).server();
    return server.empty() ? to_none() : to_str(server);
}
PyObject* gate_trail(PyToolGate* self) { return Py_NewRef(self->value.trail.get()); }

PyMethodDef gate_methods[] = {
    method<&decide>("decide",
                    "decide($self, tool, arguments, verdict, policies, failure)\n--\n\nDecide a call on the policy "
                    "engine's verdict ('allow', 'deny' or 'failure'; failure is what went wrong, or a note "
                    "added to an allow's or a denial's reason) and record the decision before returning "
                    "(allowed, reason, policies, index, arguments_hash, denials, hard_reset)"),
    method<&record_outcome>("record_outcome",
                            "record_outcome($self, decision_index, success, result_hash)\n--\n\nRecord what came of "
                            "an allowed call; returns the outcome's index"),
    method<&acknowledge_reset>("acknowledge_reset",
                               "acknowledge_reset($self)\n--\n\nUnlock the gate and clear its count of denials"),
    kEndMethods,
};

PyGetSetDef gate_properties[] = {
    property<&gate_locked>("locked", "Whether ten consecutive denials locked the gate"),
    property<&gate_denials>("denials", "The current run of consecutive denials"),
    property<&gate_fingerprint>("fingerprint", "The policy's fingerprint: the charter hash of its text"),
    property<&gate_agent>("agent", "The agent the gate judges"),
    property<&gate_server>("server", "The tools' server, or None"),
    property<&gate_trail>("trail", "The AuditTrail that records every decision"),
    kEndProperties,
};

}  // namespace

const ClassSpec PyToolArguments::definition{
    .name = "ToolArguments",
    .module = kPackage,
    .doc = "A tool call's arguments in canonical JSON (RFC 8785) and as the policy request's context",
    .methods = arguments_methods,
    .properties = arguments_properties,
};

const ClassSpec PyToolGate::definition{
    .name = "ToolGate",
    .module = kPackage,
    .doc = "ToolGate(trail, policy, agent, server=None)\n--\n\nThe gate's core: decides calls on a policy "
           "engine's verdict and records every decision in the trail before it returns",
    .constructor = constructor<&construct_gate>(),
    .methods = gate_methods,
    .properties = gate_properties,
};

}  // namespace corvel::python::trail
