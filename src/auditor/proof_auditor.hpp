#pragma once
// The independent checker of integrity proofs: authentic under its own key, within the proof's
// validity period, and never presented before.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <variant>

#include "base/os_facilities.hpp"
#include "crypto/key_store.hpp"
#include "nonce_store/nonce_store.hpp"
#include "proof/integrity_proof.hpp"

namespace corvel {

class AuditorError {
public:
    enum class Kind : std::uint8_t { InvalidSignature, ProofExpired, NonceReused, NonceStoreError, Crypto };

    struct Expiry {
        std::uint64_t issued = 0;
        std::uint64_t now = 0;
        std::uint64_t ttl = 0;
        bool operator==(const Expiry&) const = default;
    };

    static AuditorError invalid_signature() { return {Kind::InvalidSignature, std::monostate{}}; }
    static AuditorError proof_expired(std::uint64_t issued, std::uint64_t now, std::uint64_t ttl) {
        return {Kind::ProofExpired, Expiry{issued, now, ttl}};
    }
    // `nonce_hex` is the nonce as 64 lower-case hexadecimal digits.
    static AuditorError nonce_reused(std::string nonce_hex) { return {Kind::NonceReused, std::move(nonce_hex)}; }
    static AuditorError nonce_store(corvel::NonceStoreError error) { return {Kind::NonceStoreError, std::move(error)}; }
    // `crypto_message` is the display text of the key store's error.
    static AuditorError crypto(std::string crypto_message) { return {Kind::Crypto, std::move(crypto_message)}; }

    Kind kind() const { return kind_; }
    // The three numbers of ProofExpired.
    const Expiry* expiry() const { return std::get_if<Expiry>(&payload_); }
    // The wrapped error of NonceStoreError.
    const corvel::NonceStoreError* nonce_store_error() const {
        return std::get_if<corvel::NonceStoreError>(&payload_);
    }
    // The text of NonceReused (the nonce's hexadecimal) and of Crypto; empty for the others.
    std::string detail() const;
    std::string message() const;

    bool operator==(const AuditorError&) const = default;

private:
    using Payload = std::variant<std::monostate, Expiry, std::string, corvel::NonceStoreError>;
    AuditorError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    Payload payload_;
};

class ProofAuditor {
public:
    // Allowance for a proof dated ahead of the auditor's clock.
    static constexpr std::uint64_t kFutureToleranceSeconds = 300;

    ProofAuditor(std::unique_ptr<KeyStore> key_store, std::unique_ptr<NonceStore> nonce_store,
                 UnixClock clock = system_unix_seconds);

    // An auditor with a fresh random key of its own and an empty in-memory nonce store.
    static ProofAuditor create(UnixClock clock = system_unix_seconds);

    // Signature, then future date, then expiry, then replay; the first failure ends the check.
    // Only a proof that passes the first three steps has its nonce recorded.
    std::expected<void, AuditorError> verify_proof(const IntegrityProof& proof);

    const NonceStore& nonce_store() const { return *nonce_store_; }

private:
    std::unique_ptr<KeyStore> key_store_;
    std::unique_ptr<NonceStore> nonce_store_;
    UnixClock clock_;
};

}  // namespace corvel
