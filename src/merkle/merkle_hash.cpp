#include "merkle/merkle_hash.hpp"

#include <cstring>

#include "crypto/sha256.hpp"

namespace corvel::merkle {

Hash leaf_hash(ByteView data) {
    static constexpr std::uint8_t kPrefix = 0x00;
    Sha256 sha;
    sha.update(ByteView(&kPrefix, 1));
    sha.update(data);
    return sha.finish();
}

Hash node_hash(const Hash& left, const Hash& right) {
    // Hashed from one buffer on the stack: no allocation and a single update.
    std::uint8_t buffer[65];
    buffer[0] = 0x01;
    std::memcpy(buffer + 1, left.data(), 32);
    std::memcpy(buffer + 33, right.data(), 32);
    return hash_bytes(buffer);
}

const Hash& empty_root() {
    static const Hash root = hash_bytes({});
    return root;
}

}  // namespace corvel::merkle
