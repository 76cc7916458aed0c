// SHA-256: the published vectors, agreement with libsodium's implementation over every length
// and way of feeding the data, and the two block functions against each other.

#include <gtest/gtest.h>
#include <sodium.h>

#include <random>
#include <string>

#include "base/hex.hpp"
#include "crypto/initialize.hpp"
#include "crypto/sha256.hpp"

namespace corvel {
namespace {

Hash32 sodium_sha256(ByteView data) {
    Hash32 digest;
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

Bytes random_bytes(std::mt19937_64& random, std::size_t size) {
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(to_hex(hash_bytes({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(to_hex(hash_bytes(as_bytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(to_hex(hash_bytes(as_bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1'000'000, 'a');
    EXPECT_EQ(to_hex(hash_bytes(as_bytes(million))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, AgreesWithLibsodiumOverEveryLengthAndSplit) {
    initialize_crypto();
    std::mt19937_64 random(11);
    // Every length around the padding boundaries (55, 56, 63, 64, ...) and a few blocks past.
    for (std::size_t size = 0; size <= 300; ++size) {
        const Bytes data = random_bytes(random, size);
        ASSERT_EQ(hash_bytes(data), sodium_sha256(data)) << size;
        // The same bytes fed in random pieces, empty ones included.
        Sha256 pieces;
        for (std::size_t at = 0; at < size;) {
            const std::size_t piece = std::min<std::size_t>(size - at, random() % 80);
            pieces.update(ByteView(data).subspan(at, piece));
            at += piece;
        }
        ASSERT_EQ(pieces.finish(), sodium_sha256(data)) << size;
    }
}

TEST(Sha256, TheTwoBlockFunctionsAgree) {
    if (!sha256_detail::extensions_available()) GTEST_SKIP() << "this processor has no SHA extensions";
    std::mt19937_64 random(12);
    for (int round = 0; round < 200; ++round) {
        std::uint32_t portable[8], extensions[8];
        for (int i = 0; i < 8; ++i) portable[i] = extensions[i] = static_cast<std::uint32_t>(random());
        const std::size_t blocks = 1 + random() % 4;
        const Bytes data = random_bytes(random, 64 * blocks);
        sha256_detail::blocks_portable(portable, data.data(), blocks);
        sha256_detail::blocks_extensions(extensions, data.data(), blocks);
        ASSERT_TRUE(std::equal(portable, portable + 8, extensions)) << round;
    }
}

}  // namespace
}  // namespace corvel
