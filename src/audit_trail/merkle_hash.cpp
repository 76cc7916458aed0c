#include "audit_trail/merkle_hash.hpp"

#include <sodium.h>

#include <cstring>

namespace corvel::merkle {

Hash leaf_hash(ByteView data) {
    static constexpr std::uint8_t kPrefix = 0x00;
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, &kPrefix, 1);
    crypto_hash_sha256_update(&state, data.data(), data.size());
    Hash out;
    crypto_hash_sha256_final(&state, out.data());
    return out;
}

Hash node_hash(const Hash& left, const Hash& right) {
    // Hashed from one buffer on the stack: no allocation and a single update.
    std::uint8_t buffer[65];
    buffer[0] = 0x01;
    std::memcpy(buffer + 1, left.data(), 32);
    std::memcpy(buffer + 33, right.data(), 32);
    Hash out;
    crypto_hash_sha256(out.data(), buffer, sizeof buffer);
    return out;
}

const Hash& empty_root() {
    static const Hash root = [] {
        Hash out;
        crypto_hash_sha256(out.data(), nullptr, 0);
        return out;
    }();
    return root;
}

}  // namespace corvel::merkle
