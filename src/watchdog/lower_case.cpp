#include "watchdog/lower_case.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>

namespace corvel {

namespace {

// Code points first..last, every stride-th one, lower-case to themselves plus delta.
struct LowerRun {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint8_t stride;
};

// A code point whose lower case is more than one code point, as UTF-8.
struct LowerLong {
    char32_t code_point;
    std::string_view utf8;
};

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "lower_case_table.inc"

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr std::string_view kFinalSigma = "\xCF\x82";
constexpr std::string_view kSmallSigma = "\xCF\x83";

bool in_ranges(std::span<const CodeRange> ranges, char32_t c) {
    const auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                                     [](char32_t value, const CodeRange& range) { return value < range.first; });
    return it != ranges.begin() && c <= std::prev(it)->last;
}

// One decoded character: its code point (none when the bytes are ill-formed) and its length.
struct Decoded {
    std::optional<char32_t> code_point;
    std::size_t size;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF. An ill-formed
// sequence is reported one byte at a time.
Decoded decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    std::size_t size;
    char32_t c;
    char32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2, c = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3, c = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4, c = lead & 0x07, min = 0x10000;
    } else {
        return {std::nullopt, 1};
    }
    if (text.size() - at < size) return {std::nullopt, 1};
    for (std::size_t i = 1; i < size; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {std::nullopt, 1};
        c = (c << 6) | (byte(i) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {std::nullopt, 1};
    return {c, size};
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The lower case of c when it is one code point (the context-free part of the mapping).
char32_t lower_single(char32_t c) {
    const std::span<const LowerRun> runs(kLowerRuns);
    const auto it = std::upper_bound(runs.begin(), runs.end(), c,
                                     [](char32_t value, const LowerRun& run) { return value < run.first; });
    if (it == runs.begin()) return c;
    const LowerRun& run = *std::prev(it);
    if (c > run.last || (c - run.first) % run.stride != 0) return c;
    return static_cast<char32_t>(static_cast<std::int64_t>(c) + run.delta);
}

std::optional<std::string_view> lower_long(char32_t c) {
    for (const LowerLong& entry : kLowerLong) {
        if (entry.code_point == c) return entry.utf8;
    }
    return std::nullopt;
}

bool is_case_ignorable(const Decoded& d) { return d.code_point && in_ranges(kCaseIgnorable, *d.code_point); }
bool is_cased(const Decoded& d) { return d.code_point && in_ranges(kCased, *d.code_point); }

// What the final-sigma rule needs of each ASCII character, read once from the same tables.
struct AsciiCase {
    bool ignorable[128];
    bool cased[128];
};

const AsciiCase& ascii_case() {
    static const AsciiCase table = [] {
        AsciiCase t{};
        for (char32_t c = 0; c < 128; ++c) {
            t.ignorable[c] = in_ranges(kCaseIgnorable, c);
            t.cased[c] = in_ranges(kCased, c);
        }
        return t;
    }();
    return table;
}

}  // namespace

void lower_case_into(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    // Final sigma: a capital sigma after a cased character (case-ignorable ones between are
    // skipped) and not before one. The look-back is carried along; each look-ahead stops at the
    // next character that is not case-ignorable, so the look-aheads never overlap.
    bool after_cased = false;
    const AsciiCase& ascii = ascii_case();
    for (std::size_t at = 0; at < text.size();) {
        // Most text is ASCII: A-Z is its only mapping, and no table search is needed.
        if (const auto byte = static_cast<unsigned char>(text[at]); byte < 0x80) {
            out.push_back(byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + ('a' - 'A')) : static_cast<char>(byte));
            if (!ascii.ignorable[byte]) after_cased = ascii.cased[byte];
            ++at;
            continue;
        }
        const Decoded d = decode(text, at);
        if (!d.code_point) {
            out.append(text.substr(at, d.size));
        } else if (*d.code_point == kCapitalSigma) {
            bool is_final = after_cased;
            for (std::size_t next = at + d.size; is_final && next < text.size();) {
                const Decoded n = decode(text, next);
                if (!is_case_ignorable(n)) {
                    is_final = !is_cased(n);
                    break;
                }
                next += n.size;
            }
            out.append(is_final ? kFinalSigma : kSmallSigma);
        } else if (const auto long_form = lower_long(*d.code_point)) {
            out.append(*long_form);
        } else {
            append_utf8(out, lower_single(*d.code_point));
        }
        if (!is_case_ignorable(d)) after_cased = is_cased(d);
        at += d.size;
    }
}

}  // namespace corvel
