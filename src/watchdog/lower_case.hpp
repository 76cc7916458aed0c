#pragma once
// The Unicode default lower-case mapping of UTF-8 text, exactly as Python 3.12's str.lower()
// applies it: the full mapping (U+0130 becomes "i" and a combining dot) and the final-sigma
// rule. The tables are generated at build time from Python 3.12's own str.lower().

#include <string>
#include <string_view>

namespace corvel {

// Replaces out with the lower case of text. Bytes that are not well-formed UTF-8 are copied
// unchanged and count as neither cased nor case-ignorable in the final-sigma context.
void lower_case_into(std::string_view text, std::string& out);

inline std::string lower_case(std::string_view text) {
    std::string out;
    lower_case_into(text, out);
    return out;
}

}  // namespace corvel
