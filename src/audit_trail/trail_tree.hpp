#pragma once
// The trail's Merkle tree beside the trail file ("<trail>.tree"): one leaf per entry,
// leaf_hash(current_hash). It is an index that can always be rebuilt from the trail, so the
// writer checks it against the trail on opening and rebuilds it when it disagrees; a tree
// that cannot be kept at all leaves the trail usable without checkpoints.

#include <optional>
#include <string>

#include "merkle/compact_range.hpp"
#include "merkle/merkle_error.hpp"
#include "merkle/merkle_tree.hpp"
#include "base/bytes.hpp"

namespace corvel {

std::string tree_path_for(const std::string& trail_path);

class TrailTree {
public:
    // Opens the sidecar, recovering a torn one; an unusable one is replaced by an empty one.
    explicit TrailTree(std::string path);

    // While the trail is read from the start: entry `index` has `current_hash`. A stored leaf
    // that disagrees is dropped with everything after it; missing leaves are appended.
    void observe(std::uint64_t index, const Hash32& current_hash);
    // After the read: true when the tree holds exactly the `count` leaves observed. When false,
    // start_rebuild() and observe every entry again.
    bool matches(std::uint64_t count) const;
    void start_rebuild();

    // Appends the leaf of a new entry; a failure leaves the tree unavailable.
    void append(const Hash32& current_hash);
    // Writes the buffered leaves (for readers of the sidecar beside the writer), without a sync:
    // the tree is checked against the trail on every opening, so a crash costs it no entry.
    void flush();
    std::expected<void, merkle::TreeError> sync();

    // The tree, or the reason it is unavailable.
    std::expected<const merkle::MerkleTree*, merkle::TreeError> tree() const;

private:
    void fail(merkle::TreeError error);

    std::string path_;
    std::optional<merkle::MerkleTree> tree_;
    std::optional<merkle::TreeError> failure_;
    merkle::CompactRange observed_;  // the trail's own leaves, to check the stored tree against
};

}  // namespace corvel
