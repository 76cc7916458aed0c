#pragma once
// Signed notes: a UTF-8 text ending in a newline, an empty line, then signature lines
// "— name base64(key ID || signature)\n" (an em dash and a space first). The text includes its
// final newline, not the empty line. No control characters other than newlines anywhere.
//
// Opening a note against known verifier keys: a signature whose name and key ID both match a
// known key must verify, or the note is refused; signatures from other keys are skipped; a
// note with no verified known signature is refused.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "note/note_error.hpp"
#include "note/note_key.hpp"

namespace corvel {

// The most signature lines a note may carry; more are refused before any is checked, so a
// hostile note cannot make the verifier do unbounded work. Comfortably above the 16 every
// verifier must accept.
inline constexpr std::size_t kMaxSignatureLines = 100;

struct NoteSignature {
    std::string name;
    std::uint32_t key_id = 0;
    Bytes signature;  // what follows the key ID; 64 bytes for an Ed25519 key

    bool operator==(const NoteSignature&) const = default;
};

struct ParsedNote {
    std::string text;
    std::vector<NoteSignature> signatures;
};

struct OpenedNote {
    std::string text;
    // The known keys whose signatures verified, in the note's order.
    std::vector<VerifierKey> verified_by;
};

// "— name base64(key ID || signature)\n".
std::string format_signature_line(std::string_view name, std::uint32_t key_id, ByteView signature);

// The signed note: `text`, the empty line, one signature line by `signer`. Refuses a text that
// is empty, does not end in a newline, or holds a control character or invalid UTF-8.
std::expected<std::string, NoteError> sign_note(std::string_view text, const NoteSigner& signer);

// Splits a signed note into its text and signatures, checking only the form.
std::expected<ParsedNote, NoteError> parse_note(std::string_view note);

// Parses and verifies a signed note against the known keys.
std::expected<OpenedNote, NoteError> open_note(std::string_view note, std::span<const VerifierKey> known);

}  // namespace corvel
