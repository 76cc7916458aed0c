#include <gtest/gtest.h>
#include <simdjson.h>
#include <sodium.h>

#include <regex>

#include "base/hex.hpp"
#include "base/os_facilities.hpp"
#include "crypto/key_store.hpp"
#include "crypto/sha256.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

using test::from_hex;
using Kind = CryptoError::Kind;

std::string text(simdjson::dom::element element) { return std::string(std::string_view(element)); }

template <std::size_t N>
std::array<std::uint8_t, N> array_from_hex(const std::string& hex) {
    const Bytes bytes = from_hex(hex);
    std::array<std::uint8_t, N> out{};
    if (bytes.size() != N) throw std::invalid_argument("wrong length");
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

// A key store that only verifies: the public key is given, the secret half is not known.
SoftwareKeyStore verifier_for(const Bytes& public_key) {
    PublicKey key{};
    std::copy(public_key.begin(), public_key.end(), key.begin());
    return SoftwareKeyStore::from_parts(SecretKey{}, key);
}

SecretKey secret_key_of(const Seed& seed) {
    PublicKey unused;
    SecretKey secret;
    crypto_sign_seed_keypair(unused.data(), secret.data(), seed.data());
    return secret;
}

TEST(CryptoError, DisplayTexts) {
    EXPECT_EQ(CryptoError(Kind::KeyGenerationFailed, "x").message(), "Failed to generate keypair: x");
    EXPECT_EQ(CryptoError(Kind::SigningFailed, "x").message(), "Failed to sign data: x");
    EXPECT_EQ(CryptoError(Kind::VerificationFailed, "x").message(), "Failed to verify signature: x");
    EXPECT_EQ(CryptoError(Kind::InvalidSignature).message(), "Invalid signature");
    EXPECT_EQ(CryptoError(Kind::InvalidKeyFormat, "x").message(), "Invalid key format: x");
    EXPECT_EQ(CryptoError(Kind::PublicKeyMismatch).message(),
              "CRITICAL: PublicKey mismatch detected - potential key leakage attack blocked");
    EXPECT_EQ(CryptoError(Kind::FaultAttackDetected).message(),
              "CRITICAL SECURITY FAULT: Verify-after-sign failed - potential fault attack detected");
    EXPECT_EQ(CryptoError(Kind::HsmError, "x").message(), "HSM operation failed: x");
    EXPECT_EQ(CryptoError(Kind::HsmKeyNotFound, "x").message(), "Key not found in HSM: x");
    EXPECT_EQ(CryptoError(Kind::TeeError, "x").message(), "TEE operation failed: x");
    EXPECT_EQ(CryptoError(Kind::TeeKeyNotFound, "x").message(), "TEE key not found: x");
}

TEST(SoftwareKeyStore, SignsAndVerifiesWithFreshSignatures) {
    const SoftwareKeyStore store = SoftwareKeyStore::generate();
    const Bytes data = {1, 2, 3};
    auto first = store.sign(data);
    auto second = store.sign(data);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->size(), 64u);
    EXPECT_NE(*first, *second);  // hedged: the noise makes every signature new
    EXPECT_TRUE(store.verify(data, *first));
    EXPECT_TRUE(store.verify(data, *second));
    // The hedged signatures are ordinary Ed25519 signatures.
    const Bytes public_key = store.public_key_bytes();
    EXPECT_EQ(crypto_sign_verify_detached(first->data(), data.data(), data.size(), public_key.data()), 0);

    auto empty = store.sign({});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(store.verify({}, *empty));
}

TEST(SoftwareKeyStore, VerifyRefusesTamperingAndBadLengths) {
    const SoftwareKeyStore store = SoftwareKeyStore::generate();
    Bytes data = {'h', 'e', 'l', 'l', 'o'};
    const Bytes signature = *store.sign(data);

    Bytes tampered = data;
    tampered[0] ^= 1;
    EXPECT_EQ(store.verify(tampered, signature).error(), CryptoError(Kind::InvalidSignature));
    Bytes bad_signature = signature;
    bad_signature[10] ^= 1;
    EXPECT_EQ(store.verify(data, bad_signature).error().message(), "Invalid signature");
    EXPECT_EQ(store.verify(data, Bytes(64, 0)).error().kind(), Kind::InvalidSignature);

    for (std::size_t length : {0u, 63u, 65u}) {
        Bytes wrong(signature.begin(), signature.begin() + std::min<std::size_t>(length, 64));
        wrong.resize(length, 0);
        const auto result = store.verify(data, wrong);
        ASSERT_FALSE(result) << length;
        EXPECT_EQ(result.error().message(), "Failed to verify signature: Invalid signature");
    }
    // Another key's signature is refused.
    EXPECT_EQ(SoftwareKeyStore::generate().verify(data, signature).error().kind(), Kind::InvalidSignature);
}

