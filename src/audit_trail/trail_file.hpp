#pragma once
// Opening a trail file: the path checks shared by the verifier and the writer.

#include <sys/uio.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "audit_log/audit_error.hpp"
#include "base/file_descriptor.hpp"

namespace corvel {

// Opens `path` with `flags` (plus close-on-exec and no controlling terminal) and refuses
// anything but a regular file: a directory, a FIFO or a device is an IoError, so that no read
// can block on it.
std::expected<FileDescriptor, AuditError> open_trail_file(const std::string& path, int flags, int mode = 0);

// The IoError of `errnum` on the file at `path`, naming it.
AuditError io_error_naming(const std::string& path, int errnum);

// open_trail_file for reading, its IoError naming the file: for readers that open several
// files (the trail and what lies beside it) and must say which one failed.
std::expected<FileDescriptor, AuditError> open_trail_for_reading(const std::string& path);

// Writes all of `data` at `offset`, retrying short writes.
std::expected<void, AuditError> write_all_at(int fd, std::string_view data, std::uint64_t offset);
// Writes the pieces one after the other from `offset`, in as few calls as the kernel allows;
// the pieces are advanced past what was written.
std::expected<void, AuditError> write_all_at(int fd, std::span<iovec> pieces, std::uint64_t offset);

// Makes a new directory entry durable: fsync of the directory holding `path`.
std::expected<void, AuditError> sync_parent_directory(const std::string& path);

}  // namespace corvel
