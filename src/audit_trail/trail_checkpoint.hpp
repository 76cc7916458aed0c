#pragma once
// Checkpoints of a trail: the trail key as a signed-note signer, and the checkpoint file kept
// beside the trail ("<trail>.checkpoint").

#include <expected>
#include <optional>
#include <string>

#include "audit_log/audit_error.hpp"
#include "audit_trail/trail_error.hpp"
#include "note/checkpoint.hpp"
#include "note/note_key.hpp"
#include "keys/trail_key.hpp"

namespace corvel {

class TrailKeyNoteSigner final : public NoteSigner {
public:
    // `key` must outlive the signer. The name is the note key name (normally the origin).
    TrailKeyNoteSigner(std::string name, const TrailKey& key)
        : name_(std::move(name)), key_(&key), public_key_(key.public_key().bytes()) {}

    const std::string& name() const override { return name_; }
    const PublicKey& public_key() const override { return public_key_; }
    std::expected<Signature, NoteError> sign(ByteView message) const override;

private:
    std::string name_;
    const TrailKey* key_;
    PublicKey public_key_;
};

std::string checkpoint_path_for(const std::string& trail_path);

// The text of the checkpoint file at `path`, or nothing when there is none. A file over 1 MiB
// is refused: no checkpoint is that long.
std::expected<std::optional<std::string>, AuditError> read_checkpoint_file(const std::string& path);

// One key may sign the checkpoints of several trails, each under its own origin, and a
// verifier key names the trail it is for: a checkpoint whose origin is not `key_name` is
// another trail's, and refused although its signature verifies.
std::expected<void, TrailError> check_origin(const Checkpoint& checkpoint, std::string_view key_name);

// A checkpoint note of the trail `key` names: its origin is the key's name (checked first, so
// another trail's checkpoint is refused as such) and it is signed by the key. Errors are
// Checkpoint errors, prefixed with `what` ("the old checkpoint: ") when it is not empty.
std::expected<Checkpoint, TrailError> open_named_checkpoint(std::string_view note, const VerifierKey& key,
                                                            std::string_view what = {});

// Replaces the file at `path` with `text` so that a crash leaves the old text or the new one:
// a temporary file beside it, synced, renamed over it, and the directory synced.
std::expected<void, AuditError> replace_file(const std::string& path, std::string_view text);

}  // namespace corvel
