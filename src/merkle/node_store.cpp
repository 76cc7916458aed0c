#include "merkle/node_store.hpp"

#include <algorithm>

namespace corvel::merkle {

std::optional<std::uint64_t> leaves_for_records(std::uint64_t records) {
    // 2n - 64 <= records(n) <= 2n and records(n) grows strictly with n, so n is within 33 of
    // records / 2.
    std::uint64_t n = records / 2;
    while (n > 0 && records_for_leaves(n) > records) --n;
    while (records_for_leaves(n) < records) ++n;
    if (records_for_leaves(n) != records) return std::nullopt;
    return n;
}

std::expected<Hash, TreeError> NodeStore::read_record(std::uint64_t position) const {
    Hash out;
    auto read = read_records(position, std::span<Hash>(&out, 1));
    if (!read) return std::unexpected(read.error());
    return out;
}

std::expected<void, TreeError> MemoryNodeStore::append_records(std::span<const Hash> records) {
    records_.insert(records_.end(), records.begin(), records.end());
    return {};
}

std::expected<void, TreeError> MemoryNodeStore::read_records(std::uint64_t first, std::span<Hash> out) const {
    if (first > records_.size() || out.size() > records_.size() - first) {
        return std::unexpected(TreeError::out_of_range("record " + std::to_string(first + out.size() - 1) +
                                                       " is beyond the store's " + std::to_string(records_.size())));
    }
    std::copy_n(records_.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
    return {};
}

std::expected<void, TreeError> MemoryNodeStore::truncate_records(std::uint64_t count) {
    if (count < records_.size()) records_.resize(count);
    return {};
}

}  // namespace corvel::merkle
