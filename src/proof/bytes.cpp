#include "proof/bytes.hpp"

#include "crypto/fault.hpp"

namespace corvel {

std::uint8_t* ByteWriter::claim(std::size_t count) {
    if (static_cast<std::size_t>(end_ - cursor_) < count) throw Fault("byte layout overruns its buffer");
    std::uint8_t* at = cursor_;
    cursor_ += count;
    return at;
}

void ByteWriter::finish() const {
    if (cursor_ != end_) throw Fault("byte layout falls short of its buffer");
}

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
