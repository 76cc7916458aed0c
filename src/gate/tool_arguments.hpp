#pragma once
// A tool call's arguments in the two forms the gate needs: the canonical JSON text (RFC 8785)
// that the decision is bound to, and the request context the policy engine reads.

#include <expected>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "gate/gate_error.hpp"

namespace corvel {

struct ToolArguments {
    std::string canonical;  // RFC 8785 text of the arguments
    Hash32 hash{};          // SHA-256 of `canonical`
    // The Cedar context, as JSON: {"arguments": A, "arguments_json": canonical, "text": T}.
    // A is the arguments as Cedar values (objects as records, arrays as sets; null, fractions
    // and integers outside Cedar's 64-bit range as the text of their canonical JSON); T is the
    // canonical text lower-cased with runs of spaces folded to one, for matching commands and
    // paths whatever their case and spacing.
    std::string context;
};

// Canonicalises one JSON text. Refused: text that is not one JSON value, invalid UTF-8 or an
// unpaired surrogate, a member named twice in one object, an integer beyond +-2^53 (no exact
// canonical form), and the member names "__entity" and "__extn" (Cedar would read them as
// references rather than data).
std::expected<ToolArguments, GateError> tool_arguments(std::string_view json);

// The RFC 8785 (ECMAScript) form of a finite double: shortest round-trip digits, plain between
// 1e-7 and 1e21, exponent form outside.
void append_es_number(std::string& out, double value);

}  // namespace corvel
