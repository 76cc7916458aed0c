#pragma once
// The third party's check of a trail file with nothing but the trail's public key.

#include <expected>
#include <string>

#include "audit_log/audit_error.hpp"
#include "note/checkpoint.hpp"
#include "audit_trail/trail_error.hpp"
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

// The checkpoint note, verified under the trail's public key with the checkpoint's origin as
// the note key name: a signature line by that name with the key ID of (origin, key) must
// verify. When the key came with a name (a verifier key text), `key_name` is that name and the
// origin must be it, as verify_evidence requires; an empty `key_name` accepts any origin the
// key signed.
std::expected<Checkpoint, TrailError> open_trail_checkpoint(std::string_view note, const PublicKey& key,
                                                            std::string_view key_name = {});

// verify_trail, and then proof that the file holds exactly the tree the checkpoint signs: its
// first `size` entries give the checkpoint's root. A trail cut short below it, an entry
// rewritten (and re-chained) or a fork is refused with NotThePrefix.
//
// The checkpoint's signature vouches for the prefix it covers: there every entry's hash, the
// chain and the root are recomputed, but the entries' own signatures are not checked unless
// `full`; entries beyond it are checked one by one. A failure is reported exactly as with
// `full` (the prefix is read again with every check when anything in it fails).
std::expected<TrailSummary, TrailError> verify_trail_prefix(const std::string& path, const PublicKey& key,
                                                            std::string_view checkpoint_note,
                                                            const TrailProgress& progress = {},
                                                            std::string_view key_name = {}, bool full = false);

}  // namespace corvel
