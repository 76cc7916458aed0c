#pragma once
// Finding a minus sign outside JSON strings. No number of a trail entry or of evidence is ever
// negative, and "-0" must be refused although the parsed value cannot tell it from 0.

#include <string_view>

namespace corvel {

inline constexpr std::string_view kMinusSignRefusal =
    "entry: a number with a minus sign (no number in an entry is negative, not even -0)";

// True when `json` holds a '-' that is not inside a string. The text needs no padding.
bool has_minus_outside_strings(std::string_view json);

}  // namespace corvel
