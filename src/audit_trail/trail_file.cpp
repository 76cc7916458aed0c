#include "audit_trail/trail_file.hpp"

#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace corvel {

std::expected<FileDescriptor, AuditError> open_trail_file(const std::string& path, int flags, int mode) {
    // The OS would read the path only up to the NUL and so open some other file.
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(AuditError::io_error(EINVAL, "file name contained an unexpected NUL byte"));
    }
    // O_NONBLOCK keeps the open of a FIFO from waiting for its other end.
    FileDescriptor file(::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode));
    if (!file) return std::unexpected(AuditError::io_error(errno));
    struct stat metadata;
    if (::fstat(file.get(), &metadata) != 0) return std::unexpected(AuditError::io_error(errno));
    if (S_ISDIR(metadata.st_mode)) return std::unexpected(AuditError::io_error(EISDIR));
    if (!S_ISREG(metadata.st_mode)) return std::unexpected(AuditError::io_error(EINVAL, "not a regular file"));
    const int status = ::fcntl(file.get(), F_GETFL);
    if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        return std::unexpected(AuditError::io_error(errno));
    }
    return file;
}

AuditError io_error_naming(const std::string& path, int errnum) {
    return AuditError::io_error(errnum, path + ": " + std::strerror(errnum));
}

std::expected<FileDescriptor, AuditError> open_trail_for_reading(const std::string& path) {
    auto file = open_trail_file(path, O_RDONLY);
    if (!file && file.error().io() != nullptr) {
        const AuditError::Io& io = *file.error().io();
        return std::unexpected(AuditError::io_error(io.errnum, path + ": " + io.text));
    }
    return file;
}

std::expected<void, AuditError> write_all_at(int fd, std::span<iovec> pieces, std::uint64_t offset) {
    while (!pieces.empty()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size(), IOV_MAX));
        const ssize_t wrote = ::pwritev(fd, pieces.data(), count, static_cast<off_t>(offset));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return std::unexpected(AuditError::io_error(errno));
        if (wrote == 0) return std::unexpected(AuditError::io_error(ENOSPC));
        offset += static_cast<std::uint64_t>(wrote);
        auto left = static_cast<std::size_t>(wrote);
        while (!pieces.empty() && left >= pieces.front().iov_len) {
            left -= pieces.front().iov_len;
            pieces = pieces.subspan(1);
        }
        if (left > 0) {
            pieces.front().iov_base = static_cast<char*>(pieces.front().iov_base) + left;
            pieces.front().iov_len -= left;
        }
    }
    return {};
}

std::expected<void, AuditError> write_all_at(int fd, std::string_view data, std::uint64_t offset) {
    iovec piece{const_cast<char*>(data.data()), data.size()};
    return write_all_at(fd, std::span(&piece, 1), offset);
}

std::expected<void, AuditError> sync_parent_directory(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return std::unexpected(AuditError::io_error(errno));
    if (::fsync(dir.get()) != 0) return std::unexpected(AuditError::io_error(errno));
    return {};
}

}  // namespace corvel
