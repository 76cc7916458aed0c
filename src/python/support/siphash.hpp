#pragma once
// SipHash with c compression and d finalisation rounds (Aumasson and Bernstein). The binding
// types hash with SipHash-1-3 and a zero key so that equal values hash equally in every
// process, independent of PYTHONHASHSEED.

#include <cstddef>
#include <cstdint>

namespace corvel::python {

namespace siphash_detail {
constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
constexpr std::uint64_t load_le(const std::uint8_t* p, std::size_t n) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < n; ++i) value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return value;
}
struct State {
    std::uint64_t v0, v1, v2, v3;
    constexpr void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
};
}  // namespace siphash_detail

template <int C, int D>
constexpr std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size) {
    using namespace siphash_detail;
    State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
            k1 ^ 0x7465646279746573ULL};
    const std::size_t whole = size - size % 8;
    for (std::size_t at = 0; at < whole; at += 8) {
        const std::uint64_t m = load_le(data + at, 8);
        s.v3 ^= m;
        for (int i = 0; i < C; ++i) s.round();
        s.v0 ^= m;
    }
    const std::uint64_t last = (static_cast<std::uint64_t>(size) << 56) | load_le(data + whole, size % 8);
    s.v3 ^= last;
    for (int i = 0; i < C; ++i) s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

inline std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size) {
    return siphash<1, 3>(k0, k1, data, size);
}

// The reference vectors of SipHash-2-4 (key 00..0f) pin the shared round code; SipHash-1-3
// itself is checked against the interpreter's own hash of bytes in the Python tests.
namespace siphash_detail {
constexpr std::uint64_t reference_24(std::size_t size) {
    std::uint8_t message[15] = {};
    for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<std::uint8_t>(i);
    return siphash<2, 4>(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, message, size);
}
static_assert(reference_24(0) == 0x726fdb47dd0e0e31ULL);
static_assert(reference_24(15) == 0xa129ca6149be45e5ULL);
}  // namespace siphash_detail

}  // namespace corvel::python
