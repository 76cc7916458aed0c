#include <gtest/gtest.h>

#include "base/hex.hpp"
#include "base/os_facilities.hpp"
#include "charter/rules_json.hpp"
#include "charter/sealed_charter.hpp"
#include "crypto/sha256.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

std::string sha256_hex(std::string_view text) { return to_hex(hash_bytes(as_bytes(text))); }

SealedCharter sealed(std::vector<std::string> rules) {
    auto charter = SealedCharter::create(std::move(rules));
    EXPECT_TRUE(charter);
    EXPECT_TRUE(charter->seal());
    return std::move(*charter);
}

TEST(CharterHash, CompactJsonOfTheRules) {
    EXPECT_EQ(render_rules_json({"Do no harm", "Respect privacy"}), R"(["Do no harm","Respect privacy"])");
    EXPECT_EQ(charter_hash_of({"Do no harm", "Respect privacy"}), sha256_hex(R"(["Do no harm","Respect privacy"])"));
    EXPECT_EQ(charter_hash_of({}), sha256_hex("[]"));
    EXPECT_EQ(charter_hash_of({}), "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945");
}

TEST(CharterHash, EscapesOnlyWhatJsonRequires) {
    struct Case {
        std::string rule;
        std::string json;
    };
    const std::vector<Case> cases = {
        {"say \"hi\"", R"(["say \"hi\""])"},
        {"a\\b", R"(["a\\b"])"},
        {"\b\t\n\f\r", R"(["\b\t\n\f\r"])"},
        {std::string("\x00\x01\x1f", 3), R"(["\u0000\u0001\u001f"])"},
        {"\x7f", "[\"\x7f\"]"},
        {"a/b", R"(["a/b"])"},
        {"caf\xc3\xa9 \xe2\x9c\x85", "[\"caf\xc3\xa9 \xe2\x9c\x85\"]"},
        {"", R"([""])"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(render_rules_json({c.rule}), c.json);
        EXPECT_EQ(charter_hash_of({c.rule}), sha256_hex(c.json));
    }
    EXPECT_EQ(render_rules_json({"a", "", "a"}), R"(["a","","a"])");
}

TEST(CharterError, DisplayTexts) {
    EXPECT_EQ(CharterError::not_sealed().message(), "Charter must be sealed before generating proofs");
    EXPECT_EQ(CharterError::already_sealed().message(), "Charter is already sealed and immutable");
    EXPECT_EQ(CharterError::rule_violation("x").message(), "Action violates charter rules: x");
    EXPECT_EQ(CharterError::hsm_configuration("HSM_PIN").message(), "HSM configuration error: HSM_PIN not set");
    EXPECT_EQ(CharterError::crypto(CryptoError(CryptoError::Kind::PublicKeyMismatch)).message(),
              "Cryptographic error: CRITICAL: PublicKey mismatch detected - potential key leakage attack blocked");
}

TEST(SealedCharter, SealsOnceAndKeepsTheFirstHash) {
    auto charter = SealedCharter::create({"Do no harm", "Respect privacy"});
    ASSERT_TRUE(charter);
    EXPECT_FALSE(charter->is_sealed());
    EXPECT_FALSE(charter->capsule_hash());
    EXPECT_EQ(charter->ttl(), 60u);
    ASSERT_TRUE(charter->seal());
    const std::string hash = *charter->capsule_hash();
    EXPECT_EQ(hash, charter_hash_of({"Do no harm", "Respect privacy"}));
    const auto again = charter->seal();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind(), CharterError::Kind::AlreadySealed);
    EXPECT_EQ(*charter->capsule_hash(), hash);
    EXPECT_EQ(charter->rules(), (std::vector<std::string>{"Do no harm", "Respect privacy"}));
}

TEST(SealedCharter, HashDependsOnRulesAndOrderNotOnKey) {
    EXPECT_EQ(*sealed({"a", "b"}).capsule_hash(), *sealed({"a", "b"}).capsule_hash());
    EXPECT_NE(*sealed({"a", "b"}).capsule_hash(), *sealed({"b", "a"}).capsule_hash());
}