TEST(SoftwareKeyStore, PublicKeyAndIdentifier) {
    const SoftwareKeyStore store = SoftwareKeyStore::generate();
    const Bytes public_key = store.public_key_bytes();
    ASSERT_EQ(public_key.size(), 32u);
    EXPECT_EQ(store.public_key_bytes(), public_key);
    EXPECT_EQ(store.identifier(),
              "SoftwareKeyStore(Ed25519-Compact:" + to_hex(ByteView(public_key).first(8)) + ":Bastion:ENABLED)");
    const SoftwareKeyStore quiet = SoftwareKeyStore::from_seed(Seed{}, false);
    EXPECT_TRUE(quiet.identifier().ends_with(":Bastion:DISABLED)"));
    EXPECT_NE(SoftwareKeyStore::generate().public_key_bytes(), public_key);
}

TEST(SoftwareKeyStore, MismatchedPublicKeyNeverSigns) {
    const Seed seed_a = random_array<32>();
    const Seed seed_b = random_array<32>();
    const SoftwareKeyStore honest_b = SoftwareKeyStore::from_seed(seed_b);
    PublicKey public_b{};
    const Bytes b = honest_b.public_key_bytes();
    std::copy(b.begin(), b.end(), public_b.begin());
    const SoftwareKeyStore mismatched = SoftwareKeyStore::from_parts(secret_key_of(seed_a), public_b);

    const std::regex alert(
        "\\[CORVEL_CHARTER_SECURITY_ALERT\\] PublicKey mismatch detected!\n"
        "This indicates a critical security fault or active attack.\n"
        "Timestamp: SystemTime \\{ tv_sec: [0-9]+, tv_nsec: [0-9]+ \\}\n");
    for (int call = 0; call < 2; ++call) {
        testing::internal::CaptureStderr();
        const auto result = mismatched.sign(Bytes{1});
        const std::string written = testing::internal::GetCapturedStderr();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), Kind::PublicKeyMismatch);
        EXPECT_TRUE(std::regex_match(written, alert)) << written;  // exactly one alert per call
    }
    // verify and public_key_bytes keep using the stored public key.
    EXPECT_EQ(mismatched.public_key_bytes(), b);
    const Bytes signature = *honest_b.sign(Bytes{9});
    EXPECT_TRUE(mismatched.verify(Bytes{9}, signature));

    const SoftwareKeyStore quiet = SoftwareKeyStore::from_parts(secret_key_of(seed_a), public_b, false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(quiet.sign(Bytes{1}).error().kind(), Kind::PublicKeyMismatch);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Stands in a signer whose output is corrupted, as a glitch or a bit flip would corrupt it.
class GlitchingKeyStore : public SoftwareKeyStore {
public:
    explicit GlitchingKeyStore(const Seed& seed, bool bastion = true)
        : SoftwareKeyStore(SoftwareKeyStore::from_seed(seed, bastion)) {}
    mutable int glitches_left = 1;

protected:
    Signature hedged_signature(ByteView data) const override {
        Signature signature = SoftwareKeyStore::hedged_signature(data);
        if (glitches_left > 0) {
            --glitches_left;
            signature[40] ^= 0x01;
        }
        return signature;
    }
};

TEST(SoftwareKeyStore, SignatureThatFailsItsOwnCheckIsNeverReturned) {
    const GlitchingKeyStore store(random_array<32>());
    const Bytes data = {'d', 'a', 't', 'a'};
    const Bytes public_key = store.public_key_bytes();

    testing::internal::CaptureStderr();
    const auto result = store.sign(data);
    const std::string written = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), Kind::FaultAttackDetected);

    const std::string hash_prefix = to_hex(ByteView(hash_bytes(data)).first(8));
    const std::string key_prefix = to_hex(ByteView(public_key).first(8));
    const std::regex report(
        "\\[CORVEL_CHARTER_CRITICAL_FAULT\\] Verify-after-sign FAILED!\n"
        "Data hash prefix: " + hash_prefix + "\\.\\.\\. \\(first 8 bytes only\\)\n"
        "Signature prefix: [0-9a-f]{16}\\.\\.\\. \\(first 8 bytes only\\)\n"
        "PublicKey prefix: " + key_prefix + "\\.\\.\\. \\(first 8 bytes only\\)\n"
        "Timestamp: SystemTime \\{ tv_sec: [0-9]+, tv_nsec: [0-9]+ \\}\n"
        "This may indicate:\n"
        "- RAM bit flip \\(cosmic ray, hardware fault\\)\n"
        "- Voltage glitching attack\n"
        "- Fault injection attack\n"
        "REFUSING TO RETURN POTENTIALLY INVALID SIGNATURE\\.\n");
    EXPECT_TRUE(std::regex_match(written, report)) << written;

    // The store stays usable: the next call signs afresh.
    const auto retry = store.sign(data);
    ASSERT_TRUE(retry);
    EXPECT_TRUE(store.verify(data, *retry));
}

