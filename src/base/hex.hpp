#pragma once
// Lower-case hexadecimal, two digits per byte, no separators: the one encoder of the system.

#include <cstdint>
#include <string>

#include "base/bytes.hpp"

namespace corvel {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Writes 2 * bytes.size() digits at out and returns the end; the caller sized the room.
inline char* write_hex(char* out, ByteView bytes) {
    for (std::uint8_t byte : bytes) {
        *out++ = kHexDigits[byte >> 4];
        *out++ = kHexDigits[byte & 0x0f];
    }
    return out;
}

inline void append_hex(std::string& out, ByteView bytes) {
    const std::size_t start = out.size();
    out.resize(start + 2 * bytes.size());
    write_hex(out.data() + start, bytes);
}

inline std::string to_hex(ByteView bytes) {
    std::string out;
    append_hex(out, bytes);
    return out;
}

}  // namespace corvel
