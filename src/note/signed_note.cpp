#include "note/signed_note.hpp"

#include <sodium.h>

#include <algorithm>

#include "note/base64.hpp"

namespace corvel {

namespace {

constexpr std::string_view kDashSpace = "\xE2\x80\x94 ";  // U+2014 and a space

std::unexpected<NoteError> malformed(std::string detail) {
    return std::unexpected(NoteError(NoteError::Kind::Malformed, std::move(detail)));
}

std::expected<NoteSignature, NoteError> parse_signature_line(std::string_view line, std::size_t number) {
    const std::string where = "signature line " + std::to_string(number);
    if (!line.starts_with(kDashSpace)) return malformed(where + " does not start with an em dash and a space");
    line.remove_prefix(kDashSpace.size());
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return malformed(where + " has no space between name and signature");
    const std::string_view name = line.substr(0, space);
    if (!valid_note_key_name(name)) return malformed(where + " has an invalid key name");
    const auto bytes = base64_decode(line.substr(space + 1));
    if (!bytes) return malformed(where + " has a signature that is not canonical base64");
    if (bytes->size() < 5) return malformed(where + " has a signature shorter than a key ID and one byte");
    NoteSignature out;
    out.name = std::string(name);
    out.key_id = (std::uint32_t{(*bytes)[0]} << 24) | (std::uint32_t{(*bytes)[1]} << 16) |
                 (std::uint32_t{(*bytes)[2]} << 8) | std::uint32_t{(*bytes)[3]};
    out.signature.assign(bytes->begin() + 4, bytes->end());
    return out;
}

}  // namespace

std::string format_signature_line(std::string_view name, std::uint32_t key_id, ByteView signature) {
    Bytes blob(4 + signature.size());
    blob[0] = static_cast<std::uint8_t>(key_id >> 24);
    blob[1] = static_cast<std::uint8_t>(key_id >> 16);
    blob[2] = static_cast<std::uint8_t>(key_id >> 8);
    blob[3] = static_cast<std::uint8_t>(key_id);
    std::copy(signature.begin(), signature.end(), blob.begin() + 4);
    std::string line(kDashSpace);
    line += name;
    line += ' ';
    line += base64_encode(blob);
    line += '\n';
    return line;
}

std::expected<std::string, NoteError> sign_note(std::string_view text, const NoteSigner& signer) {
    if (text.empty() || text.back() != '\n') {
        return std::unexpected(NoteError(NoteError::Kind::BadText, "it must end in a newline"));
    }
    if (std::string problem = note_text_problem(text); !problem.empty()) {
        return std::unexpected(NoteError(NoteError::Kind::BadText, problem));
    }
    if (!valid_note_key_name(signer.name())) return std::unexpected(bad_key_name(signer.name()));
    auto signature = signer.sign(as_bytes(text));
    if (!signature) return std::unexpected(signature.error());
    std::string note(text);
    note += '\n';
    note += format_signature_line(signer.name(), signer.key_id(), *signature);
    return note;
}

std::expected<ParsedNote, NoteError> parse_note(std::string_view note) {
    if (std::string problem = note_text_problem(note); !problem.empty()) return malformed(problem);
    // Signature lines hold no empty line, so the last one separates them from the text.
    const std::size_t separator = note.rfind("\n\n");
    if (separator == std::string_view::npos) return malformed("no empty line before the signatures");
    ParsedNote out;
    out.text = std::string(note.substr(0, separator + 1));
    std::string_view block = note.substr(separator + 2);
    if (block.empty()) return malformed("no signature lines");
    if (block.back() != '\n') return malformed("the last signature line does not end in a newline");
    const auto lines = static_cast<std::size_t>(std::count(block.begin(), block.end(), '\n'));
    if (lines > kMaxSignatureLines) return std::unexpected(NoteError(NoteError::Kind::TooManySignatures));
    out.signatures.reserve(lines);
    while (!block.empty()) {
        const std::size_t end = block.find('\n');
        auto signature = parse_signature_line(block.substr(0, end), out.signatures.size() + 1);
        if (!signature) return std::unexpected(signature.error());
        out.signatures.push_back(std::move(*signature));
        block.remove_prefix(end + 1);
    }
    return out;
}

std::expected<OpenedNote, NoteError> open_note(std::string_view note, std::span<const VerifierKey> known) {
    auto parsed = parse_note(note);
    if (!parsed) return std::unexpected(parsed.error());
    OpenedNote out;
    for (const NoteSignature& signature : parsed->signatures) {
        const auto key = std::ranges::find_if(known, [&](const VerifierKey& candidate) {
            return candidate.key_id == signature.key_id && candidate.name == signature.name;
        });
        if (key == known.end()) continue;
        if (signature.signature.size() != crypto_sign_BYTES ||
            crypto_sign_verify_detached(signature.signature.data(),
                                        reinterpret_cast<const std::uint8_t*>(parsed->text.data()),
                                        parsed->text.size(), key->public_key.data()) != 0) {
            return std::unexpected(NoteError(NoteError::Kind::BadSignature, key->name));
        }
        out.verified_by.push_back(*key);
    }
    if (out.verified_by.empty()) return std::unexpected(NoteError(NoteError::Kind::NoKnownSignature));
    out.text = std::move(parsed->text);
    return out;
}

}  // namespace corvel