TEST(SoftwareKeyStore, FaultReportOnlyInBastionMode) {
    const GlitchingKeyStore store(random_array<32>(), false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store.sign(Bytes{1}).error().kind(), Kind::FaultAttackDetected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CreateKeyStore, GivesABastionSoftwareKeyStore) {
    auto store = create_key_store();
    ASSERT_TRUE(store);
    EXPECT_TRUE((*store)->identifier().ends_with("Bastion:ENABLED)"));
    const auto signature = (*store)->sign(Bytes{4, 2});
    ASSERT_TRUE(signature);
    EXPECT_TRUE((*store)->verify(Bytes{4, 2}, *signature));
}

TEST(Ed25519Vectors, Rfc8032) {
    simdjson::dom::parser parser;
    const simdjson::dom::element root = parser.load(test::testdata("rfc8032_ed25519.json"));
    int count = 0;
    for (simdjson::dom::element vector : root["vectors"].get_array()) {
        const std::string name = text(vector["name"]);
        const Seed seed = array_from_hex<32>(text(vector["secret_key"]));
        const Bytes public_key = from_hex(text(vector["public_key"]));
        const Bytes message = from_hex(text(vector["message"]));
        const Bytes signature = from_hex(text(vector["signature"]));

        const SoftwareKeyStore store = SoftwareKeyStore::from_seed(seed);
        EXPECT_EQ(store.public_key_bytes(), public_key) << name;
        EXPECT_TRUE(store.verify(message, signature)) << name;
        // Our signatures are hedged, so they differ from the deterministic vector but verify.
        const auto ours = store.sign(message);
        ASSERT_TRUE(ours) << name;
        EXPECT_NE(*ours, signature) << name;
        EXPECT_EQ(crypto_sign_verify_detached(ours->data(), message.data(), message.size(), public_key.data()), 0)
            << name;
        ++count;
    }
    EXPECT_EQ(count, 5);
}

TEST(Ed25519Vectors, Wycheproof) {
    simdjson::dom::parser parser;
    const simdjson::dom::element root = parser.load(test::testdata("wycheproof/ed25519_test.json"));
    int valid = 0, invalid = 0;
    for (simdjson::dom::element group : root["testGroups"].get_array()) {
        const SoftwareKeyStore store =
            verifier_for(from_hex(text(group["publicKey"]["pk"])));
        for (simdjson::dom::element test_case : group["tests"].get_array()) {
            const int64_t id = test_case["tcId"];
            const std::string result = text(test_case["result"]);
            const Bytes message = from_hex(text(test_case["msg"]));
            const Bytes signature = from_hex(text(test_case["sig"]));
            const auto verdict = store.verify(message, signature);
            if (result == "valid") {
                EXPECT_TRUE(verdict) << "tcId " << id;
                ++valid;
            } else if (result == "invalid") {
                EXPECT_FALSE(verdict) << "tcId " << id;
                if (!verdict && signature.size() != 64) {
                    EXPECT_EQ(verdict.error().kind(), Kind::VerificationFailed) << "tcId " << id;
                }
                ++invalid;
            } else {
                ADD_FAILURE() << "tcId " << id << " has result " << result << ", which this test does not map";
            }
        }
    }
    EXPECT_EQ(valid, 88);
    EXPECT_EQ(invalid, 63);
}

}  // namespace
}  // namespace corvel
