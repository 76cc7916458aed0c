#pragma once
// Standard base64 with padding (RFC 4648 section 4), as the note and checkpoint texts use it.

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace corvel {

std::string base64_encode(ByteView bytes);
// The bytes of a canonical encoding: right alphabet, right padding, zero unused bits, nothing
// else (no spaces, no line breaks). Anything else is none, so one value has one text.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace corvel
