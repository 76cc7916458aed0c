#include "merkle/merkle_tree.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

namespace corvel::merkle {

namespace {

struct Piece {
    unsigned level;
    std::uint64_t index;
};

// [lo, hi) as maximal aligned perfect subtrees, left to right; at most 64 of them.
struct Pieces {
    std::array<Piece, 64> items;
    std::size_t count = 0;
};

Pieces pieces_of(std::uint64_t lo, std::uint64_t hi) {
    Pieces out;
    for (std::uint64_t pos = lo; pos < hi;) {
        unsigned level = static_cast<unsigned>(std::bit_width(hi - pos)) - 1;
        if (pos != 0) level = std::min(level, static_cast<unsigned>(std::countr_zero(pos)));
        out.items[out.count++] = {level, pos >> level};
        pos += std::uint64_t{1} << level;
    }
    return out;
}

std::string leaves_text(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " leaf" : " leaves");
}

}  // namespace

std::expected<CompactRange, TreeError> MerkleTree::load_range(const NodeStore& store, std::uint64_t size) {
    const Pieces pieces = pieces_of(0, size);
    std::vector<Hash> roots(pieces.count);
    for (std::size_t i = 0; i < pieces.count; ++i) {
        auto record = store.read_record(node_position(pieces.items[i].level, pieces.items[i].index));
        if (!record) return std::unexpected(record.error());
        roots[i] = *record;
    }
    return CompactRange::from_roots(size, std::move(roots));
}

std::expected<MerkleTree, TreeError> MerkleTree::open(std::unique_ptr<NodeStore> store) {
    const std::uint64_t records = store->record_count();
    const auto leaves = leaves_for_records(records);
    if (!leaves) {
        return std::unexpected(TreeError::damaged(std::to_string(records) +
                                                  " records are not the nodes of a whole number of leaves"));
    }
    auto range = load_range(*store, *leaves);
    if (!range) return std::unexpected(range.error());
    return MerkleTree(std::move(store), std::move(*range));
}

std::expected<void, TreeError> MerkleTree::append(const Hash& leaf) {
    const CompactRange::Completed completed = range_.completes(leaf);
    auto stored = store_->append_records(completed.view());
    if (!stored) return stored;
    range_.commit(completed);
    return {};
}

std::expected<Hash, TreeError> MerkleTree::range_hash(std::uint64_t lo, std::uint64_t hi) const {
    const Pieces pieces = pieces_of(lo, hi);
    std::array<Hash, 64> hashes;
    for (std::size_t i = 0; i < pieces.count; ++i) {
        auto record = store_->read_record(node_position(pieces.items[i].level, pieces.items[i].index));
        if (!record) return std::unexpected(record.error());
        hashes[i] = *record;
    }
    Hash out = hashes[pieces.count - 1];
    for (std::size_t i = pieces.count - 1; i-- > 0;) out = node_hash(hashes[i], out);
    return out;
}

std::expected<std::vector<Hash>, TreeError> MerkleTree::hashes_of(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) const {
    std::vector<Hash> out;
    out.reserve(ranges.size());
    for (const auto& [lo, hi] : ranges) {
        auto hash = range_hash(lo, hi);
        if (!hash) return std::unexpected(hash.error());
        out.push_back(*hash);
    }
    return out;
}

std::expected<Hash, TreeError> MerkleTree::root_at(std::uint64_t size) const {
    if (size > this->size()) {
        return std::unexpected(TreeError::out_of_range("size " + std::to_string(size) + " is beyond the tree's " +
                                                       leaves_text(this->size())));
    }
    if (size == this->size()) return root();
    if (size == 0) return empty_root();
    return range_hash(0, size);
}

std::expected<Hash, TreeError> MerkleTree::leaf(std::uint64_t index) const {
    if (index >= size()) {
        return std::unexpected(TreeError::out_of_range("leaf " + std::to_string(index) + " is beyond the tree's " +
                                                       leaves_text(size())));
    }
    return store_->read_record(node_position(0, index));
}

std::expected<std::vector<Hash>, TreeError> MerkleTree::inclusion_proof(std::uint64_t index,
                                                                        std::uint64_t size) const {
    if (size > this->size()) {
        return std::unexpected(TreeError::out_of_range("size " + std::to_string(size) + " is beyond the tree's " +
                                                       leaves_text(this->size())));
    }
    if (index >= size) {
        return std::unexpected(TreeError::out_of_range("leaf " + std::to_string(index) + " is not in a tree of " +
                                                       leaves_text(size)));
    }
    // Walk down from the root; each step's sibling is one proof element, so the proof is the
    // walk's siblings from the bottom up.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> siblings;
    std::uint64_t lo = 0;
    std::uint64_t width = size;
    while (width > 1) {
        const std::uint64_t k = split_point(width);
        if (index - lo < k) {
            siblings.emplace_back(lo + k, lo + width);
            width = k;
        } else {
            siblings.emplace_back(lo, lo + k);
            lo += k;
            width -= k;
        }
    }
    std::reverse(siblings.begin(), siblings.end());
    return hashes_of(siblings);
}

