#include "merkle/merkle_verify.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvel::merkle {

namespace {

std::unexpected<ProofError> refuse(ProofError::Kind kind, std::string what = {}) {
    return std::unexpected(ProofError(kind, std::move(what)));
}

bool equal(ByteView a, ByteView b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::expected<Hash, ProofError> to_hash(ByteView bytes, std::string what) {
    if (bytes.size() != 32) return refuse(ProofError::Kind::BadHashLength, std::move(what));
    Hash out;
    std::memcpy(out.data(), bytes.data(), 32);
    return out;
}

std::expected<std::vector<Hash>, ProofError> to_hashes(std::span<const Bytes> proof) {
    std::vector<Hash> out;
    out.reserve(proof.size());
    for (std::size_t i = 0; i < proof.size(); ++i) {
        auto hash = to_hash(proof[i], "proof element " + std::to_string(i));
        if (!hash) return std::unexpected(hash.error());
        out.push_back(*hash);
    }
    return out;
}

// After hashing a proof element in from the left: climb past the levels where this node is a
// right child with no sibling (fn even and at the right edge).
void climb_right_edge(std::uint64_t& fn, std::uint64_t& sn) {
    while ((fn & 1) == 0 && fn != 0) {
        fn >>= 1;
        sn >>= 1;
    }
}

}  // namespace

std::expected<void, ProofError> verify_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                                                 std::span<const Hash> proof, const Hash& root) {
    if (index >= size) return refuse(ProofError::Kind::IndexBeyondSize);
    std::uint64_t fn = index;
    std::uint64_t sn = size - 1;
    Hash r = leaf;
    for (const Hash& p : proof) {
        if (sn == 0) return refuse(ProofError::Kind::ProofTooLong);
        if ((fn & 1) == 1 || fn == sn) {
            r = node_hash(p, r);
            climb_right_edge(fn, sn);
        } else {
            r = node_hash(r, p);
        }
        fn >>= 1;
        sn >>= 1;
    }
    if (sn != 0) return refuse(ProofError::Kind::ProofTooShort);
    if (r != root) return refuse(ProofError::Kind::RootMismatch);
    return {};
}

std::expected<void, ProofError> verify_inclusion(std::uint64_t index, std::uint64_t size, ByteView leaf,
                                                 std::span<const Bytes> proof, ByteView root) {
    if (index >= size) return refuse(ProofError::Kind::IndexBeyondSize);
    auto leaf_value = to_hash(leaf, "leaf hash");
    if (!leaf_value) return std::unexpected(leaf_value.error());
    auto root_value = to_hash(root, "root");
    if (!root_value) return std::unexpected(root_value.error());
    auto path = to_hashes(proof);
    if (!path) return std::unexpected(path.error());
    return verify_inclusion(index, size, *leaf_value, *path, *root_value);
}

std::expected<void, ProofError> verify_consistency(std::uint64_t old_size, std::uint64_t new_size,
                                                   const Hash& old_root, const Hash& new_root,
                                                   std::span<const Hash> proof) {
    if (old_size > new_size) return refuse(ProofError::Kind::SizesReversed);
    if (old_size == new_size || old_size == 0) {
        if (!proof.empty()) return refuse(ProofError::Kind::ProofNotEmpty);
        if (old_size == 0 && old_root != empty_root()) return refuse(ProofError::Kind::NotEmptyRoot);
        if (old_size == new_size && old_root != new_root) return refuse(ProofError::Kind::RootMismatch);
        return {};
    }
    if (proof.empty()) return refuse(ProofError::Kind::ProofTooShort);

    // A power-of-two old tree is a node of the new one, so the proof leaves out its root.
    const bool old_is_node = std::has_single_bit(old_size);
    std::size_t next = 0;
    const Hash& first = old_is_node ? old_root : proof[next++];
    std::uint64_t fn = old_size - 1;
    std::uint64_t sn = new_size - 1;
    while ((fn & 1) == 1) {
        fn >>= 1;
        sn >>= 1;
    }
    Hash fr = first;
    Hash sr = first;
    for (; next < proof.size(); ++next) {
        const Hash& c = proof[next];
        if (sn == 0) return refuse(ProofError::Kind::ProofTooLong);
        if ((fn & 1) == 1 || fn == sn) {
            fr = node_hash(c, fr);
            sr = node_hash(c, sr);
            climb_right_edge(fn, sn);
        } else {
            sr = node_hash(sr, c);
        }
        fn >>= 1;
        sn >>= 1;
    }
    if (sn != 0) return refuse(ProofError::Kind::ProofTooShort);
    if (fr != old_root) return refuse(ProofError::Kind::OldRootMismatch);
    if (sr != new_root) return refuse(ProofError::Kind::RootMismatch);
    return {};
}

std::expected<void, ProofError> verify_consistency(std::uint64_t old_size, std::uint64_t new_size,
                                                   ByteView old_root, ByteView new_root,
                                                   std::span<const Bytes> proof) {
    if (old_size > new_size) return refuse(ProofError::Kind::SizesReversed);
    // Equal non-zero sizes compare the roots as given, as the public vectors do.
    if (old_size == new_size && old_size != 0) {
        if (!proof.empty()) return refuse(ProofError::Kind::ProofNotEmpty);
        if (!equal(old_root, new_root)) return refuse(ProofError::Kind::RootMismatch);
        return {};
    }
    auto old_value = to_hash(old_root, "old root");
    if (!old_value) return std::unexpected(old_value.error());
    auto new_value = to_hash(new_root, "new root");
    if (!new_value) return std::unexpected(new_value.error());
    auto path = to_hashes(proof);
    if (!path) return std::unexpected(path.error());
    return verify_consistency(old_size, new_size, *old_value, *new_value, *path);
}

}  // namespace corvel::merkle
