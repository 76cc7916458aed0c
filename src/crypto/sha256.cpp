#include "crypto/sha256.hpp"

#include <sodium.h>

namespace corvel {

Hash32 hash_bytes(ByteView data) {
    Hash32 digest;
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

}  // namespace corvel
