#include "audit_trail/trail_repair.hpp"

#include <fcntl.h>
#include <simdjson.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "audit_trail/trail_file.hpp"
#include "audit_trail/trail_scan.hpp"
#include "base/file_descriptor.hpp"

namespace corvel {

namespace {

// Every entry line the writer writes begins so.
constexpr std::string_view kEntryStart = "{\"index\":";

// Files named "<trail>.torn-N" are tried up to this N before giving up.
constexpr int kMaxKeptTails = 10000;

}  // namespace

bool is_torn_append(std::string_view tail, bool first_entry) {
    // NUL bytes at the very end are blocks never written, also right after an entry whose own
    // append was cut just after its "}".
    while (!tail.empty() && tail.back() == '\0') tail.remove_suffix(1);
    const std::string_view separator = first_entry ? std::string_view("\n") : std::string_view(",\n");
    const std::size_t line_start = separator.size();
    // The bytes the append itself wrote; beyond the old closing line a NUL stands for a block
    // that never reached the disk.
    const auto written = [&](std::size_t i, char c) {
        if (c == '\0' && i >= kTrailClosing.size()) return true;
        if (i < line_start) return c == separator[i];
        if (i - line_start < kEntryStart.size()) return c == kEntryStart[i - line_start];
        return c != '\n';
    };
    std::size_t reached = 0;
    while (reached < tail.size() && written(reached, tail[reached])) ++reached;
    for (std::size_t i = reached; i < tail.size(); ++i) {
        const bool old_closing = i < kTrailClosing.size() && tail[i] == kTrailClosing[i];
        const bool unwritten = i >= kTrailClosing.size() && tail[i] == '\0';
        if (!old_closing && !unwritten) return false;
    }
    if (reached <= line_start) return true;
    // The entry line as far as it reached must not be a whole JSON value: a whole entry there is
    // damage, not an append cut short.
    std::string_view line = tail.substr(line_start, reached - line_start);
    // What follows a whole line when only its separator reached the disk: ",", "]", NUL bytes.
    while (!line.empty() && (line.back() == '\0' || line.back() == ',' || line.back() == ']')) line.remove_suffix(1);
    if (line.find('\0') != std::string_view::npos) return true;  // a hole: not whole
    simdjson::dom::parser parser;
    simdjson::dom::element ignored;
    return parser.parse(simdjson::padded_string(line)).get(ignored) != simdjson::SUCCESS;
}

std::expected<std::string, AuditError> keep_removed_tail(const std::string& trail_path, std::string_view bytes) {
    for (int n = 1; n <= kMaxKeptTails; ++n) {
        std::string path = trail_path + ".torn-" + std::to_string(n);
        // O_EXCL: an earlier kept tail is never overwritten, and a link planted there is not followed.
        FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file) {
            if (errno == EEXIST) continue;
            return std::unexpected(AuditError::io_error(errno));
        }
        if (auto wrote = write_all_at(file.get(), bytes, 0); !wrote) {
            ::unlink(path.c_str());
            return std::unexpected(std::move(wrote.error()));
        }
        if (::fsync(file.get()) != 0) {
            const int error = errno;
            ::unlink(path.c_str());
            return std::unexpected(AuditError::io_error(error));
        }
        if (auto synced = sync_parent_directory(path); !synced) return std::unexpected(std::move(synced.error()));
        return path;
    }
    return std::unexpected(AuditError::io_error(EEXIST, "too many kept tails beside the trail"));
}

}  // namespace corvel
