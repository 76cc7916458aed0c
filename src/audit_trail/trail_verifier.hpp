#pragma once
// The third party's check of a trail file with nothing but the trail's public key.

#include <expected>
#include <string>

#include "audit_log/audit_error.hpp"
#include "audit_trail/trail_scan.hpp"

namespace corvel {

struct TrailSummary {
    std::uint64_t count = 0;
    Hash32 head_hash = kGenesisHash;  // current_hash of the last entry (index count - 1)
};

// Streams the file and checks, in file order: the layout, index continuity, the chain, every
// entry hash and signature under `key`, and that no proof nonce repeats. Memory stays flat in
// the file's size apart from the set of nonces. The first failure is returned.
std::expected<TrailSummary, AuditError> verify_trail(const std::string& path, const PublicKey& key,
                                                     const TrailProgress& progress = {});

}  // namespace corvel
