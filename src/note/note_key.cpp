#include "base/hex.hpp"
#include "note/note_key.hpp"

#include <sodium.h>

#include <algorithm>
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

bool valid_note_key_name(std::string_view name) {
    return !name.empty() && name.find_first_of(" +\n") == std::string_view::npos && note_text_problem(name).empty();
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
    if (!valid_note_key_name(name)) return std::unexpected(NoteError(NoteError::Kind::BadKeyName, std::move(name)));
    const std::uint32_t id = note_key_id(name, public_key);
    return VerifierKey{std::move(name), id, public_key};
}

std::expected<VerifierKey, NoteError> VerifierKey::parse(std::string_view text) {
    // The name has no plus sign and the hex has none, so the first two split the text; the
    // base64 after them may hold more.
    const std::size_t first = text.find('+');
    if (first == std::string_view::npos) return bad_key("no \"+\" after the key name");
    const std::string_view name = text.substr(0, first);
    // The name is not repeated: the text may be key material given in the wrong place.
    if (!valid_note_key_name(name)) return std::unexpected(NoteError(NoteError::Kind::BadKeyName));
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
    if (!valid_note_key_name(name)) return std::unexpected(NoteError(NoteError::Kind::BadKeyName, std::move(name)));
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
    if (!valid_note_key_name(name)) return std::unexpected(NoteError(NoteError::Kind::BadKeyName, std::move(name)));
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
