#pragma once
// Opening a trail file: the path checks shared by the verifier and the writer.

#include <expected>
#include <string>

#include "audit_log/audit_error.hpp"
#include "base/file_descriptor.hpp"

namespace corvel {

// Opens `path` with `flags` (plus close-on-exec and no controlling terminal) and refuses
// anything but a regular file: a directory, a FIFO or a device is an IoError, so that no read
// can block on it.
std::expected<FileDescriptor, AuditError> open_trail_file(const std::string& path, int flags, int mode = 0);

// Writes all of `data` at `offset`, retrying short writes.
std::expected<void, AuditError> write_all_at(int fd, std::string_view data, std::uint64_t offset);

// Makes a new directory entry durable: fsync of the directory holding `path`.
std::expected<void, AuditError> sync_parent_directory(const std::string& path);

}  // namespace corvel
