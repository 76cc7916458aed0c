#include "crypto/sha256.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace corvel {

namespace sha256_detail {
namespace {

// The round constants: the first 32 bits of the fractional parts of the cube roots of the
// first 64 primes.
alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The initial state: the first 32 bits of the fractional parts of the square roots of the
// first 8 primes.
constexpr std::array<std::uint32_t, 8> kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t rotate_right(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t load_big_endian(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

BlockFunction chosen_blocks() noexcept {
    // Decided once: the processor does not change under a running process.
    static const BlockFunction blocks = extensions_available() ? blocks_extensions : blocks_portable;
    return blocks;
}

}  // namespace

void blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) noexcept {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = load_big_endian(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const std::uint32_t t2 =
                (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__)

bool extensions_available() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

// The SHA extensions keep the eight state words as two vectors, ABEF and CDGH; each
// sha256rnds2 does two rounds, and sha256msg1/msg2 extend the message schedule four words at
// a time.
__attribute__((target("sha,sse4.1,ssse3"))) void blocks_extensions(std::uint32_t* state, const std::uint8_t* data,
                                                                     std::size_t blocks) noexcept {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i w[4];  // the last sixteen schedule words, four to a vector
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
        }
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            if (group >= 4) {
                // W[t..t+3] = W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]), for t = 4 * group.
                __m128i next = _mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4));
                w[group & 3] = _mm_sha256msg2_epu32(next, w[(group + 3) & 3]);
            }
            const __m128i message =
                _mm_add_epi32(w[group & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#else

bool extensions_available() noexcept { return false; }
void blocks_extensions(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) noexcept {
    blocks_portable(state, data, blocks);
}

#endif

}  // namespace sha256_detail

Sha256::Sha256() noexcept : state_(sha256_detail::kInitial) {}

void Sha256::update(ByteView data) noexcept {
    if (data.empty()) return;
    const sha256_detail::BlockFunction blocks = sha256_detail::chosen_blocks();
    length_ += data.size();
    const std::uint8_t* next = data.data();
    std::size_t left = data.size();
    if (buffered_ > 0) {
        const std::size_t take = std::min(left, block_.size() - buffered_);
        std::memcpy(block_.data() + buffered_, next, take);
        buffered_ += take;
        next += take;
        left -= take;
        if (buffered_ < block_.size()) return;
        blocks(state_.data(), block_.data(), 1);
        buffered_ = 0;
    }
    if (left >= 64) {
        blocks(state_.data(), next, left / 64);
        next += left / 64 * 64;
        left %= 64;
    }
    if (left > 0) {
        std::memcpy(block_.data(), next, left);
        buffered_ = left;
    }
}

Hash32 Sha256::finish() noexcept {
    const sha256_detail::BlockFunction blocks = sha256_detail::chosen_blocks();
    const std::uint64_t bits = length_ * 8;
    block_[buffered_++] = 0x80;
    if (buffered_ > 56) {
        std::fill(block_.begin() + static_cast<std::ptrdiff_t>(buffered_), block_.end(), 0);
        blocks(state_.data(), block_.data(), 1);
        buffered_ = 0;
    }
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(buffered_), block_.begin() + 56, 0);
    for (int i = 0; i < 8; ++i) block_[63 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    blocks(state_.data(), block_.data(), 1);

    Hash32 digest;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    }
    return digest;
}

Hash32 hash_bytes(ByteView data) {
    Sha256 sha;
    sha.update(data);
    return sha.finish();
}

}  // namespace corvel
