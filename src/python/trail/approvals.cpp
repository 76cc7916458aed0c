#include "python/trail/approvals.hpp"

#include <string>
#include <vector>

#include "approval/approval.hpp"
#include "audit_trail/trail_checkpoint.hpp"
#include "base/os_facilities.hpp"
#include "keys/trail_public_key.hpp"
#include "python/support/binding.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail_errors.hpp"

namespace corvel::python::trail {

namespace {

template <class T>
T value_or_raise(std::expected<T, ApprovalError>&& result) {
    if (!result) raise_error(result.error());
    return std::move(*result);
}

Hash32 hash_argument(PyObject* value, const char* name) {
    const Bytes bytes = byte_sequence(value, name);
    if (bytes.size() != 32) {
        PyErr_Format(PyExc_ValueError, "argument '%s': must be exactly 32 bytes (a SHA-256 digest)", name);
        throw PyErrorRaised{};
    }
    Hash32 out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

std::vector<VerifierKey> verifier_keys(const std::vector<std::string>& texts) {
    std::vector<VerifierKey> keys;
    keys.reserve(texts.size());
    for (const std::string& text : texts) {
        auto key = parse_verifier_key(text);
        if (!key) raise_error(key.error());
        keys.push_back(std::move(*key));
    }
    return keys;
}

// None, one verifier-key text, or a sequence of them.
std::vector<VerifierKey> optional_keys(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_None) return {};
    if (PyUnicode_Check(value)) return verifier_keys({std::string(text(value, name))});
    return verifier_keys(text_list(value, name));
}

PyObject* terms_dict(const ApprovalTerms& terms) {
    Ref out = Ref::steal(check(PyDict_New()));
    const auto set = [&](const char* key, PyObject* value) {
        Ref held = Ref::steal(value);
        check_status(PyDict_SetItemString(out.get(), key, held.get()));
    };
    set("tool", to_str(terms.tool));
    set("arguments_hash", to_bytes(terms.arguments_hash));
    set("policy_fingerprint", to_bytes(terms.policy_fingerprint));
    set("nonce", to_bytes(terms.nonce));
    set("issued", to_int(terms.issued));
    set("expires", to_int(terms.expires));
    return out.release();
}

PyObject* request(const FastArgs& args) {
    auto [key, name, tool, arguments, policy, life] =
        parse("approval_request", {"key", "name", "tool", "arguments_hash", "policy_fingerprint", "life_seconds"},
              6, args);
    const TrailKey& signing_key = *instance<PyTrailKey>(key, "key").value;
    TrailKeyNoteSigner signer(std::string(text(name, "name")), signing_key);
    if (!valid_note_key_name(signer.name())) raise_error(NoteError(NoteError::Kind::BadKeyName, signer.name()));
    const ApprovalTerms terms = value_or_raise(
        approval_terms(std::string(text(tool, "tool")), hash_argument(arguments, "arguments_hash"),
                       hash_argument(policy, "policy_fingerprint"), system_unix_seconds(), u64(life, "life_seconds")));
    return to_str(value_or_raise(sign_approval_note(terms, ApprovalStage::Request, signer)));
}

PyObject* read_request(const FastArgs& args) {
    auto [note, gate_key] = parse("read_approval_request", {"request", "gate_key"}, 1, args);
    const std::vector<VerifierKey> gate_keys = optional_keys(gate_key, "gate_key");
    return terms_dict(value_or_raise(read_approval_request(text(note, "request"), gate_keys)));
}

PyObject* approve(const FastArgs& args) {
    auto [note, key, name, gate_key] = parse("approve", {"request", "key", "name", "gate_key"}, 3, args);
    const std::vector<VerifierKey> gate_keys = optional_keys(gate_key, "gate_key");
    const ApprovalTerms terms = value_or_raise(read_approval_request(text(note, "request"), gate_keys));
    TrailKeyNoteSigner signer(std::string(text(name, "name")), *instance<PyTrailKey>(key, "key").value);
    if (!valid_note_key_name(signer.name())) raise_error(NoteError(NoteError::Kind::BadKeyName, signer.name()));
    return to_str(value_or_raise(sign_approval_note(terms, ApprovalStage::Approval, signer)));
}

PyObject* check_call(const FastArgs& args) {
    auto [note, trusted, tool, arguments, policy, now] =
        parse("check_approval", {"approval", "trusted_keys", "tool", "arguments_hash", "policy_fingerprint", "now"}, 5,
              args);
    const std::vector<VerifierKey> keys = optional_keys(trusted, "trusted_keys");
    ApprovalCall call{text(tool, "tool"), hash_argument(arguments, "arguments_hash"),
                      hash_argument(policy, "policy_fingerprint"),
                      now == nullptr || now == Py_None ? system_unix_seconds() : u64(now, "now")};
    return terms_dict(value_or_raise(check_approval(text(note, "approval"), keys, call)));
}

}  // namespace

PyMethodDef approval_functions[] = {
    module_fast_function<&request>(
        "approval_request",
        "approval_request(key, name, tool, arguments_hash, policy_fingerprint, life_seconds)\n--\n\nA signed "
        "approval request (signed-note text) for one call: a fresh nonce, issued now, expiring life_seconds later; "
        "signed by key under the note key name"),
    module_fast_function<&read_request>(
        "read_approval_request",
        "read_approval_request(request, gate_key=None)\n--\n\nThe terms of an approval request as a dict (tool, "
        "arguments_hash, policy_fingerprint, nonce, issued, expires); with gate_key (verifier-key texts), the "
        "request must be signed by one of them"),
    module_fast_function<&approve>(
        "approve",
        "approve(request, key, name, gate_key=None)\n--\n\nThe approval (signed-note text) of an approval request, "
        "signed by the approver's key under the note key name; with gate_key, the request's signature is checked "
        "first"),
    module_fast_function<&check_call>(
        "check_approval",
        "check_approval(approval, trusted_keys, tool, arguments_hash, policy_fingerprint, now=None)\n--\n\nChecks "
        "that an approval holds for this call: signed by a trusted key, an approval (not a request), for this tool, "
        "arguments and policy, not dated ahead of now by more than 300 s, not expired. Returns its terms; the "
        "caller records its nonce once. Raises ApprovalError naming the first condition that fails"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvel::python::trail
