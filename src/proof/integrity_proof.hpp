#pragma once
// The signed receipt a sealed charter issues for one action.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "base/os_facilities.hpp"
#include "base/utc_time.hpp"
#include "proof/action.hpp"

namespace corvel {

enum class StatusKind : std::uint8_t { OK = 0, Tampered = 1, Failed = 2 };

class VerificationStatus {
public:
    VerificationStatus() = default;
    static VerificationStatus ok() { return {}; }
    static VerificationStatus tampered() { return VerificationStatus(StatusKind::Tampered, {}); }
    static VerificationStatus failed(std::string reason) {
        return VerificationStatus(StatusKind::Failed, std::move(reason));
    }

    StatusKind kind() const { return kind_; }
    // The reason carried by Failed; empty for the others.
    const std::string& reason() const { return reason_; }
    // Why the proof is a denial: the fixed text of Tampered, the reason of Failed; absent for OK.
    std::optional<std::string_view> denial_reason() const;

    bool operator==(const VerificationStatus&) const = default;

private:
    VerificationStatus(StatusKind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}
    StatusKind kind_ = StatusKind::OK;
    std::string reason_;
};

struct IntegrityProof {
    // Offset of capsule_hash in the signing data; everything before it has a fixed size.
    static constexpr std::size_t kFixedSigningSize = 80;

    Nonce nonce{};
    std::uint64_t timestamp = 0;
    std::uint64_t ttl = 0;
    Hash32 action_hash{};
    ActionType action_type;
    std::string capsule_hash;
    VerificationStatus status;
    Bytes signature;

    // A new unsigned proof with status OK: a fresh random nonce, the current time and the
    // action's hash and kind.
    static IntegrityProof create(const Action& action, std::string capsule_hash, std::uint64_t ttl,
                                 UnixClock clock = system_unix_seconds);
    // The same for an action whose hash is already known.
    static IntegrityProof create(const Hash32& action_hash, ActionType action_type, std::string capsule_hash,
                                 std::uint64_t ttl, UnixClock clock = system_unix_seconds);

    // nonce | timestamp (u64 LE) | ttl (u64 LE) | action_hash | capsule_hash bytes.
    // status, action_type and signature are not covered.
    Bytes signing_data() const;

    // A proof is current while now <= timestamp + ttl. The sum saturates, so a TTL near the
    // top of the range means "never expires" rather than wrapping round to "long expired".
    bool is_expired_at(std::uint64_t now) const {
        const std::uint64_t end = timestamp + ttl;
        return end >= timestamp && now > end;
    }

    // The timestamp as RFC 3339 UTC; past the year 9999 it is a fault.
    std::string timestamp_rfc3339() const { return rfc3339_utc(static_cast<std::int64_t>(timestamp)); }
    // The first four nonce bytes in hexadecimal, as representations show them.
    std::string nonce_prefix() const;
    // One line for people: "✅ APPROVED | Timestamp: <RFC 3339> | Nonce: <prefix>..." or
    // "❌ DENIED: <reason> | Timestamp: <RFC 3339>".
    std::string summary() const;

    bool operator==(const IntegrityProof&) const = default;
};

}  // namespace corvel
