#pragma once
// A fixed list of rules, sealed once into a SHA-256 charter hash, that issues a signed
// integrity proof for every action presented to it.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/os_facilities.hpp"
#include "charter/charter_error.hpp"
#include "crypto/key_store.hpp"
#include "proof/action.hpp"
#include "proof/integrity_proof.hpp"

namespace corvel {

class SealedCharter {
public:
    static constexpr std::uint64_t kProofTtlSeconds = 60;
    // The version the charter's diagnostics report.
    static constexpr std::string_view kDiagnosticsVersion = "1.5.0";

    // An unsealed charter with a key of its own from create_key_store.
    static std::expected<SealedCharter, CharterError> create(std::vector<std::string> rules);
    // An unsealed charter signing with the given key store and reading the given clock.
    SealedCharter(std::vector<std::string> rules, std::unique_ptr<KeyStore> key_store,
                  UnixClock clock = system_unix_seconds);

    // Fixes the charter hash; a second call is refused and changes nothing.
    std::expected<void, CharterError> seal();
    // A signed proof with status OK for any action, once sealed. Safe to call concurrently.
    std::expected<IntegrityProof, CharterError> verify_action(const Action& action) const;
    // The same for an action whose hash the caller already holds. The hash is all this reads
    // of a large action, so a caller that must not fail inside a lock hashes before taking it.
    std::expected<IntegrityProof, CharterError> verify_action(const Action& action, const Hash32& action_hash) const;

    const std::vector<std::string>& rules() const { return rules_; }
    bool is_sealed() const { return capsule_hash_.has_value(); }
    // The 64-digit charter hash; absent until sealed.
    const std::optional<std::string>& capsule_hash() const { return capsule_hash_; }
    std::uint64_t ttl() const { return kProofTtlSeconds; }

private:
    std::vector<std::string> rules_;
    std::optional<std::string> capsule_hash_;
    std::unique_ptr<KeyStore> key_store_;
    UnixClock clock_;
};

// SHA-256 of the rule list as compact JSON, as 64 lower-case hexadecimal digits.
std::string charter_hash_of(const std::vector<std::string>& rules);

}  // namespace corvel
