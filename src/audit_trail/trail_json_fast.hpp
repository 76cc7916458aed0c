#pragma once
// The quick reading of one trail entry line: a single pass over the text straight into the
// entry, with no document tree and no text copied twice. It reads only what it is sure of
// (well-formed JSON holding a well-formed entry) and gives up on everything else, so that the
// full parser (trail_json_parse.cpp) gives every refusal, with its own wording. Whatever it
// accepts, the full parser accepts as the same entry (the fuzz target trail_entry_fuzz checks).

#include <string_view>

#include "audit_trail/trail_entry.hpp"

namespace corvel {

// Reads `line` into `out`, reusing the room `out` already holds. False when the line is not
// one it is sure of; `out` is then unspecified.
bool read_entry_quickly(std::string_view line, TrailEntry& out);

}  // namespace corvel
