#pragma once
// Lexical helpers of the storage-file reader: JSON white space and numbers, the texts that
// describe a faulty token, and the one-pass reader of byte arrays.

#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvel::audit_json {

inline bool is_json_space(unsigned char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// `text`, cut to a length fit for an error message.
std::string quote(std::string_view text);
std::string_view trim_right(std::string_view text);
// The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view token);
// Why the number token `token` is not a value of type `expected` (an integer type).
std::string number_refusal(std::string_view token, const char* expected);
// Why the array element starting at `token` is not a byte.
std::string byte_refusal(const char* token, const char* end, const char* expected);

// The reader's text for a parser error; memory exhaustion is thrown as std::bad_alloc.
std::string describe(simdjson::error_code code);
// The word the messages use for a JSON type ("sequence", "map", ...).
const char* type_name(simdjson::ondemand::json_type type);

// "unknown variant `x`, expected one of `A`, `B`, `C`" (two names are joined by "or").
template <std::size_t N>
std::string unknown_variant(std::string_view name, const std::array<std::string_view, N>& variants) {
    std::string out = "unknown variant `";
    out += quote(name);
    out += N == 2 ? "`, expected " : "`, expected one of ";
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0) out += N == 2 ? " or " : ", ";
        out += '`';
        out += variants[i];
        out += '`';
    }
    return out;
}

// Reads the raw text of a JSON array of bytes ("[1, 2, 255]") in one pass, handing each byte
// to `emit`, as strictly as the parser would: plain decimal integers 0 to 255, no leading
// zeros. On a fault, `error` says what is wrong and false is returned.
template <typename Emit>
bool read_byte_list(std::string_view raw, const char* expected, std::string& error, Emit&& emit) {
    const char* p = raw.data() + 1;  // past '['
    const char* const end = raw.data() + raw.size();
    const auto skip_space = [&] {
        while (p < end && is_json_space(static_cast<unsigned char>(*p))) ++p;
    };
    skip_space();
    if (p < end && *p == ']') {
        ++p;
    } else {
        for (;;) {
            skip_space();
            const char* token = p;
            unsigned value = 0;
            while (p < end && *p >= '0' && *p <= '9' && p - token < 4) value = value * 10 + unsigned(*p++ - '0');
            const bool plain = p > token && p - token <= 3 && value <= 0xFF && (*token != '0' || p - token == 1) &&
                               (p == end || *p == ',' || *p == ']' || is_json_space(static_cast<unsigned char>(*p)));
            if (!plain) {
                error = byte_refusal(token, end, expected);
                return false;
            }
            emit(static_cast<std::uint8_t>(value));
            skip_space();
            if (p < end && *p == ',') {
                ++p;
                continue;
            }
            if (p < end && *p == ']') {
                ++p;
                break;
            }
            error = "invalid JSON syntax: expected `,` or `]`";
            return false;
        }
    }
    skip_space();
    if (p != end) {
        error = "invalid JSON syntax: expected `,` or `]`";
        return false;
    }
    return true;
}

// The scans of the streaming splitter, which only looks for the bytes that delimit entries.
// The next '"' or '\\' at or after `i`, or `n`.
inline std::size_t find_string_end(const unsigned char* data, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash))));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    while (i < n && data[i] != '"' && data[i] != '\\') ++i;
    return i;
}

// The next '"', '[', ']', '{' or '}' at or after `i`, or `n`.
inline std::size_t find_nesting(const unsigned char* data, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    // Setting bit 0x20 folds '[' onto '{' and ']' onto '}', and no other byte onto either.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i fold = _mm_set1_epi8(0x20);
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i folded = _mm_or_si128(block, fold);
        const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(block, quote),
                                          _mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    while (i < n) {
        const unsigned char c = data[i];
        if (c == '"' || (c | 0x20) == '{' || (c | 0x20) == '}') return i;
        ++i;
    }
    return i;
}

// Byte classes of the cutting scan; everything else is ordinary.
enum : std::uint8_t { kPlain = 0, kQuote, kOpen, kClose, kComma };

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> table{};
    table['"'] = kQuote;
    table['['] = kOpen;
    table['{'] = kOpen;
    table[']'] = kClose;
    table['}'] = kClose;
    table[','] = kComma;
    return table;
}();

// Why an array element starting with `c` is not an entry, or empty if it may be one. Only
// objects are entries, so anything else is refused at its first byte, before more of it is
// buffered.
std::string not_an_entry(unsigned char c);

}  // namespace corvel::audit_json
