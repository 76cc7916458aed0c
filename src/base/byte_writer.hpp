#pragma once
// The little-endian writer behind every signed byte layout.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "base/bytes.hpp"

namespace corvel {

// Fills a buffer that was sized exactly beforehand; every multi-byte integer is written least
// significant byte first. Writing past the end, or finishing short of it, is a fault.
class ByteWriter {
public:
    explicit ByteWriter(std::span<std::uint8_t> out) : cursor_(out.data()), end_(out.data() + out.size()) {}

    void u8(std::uint8_t value) { *claim(1) = value; }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    void raw(ByteView bytes) {
        if (!bytes.empty()) std::memcpy(claim(bytes.size()), bytes.data(), bytes.size());
    }
    void raw(std::string_view text) { raw(as_bytes(text)); }
    // Confirms that the buffer was filled exactly.
    void finish() const;

private:
    std::uint8_t* claim(std::size_t count);
    void little_endian(std::uint64_t value, std::size_t width) {
        std::uint8_t* out = claim(width);
        for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    std::uint8_t* cursor_;
    std::uint8_t* end_;
};

}  // namespace corvel
