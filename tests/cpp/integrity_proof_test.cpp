#include <gtest/gtest.h>

#include "base/fault.hpp"
#include "proof/integrity_proof.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

std::uint64_t pinned_now = 0;
std::uint64_t pinned_clock() { return pinned_now; }

const Action kAction{ActionKind::Delete, "data.txt", std::nullopt, std::nullopt};
const std::string kCharterHash(64, 'a');

TEST(IntegrityProof, FreshProofIsUnsignedOkAndBoundToTheAction) {
    pinned_now = 1'700'000'000;
    const IntegrityProof proof = IntegrityProof::create(kAction, kCharterHash, 60, pinned_clock);
    EXPECT_TRUE(proof.signature.empty());
    EXPECT_EQ(proof.status, VerificationStatus::ok());
    EXPECT_EQ(proof.action_hash, kAction.hash());
    EXPECT_EQ(proof.action_type, kAction.action_type);
    EXPECT_EQ(proof.timestamp, 1'700'000'000u);
    EXPECT_EQ(proof.ttl, 60u);
    EXPECT_EQ(proof.capsule_hash, kCharterHash);
}

TEST(IntegrityProof, TwoProofsOfTheSameActionDifferInNonce) {
    pinned_now = 5;
    const IntegrityProof first = IntegrityProof::create(kAction, kCharterHash, 60, pinned_clock);
    const IntegrityProof second = IntegrityProof::create(kAction, kCharterHash, 60, pinned_clock);
    EXPECT_NE(first.nonce, second.nonce);
    EXPECT_NE(first.signing_data(), second.signing_data());
}

TEST(IntegrityProof, SigningDataLayout) {
    IntegrityProof proof;
    for (std::size_t i = 0; i < 32; ++i) {
        proof.nonce[i] = static_cast<std::uint8_t>(i);
        proof.action_hash[i] = static_cast<std::uint8_t>(0xa0 + i % 16);
    }
    proof.timestamp = 0x0102030405060708;
    proof.ttl = 60;
    proof.capsule_hash = kCharterHash;
    const Bytes data = proof.signing_data();
    ASSERT_EQ(data.size(), 144u);
    EXPECT_TRUE(std::equal(proof.nonce.begin(), proof.nonce.end(), data.begin()));
    EXPECT_EQ(Bytes(data.begin() + 32, data.begin() + 40), test::from_hex("0807060504030201"));
    EXPECT_EQ(Bytes(data.begin() + 40, data.begin() + 48), test::from_hex("3c00000000000000"));
    EXPECT_TRUE(std::equal(proof.action_hash.begin(), proof.action_hash.end(), data.begin() + 48));
    EXPECT_EQ(std::string(data.begin() + 80, data.end()), kCharterHash);

    proof.capsule_hash.clear();
    EXPECT_EQ(proof.signing_data().size(), 80u);
}

TEST(IntegrityProof, SigningDataCoversExactlyTheSignedFields) {
    IntegrityProof base = IntegrityProof::create(kAction, kCharterHash, 60, pinned_clock);
    const Bytes original = base.signing_data();

    IntegrityProof uncovered = base;
    uncovered.status = VerificationStatus::failed("no");
    uncovered.action_type = ActionType::custom("other");
    uncovered.signature = Bytes(64, 7);
    EXPECT_EQ(uncovered.signing_data(), original);

    std::vector<IntegrityProof> covered(5, base);
    covered[0].nonce[31] ^= 1;
    covered[1].timestamp += 1;
    covered[2].ttl += 1;
    covered[3].action_hash[0] ^= 1;
    covered[4].capsule_hash[63] = 'b';
    for (const auto& changed : covered) EXPECT_NE(changed.signing_data(), original);
}

TEST(IntegrityProof, ExpiryIsInclusiveOfTheLastSecond) {
    IntegrityProof proof;
    proof.timestamp = 1000;
    proof.ttl = 60;
    EXPECT_FALSE(proof.is_expired_at(1000));
    EXPECT_FALSE(proof.is_expired_at(1060));
    EXPECT_TRUE(proof.is_expired_at(1061));
    // A lifetime that runs past the end of the clock never ends rather than wrapping round.
    proof.ttl = UINT64_MAX;
    EXPECT_FALSE(proof.is_expired_at(UINT64_MAX));
}

// The one-line summary and the denial reason for each status; only OK proofs reach Python
// today, so these renderings are checked here.
TEST(IntegrityProof, SummaryAndDenialReasonOfEveryStatus) {
    IntegrityProof proof;
    proof.timestamp = 1'700'000'000;
    proof.nonce = {0xde, 0xad, 0xbe, 0xef, 0x01};
    EXPECT_EQ(proof.nonce_prefix(), "deadbeef");
    EXPECT_EQ(proof.timestamp_rfc3339(), "2023-11-14T22:13:20+00:00");
    EXPECT_EQ(proof.status.denial_reason(), std::nullopt);
    EXPECT_EQ(proof.summary(), "\u2705 APPROVED | Timestamp: 2023-11-14T22:13:20+00:00 | Nonce: deadbeef...");

    proof.status = VerificationStatus::tampered();
    EXPECT_EQ(proof.status.denial_reason(), "Proof was tampered with");
    EXPECT_EQ(proof.summary(), "\u274c DENIED: Proof was tampered with | Timestamp: 2023-11-14T22:13:20+00:00");

    proof.status = VerificationStatus::failed("");
    EXPECT_EQ(proof.status.denial_reason(), "");  // an empty reason is still a denial
    EXPECT_EQ(proof.summary(), "\u274c DENIED:  | Timestamp: 2023-11-14T22:13:20+00:00");

    proof.timestamp = 253402300800;  // the first second of the year 10000
    EXPECT_THROW((void)proof.summary(), Fault);
}

}  // namespace
}  // namespace corvel
