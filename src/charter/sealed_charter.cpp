#include "charter/sealed_charter.hpp"

#include "base/hex.hpp"
#include "charter/rules_json.hpp"
#include "crypto/sha256.hpp"

namespace corvel {

std::string charter_hash_of(const std::vector<std::string>& rules) {
    return to_hex(hash_bytes(as_bytes(render_rules_json(rules))));
}

std::expected<SealedCharter, CharterError> SealedCharter::create(std::vector<std::string> rules) {
    auto key_store = create_key_store();
    if (!key_store) return std::unexpected(CharterError::crypto(std::move(key_store.error())));
    return SealedCharter(std::move(rules), std::move(*key_store));
}

SealedCharter::SealedCharter(std::vector<std::string> rules, std::unique_ptr<KeyStore> key_store, UnixClock clock)
    : rules_(std::move(rules)), key_store_(std::move(key_store)), clock_(clock) {}

std::expected<void, CharterError> SealedCharter::seal() {
    if (capsule_hash_) return std::unexpected(CharterError::already_sealed());
    capsule_hash_ = charter_hash_of(rules_);
    return {};
}

std::expected<IntegrityProof, CharterError> SealedCharter::verify_action(const Action& action) const {
    if (!capsule_hash_) return std::unexpected(CharterError::not_sealed());
    return verify_action(action, action.hash());
}

std::expected<IntegrityProof, CharterError> SealedCharter::verify_action(const Action& action,
                                                                         const Hash32& action_hash) const {
    if (!capsule_hash_) return std::unexpected(CharterError::not_sealed());
    IntegrityProof proof =
        IntegrityProof::create(action_hash, action.action_type, *capsule_hash_, kProofTtlSeconds, clock_);
    auto signature = key_store_->sign(proof.signing_data());
    if (!signature) return std::unexpected(CharterError::crypto(std::move(signature.error())));
    proof.signature = std::move(*signature);
    return proof;
}

}  // namespace corvel
