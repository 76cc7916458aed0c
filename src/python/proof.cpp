#include "python/proof.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "base/os_facilities.hpp"
#include "python/support/convert.hpp"

namespace corvel::python {

namespace {

PyObject* approved(PyProof* self) { return to_bool(self->value.status.kind() == StatusKind::OK); }

PyObject* charter_hash(PyProof* self) { return to_str(self->value.capsule_hash); }

PyObject* action_hash(PyProof* self) { return to_hex_str(self->value.action_hash); }

PyObject* signature_hex(PyProof* self) { return to_hex_str(self->value.signature); }

PyObject* signature_bytes(PyProof* self) { return to_bytes(self->value.signature); }

PyObject* nonce_hex(PyProof* self) { return to_hex_str(self->value.nonce); }

PyObject* nonce_bytes(PyProof* self) { return to_bytes(self->value.nonce); }

PyObject* timestamp(PyProof* self) { return to_int(static_cast<std::int64_t>(self->value.timestamp)); }

PyObject* timestamp_string(PyProof* self) { return to_str(self->value.timestamp_rfc3339()); }

PyObject* ttl_seconds(PyProof* self) { return to_int(self->value.ttl); }

PyObject* is_expired(PyProof* self) { return to_bool(self->value.is_expired_at(system_unix_seconds())); }

PyObject* denial_reason(PyProof* self) {
    const std::optional<std::string_view> reason = self->value.status.denial_reason();
    return reason ? to_str(*reason) : to_none();
}

PyObject* repr(PyProof* self) {
    const IntegrityProof& proof = self->value;
    std::string text = "Proof(approved=";
    text += proof.status.kind() == StatusKind::OK ? "true" : "false";
    text += ", timestamp=" + std::to_string(proof.timestamp) + ", nonce='" + proof.nonce_prefix() + "')";
    return to_str(text);
}

PyObject* str(PyProof* self) { return to_str(self->value.summary()); }

Py_hash_t hash(PyProof* self) { return value_hash(self->value.nonce); }

bool equal(PyProof* self, PyProof* other) {
    return self->value.nonce == other->value.nonce && self->value.signature == other->value.signature;
}

PyMethodDef methods[] = {
    method<&signature_hex>("signature_hex", "signature_hex($self)\n--\n\nGet the cryptographic signature"),
    method<&signature_bytes>("signature_bytes", "signature_bytes($self)\n--\n\nGet the signature as bytes"),
    method<&nonce_hex>("nonce_hex", "nonce_hex($self)\n--\n\nGet the cryptographic nonce"),
    method<&nonce_bytes>("nonce_bytes", "nonce_bytes($self)\n--\n\nGet the nonce as bytes"),
    method<&timestamp>("timestamp", "timestamp($self)\n--\n\nGet the timestamp as Unix epoch seconds"),
    method<&timestamp_string>("timestamp_string", "timestamp_string($self)\n--\n\nGet the timestamp as ISO 8601 string"),
    method<&is_expired>("is_expired", "is_expired($self)\n--\n\nCheck if the proof has expired"),
    method<&denial_reason>("denial_reason", "denial_reason($self)\n--\n\nGet the denial reason (if denied)"),
    kEndMethods,
};

PyGetSetDef properties[] = {
    property<&approved>("approved", "Check if the action was approved"),
    property<&charter_hash>("charter_hash", "Get the charter/capsule hash"),
    property<&action_hash>("action_hash", "Get the action hash"),
    property<&ttl_seconds>("ttl_seconds", "Get the time-to-live in seconds"),
    kEndProperties,
};

}  // namespace

const ClassSpec PyProof::definition{
    .name = "Proof",
    .doc = "Python wrapper for Proof",
    .methods = methods,
    .properties = properties,
    .slots = {slot<Py_tp_repr, &repr>(),
              slot<Py_tp_str, &str>(),
              slot<Py_tp_hash, &hash>(),
              slot<Py_tp_richcompare, &equal>()},
};

}  // namespace corvel::python
