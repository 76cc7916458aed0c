#pragma once
// The writer's repair rule: what it may remove from the end of a trail file, and keeping what it
// removes. A crash can cut an append short, leaving part of one entry line after the last
// whole entry; anything else at the end of a file is damage or not a trail at all, and the
// writer refuses it untouched.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "audit_log/audit_error.hpp"

namespace corvel {

// True when `tail` (the bytes after the last whole valid entry, or after the opening "[" of a
// trail without entries) is what an append cut short can leave. An append writes its separator
// ("\n" before the first entry, ",\n" after one), the entry line (always beginning
// {"index":) and the closing line, in one write over the old closing line "\n]\n". So each
// byte of the tail is, from the start, the byte of that write, then the old closing line's
// byte where the write did not reach, and beyond the old closing line a NUL byte of a block
// the crash never wrote; NUL bytes at the very end are always such blocks. The entry line must
// not be whole: a line end after it, or a JSON value it completes, is refused.
bool is_torn_append(std::string_view tail, bool first_entry);

// Keeps `bytes` removed from the end of `trail_path` in a new file beside it
// ("<trail>.torn-1", or the first free of "-2", "-3", ...), synced with its directory before
// it returns, so that the trail may then be cut. Never overwrites an earlier one. Returns the
// file's path.
std::expected<std::string, AuditError> keep_removed_tail(const std::string& trail_path, std::string_view bytes);

}  // namespace corvel
