#pragma once
// Checkpoints: a signed note whose text is the origin (the log's name), the tree size in
// decimal without leading zeros, the standard base64 of the tree's root at that size, each on
// its own line, then optional non-empty extension lines.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"
#include "note/note_error.hpp"
#include "note/note_key.hpp"

namespace corvel {

struct Checkpoint {
    std::string origin;
    std::uint64_t size = 0;
    Hash32 root{};  // the tree's root hash at that size
    std::vector<std::string> extensions;

    // The checkpoint text, final newline included; refuses an empty origin or extension, or
    // one with a newline, control character or invalid UTF-8, or an origin with a space of
    // any kind (NoteError::BadCheckpoint).
    std::expected<std::string, NoteError> text() const;
    // Parses a checkpoint text (the note's text, not the signed note).
    static std::expected<Checkpoint, NoteError> parse(std::string_view text);

    bool operator==(const Checkpoint&) const = default;
};

// The checkpoint as a signed note by `signer`.
std::expected<std::string, NoteError> sign_checkpoint(const Checkpoint& checkpoint, const NoteSigner& signer);

// Opens a signed checkpoint note with one verifier key (signatures by other keys are skipped)
// and parses its text. A non-empty `expected_origin` must equal the checkpoint's origin: a
// checkpoint of another log signed by the same key is refused.
std::expected<Checkpoint, NoteError> verify_checkpoint(std::string_view note, const VerifierKey& key,
                                                       std::string_view expected_origin = {});

}  // namespace corvel
