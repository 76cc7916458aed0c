#pragma once
// One entry of the audit trail: the audit-log record (action, proof, decision, chain links and
// signature) plus, for a watchdog verdict, the watchdog's own signed record. The entry hash
// covers every member but current_hash and signature; the signature covers the entry hash.
// docs/audit-trail.md gives both byte layouts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audit_log/audit_entry.hpp"
#include "base/bytes.hpp"
#include "watchdog/denial_proof.hpp"

namespace corvel {

// The watchdog record an entry may carry: the signed denial of a denied action, or the
// hard-reset signal of the tenth violation (whose final denial is the result's denial).
struct WatchdogRecord {
    std::optional<DenialProof> denial_proof;
    std::optional<HardResetSignal> hard_reset_signal;

    bool empty() const { return !denial_proof && !hard_reset_signal; }
    bool operator==(const WatchdogRecord&) const = default;
};

// A gate's record of one tool call: the ids of the policies that decided it and the run of
// consecutive denials it leaves (0 after an allow).
struct GateCall {
    std::vector<std::string> policies;
    std::uint32_t denials = 0;

    bool operator==(const GateCall&) const = default;
};

// What came of a call the gate allowed, linked to the index of that decision's entry. The
// result itself stays out of the trail; its SHA-256 is enough to match it later.
struct GateOutcome {
    std::uint64_t decision_index = 0;
    bool success = false;
    Hash32 result_hash{};

    bool operator==(const GateOutcome&) const = default;
};

using GateRecord = std::variant<GateCall, GateOutcome>;

struct TrailEntry {
    AuditEntry entry;  // index, timestamp, action, proof, decision, prev_hash, current_hash, signature
    WatchdogRecord watchdog;
    std::optional<GateRecord> gate = std::nullopt;  // only in a gate's entries

    bool operator==(const TrailEntry&) const = default;
};

// Domain-separation prefixes, each followed by a NUL byte in the hashed and signed bytes.
inline constexpr std::string_view kEntryHashDomain = "corvel-trail-entry-v1";
inline constexpr std::string_view kEntrySignatureDomain = "corvel-trail-signature-v1";

// The prev_hash of entry 0: 32 zero bytes.
inline constexpr Hash32 kGenesisHash{};

// SHA-256 over the entry's domain-separated encoding (every member but current_hash and
// signature).
Hash32 entry_hash(const TrailEntry& entry);

// The bytes the trail key signs: the signature domain, a NUL byte, then current_hash.
std::array<std::uint8_t, kEntrySignatureDomain.size() + 1 + 32> signature_message(const Hash32& current_hash);

}  // namespace corvel
