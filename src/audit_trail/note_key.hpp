#pragma once
// The key name, key ID and verifier-key text by which a signed note names its Ed25519 signer.
//   key ID            = the first 4 bytes of SHA-256(name || 0x0A || 0x01 || public key), big-endian
//   verifier-key text = name "+" 8 lower-case hex digits of the key ID "+" base64(0x01 || public key)
// Names are non-empty and hold no space, no "+" and no control character.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "audit_trail/trail_key_error.hpp"
#include "audit_trail/trail_public_key.hpp"

namespace corvel {

// The signature type byte of Ed25519 in signed notes.
inline constexpr std::uint8_t kNoteEd25519Type = 0x01;

std::expected<void, TrailKeyError> check_key_name(std::string_view name);

// The key ID of `key` under `name`; the name is checked first.
std::expected<std::uint32_t, TrailKeyError> note_key_id(std::string_view name, const TrailPublicKey& key);

std::expected<std::string, TrailKeyError> verifier_key_text(std::string_view name, const TrailPublicKey& key);

struct VerifierKey {
    std::string name;
    std::uint32_t key_id;
    TrailPublicKey key;
};

// Refuses a bad name, a key ID that is not 8 lower-case hex digits or does not match the name
// and key, a type byte other than Ed25519's, bad base64 and a key of the wrong length.
std::expected<VerifierKey, TrailKeyError> parse_verifier_key(std::string_view text);

}  // namespace corvel
