#include "audit_log/audit_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "audit_log/json_reader.hpp"
#include "base/fault.hpp"
#include "base/file_descriptor.hpp"

namespace corvel {

namespace {

constexpr std::size_t kReadBytes = std::size_t{1} << 20;

std::expected<std::vector<AuditEntry>, AuditError> read_entries(int fd) try {
    AuditJsonReader reader;
    for (;;) {
        const std::span<char> space = reader.input_space(kReadBytes);
        const ssize_t got = ::read(fd, space.data(), space.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(AuditError::serialization_error(std::strerror(errno)));
        }
        if (got == 0) break;
        if (auto taken = reader.commit(static_cast<std::size_t>(got)); !taken) {
            return std::unexpected(AuditError::serialization_error(std::move(taken.error())));
        }
    }
    auto entries = reader.finish();
    if (!entries) return std::unexpected(AuditError::serialization_error(std::move(entries.error())));
    return std::move(*entries);
} catch (const std::bad_alloc&) {
    // A file too large for the memory at hand is the file's failure to load, not a fault of
    // the process: whatever was read is released and the loader reports it.
    return std::unexpected(AuditError::serialization_error("out of memory while reading the file"));
}

}  // namespace

std::expected<AuditLog, AuditError> AuditLog::with_storage(std::unique_ptr<KeyStore> key_store, std::string path) {
    if (!key_store) throw Fault("AuditLog needs a key store");
    // The OS would read the path only up to the NUL and so open some other file.
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(AuditError::io_error(EINVAL, "file name contained an unexpected NUL byte"));
    }

    struct stat metadata;
    if (::stat(path.c_str(), &metadata) != 0) {
        // Only a path that does not exist means "no log yet". Any other failure (a directory
        // that cannot be searched, a symlink loop) would hide an existing log behind an empty
        // one, so it is reported.
        if (errno == ENOENT || errno == ENOTDIR) return AuditLog({}, std::move(path), std::move(key_store));
        return std::unexpected(AuditError::io_error(errno));
    }

    // O_NONBLOCK keeps the open of a FIFO without a writer from hanging; on the regular file
    // that is then read it changes nothing.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.valid()) return std::unexpected(AuditError::io_error(errno));

    // Only a regular file has an end. A FIFO or a device may hold the read forever (and with it
    // the caller, the Python interpreter included), so it is refused as unreadable, as a
    // directory is. The check is made on what was opened, not on the path.
    struct stat opened;
    if (::fstat(file.get(), &opened) != 0) return std::unexpected(AuditError::io_error(errno));
    if (S_ISDIR(opened.st_mode)) return std::unexpected(AuditError::serialization_error(std::strerror(EISDIR)));
    if (!S_ISREG(opened.st_mode)) {
        return std::unexpected(AuditError::serialization_error("not a regular file"));
    }

    auto entries = read_entries(file.get());
    if (!entries) return std::unexpected(std::move(entries.error()));
    return AuditLog(std::move(*entries), std::move(path), std::move(key_store));
}

std::expected<AuditLog, AuditError> AuditLog::with_storage(SoftwareKeyStore key_store, std::string path) {
    return with_storage(std::make_unique<SoftwareKeyStore>(std::move(key_store)), std::move(path));
}

std::expected<AuditLog, AuditError> AuditLog::open(std::string path) {
    auto key_store = create_key_store();
    if (!key_store) return std::unexpected(AuditError::crypto(std::move(key_store.error())));
    return with_storage(std::move(*key_store), std::move(path));
}

}  // namespace corvel
