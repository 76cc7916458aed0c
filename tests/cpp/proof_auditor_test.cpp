#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <memory>

#include "auditor/proof_auditor.hpp"
#include "base/hex.hpp"
#include "crypto/key_store.hpp"
#include "nonce_store/memory_nonce_store.hpp"
#include "proof/action.hpp"
#include "proof/integrity_proof.hpp"

namespace corvel {
namespace {

std::uint64_t pinned_now = 1'700'000'000;
std::uint64_t pinned_clock() { return pinned_now; }

const Seed kSeed = [] {
    Seed seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return seed;
}();

// A store that fails every call with an I/O error, as a disk-backed one might.
class BrokenNonceStore : public NonceStore {
public:
    std::expected<void, NonceStoreError> check_and_insert(const Nonce&, std::uint64_t) override {
        return std::unexpected(NonceStoreError::io_error(EIO));
    }
    bool contains(const Nonce&) const override { return false; }
    std::expected<void, NonceStoreError> clear() override { return {}; }
    std::size_t count() const override { return 0; }
    std::expected<std::size_t, NonceStoreError> cleanup_expired() override { return 0; }
};

class ProofAuditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        pinned_now = 1'700'000'000;
        auto nonces = std::make_unique<MemoryNonceStore>(pinned_clock);
        nonces_ = nonces.get();
        auditor_ = std::make_unique<ProofAuditor>(std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::from_seed(kSeed)),
                                                  std::move(nonces), pinned_clock);
    }

    // A proof made now and signed with the auditor's own key.
    IntegrityProof signed_proof(std::uint64_t ttl = 60) const { return signed_proof(ttl, signer_); }
    IntegrityProof signed_proof(std::uint64_t ttl, const SoftwareKeyStore& key) const {
        IntegrityProof proof = IntegrityProof::create(Action{ActionKind::Write, "notes.txt", Bytes{1, 2}, std::nullopt},
                                                      std::string(64, 'a'), ttl, pinned_clock);
        proof.signature = key.sign(proof.signing_data()).value();
        return proof;
    }

    IntegrityProof resigned(IntegrityProof proof) const {
        proof.signature = signer_.sign(proof.signing_data()).value();
        return proof;
    }

    SoftwareKeyStore signer_ = SoftwareKeyStore::from_seed(kSeed);
    MemoryNonceStore* nonces_ = nullptr;
    std::unique_ptr<ProofAuditor> auditor_;
};

TEST_F(ProofAuditorTest, FreshProofPassesOnceThenIsAReplay) {
    const IntegrityProof proof = signed_proof();
    ASSERT_TRUE(auditor_->verify_proof(proof));
    EXPECT_TRUE(nonces_->contains(proof.nonce));

    const auto replay = auditor_->verify_proof(proof);
    ASSERT_FALSE(replay);
    EXPECT_EQ(replay.error().kind(), AuditorError::Kind::NonceReused);
    EXPECT_EQ(replay.error().message(),
              "Replay attack detected: nonce already used (" + to_hex(proof.nonce) + ")");
    EXPECT_EQ(nonces_->count(), 1u);
}

TEST_F(ProofAuditorTest, BadSignatureConsumesNoNonce) {
    const IntegrityProof proof = signed_proof();
    IntegrityProof forged = proof;
    forged.signature[10] ^= 0x01;
    const auto refused = auditor_->verify_proof(forged);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), AuditorError::Kind::InvalidSignature);
    EXPECT_EQ(refused.error().message(), "Proof signature verification failed");
    EXPECT_EQ(nonces_->count(), 0u);

    EXPECT_TRUE(auditor_->verify_proof(proof));  // the genuine proof was not used up
}

TEST_F(ProofAuditorTest, SignedFieldsAreCoveredAndUnsignedOnesAreNot) {
    IntegrityProof moved_in_time = signed_proof();
    moved_in_time.timestamp -= 1;
    EXPECT_EQ(auditor_->verify_proof(moved_in_time).error().kind(), AuditorError::Kind::InvalidSignature);

    IntegrityProof other_charter = signed_proof();
    other_charter.capsule_hash[0] = 'b';
    EXPECT_EQ(auditor_->verify_proof(other_charter).error().kind(), AuditorError::Kind::InvalidSignature);

    // Status and action type are outside the signing data: a signed denial is authentic too.
    IntegrityProof denial = signed_proof();
    denial.status = VerificationStatus::failed("Action violates charter rules");
    denial.action_type = ActionType::custom("anything");
    EXPECT_TRUE(auditor_->verify_proof(denial));
}

TEST_F(ProofAuditorTest, ProofFromAnotherKeyIsRefused) {
    const SoftwareKeyStore stranger = SoftwareKeyStore::generate();
    const auto refused = auditor_->verify_proof(signed_proof(60, stranger));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Proof signature verification failed");
    EXPECT_EQ(nonces_->count(), 0u);
}

TEST_F(ProofAuditorTest, SignatureOfWrongLengthIsACryptoError) {
    const IntegrityProof good = signed_proof();
    for (std::size_t length : {0, 63, 65}) {
        IntegrityProof proof = good;
        proof.signature.resize(length, 0);
        const auto refused = auditor_->verify_proof(proof);
        ASSERT_FALSE(refused) << length;
        EXPECT_EQ(refused.error().kind(), AuditorError::Kind::Crypto);
        EXPECT_EQ(refused.error().message().rfind("Cryptographic error during audit: Failed to verify signature: ", 0), 0u)
            << refused.error().message();
    }
    EXPECT_EQ(nonces_->count(), 0u);
}

