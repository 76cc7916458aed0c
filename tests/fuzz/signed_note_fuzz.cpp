// Signed notes and checkpoints: a note that parses is exactly its text, the empty line and its
// signature lines formatted again; a checkpoint text that parses formats back to itself.

#include <string>

#include "note/checkpoint.hpp"
#include "note/signed_note.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto note = parse_note(input)) {
        require(note->signatures.size() <= kMaxSignatureLines, "a note with too many signatures parsed");
        std::string formatted = note->text + "\n";
        for (const NoteSignature& signature : note->signatures) {
            formatted += format_signature_line(signature.name, signature.key_id, signature.signature);
        }
        require(formatted == input, "a parsed note does not format back to itself");
    }
    if (const auto checkpoint = Checkpoint::parse(input)) {
        const auto text = checkpoint->text();
        require(text.has_value() && *text == input, "a parsed checkpoint does not format back to itself");
    }
    return 0;
}
