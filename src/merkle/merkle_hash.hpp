#pragma once
// The hashing of a log's Merkle tree (RFC 6962): SHA-256 with a 0x00 prefix for leaves and
// 0x01 for inner nodes, so that a leaf can never be read as a node. The leaf data is whatever
// the log makes its leaves of (an audit trail: an entry's 32-byte current_hash).

#include <bit>
#include <cstdint>

#include "base/bytes.hpp"

namespace corvel::merkle {

using Hash = Hash32;

// SHA-256(0x00 || data).
Hash leaf_hash(ByteView data);
// SHA-256(0x01 || left || right).
Hash node_hash(const Hash& left, const Hash& right);
// SHA-256 of the empty string: the root of the tree of size 0.
const Hash& empty_root();

// The largest power of two strictly smaller than n; n must be at least 2.
constexpr std::uint64_t split_point(std::uint64_t n) { return std::bit_floor(n - 1); }

}  // namespace corvel::merkle
