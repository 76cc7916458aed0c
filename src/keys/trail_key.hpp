#pragma once
// The trail's secret key: an Ed25519 seed that lives in one wiped allocation, signs with plain
// RFC 8032 Ed25519 (libsodium), and is kept in a PKCS#8 PEM file
// (DER = kPkcs8Prefix || seed, label "PRIVATE KEY") created with mode 0600.
// Movable, not copyable; a moved-from key may only be destroyed or assigned to.

#include <expected>
#include <memory>
#include <string>

#include "keys/secret_buffer.hpp"
#include "keys/trail_key_error.hpp"
#include "keys/trail_public_key.hpp"
#include "crypto/crypto_error.hpp"
#include "crypto/key_store.hpp"

namespace corvel {

inline constexpr std::array<std::uint8_t, 16> kPkcs8Prefix = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                                              0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};

class TrailKey {
public:
    // A fresh key from the OS random source; a failing source is a Fault.
    static TrailKey generate();
    static TrailKey from_seed(const Seed& seed);

    // The private key file at `path`. Refuses a file that group or others may use, one larger
    // than a key file can be, and any content but the exact PEM of an Ed25519 PKCS#8 key.
    static std::expected<TrailKey, TrailKeyError> load(const std::string& path);
    // The key's PKCS#8 PEM text, as load reads it.
    static std::expected<TrailKey, TrailKeyError> from_pem(std::string_view text);

    TrailKey(TrailKey&&) noexcept;
    TrailKey& operator=(TrailKey&&) noexcept;
    TrailKey(const TrailKey&) = delete;
    TrailKey& operator=(const TrailKey&) = delete;
    ~TrailKey();

    // Writes a new file at `path` with mode 0600; never replaces an existing file, and leaves
    // nothing behind when it fails.
    std::expected<void, TrailKeyError> save(const std::string& path) const;
    SecretBuffer private_pem() const;

    const TrailPublicKey& public_key() const { return public_key_; }

    // Ed25519 signature of `message` (deterministic, RFC 8032). The trail signs every entry, so
    // it signs at the library's own rate; a signature that a fault spoiled is not checked here
    // but refused by the next verification of the trail.
    std::expected<Signature, CryptoError> sign(ByteView message) const;

public:
    // The seed followed by the public key, as libsodium signs with it; wiped when dropped.
    struct SecretDeleter {
        void operator()(SecretKey* secret) const;
    };

private:
    explicit TrailKey(const Seed& seed);

    std::unique_ptr<SecretKey, SecretDeleter> secret_;
    TrailPublicKey public_key_;
};

}  // namespace corvel
