#pragma once
// Byte-level vocabulary shared by every component: fixed-size hashes and nonces, byte strings
// and views of them.

#include <array>
#include <cstdint>
#include <span>
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

}  // namespace corvel
