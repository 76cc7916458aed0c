#pragma once
// Byte-level vocabulary shared by every component: fixed-size hashes and nonces, byte strings,
// little-endian writes and lower-case hexadecimal.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

using Bytes = std::vector<std::uint8_t>;
using Hash32 = std::array<std::uint8_t, 32>;
using Nonce = std::array<std::uint8_t, 32>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Appends to a buffer whose capacity was reserved beforehand; every multi-byte integer is
// written least significant byte first.
class ByteWriter {
public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    void u8(std::uint8_t value) { out_.push_back(value); }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    void raw(ByteView bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    void raw(std::string_view text) { raw(as_bytes(text)); }

private:
    void little_endian(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    Bytes& out_;
};

// Lower-case hexadecimal, two digits per byte, no separators.
std::string to_hex(ByteView bytes);
void append_hex(std::string& out, ByteView bytes);

}  // namespace corvel
