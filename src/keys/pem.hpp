#pragma once
// PEM armour (RFC 7468, strict form): "-----BEGIN LABEL-----\n", the standard base64 of the DER
// in lines of 64 characters, "-----END LABEL-----\n". Every line ends in "\n"; nothing may follow.
// The buffers are wiped on destruction, since the DER may hold a private key.

#include <expected>
#include <string_view>

#include "keys/secret_buffer.hpp"
#include "keys/trail_key_error.hpp"
#include "base/bytes.hpp"

namespace corvel {

SecretBuffer pem_encode(std::string_view label, ByteView der);

// The DER inside a PEM text of exactly this label. Errors are Malformed with an empty path.
std::expected<SecretBuffer, TrailKeyError> pem_decode(std::string_view text, std::string_view label);


}  // namespace corvel
