#pragma once
// Reads the audit log's storage file: one JSON array of audit entries, read strictly (every
// member present once, exact array lengths, integers in range, nothing after the array).
//
// The text is taken in piece by piece, so a large file never has to be held whole: entries are
// cut at their top-level commas and parsed a batch at a time, and only the entries are kept.

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audit_log/audit_entry.hpp"

namespace corvel {

class AuditJsonReader {
public:
    AuditJsonReader();
    ~AuditJsonReader();
    AuditJsonReader(const AuditJsonReader&) = delete;
    AuditJsonReader& operator=(const AuditJsonReader&) = delete;

    // Room for at least `size` more bytes of input; write them there, then call commit().
    std::span<char> input_space(std::size_t size);
    // Takes in the first `size` bytes written into the last input_space(). Fails at the first
    // fault in the text; after a failure every later call fails the same way.
    std::expected<void, std::string> commit(std::size_t size);
    // The end of the input: the entries in file order, or why the text is not a complete log.
    std::expected<std::vector<AuditEntry>, std::string> finish();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The whole text at once. Errors are short descriptions such as "missing field `index` at
// entry 0".
std::expected<std::vector<AuditEntry>, std::string> parse_audit_entries(std::string_view json);

}  // namespace corvel
