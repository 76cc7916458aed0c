#include "audit_trail/json_minus.hpp"

#include <cstring>

namespace corvel {

namespace {

const char* find(const char* from, const char* end, char c) {
    return static_cast<const char*>(std::memchr(from, c, static_cast<std::size_t>(end - from)));
}

}  // namespace

bool has_minus_outside_strings(std::string_view json) {
    const char* const begin = json.data();
    const char* const end = begin + json.size();
    const char* minus = find(begin, end, '-');
    // Most lines hold no '-' at all; the rest are walked string by string, by memchr only.
    const char* at = begin;
    while (minus != nullptr) {
        const char* quote = find(at, end, '"');
        if (quote == nullptr || minus < quote) return true;
        // Skip the string: its end is the next quote not escaped by an odd run of backslashes.
        const char* close = quote;
        for (;;) {
            close = find(close + 1, end, '"');
            if (close == nullptr) return false;  // an unterminated string: the parser refuses it
            const char* slash = close;
            while (slash > quote + 1 && slash[-1] == '\\') --slash;
            if ((close - slash) % 2 == 0) break;
        }
        at = close + 1;
        if (minus < at) minus = find(at, end, '-');
    }
    return false;
}

}  // namespace corvel
