#include "auditor/proof_auditor.hpp"

#include <limits>

#include "base/fault.hpp"
#include "nonce_store/memory_nonce_store.hpp"

namespace corvel {

std::string AuditorError::detail() const {
    if (const auto* text = std::get_if<std::string>(&payload_)) return *text;
    return {};
}

std::string AuditorError::message() const {
    switch (kind_) {
        case Kind::InvalidSignature: return "Proof signature verification failed";
        case Kind::ProofExpired: {
            const Expiry& e = std::get<Expiry>(payload_);
            return "Proof has expired (issued: " + std::to_string(e.issued) + ", now: " + std::to_string(e.now) +
                   ", TTL: " + std::to_string(e.ttl) + "s)";
        }
        case Kind::NonceReused:
            return "Replay attack detected: nonce already used (" + std::get<std::string>(payload_) + ")";
        case Kind::NonceStoreError:
            return "Nonce store error: " + std::get<corvel::NonceStoreError>(payload_).message();
        case Kind::Crypto: return "Cryptographic error during audit: " + std::get<std::string>(payload_);
    }
    return {};
}

ProofAuditor::ProofAuditor(std::unique_ptr<KeyStore> key_store, std::unique_ptr<NonceStore> nonce_store,
                           UnixClock clock)
    : key_store_(std::move(key_store)), nonce_store_(std::move(nonce_store)), clock_(clock) {
    if (!key_store_ || !nonce_store_ || !clock_) throw Fault("ProofAuditor needs a key store, a nonce store and a clock");
}

ProofAuditor ProofAuditor::create(UnixClock clock) {
    return ProofAuditor(std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::generate()),
                        std::make_unique<MemoryNonceStore>(clock), clock);
}

std::expected<void, AuditorError> ProofAuditor::verify_proof(const IntegrityProof& proof) {
    if (auto verified = key_store_->verify(proof.signing_data(), proof.signature); !verified) {
        if (verified.error().kind() == CryptoError::Kind::InvalidSignature) {
            return std::unexpected(AuditorError::invalid_signature());
        }
        return std::unexpected(AuditorError::crypto(verified.error().message()));
    }

    const std::uint64_t now = clock_();
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t latest_issue = now > kMax - kFutureToleranceSeconds ? kMax : now + kFutureToleranceSeconds;
    const std::uint64_t age = now > proof.timestamp ? now - proof.timestamp : 0;
    if (proof.timestamp > latest_issue || age > proof.ttl) {
        return std::unexpected(AuditorError::proof_expired(proof.timestamp, now, proof.ttl));
    }

    if (auto recorded = nonce_store_->check_and_insert(proof.nonce, proof.ttl); !recorded) {
        if (recorded.error().kind() == NonceStoreError::Kind::NonceReused) {
            return std::unexpected(AuditorError::nonce_reused(recorded.error().detail()));
        }
        return std::unexpected(AuditorError::nonce_store(std::move(recorded.error())));
    }
    return {};
}

}  // namespace corvel
