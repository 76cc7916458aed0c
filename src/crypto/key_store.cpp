#include "crypto/key_store.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdio>

#include "base/hex.hpp"
#include "base/os_facilities.hpp"
#include "crypto/sha256.hpp"

namespace corvel {

// The secret key as stored, plus what signing derives from its seed once: the clamped scalar
// reduced mod L and the nonce prefix.
struct SoftwareKeyStore::Secrets {
    SecretKey secret_key{};
    std::array<std::uint8_t, 32> scalar{};
    std::array<std::uint8_t, 32> prefix{};
};

void SoftwareKeyStore::SecretsDeleter::operator()(Secrets* secrets) const {
    sodium_memzero(secrets, sizeof(Secrets));
    delete secrets;
}

SoftwareKeyStore::SoftwareKeyStore(const SecretKey& secret_key, const PublicKey& public_key, bool bastion_mode)
    : secrets_(new Secrets), public_key_(public_key), bastion_mode_(bastion_mode) {
    secrets_->secret_key = secret_key;
    std::array<std::uint8_t, 64> expanded;
    crypto_hash_sha512(expanded.data(), secret_key.data(), 32);
    expanded[0] &= 248;
    expanded[31] &= 127;
    expanded[31] |= 64;
    std::array<std::uint8_t, 64> wide{};
    std::copy_n(expanded.begin(), 32, wide.begin());
    crypto_core_ed25519_scalar_reduce(secrets_->scalar.data(), wide.data());
    std::copy_n(expanded.begin() + 32, 32, secrets_->prefix.begin());
    sodium_memzero(expanded.data(), expanded.size());
    sodium_memzero(wide.data(), wide.size());
}

SoftwareKeyStore SoftwareKeyStore::from_seed(const Seed& seed, bool bastion_mode) {
    PublicKey public_key;
    SecretKey secret_key;
    crypto_sign_seed_keypair(public_key.data(), secret_key.data(), seed.data());
    SoftwareKeyStore store(secret_key, public_key, bastion_mode);
    sodium_memzero(secret_key.data(), secret_key.size());
    return store;
}

SoftwareKeyStore SoftwareKeyStore::from_parts(const SecretKey& secret_key, const PublicKey& public_key,
                                              bool bastion_mode) {
    return SoftwareKeyStore(secret_key, public_key, bastion_mode);
}

SoftwareKeyStore SoftwareKeyStore::generate() {
    Seed seed = random_array<32>();
    SoftwareKeyStore store = from_seed(seed, true);
    sodium_memzero(seed.data(), seed.size());
    return store;
}

Signature SoftwareKeyStore::hedged_signature(ByteView data) const {
    std::array<std::uint8_t, 16> noise;
    std::array<std::uint8_t, 64> digest;
    std::array<std::uint8_t, 32> r;
    Signature signature;
    crypto_hash_sha512_state state;
    // RFC 8032, 5.1.6. Step 1 (done once, in the constructor): h = SHA-512(seed); the scalar a
    // is the clamped first half (reduced mod L here), the prefix the second half.
    // Step 2, hedged: r = SHA-512(noise || prefix || data) mod L instead of SHA-512(prefix ||
    // data). The noise makes r fresh on every call, which defeats fault attacks that rely on a
    // repeated r; the prefix keeps r secret even if the noise is weak. A zero r (probability
    // 2^-252) is drawn again, because the point multiplication below refuses it.
    // Step 3: R = r * B, the first 32 bytes of the signature.
    do {
        fill_random(noise);
        crypto_hash_sha512_init(&state);
        crypto_hash_sha512_update(&state, noise.data(), noise.size());
        crypto_hash_sha512_update(&state, secrets_->prefix.data(), secrets_->prefix.size());
        crypto_hash_sha512_update(&state, data.data(), data.size());
        crypto_hash_sha512_final(&state, digest.data());
        crypto_core_ed25519_scalar_reduce(r.data(), digest.data());
    } while (crypto_scalarmult_ed25519_base_noclamp(signature.data(), r.data()) != 0);

    // Step 4: k = SHA-512(R || A || data) mod L, A the public key.
    // Step 5: S = (r + k * a) mod L, the last 32 bytes of the signature.
    std::array<std::uint8_t, 32> k;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, signature.data(), 32);
    crypto_hash_sha512_update(&state, public_key_.data(), public_key_.size());
    crypto_hash_sha512_update(&state, data.data(), data.size());
    crypto_hash_sha512_final(&state, digest.data());
    crypto_core_ed25519_scalar_reduce(k.data(), digest.data());
    std::array<std::uint8_t, 32> ka;
    crypto_core_ed25519_scalar_mul(ka.data(), k.data(), secrets_->scalar.data());
    crypto_core_ed25519_scalar_add(signature.data() + 32, r.data(), ka.data());

