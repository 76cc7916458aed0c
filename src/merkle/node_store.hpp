#pragma once
// Where the tree keeps its nodes so that proofs need no more than O(log n) of them in memory.
//
// Layout (both stores): every perfect-subtree hash in post-order, as 32-byte records. Appending
// leaf t writes the leaf hash, then the parent of every subtree that leaf completes, bottom up,
// so a tree of n leaves holds 2n - popcount(n) records and the node of height `level` and
// position `index` (covering leaves index*2^level up to (index+1)*2^level) sits at a record
// number computed from those two alone. The records are a pure function of the leaf hashes:
// the store can always be rebuilt from the log.

#include <bit>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "merkle/merkle_error.hpp"
#include "merkle/merkle_hash.hpp"

namespace corvel::merkle {

// Records held by a tree of `leaves` leaves.
constexpr std::uint64_t records_for_leaves(std::uint64_t leaves) {
    return 2 * leaves - static_cast<std::uint64_t>(std::popcount(leaves));
}

// Record number of the node of height `level` and position `index`.
constexpr std::uint64_t node_position(unsigned level, std::uint64_t index) {
    const std::uint64_t next = index + 1;
    return records_for_leaves(next << level) - 1 - static_cast<std::uint64_t>(std::countr_zero(next));
}

// The number of leaves whose tree holds exactly `records` records; none if no tree does
// (a store cut inside an append).
std::optional<std::uint64_t> leaves_for_records(std::uint64_t records);

class NodeStore {
public:
    virtual ~NodeStore() = default;

    virtual std::uint64_t record_count() const = 0;
    // Appends records at the end: all of them, or none.
    virtual std::expected<void, TreeError> append_records(std::span<const Hash> records) = 0;
    // Reads out.size() records from record number `first`; all must exist.
    virtual std::expected<void, TreeError> read_records(std::uint64_t first, std::span<Hash> out) const = 0;
    // Drops every record from number `count` on.
    virtual std::expected<void, TreeError> truncate_records(std::uint64_t count) = 0;
    // Makes the records durable, where the store has a durable medium.
    virtual std::expected<void, TreeError> sync() { return {}; }

    std::expected<Hash, TreeError> read_record(std::uint64_t position) const;
};

class MemoryNodeStore final : public NodeStore {
public:
    std::uint64_t record_count() const override { return records_.size(); }
    std::expected<void, TreeError> append_records(std::span<const Hash> records) override;
    std::expected<void, TreeError> read_records(std::uint64_t first, std::span<Hash> out) const override;
    std::expected<void, TreeError> truncate_records(std::uint64_t count) override;

private:
    std::vector<Hash> records_;
};

}  // namespace corvel::merkle
