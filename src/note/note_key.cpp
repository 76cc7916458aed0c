#include "base/hex.hpp"
#include "note/note_key.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "note/base64.hpp"
#include "crypto/sha256.hpp"

namespace corvel {

namespace {

constexpr std::uint8_t kEd25519Type = 0x01;

// Length of the UTF-8 sequence at `text[i]` and its code point; 0 for an invalid sequence
// (bad lead or continuation byte, overlong form, surrogate, beyond U+10FFFF).
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool is_control(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

// Unicode's White_Space characters: what Go's unicode.IsSpace reports, and what signed-note
// names may not hold.
bool is_space(char32_t code) {
    return (code >= 0x09 && code <= 0x0D) || code == 0x20 || code == 0x85 || code == 0xA0 || code == 0x1680 ||
           (code >= 0x2000 && code <= 0x200A) || code == 0x2028 || code == 0x2029 || code == 0x202F ||
           code == 0x205F || code == 0x3000;
}

std::string code_point(char32_t code) {
    char out[16];
    std::snprintf(out, sizeof out, "U+%04X", static_cast<unsigned>(code));
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case included: the key text is lower-case only
}

std::unexpected<NoteError> bad_key(std::string detail) {
    return std::unexpected(NoteError(NoteError::Kind::BadVerifierKey, std::move(detail)));
}

}  // namespace

std::string note_text_problem(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const std::size_t length = decode_utf8(text, i, code);
        if (length == 0) return "invalid UTF-8 at byte " + std::to_string(i);
        if (code != U'\n' && is_control(code)) return "control character at byte " + std::to_string(i);
        i += length;
    }
    return {};
}

std::string space_problem(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const std::size_t length = decode_utf8(text, i, code);
        if (length == 0) return {};
        if (is_space(code)) return "it holds a space (" + code_point(code) + ")";
        i += length;
    }
    return {};
}

std::string note_name_problem(std::string_view name) {
    if (name.empty()) return "it is empty";
    for (std::size_t i = 0; i < name.size();) {
        char32_t code = 0;
        const std::size_t length = decode_utf8(name, i, code);
        if (length == 0) return "it is not valid UTF-8 (byte " + std::to_string(i) + ")";
        if (code == U'+') return "it holds a plus sign";
        if (is_space(code)) return "it holds a space (" + code_point(code) + ")";
        if (is_control(code)) return "it holds a control character (" + code_point(code) + ")";
        i += length;
    }
    return {};
}

bool valid_note_key_name(std::string_view name) { return note_name_problem(name).empty(); }

static std::string quoted_name(std::string_view name) {
    // A name is echoed only while short and printable: what was given may be key material.
    if (name.size() > 64 || !note_text_problem(name).empty() || name.find('\n') != std::string_view::npos) {
        return "of " + std::to_string(name.size()) + " bytes";
    }
    std::string out(1, '"');
    out.append(name);
    out.push_back('"');
    return out;
}

NoteError bad_key_name(std::string_view name) {
    return NoteError(NoteError::Kind::BadKeyName, quoted_name(name) + ": " + note_name_problem(name));
}

std::uint32_t note_key_id(std::string_view name, const PublicKey& public_key) {
    static constexpr std::uint8_t kSeparator[2] = {0x0A, kEd25519Type};
    Sha256 sha;
    sha.update(name);
    sha.update(ByteView(kSeparator));
    sha.update(ByteView(public_key));
    const Hash32 digest = sha.finish();
    return (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) | (std::uint32_t{digest[2]} << 8) |
           std::uint32_t{digest[3]};
}

std::expected<VerifierKey, NoteError> VerifierKey::make(std::string name, const PublicKey& public_key) {
    if (!valid_note_key_name(name)) return std::unexpected(bad_key_name(name));
    const std::uint32_t id = note_key_id(name, public_key);
    return VerifierKey{std::move(name), id, public_key};
}

