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
#include "audit_trail/trail_scan.hpp"

namespace corvel {

inline constexpr std::string_view kEvidenceFormat = "corvel-trail-evidence-v1";
inline constexpr std::string_view kConsistencyFormat = "corvel-trail-consistency-v1";

// The evidence for entry `index` of the trail at `trail_path`, at the size of the checkpoint
// kept beside it. The proof is read from the tree beside the trail (O(log n) lines and nodes)
// and checked against the checkpoint's root before it is returned; when the tree is missing,
// damaged or disagrees, it is rebuilt in memory from the trail (O(n)). Nothing is written: a
// read-only copy of a trail proves as well as the original. `progress` is called now and then
// while the tree is rebuilt; returning false stops it.
std::expected<std::string, TrailError> prove_entry(const std::string& trail_path, std::uint64_t index,
                                                   const TrailProgress& progress = {});

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
// checkpoint kept beside the trail, checked before it is returned, as a JSON document. The
// tree is read as prove_entry reads it. With a `key`, both checkpoints must also be signed by
// it under its name; without one, only their form and origins are compared.
std::expected<std::string, TrailError> prove_consistency(std::string_view old_checkpoint_note,
                                                         const std::string& trail_path,
                                                         const VerifierKey* key = nullptr,
                                                         const TrailProgress& progress = {});

struct ConsistencySummary {
    std::string origin;
    std::uint64_t old_size = 0;
    std::uint64_t new_size = 0;
};

// Checks a consistency document: both checkpoints are signed by `key` under its name (the
// origin), the old one is no larger, and the proof shows the old tree is a prefix of the new.
// A proof from size 0 or between equal sizes is empty (see docs/audit-trail.md).
std::expected<ConsistencySummary, TrailError> verify_consistency(std::string_view document, const VerifierKey& key);

}  // namespace corvel
