#pragma once
// Portable evidence of one decision: the entry, its inclusion proof and the checkpoint, in one
// JSON document that verifies offline with the trail's verifier key alone; and the proof that
// a trail extends an older checkpoint. docs/audit-trail.md gives both formats.

#include <expected>
#include <string>
#include <string_view>

#include "note/checkpoint.hpp"
#include "note/note_key.hpp"
#include "audit_trail/trail_error.hpp"

namespace corvel {

inline constexpr std::string_view kEvidenceFormat = "corvel-trail-evidence-v1";
inline constexpr std::string_view kConsistencyFormat = "corvel-trail-consistency-v1";

// The evidence for entry `index` of the trail at `trail_path`, at the size of the checkpoint
// kept beside it, read with the tree beside it. Reads O(log n) lines and tree nodes.
std::expected<std::string, TrailError> prove_entry(const std::string& trail_path, std::uint64_t index);

struct EvidenceSummary {
    std::uint64_t index = 0;
    std::uint64_t tree_size = 0;
    std::string origin;
    Hash32 current_hash{};
};

// Checks an evidence document: the checkpoint is signed by `key`, the entry's hash and trail
// signature are right under the key's public key, and the inclusion proof leads from the
// entry to the checkpoint's root.
std::expected<EvidenceSummary, TrailError> verify_evidence(std::string_view evidence, const VerifierKey& key);

// The consistency proof from `old_checkpoint_note` (a checkpoint of this trail) to the
// checkpoint kept beside the trail, checked before it is returned, as a JSON document.
std::expected<std::string, TrailError> prove_consistency(std::string_view old_checkpoint_note,
                                                         const std::string& trail_path);

}  // namespace corvel
