#pragma once
// The two signed records the watchdog hands out: the proof that an action was denied, and the
// signal that the violation limit was reached and the AI runtime must be reset.

#include <cstdint>
#include <string>

#include "base/byte_writer.hpp"
#include "base/bytes.hpp"
#include "base/os_facilities.hpp"
#include "proof/action.hpp"

namespace corvel {

struct DenialProof {
    // The signing data without the two texts: nonce, timestamp, action hash, count and flag.
    static constexpr std::size_t kFixedSigningSize = 77;
    static constexpr std::size_t kSignatureSize = 64;

    Nonce nonce{};
    std::uint64_t timestamp = 0;
    Hash32 action_hash{};
    ActionType action_type;
    std::string violated_rule;
    std::string denial_reason;
    std::uint32_t violation_count = 0;
    bool triggered_hard_reset = false;
    Bytes signature;  // empty until signed

    // An unsigned denial: a fresh random nonce, the current time, the action's hash and kind;
    // triggered_hard_reset when the count has reached the violation limit.
    static DenialProof create(const Action& action, std::string violated_rule, std::string denial_reason,
                              std::uint32_t violation_count, UnixClock clock = system_unix_seconds);
    // The same for an action whose hash is already known.
    static DenialProof create(const Hash32& action_hash, ActionType action_type, std::string violated_rule,
                              std::string denial_reason, std::uint32_t violation_count,
                              UnixClock clock = system_unix_seconds);

    // nonce | timestamp (u64 LE) | action_hash | violated_rule | denial_reason | violation_count
    // (u32 LE) | triggered_hard_reset (0x00 / 0x01). Nothing separates the two texts;
    // action_type and signature are not covered.
    Bytes signing_data() const;
    std::size_t signing_size() const { return kFixedSigningSize + violated_rule.size() + denial_reason.size(); }
    // Writes exactly signing_size() bytes, so that a larger layout can embed them without a copy.
    void write_signing_data(ByteWriter& out) const;

    bool is_signed() const { return signature.size() == kSignatureSize; }

    bool operator==(const DenialProof&) const = default;
};

struct HardResetSignal {
    DenialProof final_denial;
    std::string charter_hash;
    Bytes signature;  // empty until signed
    std::uint64_t reset_timestamp = 0;
    std::uint32_t total_violations = 0;

    // final_denial's signing data | charter_hash | reset_timestamp (u64 LE). The final denial's
    // own signature and total_violations are not covered (the count is, through the denial).
    Bytes signing_data() const;
    std::size_t signing_size() const { return final_denial.signing_size() + charter_hash.size() + 8; }

    bool is_signed() const { return signature.size() == DenialProof::kSignatureSize; }

    bool operator==(const HardResetSignal&) const = default;
};

}  // namespace corvel
