#pragma once
// The JSON line of one trail entry: rendering for the writer, strict parsing for the verifier.
// The line is one JSON object with no line break inside, members in the order of
// docs/audit-trail.md; it is also an element that the audit-log reader accepts.

#include <expected>
#include <string>
#include <string_view>

#include "audit_trail/trail_entry.hpp"

namespace corvel {

// Appends the entry's JSON object to `out`. Every text must be valid UTF-8 (check first).
void render_entry_json(std::string& out, const TrailEntry& entry);

// The same object in two steps, for a writer that signs after rendering: everything up to
// and including `"signature":` (the entry's signature member is ignored), then the signature's
// byte list and the closing brace. The signature is the last member, so the two together give
// exactly render_entry_json's text.
void render_entry_unsigned(std::string& out, const TrailEntry& entry);
void render_entry_signature(std::string& out, ByteView signature);

// The text render_entry_signature gives for a 64-byte signature is not of a fixed size: each
// byte is written in decimal ("7," to "255,"). Its bounds: "[" + 64 bytes + "]" + "}".
inline constexpr std::size_t kSignatureTextMin = 1 + 64 * 2 - 1 + 1 + 1;
inline constexpr std::size_t kSignatureTextMax = 1 + 64 * 4 - 1 + 1 + 1;

// The name of the first text of the entry that is not valid UTF-8, or empty when all are.
std::string_view invalid_utf8_member(const TrailEntry& entry);

// Parses one entry object. The parser refuses duplicate, missing and unknown members, wrong
// types and out-of-range numbers; the error text says what and where.
class TrailEntryParser {
public:
    TrailEntryParser();
    ~TrailEntryParser();
    TrailEntryParser(const TrailEntryParser&) = delete;
    TrailEntryParser& operator=(const TrailEntryParser&) = delete;

    // `line` must be followed in memory by at least kPadding readable bytes.
    // Most lines are read in one quick pass (trail_json_fast.hpp); the rest, and every
    // refusal, by the thorough parser.
    std::expected<TrailEntry, std::string> parse(std::string_view line);
    // The thorough parser alone: the reference the quick pass is held to.
    std::expected<TrailEntry, std::string> parse_thoroughly(std::string_view line);

    static constexpr std::size_t kPadding = 64;

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace corvel
