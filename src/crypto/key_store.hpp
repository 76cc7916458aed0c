#pragma once
// The signing interface of every component, and its one implementation: an Ed25519 key pair
// held in memory whose sign refuses a mismatched public key and a signature that fails its
// own check.

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "base/bytes.hpp"
#include "crypto/crypto_error.hpp"

namespace corvel {

class KeyStore {
public:
    virtual ~KeyStore() = default;

    virtual std::expected<Bytes, CryptoError> sign(ByteView data) const = 0;
    virtual std::expected<void, CryptoError> verify(ByteView data, ByteView signature) const = 0;
    virtual Bytes public_key_bytes() const = 0;
    virtual std::string identifier() const = 0;
};

using Seed = std::array<std::uint8_t, 32>;
using PublicKey = std::array<std::uint8_t, 32>;
using SecretKey = std::array<std::uint8_t, 64>;  // seed followed by the public key
using Signature = std::array<std::uint8_t, 64>;

class SoftwareKeyStore : public KeyStore {
public:
    // A fresh key pair from 32 bytes of the OS random source, bastion mode on.
    static SoftwareKeyStore generate();
    static SoftwareKeyStore from_seed(const Seed& seed, bool bastion_mode = true);
    // A secret key with a separately stored public key. The two copies of the public key are
    // normally equal; a store whose copies differ refuses to sign.
    static SoftwareKeyStore from_parts(const SecretKey& secret_key, const PublicKey& public_key,
                                       bool bastion_mode = true);

    SoftwareKeyStore(SoftwareKeyStore&&) noexcept = default;
    SoftwareKeyStore& operator=(SoftwareKeyStore&&) noexcept = default;
    ~SoftwareKeyStore() override = default;

    std::expected<Bytes, CryptoError> sign(ByteView data) const override;
    std::expected<void, CryptoError> verify(ByteView data, ByteView signature) const override;
    Bytes public_key_bytes() const override;
    std::string identifier() const override;

    // Bastion mode is the hardened signer's voice: with it on, a refused signature (a public
    // key that no longer matches the secret key, a signature that fails its own check) is also
    // reported on the standard error stream, so an operator sees a fault or an attack that the
    // caller might swallow. The refusal itself happens in either mode. Every key store this
    // system makes has it on; off is for tests that provoke the refusals quietly.
    bool bastion_mode() const { return bastion_mode_; }

protected:
    SoftwareKeyStore(const SecretKey& secret_key, const PublicKey& public_key, bool bastion_mode);

    // Ed25519 (RFC 8032, section 5.1.6) with 16 bytes of OS noise mixed into the nonce
    // derivation; the signature verifies exactly like a plain one. Virtual only so that tests
    // can stand in a faulty signer and watch verify-after-sign catch it.
    virtual Signature hedged_signature(ByteView data) const;

private:
    struct Secrets;  // wiped on destruction
    struct SecretsDeleter {
        void operator()(Secrets* secrets) const;
    };

    void report_mismatch() const;
    void report_fault(ByteView data, const Bytes& signature) const;

    std::unique_ptr<Secrets, SecretsDeleter> secrets_;
    PublicKey public_key_{};
    bool bastion_mode_ = true;
};

// The factory every holder calls: a SoftwareKeyStore with a fresh key pair, bastion mode on.
std::expected<std::unique_ptr<KeyStore>, CryptoError> create_key_store();

}  // namespace corvel
