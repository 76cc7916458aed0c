#include "proof/integrity_proof.hpp"

#include "base/byte_writer.hpp"
#include "base/hex.hpp"

namespace corvel {

IntegrityProof IntegrityProof::create(const Action& action, std::string capsule_hash, std::uint64_t ttl,
                                      UnixClock clock) {
    return create(action.hash(), action.action_type, std::move(capsule_hash), ttl, clock);
}

IntegrityProof IntegrityProof::create(const Hash32& action_hash, ActionType action_type, std::string capsule_hash,
                                      std::uint64_t ttl, UnixClock clock) {
    IntegrityProof proof;
    fill_random(proof.nonce);
    proof.timestamp = clock();
    proof.action_hash = action_hash;
    proof.action_type = std::move(action_type);
    proof.capsule_hash = std::move(capsule_hash);
    proof.ttl = ttl;
    return proof;
}

std::optional<std::string_view> VerificationStatus::denial_reason() const {
    switch (kind_) {
        case StatusKind::OK: return std::nullopt;
        case StatusKind::Tampered: return "Proof was tampered with";
        case StatusKind::Failed: return reason_;
    }
    return std::nullopt;
}

std::string IntegrityProof::nonce_prefix() const { return to_hex(ByteView(nonce).first(4)); }

std::string IntegrityProof::summary() const {
    const std::string when = timestamp_rfc3339();
    const std::optional<std::string_view> reason = status.denial_reason();
    if (!reason) return "\u2705 APPROVED | Timestamp: " + when + " | Nonce: " + nonce_prefix() + "...";
    std::string text = "\u274c DENIED: ";
    text.append(*reason).append(" | Timestamp: ").append(when);
    return text;
}

Bytes IntegrityProof::signing_data() const {
    Bytes data(kFixedSigningSize + capsule_hash.size());
    ByteWriter out(data);
    out.raw(nonce);
    out.u64(timestamp);
    out.u64(ttl);
    out.raw(action_hash);
    out.raw(capsule_hash);
    out.finish();
    return data;
}

}  // namespace corvel
