#pragma once
// SHA-256 (FIPS 180-4): the core's only hash function. Every digest of the system (action
// hashes, trail entries, Merkle nodes, key IDs) goes through here, so the hot paths of the
// charter, the trail writer and the trail verifier all gain when the processor has the SHA
// extensions; without them the portable block function is used.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/bytes.hpp"

namespace corvel {

// A digest fed in pieces. `finish` pads and returns the digest; the object is spent after it.
class Sha256 {
public:
    Sha256() noexcept;
    void update(ByteView data) noexcept;
    void update(std::string_view text) noexcept { update(as_bytes(text)); }
    Hash32 finish() noexcept;

private:
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> block_{};
    std::size_t buffered_ = 0;  // bytes of block_ in use
    std::uint64_t length_ = 0;  // bytes fed so far
};

// SHA-256 of any byte sequence, the empty one included.
Hash32 hash_bytes(ByteView data);

namespace sha256_detail {

// Runs the compression function over `blocks` whole 64-byte blocks.
using BlockFunction = void (*)(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks);

void blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) noexcept;
// The SHA extensions' version; call it only when extensions_available() says so.
void blocks_extensions(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) noexcept;
bool extensions_available() noexcept;

}  // namespace sha256_detail

}  // namespace corvel
