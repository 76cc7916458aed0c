// Byte layouts of denial proofs and hard-reset signals, the contract with outside verifiers.
#include <gtest/gtest.h>

#include "watchdog/denial_proof.hpp"

namespace corvel {
namespace {

std::uint64_t g_now = 0;
std::uint64_t pinned_clock() { return g_now; }

Action delete_action(std::string target) { return Action{ActionType(ActionKind::Delete), std::move(target), {}, {}}; }

Bytes slice(const Bytes& data, std::size_t offset, std::size_t length) {
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                 data.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

TEST(DenialProof, CreateFillsEveryField) {
    g_now = 1'700'000'000;
    const Action action{ActionType::custom("deploy"), "prod", Bytes{1, 2}, "meta"};
    const DenialProof proof = DenialProof::create(action, "rule", "reason", 4, pinned_clock);
    EXPECT_EQ(proof.timestamp, 1'700'000'000u);
    EXPECT_EQ(proof.action_hash, action.hash());
    EXPECT_EQ(proof.action_type, ActionType::custom("deploy"));
    EXPECT_EQ(proof.violated_rule, "rule");
    EXPECT_EQ(proof.denial_reason, "reason");
    EXPECT_EQ(proof.violation_count, 4u);
    EXPECT_FALSE(proof.triggered_hard_reset);
    EXPECT_FALSE(proof.is_signed());
    EXPECT_NE(proof.nonce, Nonce{});
}

TEST(DenialProof, SigningDataLayout) {
    g_now = 0x0102030405060708;
    const DenialProof proof = DenialProof::create(delete_action("/etc/x"), "", "", 7, pinned_clock);
    const Bytes data = proof.signing_data();
    ASSERT_EQ(data.size(), 77u);
    EXPECT_EQ(slice(data, 0, 32), Bytes(proof.nonce.begin(), proof.nonce.end()));
    EXPECT_EQ(slice(data, 32, 8), (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(slice(data, 40, 32), Bytes(proof.action_hash.begin(), proof.action_hash.end()));
    EXPECT_EQ(slice(data, 72, 5), (Bytes{0x07, 0x00, 0x00, 0x00, 0x00}));

    g_now = 1'700'000'000;  // below 2^32: the upper four bytes are zero
    const Bytes later = DenialProof::create(delete_action("/etc/x"), "R", "D", 1, pinned_clock).signing_data();
    EXPECT_EQ(slice(later, 32, 8), (Bytes{0x00, 0xF1, 0x53, 0x65, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(slice(later, 72, 2), (Bytes{'R', 'D'}));
}

TEST(DenialProof, CountAndHardResetFlag) {
    const Action action = delete_action("/etc/x");
    struct Case {
        std::uint32_t count;
        bool triggered;
        Bytes tail;
    };
    for (const Case& c : {Case{9, false, {0x09, 0, 0, 0, 0x00}}, Case{10, true, {0x0A, 0, 0, 0, 0x01}},
                          Case{300, true, {0x2C, 0x01, 0, 0, 0x01}}}) {
        SCOPED_TRACE(c.count);
        const DenialProof proof = DenialProof::create(action, "rule", "why", c.count);
        EXPECT_EQ(proof.triggered_hard_reset, c.triggered);
        const Bytes data = proof.signing_data();
        ASSERT_EQ(data.size(), 77u + 7u);
        EXPECT_EQ(slice(data, data.size() - 5, 5), c.tail);
    }
}

TEST(DenialProof, TextsAreNotSeparated) {
    DenialProof proof = DenialProof::create(delete_action("/etc/x"), "Do no harm", "Destructive", 1);
    const Bytes before = proof.signing_data();
    proof.violated_rule = "Do no";
    proof.denial_reason = " harmDestructive";
    EXPECT_EQ(proof.signing_data(), before);
}

TEST(DenialProof, FreshNonceEveryTime) {
    g_now = 5;
    const Action action = delete_action("/etc/x");
    const DenialProof first = DenialProof::create(action, "r", "d", 1, pinned_clock);
    const DenialProof second = DenialProof::create(action, "r", "d", 1, pinned_clock);
    EXPECT_NE(first.nonce, second.nonce);
    EXPECT_NE(first.signing_data(), second.signing_data());
}

TEST(DenialProof, SignedMeansExactly64Bytes) {
    DenialProof proof = DenialProof::create(delete_action("/etc/x"), "r", "d", 1);
    proof.signature = Bytes(63, 0xAB);
    EXPECT_FALSE(proof.is_signed());
    proof.signature = Bytes(65, 0xAB);
    EXPECT_FALSE(proof.is_signed());
    proof.signature = Bytes(64, 0xAB);
    const DenialProof copy = proof;
    EXPECT_TRUE(copy.is_signed());
    EXPECT_EQ(copy, proof);
}

TEST(HardResetSignal, SignedBytesLayout) {
    g_now = 0x1122334455667788;
    // R + D = 40 and a 64-character charter hash: 77 + 40 + 64 + 8 bytes.
    const DenialProof denial = DenialProof::create(delete_action("/bin"), std::string(15, 'r'), std::string(25, 'd'), 10,
                                                   pinned_clock);
    HardResetSignal signal{denial, std::string(64, 'a'), {}, 0xA0B0C0D0E0F00010, 10};
    const Bytes data = signal.signing_data();
    ASSERT_EQ(data.size(), 189u);
    EXPECT_EQ(slice(data, 0, 117), denial.signing_data());
    EXPECT_EQ(slice(data, 117, 64), Bytes(64, 'a'));
    EXPECT_EQ(slice(data, 181, 8), (Bytes{0x10, 0x00, 0xF0, 0xE0, 0xD0, 0xC0, 0xB0, 0xA0}));

    // The final denial's signature and total_violations are not covered.
    signal.final_denial.signature = Bytes(64, 1);
    signal.total_violations = 99;
    EXPECT_EQ(signal.signing_data(), data);
}

}  // namespace
}  // namespace corvel
