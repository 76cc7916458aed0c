#include "proof/bytes.hpp"

namespace corvel {

void append_hex(std::string& out, ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    const std::size_t start = out.size();
    out.resize(start + 2 * bytes.size());
    char* cursor = out.data() + start;
    for (std::uint8_t byte : bytes) {
        *cursor++ = digits[byte >> 4];
        *cursor++ = digits[byte & 0x0f];
    }
}

std::string to_hex(ByteView bytes) {
    std::string out;
    append_hex(out, bytes);
    return out;
}

}  // namespace corvel
