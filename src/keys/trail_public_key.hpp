#pragma once
// The public half of a trail key: what a verifier holds. Its forms are 64 lower-case hex
// digits, an SPKI PEM text (label "PUBLIC KEY") and the signed-note verifier-key text
// (note_key.hpp); parse_public_key reads any of the three.

#include <expected>
#include <string>
#include <string_view>

#include "note/note_key.hpp"
#include "keys/trail_key_error.hpp"
#include "crypto/key_store.hpp"
#include "base/bytes.hpp"

namespace corvel {

class TrailPublicKey {
public:
    explicit TrailPublicKey(const PublicKey& bytes) : bytes_(bytes) {}

    static std::expected<TrailPublicKey, TrailKeyError> from_hex(std::string_view text);
    static std::expected<TrailPublicKey, TrailKeyError> from_pem(std::string_view text);

    const PublicKey& bytes() const { return bytes_; }
    std::string hex() const;
    std::string pem() const;

    // Whether `signature` is a valid Ed25519 signature of `message` under this key. A signature
    // of the wrong length is simply not valid.
    bool verify(ByteView message, ByteView signature) const;

    bool operator==(const TrailPublicKey&) const = default;

private:
    PublicKey bytes_;
};

// The DER of an Ed25519 SubjectPublicKeyInfo is this prefix followed by the 32-byte key.
inline constexpr std::array<std::uint8_t, 12> kSpkiPrefix = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                                             0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

// A public key in any of its three forms, told apart by content: a PEM text that begins
// "-----BEGIN ", 64 hex digits, or a verifier-key text "name+keyid+key". Surrounding
// whitespace is ignored for the two one-line forms, so a file may end in a newline.
std::expected<TrailPublicKey, TrailKeyError> parse_public_key(std::string_view text);

// A verifier-key text alone (for evidence), its surrounding whitespace ignored as above.
std::expected<VerifierKey, NoteError> parse_verifier_key(std::string_view text);

// The same, read from a file (at most 1 KiB); errors name the file.
std::expected<TrailPublicKey, TrailKeyError> load_public_key(const std::string& path);

}  // namespace corvel
