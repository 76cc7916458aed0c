#pragma once
// Lexical helpers of the storage-file reader: JSON white space and numbers, the texts that
// describe a faulty token, and the one-pass reader of byte arrays.

#include <simdjson.h>

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

}  // namespace corvel::audit_json