TEST_F(ProofAuditorTest, FutureDateToleranceIs300Seconds) {
    IntegrityProof proof = signed_proof();
    proof.timestamp = pinned_now + 300;
    EXPECT_TRUE(auditor_->verify_proof(resigned(proof)));

    proof = signed_proof();
    proof.timestamp = pinned_now + 301;
    const auto refused = auditor_->verify_proof(resigned(proof));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), AuditorError::Kind::ProofExpired);
    EXPECT_EQ(refused.error().message(), "Proof has expired (issued: 1700000301, now: 1700000000, TTL: 60s)");
    EXPECT_EQ(nonces_->count(), 1u);  // only the first proof was recorded
}

TEST_F(ProofAuditorTest, AgeEqualToTtlPassesOneMoreSecondExpires) {
    const IntegrityProof at_limit = signed_proof(60);
    const IntegrityProof past_limit = signed_proof(60);
    pinned_now += 60;
    EXPECT_TRUE(auditor_->verify_proof(at_limit));

    pinned_now += 1;
    const auto refused = auditor_->verify_proof(past_limit);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), AuditorError::Kind::ProofExpired);
    ASSERT_NE(refused.error().expiry(), nullptr);
    EXPECT_EQ(*refused.error().expiry(), (AuditorError::Expiry{1'700'000'000, 1'700'000'061, 60}));
    EXPECT_EQ(refused.error().message(), "Proof has expired (issued: 1700000000, now: 1700000061, TTL: 60s)");
    EXPECT_FALSE(nonces_->contains(past_limit.nonce));
}

TEST_F(ProofAuditorTest, ArithmeticSaturatesAtTheEdgesOfTime) {
    // A TTL at the top of the range never expires.
    IntegrityProof ancient = signed_proof(std::numeric_limits<std::uint64_t>::max());
    ancient.timestamp = 0;
    EXPECT_TRUE(auditor_->verify_proof(resigned(ancient)));

    // A clock near the top of the range: now + 300 saturates instead of wrapping round to a
    // small number that would refuse every proof.
    pinned_now = std::numeric_limits<std::uint64_t>::max() - 100;
    IntegrityProof late = signed_proof(60);
    late.timestamp = std::numeric_limits<std::uint64_t>::max();
    EXPECT_TRUE(auditor_->verify_proof(resigned(late)));
}

TEST_F(ProofAuditorTest, FullNonceStoreIsANonceStoreErrorAndTheProofCanComeBack) {
    for (std::uint32_t i = 0; i < MemoryNonceStore::kMaxNonces; ++i) {
        Nonce filler = random_array<32>();
        ASSERT_TRUE(nonces_->check_and_insert(filler, 3600));
    }
    const IntegrityProof proof = signed_proof();
    const auto refused = auditor_->verify_proof(proof);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), AuditorError::Kind::NonceStoreError);
    ASSERT_NE(refused.error().nonce_store_error(), nullptr);
    EXPECT_EQ(refused.error().nonce_store_error()->kind(), NonceStoreError::Kind::StorageError);
    EXPECT_EQ(refused.error().message(),
              "Nonce store error: Storage backend error: MemoryNonceStore capacity limit reached (100000 nonces). "
              "Consider using RocksDbNonceStore for production.");

    ASSERT_TRUE(nonces_->clear());
    EXPECT_TRUE(auditor_->verify_proof(proof));
}

TEST(ProofAuditorStoreErrorTest, OtherStoreErrorsPassThroughUnchanged) {
    ProofAuditor auditor(std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::from_seed(kSeed)),
                         std::make_unique<BrokenNonceStore>(), pinned_clock);
    const SoftwareKeyStore signer = SoftwareKeyStore::from_seed(kSeed);
    IntegrityProof proof = IntegrityProof::create(Action{}, "", 60, pinned_clock);
    proof.signature = signer.sign(proof.signing_data()).value();
    const auto refused = auditor.verify_proof(proof);
    ASSERT_FALSE(refused);
    ASSERT_NE(refused.error().nonce_store_error(), nullptr);
    EXPECT_EQ(*refused.error().nonce_store_error(), NonceStoreError::io_error(EIO));
    EXPECT_EQ(refused.error().message(), "Nonce store error: I/O error: Input/output error");
}

TEST(ProofAuditorCreateTest, HasAKeyOfItsOwn) {
    ProofAuditor auditor = ProofAuditor::create();
    const SoftwareKeyStore other = SoftwareKeyStore::generate();
    IntegrityProof proof = IntegrityProof::create(Action{ActionKind::Read, "x", std::nullopt, std::nullopt},
                                                  std::string(64, '0'), 60);
    proof.signature = other.sign(proof.signing_data()).value();
    EXPECT_EQ(auditor.verify_proof(proof).error().kind(), AuditorError::Kind::InvalidSignature);
    EXPECT_EQ(auditor.nonce_store().count(), 0u);
}

}  // namespace
}  // namespace corvel
