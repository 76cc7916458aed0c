#include "merkle/compact_range.hpp"

#include <bit>

namespace corvel::merkle {

std::expected<CompactRange, TreeError> CompactRange::from_roots(std::uint64_t size, std::vector<Hash> roots) {
    if (roots.size() != static_cast<std::size_t>(std::popcount(size))) {
        return std::unexpected(TreeError::damaged("a tree of " + std::to_string(size) + " leaves has " +
                                                  std::to_string(std::popcount(size)) + " subtree roots, not " +
                                                  std::to_string(roots.size())));
    }
    CompactRange range;
    range.size_ = size;
    range.roots_ = std::move(roots);
    return range;
}

CompactRange::Completed CompactRange::completes(const Hash& leaf) const {
    Completed out;
    Hash node = leaf;
    out.nodes[out.count++] = node;
    // Each trailing one bit of the old size is a subtree of the new node's height to merge with.
    std::size_t sibling = roots_.size();
    for (std::uint64_t bits = size_; (bits & 1) == 1; bits >>= 1) {
        node = node_hash(roots_[--sibling], node);
        out.nodes[out.count++] = node;
    }
    return out;
}

void CompactRange::commit(const Completed& completed) {
    roots_.resize(roots_.size() - (completed.count - 1));
    roots_.push_back(completed.nodes[completed.count - 1]);
    ++size_;
}

Hash CompactRange::root() const {
    if (roots_.empty()) return empty_root();
    Hash root = roots_.back();
    for (std::size_t i = roots_.size() - 1; i-- > 0;) root = node_hash(roots_[i], root);
    return root;
}

}  // namespace corvel::merkle
