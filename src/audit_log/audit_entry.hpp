#pragma once
// One record of the audit log: an action, the proof issued for it and the decision taken,
// linked to its predecessor by hash.

#include <cstdint>
#include <string>

#include "base/bytes.hpp"
#include "proof/action.hpp"
#include "proof/integrity_proof.hpp"

namespace corvel {

class Decision {
public:
    enum class Kind : std::uint8_t { Approved, Denied };

    Decision() = default;
    static Decision approved() { return {}; }
    static Decision denied(std::string reason) { return Decision(Kind::Denied, std::move(reason)); }

    Kind kind() const { return kind_; }
    // The reason of Denied; empty for Approved.
    const std::string& reason() const { return reason_; }

    bool operator==(const Decision&) const = default;

private:
    Decision(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}
    Kind kind_ = Kind::Approved;
    std::string reason_;
};

struct AuditEntry {
    std::uint64_t index = 0;
    std::uint64_t timestamp = 0;
    Action action;
    IntegrityProof proof;
    Decision decision;
    Hash32 prev_hash{};
    Hash32 current_hash{};
    Bytes signature;

    bool operator==(const AuditEntry&) const = default;
};

}  // namespace corvel
