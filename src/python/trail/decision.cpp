// Decision: the decision recorded for an action.
#include "python/trail/trail.hpp"

#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail_errors.hpp"

namespace corvel::python::trail {

namespace {

PyObject* approved_decision() { return wrap<PyDecision>(Decision::approved()); }

PyObject* denied_decision(const FastArgs& args) {
    auto [reason] = parse("Decision.denied", {"reason"}, 1, args);
    return wrap<PyDecision>(Decision::denied(std::string(text(reason, "reason"))));
}

PyObject* decision_approved(PyDecision* self) { return to_bool(self->value.kind() == Decision::Kind::Approved); }

PyObject* decision_reason(PyDecision* self) {
    if (self->value.kind() == Decision::Kind::Approved) return to_none();
    return to_str(self->value.reason());
}

PyObject* decision_repr(PyDecision* self) {
    if (self->value.kind() == Decision::Kind::Approved) return to_str("Decision.approved()");
    Ref reason = Ref::steal(to_str(self->value.reason()));
    return check(PyUnicode_FromFormat("Decision.denied(%R)", reason.get()));
}

bool decision_equal(PyDecision* self, PyDecision* other) { return self->value == other->value; }

PyMethodDef decision_methods[] = {
    static_method<&approved_decision>("approved", "approved()\n--\n\nThe action was allowed"),
    static_method<&denied_decision>("denied", "denied(reason)\n--\n\nThe action was refused, for this reason"),
    kEndMethods,
};

PyGetSetDef decision_properties[] = {
    property<&decision_approved>("approved", "Whether the action was allowed"),
    property<&decision_reason>("reason", "Why it was refused; None when approved"),
    kEndProperties,
};

}  // namespace

const ClassSpec PyDecision::definition{
    .name = "Decision",
    .module = kPackage,
    .doc = "The decision recorded for an action: Decision.approved() or Decision.denied(reason)",
    .methods = decision_methods,
    .properties = decision_properties,
    .slots = {slot<Py_tp_repr, &decision_repr>(),
              slot<Py_tp_richcompare, &decision_equal>()},
};

}  // namespace corvel::python::trail
