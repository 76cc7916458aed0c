#pragma once
// A plain recursive Merkle tree written from the definitions (MTH, PATH, SUBPROOF), memoised
// over one leaf list, for the tests to hold the product against; and random trees.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "merkle/merkle_tree.hpp"

namespace corvel::merkle::test {

class Model {
public:
    explicit Model(std::vector<Hash> leaves) : leaves_(std::move(leaves)) {}

    Hash mth(std::uint64_t lo, std::uint64_t hi) {
        if (hi == lo) return empty_root();
        if (hi - lo == 1) return leaves_[lo];
        auto found = memo_.find({lo, hi});
        if (found != memo_.end()) return found->second;
        const std::uint64_t k = split_point(hi - lo);
        const Hash out = node_hash(mth(lo, lo + k), mth(lo + k, hi));
        memo_.emplace(std::make_pair(lo, hi), out);
        return out;
    }

    std::vector<Hash> path(std::uint64_t m, std::uint64_t lo, std::uint64_t hi) {
        const std::uint64_t n = hi - lo;
        if (n == 1) return {};
        const std::uint64_t k = split_point(n);
        std::vector<Hash> out;
        if (m < k) {
            out = path(m, lo, lo + k);
            out.push_back(mth(lo + k, hi));
        } else {
            out = path(m - k, lo + k, hi);
            out.push_back(mth(lo, lo + k));
        }
        return out;
    }

    std::vector<Hash> subproof(std::uint64_t m, std::uint64_t lo, std::uint64_t hi, bool b) {
        const std::uint64_t n = hi - lo;
        if (m == n) return b ? std::vector<Hash>{} : std::vector<Hash>{mth(lo, hi)};
        const std::uint64_t k = split_point(n);
        std::vector<Hash> out;
        if (m <= k) {
            out = subproof(m, lo, lo + k, b);
            out.push_back(mth(lo + k, hi));
        } else {
            out = subproof(m - k, lo + k, hi, false);
            out.push_back(mth(lo, lo + k));
        }
        return out;
    }

    std::vector<Hash> consistency(std::uint64_t m, std::uint64_t n) {
        if (m == 0 || m == n) return {};
        return subproof(m, 0, n, true);
    }

private:
    std::vector<Hash> leaves_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Hash> memo_;
};

inline std::vector<Hash> random_leaves(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<Hash> out(count);
    for (Hash& leaf : out) {
        std::array<std::uint8_t, 32> entry_hash;
        for (auto& byte : entry_hash) byte = static_cast<std::uint8_t>(random());
        leaf = leaf_hash(entry_hash);
    }
    return out;
}

inline MerkleTree memory_tree(const std::vector<Hash>& leaves) {
    auto tree = MerkleTree::open(std::make_unique<MemoryNodeStore>());
    EXPECT_TRUE(tree.has_value());
    for (const Hash& leaf : leaves) EXPECT_TRUE(tree->append(leaf).has_value());
    return std::move(*tree);
}

}  // namespace corvel::merkle::test
