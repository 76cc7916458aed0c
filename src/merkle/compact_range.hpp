#pragma once
// The right edge of a growing Merkle tree: one perfect-subtree root per set bit of the size,
// largest (leftmost) first. O(log n) memory; an append merges as many subtrees as the new
// size has trailing zero bits, so O(1) hashes amortised.

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "merkle/merkle_error.hpp"
#include "merkle/merkle_hash.hpp"

namespace corvel::merkle {

class CompactRange {
public:
    // The nodes an append completes: the leaf itself, then one new parent per merge, bottom up.
    // At most 64 merges, so a fixed buffer holds them.
    struct Completed {
        std::array<Hash, 65> nodes;
        std::size_t count = 0;
        std::span<const Hash> view() const { return {nodes.data(), count}; }
    };

    CompactRange() = default;
    // The range of a tree of `size` leaves from its perfect-subtree roots, largest first;
    // refuses a count of roots that is not the number of set bits of `size`.
    static std::expected<CompactRange, TreeError> from_roots(std::uint64_t size, std::vector<Hash> roots);

    // The nodes that appending `leaf` completes, without appending it: a caller that must
    // store them first commits only once they are stored.
    Completed completes(const Hash& leaf) const;
    // Appends the leaf whose completed nodes `completes` returned.
    void commit(const Completed& completed);
    // Appends a leaf hash and returns the nodes it completed.
    Completed append(const Hash& leaf) {
        Completed completed = completes(leaf);
        commit(completed);
        return completed;
    }

    std::uint64_t size() const { return size_; }
    // The perfect-subtree roots, largest first.
    std::span<const Hash> roots() const { return roots_; }
    // The tree's root: the roots folded from the right; the empty tree's root at size 0.
    Hash root() const;

private:
    std::uint64_t size_ = 0;
    std::vector<Hash> roots_;
};

}  // namespace corvel::merkle
