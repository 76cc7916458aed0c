#include "keys/key_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvel {

namespace {

using Kind = TrailKeyError::Kind;

TrailKeyError io_error(const std::string& path, const char* operation, int error) {
    return TrailKeyError(Kind::Io, path, operation, std::strerror(error));
}

// Closes the descriptor on every path out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports the result, which for a written file may be a late write error.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string octal_mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string parent_directory(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool write_all(int fd, ByteView content, int& error) {
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::expected<SecretBuffer, TrailKeyError> read_key_file(const std::string& path, KeyFileAccess access) {
    // O_NONBLOCK so that a FIFO in the key's place cannot hang the open; it is refused below.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT) return std::unexpected(TrailKeyError(Kind::NotFound, path));
        return std::unexpected(io_error(path, "open", errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(io_error(path, "read", errno));
    if (S_ISDIR(info.st_mode)) return std::unexpected(io_error(path, "read", EISDIR));
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(TrailKeyError(Kind::Io, path, "read", "not a regular file"));
    }
    if (access == KeyFileAccess::OwnerOnly && (info.st_mode & 077) != 0) {
        return std::unexpected(TrailKeyError(Kind::TooOpen, path, octal_mode(info.st_mode)));
    }
    const std::string too_large = "the file is larger than " + std::to_string(kMaxKeyFileSize) +
                                  " bytes, which no key file is";
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxKeyFileSize) {
        return std::unexpected(TrailKeyError(Kind::Malformed, path, too_large));
    }
    // One byte of room past the limit tells a file that grew since fstat from one that did not.
    SecretBuffer content(kMaxKeyFileSize + 1);
    std::size_t filled = 0;
    while (filled < content.capacity()) {
        const ssize_t n = ::read(fd.get(), content.data() + filled, content.capacity() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(io_error(path, "read", errno));
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled > kMaxKeyFileSize) return std::unexpected(TrailKeyError(Kind::Malformed, path, too_large));
    content.resize(filled);
    return content;
}

std::expected<void, TrailKeyError> write_new_key_file(const std::string& path, ByteView content) {
    // O_EXCL refuses an existing file and a symbolic link alike, so nothing is ever overwritten.
    Descriptor fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.get() < 0) {
        if (errno == EEXIST) return std::unexpected(TrailKeyError(Kind::AlreadyExists, path));
        return std::unexpected(io_error(path, "create", errno));
    }
    // From here on a failure removes the file that this call created.
    auto fail = [&](const char* operation, int error) -> std::expected<void, TrailKeyError> {
        if (fd.get() >= 0) fd.close();
        ::unlink(path.c_str());
        return std::unexpected(io_error(path, operation, error));
    };
    // The umask may only take bits away; this puts back the owner's own read and write.
    if (::fchmod(fd.get(), 0600) != 0) return fail("set the mode of", errno);
    int error = 0;
    if (!write_all(fd.get(), content, error)) return fail("write", error);
    if (::fsync(fd.get()) != 0) return fail("sync", errno);
    if (fd.close() != 0) return fail("close", errno);

    Descriptor directory(::open(parent_directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) return fail("open the directory of", errno);
    if (::fsync(directory.get()) != 0) return fail("sync the directory of", errno);
    return {};
}

}  // namespace corvel