std::expected<VerifierKey, NoteError> VerifierKey::parse(std::string_view text) {
    // The name has no plus sign and the hex has none, so the first two split the text; the
    // base64 after them may hold more.
    // Key files are PEM: say what was given without repeating any of it.
    if (text.find("-----BEGIN ") != std::string_view::npos) {
        return bad_key(text.find("PRIVATE KEY") != std::string_view::npos
                           ? "this is a private key; a verifier key is the text name+ID+key of the public key"
                           : "this is a PEM key; a verifier key is the text name+ID+key (TrailPublicKey.verifier_key "
                             "or keygen --name prints it)");
    }
    const std::size_t first = text.find('+');
    if (first == std::string_view::npos) {
        return bad_key("not a verifier key text: it holds no \"+\" (a verifier key is name+ID+key)");
    }
    const std::string_view name = text.substr(0, first);
    // The name is not repeated: the text may be key material given in the wrong place.
    if (!valid_note_key_name(name)) {
        return std::unexpected(NoteError(NoteError::Kind::BadKeyName, "before the first \"+\": " + note_name_problem(name)));
    }
    const std::string_view rest = text.substr(first + 1);
    if (rest.size() < 9 || rest[8] != '+') return bad_key("the key ID is not 8 hex digits followed by \"+\"");
    std::uint32_t id = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const int digit = hex_digit(rest[i]);
        if (digit < 0) return bad_key("the key ID is not 8 lower-case hex digits");
        id = (id << 4) | static_cast<std::uint32_t>(digit);
    }
    const auto key = base64_decode(rest.substr(9));
    if (!key) return bad_key("the key is not canonical base64");
    if (key->size() != 33) return bad_key("the key is " + std::to_string(key->size()) + " bytes, not 33");
    if ((*key)[0] != kEd25519Type) return bad_key("the key type is not Ed25519 (0x01)");
    PublicKey public_key;
    std::copy(key->begin() + 1, key->end(), public_key.begin());
    if (note_key_id(name, public_key) != id) return bad_key("the key ID does not match the name and key");
    return VerifierKey{std::string(name), id, public_key};
}

std::string VerifierKey::text() const {
    Bytes key(33);
    key[0] = kEd25519Type;
    std::copy(public_key.begin(), public_key.end(), key.begin() + 1);
    const std::uint8_t id[4] = {static_cast<std::uint8_t>(key_id >> 24), static_cast<std::uint8_t>(key_id >> 16),
                                static_cast<std::uint8_t>(key_id >> 8), static_cast<std::uint8_t>(key_id)};
    return name + "+" + to_hex(ByteView(id, 4)) + "+" + base64_encode(key);
}

std::expected<SeedNoteSigner, NoteError> SeedNoteSigner::create(std::string name, const Seed& seed) {
    if (!valid_note_key_name(name)) return std::unexpected(bad_key_name(name));
    return SeedNoteSigner(std::move(name), seed);
}

SeedNoteSigner::SeedNoteSigner(std::string name, const Seed& seed) : name_(std::move(name)) {
    crypto_sign_seed_keypair(public_key_.data(), secret_key_.data(), seed.data());
}

SeedNoteSigner::SeedNoteSigner(SeedNoteSigner&& other) noexcept
    : name_(std::move(other.name_)), public_key_(other.public_key_), secret_key_(other.secret_key_) {
    sodium_memzero(other.secret_key_.data(), other.secret_key_.size());
}

SeedNoteSigner::~SeedNoteSigner() {
    sodium_memzero(secret_key_.data(), secret_key_.size());
}

std::expected<Signature, NoteError> SeedNoteSigner::sign(ByteView message) const {
    Signature signature;
    if (crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secret_key_.data()) != 0) {
        return std::unexpected(NoteError(NoteError::Kind::SigningFailed, "Ed25519 signing failed"));
    }
    return signature;
}

std::expected<KeyStoreNoteSigner, NoteError> KeyStoreNoteSigner::create(std::string name, const KeyStore& store) {
    if (!valid_note_key_name(name)) return std::unexpected(bad_key_name(name));
    const Bytes key = store.public_key_bytes();
    if (key.size() != 32) {
        return std::unexpected(NoteError(NoteError::Kind::SigningFailed, "the key store's public key is not 32 bytes"));
    }
    PublicKey public_key;
    std::copy(key.begin(), key.end(), public_key.begin());
    return KeyStoreNoteSigner(std::move(name), store, public_key);
}

std::expected<Signature, NoteError> KeyStoreNoteSigner::sign(ByteView message) const {
    auto signature = store_->sign(message);
    if (!signature) return std::unexpected(NoteError(NoteError::Kind::SigningFailed, signature.error().message()));
    if (signature->size() != 64) {
        return std::unexpected(NoteError(NoteError::Kind::SigningFailed, "the signature is not 64 bytes"));
    }
    Signature out;
    std::copy(signature->begin(), signature->end(), out.begin());
    return out;
}

}  // namespace corvel
