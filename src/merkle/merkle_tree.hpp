#pragma once
// A log's Merkle tree (RFC 6962): a compact range for the current root, and a node store
// from which the root at any earlier size, inclusion proofs and consistency proofs are read.
// Every answer reads O(log n) stored perfect-subtree hashes; none needs the whole tree.
//
//   auto store = merkle::FileNodeStore::open(path);          // or MemoryNodeStore
//   auto tree = merkle::MerkleTree::open(std::move(*store));
//   tree->append(merkle::leaf_hash(entry.current_hash));
//   auto proof = tree->inclusion_proof(index, tree->size());
//   merkle::verify_inclusion(index, size, leaf, *proof, tree->root());
//
// A store that is damaged or disagrees with the log (check_root, check_structure) is rebuilt:
// FileNodeStore::replace, then append every leaf hash again.

#include <cstdint>
#include <expected>
#include <memory>
#include <vector>

#include "merkle/compact_range.hpp"
#include "merkle/merkle_error.hpp"
#include "merkle/merkle_hash.hpp"
#include "merkle/merkle_verify.hpp"
#include "merkle/node_store.hpp"

namespace corvel::merkle {

class MerkleTree {
public:
    // A tree over what the store holds (an empty store gives an empty tree); refuses a store
    // whose record count is not that of a whole number of leaves. Reads O(log n) records.
    static std::expected<MerkleTree, TreeError> open(std::unique_ptr<NodeStore> store);

    // Appends one leaf hash. On an error the tree and
    // the store are as before.
    std::expected<void, TreeError> append(const Hash& leaf);

    std::uint64_t size() const { return range_.size(); }
    // The root at the current size, from memory.
    Hash root() const { return range_.root(); }
    const CompactRange& compact_range() const { return range_; }

    // The root at any size up to the current one.
    std::expected<Hash, TreeError> root_at(std::uint64_t size) const;
    // The stored leaf hash of leaf `index`.
    std::expected<Hash, TreeError> leaf(std::uint64_t index) const;
    // PATH(index, D[0:size]): needs index < size <= size().
    std::expected<std::vector<Hash>, TreeError> inclusion_proof(std::uint64_t index, std::uint64_t size) const;
    // PROOF(old_size, D[0:new_size]): needs old_size <= new_size <= size(); empty when the sizes
    // are equal or old_size is 0.
    std::expected<std::vector<Hash>, TreeError> consistency_proof(std::uint64_t old_size,
                                                                  std::uint64_t new_size) const;

    // Refuses (Damaged) a store whose root at `size` is not `root`, the one the log gives.
    std::expected<void, TreeError> check_root(std::uint64_t size, const Hash& root) const;
    // Recomputes every stored parent from its children, in one sequential pass over the store:
    // finds any single garbled record except the last leaf of an odd size, which has no parent
    // yet (check_root finds that one).
    std::expected<void, TreeError> check_structure() const;

    // Drops the leaves from `size` on (for instance after the log lost a torn tail).
    std::expected<void, TreeError> truncate(std::uint64_t size);
    std::expected<void, TreeError> sync() { return store_->sync(); }

    NodeStore& store() { return *store_; }

private:
    MerkleTree(std::unique_ptr<NodeStore> store, CompactRange range) : store_(std::move(store)), range_(std::move(range)) {}

    // MTH(D[lo:hi]) for the ranges the proof recursion visits: lo is a multiple of a power of
    // two that is at least hi - lo, so the range is a run of stored perfect subtrees.
    std::expected<Hash, TreeError> range_hash(std::uint64_t lo, std::uint64_t hi) const;
    std::expected<std::vector<Hash>, TreeError> hashes_of(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) const;
    static std::expected<CompactRange, TreeError> load_range(const NodeStore& store, std::uint64_t size);

    std::unique_ptr<NodeStore> store_;
    CompactRange range_;
};

}  // namespace corvel::merkle
