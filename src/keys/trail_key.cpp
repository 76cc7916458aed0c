#include "keys/trail_key.hpp"

#include <sodium.h>

#include <algorithm>

#include "keys/key_file.hpp"
#include "keys/pem.hpp"
#include "base/os_facilities.hpp"

namespace corvel {

namespace {

constexpr std::string_view kPrivateLabel = "PRIVATE KEY";

PublicKey public_key_of(const SecretKey& secret) {
    PublicKey key;
    std::copy(secret.begin() + 32, secret.end(), key.begin());
    return key;
}

std::unique_ptr<SecretKey, TrailKey::SecretDeleter> expand(const Seed& seed);

// Wipes the seed copy on the stack whatever way the scope is left.
struct SeedOnStack {
    Seed seed{};
    SeedOnStack() = default;
    SeedOnStack(const SeedOnStack&) = delete;
    SeedOnStack& operator=(const SeedOnStack&) = delete;
    ~SeedOnStack() { sodium_memzero(seed.data(), seed.size()); }
};

}  // namespace

void TrailKey::SecretDeleter::operator()(SecretKey* secret) const {
    sodium_memzero(secret->data(), secret->size());
    delete secret;
}

namespace {
std::unique_ptr<SecretKey, TrailKey::SecretDeleter> expand(const Seed& seed) {
    std::unique_ptr<SecretKey, TrailKey::SecretDeleter> secret(new SecretKey{});
    PublicKey public_key;
    crypto_sign_seed_keypair(public_key.data(), secret->data(), seed.data());
    return secret;
}
}  // namespace

TrailKey::TrailKey(const Seed& seed) : secret_(expand(seed)), public_key_(public_key_of(*secret_)) {}

TrailKey::TrailKey(TrailKey&&) noexcept = default;
TrailKey& TrailKey::operator=(TrailKey&&) noexcept = default;
TrailKey::~TrailKey() = default;

TrailKey TrailKey::generate() {
    SeedOnStack fresh;
    fill_random(fresh.seed);
    return TrailKey(fresh.seed);
}

TrailKey TrailKey::from_seed(const Seed& seed) { return TrailKey(seed); }

std::expected<TrailKey, TrailKeyError> TrailKey::from_pem(std::string_view text) {
    auto der = pem_decode(text, kPrivateLabel);
    if (!der) {
        if (text.starts_with("-----BEGIN PUBLIC KEY-----")) {
            return std::unexpected(TrailKeyError(TrailKeyError::Kind::Malformed, {},
                                                 "this is a public key, not a private key"));
        }
        return std::unexpected(der.error());
    }
    const ByteView content = der->view();
    if (content.size() < kPkcs8Prefix.size() || !std::equal(kPkcs8Prefix.begin(), kPkcs8Prefix.end(), content.begin())) {
        return std::unexpected(TrailKeyError(TrailKeyError::Kind::Malformed, {},
                                             "the DER is not an Ed25519 PKCS#8 private key (its prefix differs)"));
    }
    const std::size_t expected = kPkcs8Prefix.size() + sizeof(Seed);
    if (content.size() != expected) {
        return std::unexpected(TrailKeyError(TrailKeyError::Kind::Malformed, {},
                                             "the DER is " + std::to_string(content.size()) + " bytes, expected " +
                                                 std::to_string(expected)));
    }
    SeedOnStack seed;
    std::copy(content.begin() + kPkcs8Prefix.size(), content.end(), seed.seed.begin());
    return TrailKey(seed.seed);
}

std::expected<TrailKey, TrailKeyError> TrailKey::load(const std::string& path) {
    auto content = read_key_file(path, KeyFileAccess::OwnerOnly);
    if (!content) return std::unexpected(content.error());
    auto key = from_pem(content->text());
    if (!key) return std::unexpected(key.error().with_path(path));
    return key;
}

SecretBuffer TrailKey::private_pem() const {
    SecretBuffer der(kPkcs8Prefix.size() + sizeof(Seed));
    der.append(kPkcs8Prefix);
    der.append(ByteView(secret_->data(), sizeof(Seed)));
    return pem_encode(kPrivateLabel, der.view());
}

std::expected<void, TrailKeyError> TrailKey::save(const std::string& path) const {
    const SecretBuffer pem = private_pem();
    return write_new_key_file(path, pem.view());
}

std::expected<Signature, CryptoError> TrailKey::sign(ByteView message) const {
    Signature out;
    crypto_sign_detached(out.data(), nullptr, message.data(), message.size(), secret_->data());
    return out;
}

}  // namespace corvel
