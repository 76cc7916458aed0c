// The byte layouts that are hashed or signed: the canonical action encoding, the proof's
// signing data and the denial's and hard-reset signal's. Their lengths follow the layout
// formulas, and each field sits where the layout puts it.

#include <cstring>
#include <string>

#include "crypto/initialize.hpp"
#include "fuzz_input.hpp"
#include "proof/action.hpp"
#include "proof/integrity_proof.hpp"
#include "watchdog/denial_proof.hpp"

using namespace corvel;
using fuzz::require;

namespace {

std::uint64_t le(const Bytes& bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
    return value;
}

bool bytes_at(const Bytes& bytes, std::size_t at, const void* expected, std::size_t size) {
    return at + size <= bytes.size() && (size == 0 || std::memcmp(bytes.data() + at, expected, size) == 0);
}

Action make_action(fuzz::FuzzInput& input) {
    const std::uint8_t shape = input.u8();
    Action action;
    const auto kind = static_cast<ActionKind>(shape % 6);
    action.action_type = kind == ActionKind::Custom ? ActionType::custom(input.text()) : ActionType(kind);
    action.target = input.text();
    if (shape & 0x10) {
        const std::string payload = input.text();
        action.payload = Bytes(payload.begin(), payload.end());
    }
    if (shape & 0x20) action.metadata = input.text();
    return action;
}

// Reads an optional field of the encoding at `at`: a presence byte, then a u64 length and the
// bytes. Returns the offset past it.
template <typename Optional>
std::size_t check_optional(const Bytes& encoding, std::size_t at, const Optional& field) {
    require(at < encoding.size(), "encoding ends before an optional field");
    require(encoding[at] == (field ? 1 : 0), "presence byte wrong");
    if (!field) return at + 1;
    require(le(encoding, at + 1, 8) == field->size(), "optional field length wrong");
    require(bytes_at(encoding, at + 9, field->data(), field->size()), "optional field bytes wrong");
    return at + 9 + field->size();
}

void check_action(const Action& action) {
    const Bytes encoding = action.canonical_encoding();
    const bool custom = action.action_type.kind() == ActionKind::Custom;
    const std::size_t expected = 4 + (custom ? 8 + action.action_type.custom_name().size() : 0) + 8 +
                                 action.target.size() + (action.payload ? 9 + action.payload->size() : 1) +
                                 (action.metadata ? 9 + action.metadata->size() : 1);
    require(encoding.size() == expected, "canonical encoding length off its formula");
    require(action.encoded_size() == expected, "encoded_size off its formula");
    require(le(encoding, 0, 4) == static_cast<std::uint32_t>(action.action_type.kind()), "tag wrong");
    std::size_t at = 4;
    if (custom) {
        const std::string& name = action.action_type.custom_name();
        require(le(encoding, at, 8) == name.size(), "custom name length wrong");
        require(bytes_at(encoding, at + 8, name.data(), name.size()), "custom name bytes wrong");
        at += 8 + name.size();
    }
    require(le(encoding, at, 8) == action.target.size(), "target length wrong");
    require(bytes_at(encoding, at + 8, action.target.data(), action.target.size()), "target bytes wrong");
    at = check_optional(encoding, at + 8 + action.target.size(), action.payload);
    at = check_optional(encoding, at, action.metadata);
    require(at == encoding.size(), "bytes after the last field");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    initialize_crypto();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const Action action = make_action(input);
    check_action(action);

    IntegrityProof proof;
    for (auto& byte : proof.nonce) byte = input.u8();
    proof.timestamp = input.u64();
    proof.ttl = input.u64();
    proof.action_hash = action.hash();
    proof.capsule_hash = input.text();
    const Bytes signing = proof.signing_data();
    require(signing.size() == 80 + proof.capsule_hash.size(), "proof signing data length off its formula");
    require(bytes_at(signing, 0, proof.nonce.data(), 32), "proof nonce misplaced");
    require(le(signing, 32, 8) == proof.timestamp && le(signing, 40, 8) == proof.ttl, "proof times misplaced");
    require(bytes_at(signing, 48, proof.action_hash.data(), 32), "proof action hash misplaced");
    require(bytes_at(signing, 80, proof.capsule_hash.data(), proof.capsule_hash.size()), "capsule hash misplaced");

    DenialProof denial;
    denial.nonce = proof.nonce;
    denial.timestamp = proof.timestamp;
    denial.action_hash = proof.action_hash;
    denial.violated_rule = input.text();
    denial.denial_reason = input.text();
    denial.violation_count = static_cast<std::uint32_t>(input.u64());
    denial.triggered_hard_reset = input.u8() & 1;
    const Bytes denied = denial.signing_data();
    const std::size_t texts = denial.violated_rule.size() + denial.denial_reason.size();
    require(denied.size() == 77 + texts && denial.signing_size() == denied.size(),
            "denial signing data length off its formula");
    require(bytes_at(denied, 0, denial.nonce.data(), 32) && le(denied, 32, 8) == denial.timestamp &&
                bytes_at(denied, 40, denial.action_hash.data(), 32),
            "denial fixed fields misplaced");
    require(bytes_at(denied, 72, denial.violated_rule.data(), denial.violated_rule.size()) &&
                bytes_at(denied, 72 + denial.violated_rule.size(), denial.denial_reason.data(),
                         denial.denial_reason.size()),
            "denial texts misplaced");
    require(le(denied, 72 + texts, 4) == denial.violation_count && denied.back() == (denial.triggered_hard_reset ? 1 : 0),
            "denial count or flag misplaced");

    HardResetSignal signal;
    signal.final_denial = denial;
    signal.charter_hash = input.text();
    signal.reset_timestamp = input.u64();
    const Bytes reset = signal.signing_data();
    require(reset.size() == denied.size() + signal.charter_hash.size() + 8 && signal.signing_size() == reset.size(),
            "hard-reset signing data length off its formula");
    require(bytes_at(reset, 0, denied.data(), denied.size()), "hard-reset data does not start with the denial's");
    require(bytes_at(reset, denied.size(), signal.charter_hash.data(), signal.charter_hash.size()) &&
                le(reset, reset.size() - 8, 8) == signal.reset_timestamp,
            "hard-reset charter hash or time misplaced");
    return 0;
}
