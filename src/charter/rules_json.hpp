#pragma once

#include <string>
#include <vector>

namespace corvel {

// The rule list as compact JSON: ["a","b"], no white space outside strings; a quotation mark,
// a backslash and control characters escaped, everything else (solidus, DEL, non-ASCII)
// written as its UTF-8 bytes. The charter hash is taken over exactly these bytes.
std::string render_rules_json(const std::vector<std::string>& rules);

}  // namespace corvel