std::expected<std::vector<Hash>, TreeError> MerkleTree::consistency_proof(std::uint64_t old_size,
                                                                          std::uint64_t new_size) const {
    if (new_size > size()) {
        return std::unexpected(TreeError::out_of_range("size " + std::to_string(new_size) + " is beyond the tree's " +
                                                       leaves_text(size())));
    }
    if (old_size > new_size) {
        return std::unexpected(TreeError::out_of_range("old size " + std::to_string(old_size) +
                                                       " is larger than new size " + std::to_string(new_size)));
    }
    if (old_size == 0 || old_size == new_size) return std::vector<Hash>{};
    // SUBPROOF walked down from the root: `m` leaves of the old tree remain inside [lo, lo+width);
    // `whole` stays true while the old tree is a left part the verifier already holds.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    std::uint64_t lo = 0;
    std::uint64_t width = new_size;
    std::uint64_t m = old_size;
    bool whole = true;
    while (m != width) {
        const std::uint64_t k = split_point(width);
        if (m <= k) {
            ranges.emplace_back(lo + k, lo + width);
            width = k;
        } else {
            ranges.emplace_back(lo, lo + k);
            lo += k;
            m -= k;
            width -= k;
            whole = false;
        }
    }
    if (!whole) ranges.emplace_back(lo, lo + width);
    std::reverse(ranges.begin(), ranges.end());
    return hashes_of(ranges);
}

std::expected<void, TreeError> MerkleTree::check_root(std::uint64_t size, const Hash& root) const {
    auto stored = root_at(size);
    if (!stored) return std::unexpected(stored.error());
    if (*stored != root) {
        return std::unexpected(TreeError::damaged("the stored root at size " + std::to_string(size) +
                                                  " is not the trail's"));
    }
    return {};
}

std::expected<void, TreeError> MerkleTree::check_structure() const {
    constexpr std::uint64_t kChunk = 4096;
    const std::uint64_t total = records_for_leaves(size());
    std::vector<Hash> buffer(static_cast<std::size_t>(std::min(kChunk, total)));
    std::uint64_t position = 0;
    std::uint64_t buffer_start = 0;
    std::uint64_t buffer_length = 0;
    auto next = [&]() -> std::expected<Hash, TreeError> {
        if (position == buffer_start + buffer_length) {
            buffer_start = position;
            buffer_length = std::min(kChunk, total - position);
            auto read = store_->read_records(buffer_start, std::span<Hash>(buffer.data(), buffer_length));
            if (!read) return std::unexpected(read.error());
        }
        return buffer[position++ - buffer_start];
    };

    CompactRange rebuilt;
    for (std::uint64_t leaf = 0; leaf < size(); ++leaf) {
        auto leaf_record = next();
        if (!leaf_record) return std::unexpected(leaf_record.error());
        const CompactRange::Completed completed = rebuilt.completes(*leaf_record);
        for (std::size_t level = 1; level < completed.count; ++level) {
            auto stored = next();
            if (!stored) return std::unexpected(stored.error());
            if (*stored != completed.nodes[level]) {
                return std::unexpected(TreeError::damaged(
                    "record " + std::to_string(position - 1) + " is not the hash of its children (height " +
                    std::to_string(level) + ", ending at leaf " + std::to_string(leaf) + ")"));
            }
        }
        rebuilt.commit(completed);
    }
    if (!std::ranges::equal(rebuilt.roots(), range_.roots())) {
        return std::unexpected(TreeError::damaged("the stored subtree roots changed since the tree was opened"));
    }
    return {};
}

std::expected<void, TreeError> MerkleTree::truncate(std::uint64_t size) {
    if (size > this->size()) {
        return std::unexpected(TreeError::out_of_range("size " + std::to_string(size) + " is beyond the tree's " +
                                                       leaves_text(this->size())));
    }
    auto cut = store_->truncate_records(records_for_leaves(size));
    if (!cut) return cut;
    auto range = load_range(*store_, size);
    if (!range) return std::unexpected(range.error());
    range_ = std::move(*range);
    return {};
}

}  // namespace corvel::merkle
