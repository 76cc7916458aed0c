#include <gtest/gtest.h>

#include <cerrno>

#include "base/hex.hpp"
#include "base/os_facilities.hpp"
#include "nonce_store/memory_nonce_store.hpp"

namespace corvel {
namespace {

std::uint64_t pinned_now = 1'700'000'000;
std::uint64_t pinned_clock() { return pinned_now; }

class MemoryNonceStoreTest : public ::testing::Test {
protected:
    void SetUp() override { pinned_now = 1'700'000'000; }

    // Distinct nonces that differ in their first eight bytes, as random ones do.
    static Nonce numbered(std::uint64_t n) {
        Nonce nonce{};
        for (int i = 0; i < 8; ++i) nonce[i] = static_cast<std::uint8_t>(n >> (8 * i));
        nonce[31] = 0xA5;
        return nonce;
    }

    void fill(MemoryNonceStore& store, std::size_t how_many, std::uint64_t ttl, std::uint64_t first = 1) {
        for (std::size_t i = 0; i < how_many; ++i) ASSERT_TRUE(store.check_and_insert(numbered(first + i), ttl));
    }

    MemoryNonceStore store{pinned_clock};
};

TEST_F(MemoryNonceStoreTest, NewStoreIsEmpty) {
    EXPECT_EQ(store.count(), 0u);
    EXPECT_FALSE(store.contains(Nonce{}));
    EXPECT_FALSE(store.contains(random_array<32>()));
    EXPECT_EQ(store.cleanup_expired().value(), 0u);
    EXPECT_EQ(store.max_nonces(), 100000u);
}

TEST_F(MemoryNonceStoreTest, SecondInsertIsAReplayAndKeepsTheOriginalEntry) {
    const Nonce nonce = random_array<32>();
    ASSERT_TRUE(store.check_and_insert(nonce, 0));

    // Later, with a long TTL: still refused, and the entry is not refreshed to the new TTL.
    pinned_now += 5;
    const auto again = store.check_and_insert(nonce, 3600);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind(), NonceStoreError::Kind::NonceReused);
    EXPECT_EQ(again.error().detail(), to_hex(nonce));
    EXPECT_EQ(again.error().message(), "REPLAY ATTACK DETECTED: Nonce " + to_hex(nonce) + " already used");
    EXPECT_EQ(store.count(), 1u);
    EXPECT_EQ(store.cleanup_expired().value(), 1u);  // expired under its original TTL of 0
}

TEST_F(MemoryNonceStoreTest, ExpiryIsAgeGreaterThanTtl) {
    const Nonce zero_ttl = numbered(1);
    const Nonce ten_ttl = numbered(2);
    ASSERT_TRUE(store.check_and_insert(zero_ttl, 0));
    ASSERT_TRUE(store.check_and_insert(ten_ttl, 10));

    EXPECT_EQ(store.cleanup_expired().value(), 0u);  // same second: age 0 is not above TTL 0
    pinned_now += 1;
    EXPECT_EQ(store.cleanup_expired().value(), 1u);
    EXPECT_FALSE(store.contains(zero_ttl));

    pinned_now += 9;  // age 10 == TTL: stays
    EXPECT_EQ(store.cleanup_expired().value(), 0u);
    pinned_now += 1;
    EXPECT_EQ(store.cleanup_expired().value(), 1u);
    EXPECT_EQ(store.count(), 0u);
}

TEST_F(MemoryNonceStoreTest, EntryDatedAfterNowHasAgeZero) {
    ASSERT_TRUE(store.check_and_insert(numbered(1), 0));
    pinned_now -= 1000;  // the clock stepped back
    EXPECT_EQ(store.cleanup_expired().value(), 0u);
    EXPECT_EQ(store.count(), 1u);
}

TEST_F(MemoryNonceStoreTest, ExpiredButUnpurgedNonceIsStillRefused) {
    const Nonce nonce = numbered(7);
    ASSERT_TRUE(store.check_and_insert(nonce, 0));
    pinned_now += 100;
    EXPECT_TRUE(store.contains(nonce));
    const auto again = store.check_and_insert(nonce, 0);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind(), NonceStoreError::Kind::NonceReused);
    EXPECT_EQ(store.count(), 1u);  // below the limit nothing is purged
}

TEST_F(MemoryNonceStoreTest, FullStoreWithNothingExpiredRefusesNewNonces) {
    fill(store, 100000, 3600);
    ASSERT_EQ(store.count(), 100000u);

    const Nonce extra = numbered(200000);
    const auto refused = store.check_and_insert(extra, 3600);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), NonceStoreError::Kind::StorageError);
    EXPECT_EQ(refused.error().message(),
              "Storage backend error: MemoryNonceStore capacity limit reached (100000 nonces). "
              "Consider using RocksDbNonceStore for production.");
    EXPECT_EQ(store.count(), 100000u);
    EXPECT_FALSE(store.contains(extra));

    // A replay is still reported as a replay, not as a full store.
    const auto replay = store.check_and_insert(numbered(1), 3600);
    ASSERT_FALSE(replay);
    EXPECT_EQ(replay.error().kind(), NonceStoreError::Kind::NonceReused);
}

TEST_F(MemoryNonceStoreTest, FullStorePurgesExpiredEntriesToMakeRoom) {
    ASSERT_TRUE(store.check_and_insert(numbered(1), 0));  // the only one that will expire
    fill(store, 99999, 3600, 2);
    ASSERT_EQ(store.count(), 100000u);

    pinned_now += 1;
    const Nonce extra = numbered(500000);
    ASSERT_TRUE(store.check_and_insert(extra, 3600));
    EXPECT_EQ(store.count(), 100000u);
    EXPECT_TRUE(store.contains(extra));
    EXPECT_FALSE(store.contains(numbered(1)));
    EXPECT_TRUE(store.contains(numbered(2)));
}

TEST_F(MemoryNonceStoreTest, ClearForgetsEveryNonce) {
    const Nonce nonce = random_array<32>();
    fill(store, 3000, 3600);  // past the initial room, so the table has grown
    ASSERT_TRUE(store.check_and_insert(nonce, 3600));
    ASSERT_FALSE(store.check_and_insert(nonce, 3600));

    ASSERT_TRUE(store.clear());
    EXPECT_EQ(store.count(), 0u);
    EXPECT_FALSE(store.contains(nonce));
    EXPECT_TRUE(store.check_and_insert(nonce, 3600));
    EXPECT_EQ(store.count(), 1u);
}

TEST_F(MemoryNonceStoreTest, NoncesDifferingOnlyAfterTheHashedBytesAreDistinct) {
    Nonce a{};
    Nonce b{};
    b[31] = 1;
    ASSERT_TRUE(store.check_and_insert(a, 60));
    EXPECT_FALSE(store.contains(b));
    EXPECT_TRUE(store.check_and_insert(b, 60));
    EXPECT_EQ(store.count(), 2u);
}

TEST(NonceStoreErrorTest, DisplayTexts) {
    EXPECT_EQ(NonceStoreError::storage_error("disk full").message(), "Storage backend error: disk full");
    EXPECT_EQ(NonceStoreError::serialization_error("bad record").message(), "Serialization error: bad record");
    const NonceStoreError io = NonceStoreError::io_error(ENOENT);
    EXPECT_EQ(io.kind(), NonceStoreError::Kind::IoError);
    EXPECT_EQ(io.os_error(), ENOENT);
    EXPECT_EQ(io.message(), "I/O error: No such file or directory");
}

}  // namespace
}  // namespace corvel
