#pragma once
// The two proof verifiers (RFC 9162 2.1.3.2 and 2.1.4.2), with the conventions of the public
// vectors: equal sizes take an empty proof and byte-equal roots; the root of size 0 is the empty
// tree's and a proof from size 0 is empty; every other hash is exactly 32 bytes.
//
// Each comes twice: over Hash values, for proofs this process made, and over raw byte strings,
// for proofs read from outside (JSON evidence), where a wrong length is a refusal, not a crash.

#include <cstdint>
#include <expected>
#include <span>

#include "merkle/merkle_error.hpp"
#include "merkle/merkle_hash.hpp"

namespace corvel::merkle {

// Succeeds exactly when `proof` shows that `leaf` is leaf `index` of the tree of `size` leaves
// whose root is `root`.
std::expected<void, ProofError> verify_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                                                 std::span<const Hash> proof, const Hash& root);
std::expected<void, ProofError> verify_inclusion(std::uint64_t index, std::uint64_t size, ByteView leaf,
                                                 std::span<const Bytes> proof, ByteView root);

// Succeeds exactly when `proof` shows that the tree of `old_size` leaves with root `old_root`
// is a prefix of the tree of `new_size` leaves with root `new_root`.
std::expected<void, ProofError> verify_consistency(std::uint64_t old_size, std::uint64_t new_size,
                                                   const Hash& old_root, const Hash& new_root,
                                                   std::span<const Hash> proof);
std::expected<void, ProofError> verify_consistency(std::uint64_t old_size, std::uint64_t new_size,
                                                   ByteView old_root, ByteView new_root,
                                                   std::span<const Bytes> proof);

}  // namespace corvel::merkle