TEST(SealedCharter, RefusesToIssueBeforeSealing) {
    auto charter = SealedCharter::create({"Do no harm"});
    ASSERT_TRUE(charter);
    const auto proof = charter->verify_action(Action{ActionKind::Read, "a.txt", {}, {}});
    ASSERT_FALSE(proof);
    EXPECT_EQ(proof.error().message(), "Charter must be sealed before generating proofs");
}

TEST(SealedCharter, IssuesSignedProofsTheCharterKeyVerifies) {
    const Seed seed = random_array<32>();
    SealedCharter charter({"Do no harm"}, std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::from_seed(seed)));
    ASSERT_TRUE(charter.seal());
    const SoftwareKeyStore same_key = SoftwareKeyStore::from_seed(seed);
    const Action action{ActionKind::Delete, "user_data.txt", {}, {}};

    const auto first = charter.verify_action(action);
    const auto second = charter.verify_action(action);
    ASSERT_TRUE(first && second);
    for (const IntegrityProof* proof : {&*first, &*second}) {
        EXPECT_EQ(proof->capsule_hash, *charter.capsule_hash());
        EXPECT_EQ(proof->ttl, 60u);
        EXPECT_EQ(proof->status, VerificationStatus::ok());
        EXPECT_EQ(proof->action_hash, action.hash());
        ASSERT_EQ(proof->signature.size(), 64u);
        EXPECT_TRUE(same_key.verify(proof->signing_data(), proof->signature));
    }
    EXPECT_NE(first->nonce, second->nonce);
    EXPECT_NE(first->signature, second->signature);
}

TEST(SealedCharter, SignsAGivenActionHashAsItIs) {
    const Seed seed = random_array<32>();
    SealedCharter charter({"Do no harm"}, std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::from_seed(seed)));
    const Action action{ActionType::custom("deploy"), "prod", {}, {}};
    Hash32 given{};
    given.fill(0x5a);
    const auto unsealed = charter.verify_action(action, given);
    ASSERT_FALSE(unsealed);
    EXPECT_EQ(unsealed.error().kind(), CharterError::Kind::NotSealed);

    ASSERT_TRUE(charter.seal());
    const auto proof = charter.verify_action(action, given);
    ASSERT_TRUE(proof);
    EXPECT_EQ(proof->action_hash, given);
    EXPECT_EQ(proof->action_type, action.action_type);
    EXPECT_TRUE(SoftwareKeyStore::from_seed(seed).verify(proof->signing_data(), proof->signature));
}

TEST(SealedCharter, SigningFailureIsReportedAndTheCharterStaysUsable) {
    const Seed seed_a = random_array<32>();
    const SoftwareKeyStore b = SoftwareKeyStore::generate();
    PublicKey public_b{};
    const Bytes b_key = b.public_key_bytes();
    std::copy(b_key.begin(), b_key.end(), public_b.begin());
    SecretKey secret_a{};
    {
        const SoftwareKeyStore a = SoftwareKeyStore::from_seed(seed_a);
        std::copy(seed_a.begin(), seed_a.end(), secret_a.begin());
        const Bytes a_key = a.public_key_bytes();
        std::copy(a_key.begin(), a_key.end(), secret_a.begin() + 32);
    }
    SealedCharter charter({}, std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::from_parts(secret_a, public_b, false)));
    ASSERT_TRUE(charter.seal());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto proof = charter.verify_action(Action{ActionKind::Write, "x", Bytes{1}, {}});
        ASSERT_FALSE(proof);
        EXPECT_EQ(proof.error().kind(), CharterError::Kind::Crypto);
        EXPECT_EQ(proof.error().message(),
                  "Cryptographic error: CRITICAL: PublicKey mismatch detected - potential key leakage attack blocked");
        EXPECT_TRUE(charter.is_sealed());
    }
}

}  // namespace
}  // namespace corvel