    sodium_memzero(noise.data(), noise.size());
    sodium_memzero(digest.data(), digest.size());
    sodium_memzero(r.data(), r.size());
    sodium_memzero(ka.data(), ka.size());
    sodium_memzero(&state, sizeof state);
    return signature;
}

std::expected<Bytes, CryptoError> SoftwareKeyStore::sign(ByteView data) const {
    // sodium_memcmp runs in constant time over all 32 bytes.
    if (sodium_memcmp(secrets_->secret_key.data() + 32, public_key_.data(), public_key_.size()) != 0) {
        if (bastion_mode_) report_mismatch();
        return std::unexpected(CryptoError(CryptoError::Kind::PublicKeyMismatch));
    }
    const Signature signature = hedged_signature(data);
    Bytes out(signature.begin(), signature.end());
    if (crypto_sign_verify_detached(out.data(), data.data(), data.size(), public_key_.data()) != 0) {
        if (bastion_mode_) report_fault(data, out);
        return std::unexpected(CryptoError(CryptoError::Kind::FaultAttackDetected));
    }
    return out;
}

std::expected<void, CryptoError> SoftwareKeyStore::verify(ByteView data, ByteView signature) const {
    if (signature.size() != crypto_sign_BYTES) {
        return std::unexpected(CryptoError(CryptoError::Kind::VerificationFailed, "Invalid signature"));
    }
    if (crypto_sign_verify_detached(signature.data(), data.data(), data.size(), public_key_.data()) != 0) {
        return std::unexpected(CryptoError(CryptoError::Kind::InvalidSignature));
    }
    return {};
}

Bytes SoftwareKeyStore::public_key_bytes() const {
    return Bytes(public_key_.begin(), public_key_.end());
}

std::string SoftwareKeyStore::identifier() const {
    std::string id = "SoftwareKeyStore(Ed25519-Compact:";
    append_hex(id, ByteView(public_key_).first(8));
    id += bastion_mode_ ? ":Bastion:ENABLED)" : ":Bastion:DISABLED)";
    return id;
}

namespace {
// Each report goes out in one write so that concurrent reports do not interleave.
void write_report(const std::string& report) {
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}
}  // namespace

void SoftwareKeyStore::report_mismatch() const {
    write_report("[CORVEL_CHARTER_SECURITY_ALERT] PublicKey mismatch detected!\n"
                 "This indicates a critical security fault or active attack.\n"
                 "Timestamp: " + system_time_debug() + "\n");
}

void SoftwareKeyStore::report_fault(ByteView data, const Bytes& signature) const {
    const Hash32 digest = hash_bytes(data);
    write_report("[CORVEL_CHARTER_CRITICAL_FAULT] Verify-after-sign FAILED!\n"
                 "Data hash prefix: " + to_hex(ByteView(digest).first(8)) + "... (first 8 bytes only)\n"
                 "Signature prefix: " + to_hex(ByteView(signature).first(8)) + "... (first 8 bytes only)\n"
                 "PublicKey prefix: " + to_hex(ByteView(public_key_).first(8)) + "... (first 8 bytes only)\n"
                 "Timestamp: " + system_time_debug() + "\n"
                 "This may indicate:\n"
                 "- RAM bit flip (cosmic ray, hardware fault)\n"
                 "- Voltage glitching attack\n"
                 "- Fault injection attack\n"
                 "REFUSING TO RETURN POTENTIALLY INVALID SIGNATURE.\n");
}

std::expected<std::unique_ptr<KeyStore>, CryptoError> create_key_store() {
    return std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::generate());
}

}  // namespace corvel
