#pragma once
// The tree that evidence and consistency proofs are read from. The tree beside the trail
// (TRAIL.tree) is an index, never evidence: it is only read (a writer may hold it, the folder may
// be read-only), and when it is missing, damaged, shorter than the checkpoint, or its answer
// fails the caller's check against the checkpoint, the tree is rebuilt in memory from the trail
// file, O(n) reads instead of O(log n). The file itself is left for the writer to repair.

#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "audit_trail/trail_error.hpp"
#include "merkle/merkle_tree.hpp"
#include "audit_trail/trail_scan.hpp"
#include "note/checkpoint.hpp"

namespace corvel {

// The tree beside the trail, read only; none when it is missing, damaged, too short or gives
// another root than the checkpoint's at its size.
std::optional<merkle::MerkleTree> tree_beside(const std::string& trail_path, const Checkpoint& checkpoint);

// The tree of the trail's first `checkpoint.size` entries, rebuilt in memory from the file.
// Refuses (NotThePrefix) a file that holds fewer entries or whose entries give another root.
// `progress` is called now and then; returning false stops the rebuild.
std::expected<merkle::MerkleTree, TrailError> rebuild_tree(const std::string& trail_path,
                                                           const Checkpoint& checkpoint,
                                                           const TrailProgress& progress = {});

// Runs `attempt` (which checks what it builds against the checkpoint) on the tree beside the
// trail, and when that tree is unusable or its answer fails the check, on the tree rebuilt
// from the trail: the sidecar is an index, never evidence.
template <class Attempt>
auto with_tree(const std::string& trail_path, const Checkpoint& checkpoint, Attempt attempt,
               const TrailProgress& progress = {}) -> decltype(attempt(std::declval<const merkle::MerkleTree&>())) {
    if (auto beside = tree_beside(trail_path, checkpoint)) {
        if (auto answer = attempt(*beside)) return answer;
    }
    auto rebuilt = rebuild_tree(trail_path, checkpoint, progress);
    if (!rebuilt) return std::unexpected(std::move(rebuilt.error()));
    return attempt(*rebuilt);
}

}  // namespace corvel
