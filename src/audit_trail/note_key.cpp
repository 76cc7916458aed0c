#include "audit_trail/note_key.hpp"

#include <algorithm>
#include <cstdio>

#include "audit_trail/pem.hpp"
#include "crypto/sha256.hpp"

namespace corvel {

namespace {

TrailKeyError bad_name(std::string detail) {
    return TrailKeyError(TrailKeyError::Kind::BadKeyName, {}, std::move(detail));
}

TrailKeyError malformed(std::string detail) {
    return TrailKeyError(TrailKeyError::Kind::Malformed, {}, "verifier key: " + std::move(detail));
}

std::string key_id_hex(std::uint32_t id) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(id));
    return text;
}

std::uint32_t key_id_of(std::string_view name, const TrailPublicKey& key) {
    Bytes input(name.begin(), name.end());
    input.push_back(0x0A);
    input.push_back(kNoteEd25519Type);
    input.insert(input.end(), key.bytes().begin(), key.bytes().end());
    const Hash32 digest = hash_bytes(input);
    return std::uint32_t{digest[0]} << 24 | std::uint32_t{digest[1]} << 16 | std::uint32_t{digest[2]} << 8 |
           std::uint32_t{digest[3]};
}

}  // namespace

std::expected<void, TrailKeyError> check_key_name(std::string_view name) {
    if (name.empty()) return std::unexpected(bad_name("the name is empty"));
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ') return std::unexpected(bad_name("the name holds a space"));
        if (byte == '+') return std::unexpected(bad_name("the name holds a \"+\""));
        // A control character would break the line structure of a note.
        if (byte < 0x20 || byte == 0x7f) return std::unexpected(bad_name("the name holds a control character"));
    }
    return {};
}

std::expected<std::uint32_t, TrailKeyError> note_key_id(std::string_view name, const TrailPublicKey& key) {
    if (auto checked = check_key_name(name); !checked) return std::unexpected(checked.error());
    return key_id_of(name, key);
}

std::expected<std::string, TrailKeyError> verifier_key_text(std::string_view name, const TrailPublicKey& key) {
    auto id = note_key_id(name, key);
    if (!id) return std::unexpected(id.error());
    Bytes typed{kNoteEd25519Type};
    typed.insert(typed.end(), key.bytes().begin(), key.bytes().end());
    return std::string(name) + "+" + key_id_hex(*id) + "+" + base64_encode(typed);
}

std::expected<VerifierKey, TrailKeyError> parse_verifier_key(std::string_view text) {
    // The name holds no "+", so the first one ends it; base64 may hold "+" itself.
    const std::size_t plus = text.find('+');
    if (plus == std::string_view::npos) return std::unexpected(malformed("expected name+keyid+key"));
    const std::string_view name = text.substr(0, plus);
    if (auto checked = check_key_name(name); !checked) return std::unexpected(checked.error());

    const std::string_view rest = text.substr(plus + 1);
    if (rest.size() < 9 || rest[8] != '+') {
        return std::unexpected(malformed("the key ID must be 8 hex digits between two \"+\""));
    }
    const std::string_view id_text = rest.substr(0, 8);
    const bool lower_hex = std::all_of(id_text.begin(), id_text.end(),
                                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    if (!lower_hex) return std::unexpected(malformed("the key ID must be 8 lower-case hex digits"));
    const auto id = static_cast<std::uint32_t>(std::stoul(std::string(id_text), nullptr, 16));

    auto typed = base64_decode(rest.substr(9));
    if (!typed) return std::unexpected(malformed("the key is not valid base64"));
    if (typed->empty() || (*typed)[0] != kNoteEd25519Type) {
        return std::unexpected(malformed("the key type is not Ed25519 (type byte 0x01)"));
    }
    if (typed->size() != 33) {
        return std::unexpected(malformed("an Ed25519 key is 32 bytes after its type byte, found " +
                                         std::to_string(typed->size() - 1)));
    }
    PublicKey bytes;
    std::copy(typed->begin() + 1, typed->end(), bytes.begin());
    const TrailPublicKey key(bytes);
    const std::uint32_t expected = key_id_of(name, key);
    if (expected != id) {
        return std::unexpected(malformed("the key ID " + std::string(id_text) + " does not match the name and key (" +
                                         key_id_hex(expected) + ")"));
    }
    return VerifierKey{std::string(name), id, key};
}

}  // namespace corvel
