#include "audit_trail/file_node_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace corvel::merkle {

namespace {

constexpr std::array<std::uint8_t, FileNodeStore::kHeaderSize> kHeader = {
    'C', 'V', 'M', 'E', 'R', 'K', 'L', 'E', 1, 0, 0, 0, 32, 0, 0, 0};

std::unexpected<TreeError> io_error(const char* operation, const std::string& path) {
    return std::unexpected(TreeError::io(errno, std::string(operation) + " " + path));
}

off_t offset_of(std::uint64_t record) {
    return static_cast<off_t>(FileNodeStore::kHeaderSize + record * sizeof(Hash));
}

// Writes or reads all of the buffer at `offset`, going on after short transfers and signals.
// Returns false with errno set on failure; a read past the end sets errno to 0.
bool write_all(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, offset);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += done;
    }
    return true;
}

bool read_all(int fd, std::uint8_t* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t done = ::pread(fd, data, size, offset);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (done == 0) {
            errno = 0;
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += done;
    }
    return true;
}

}  // namespace

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::create_with(const std::string& path,
                                                                                     int flags) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) {
        if (errno == EEXIST) return std::unexpected(TreeError::exists(path));
        return io_error("creating", path);
    }
    if (!write_all(fd, kHeader.data(), kHeader.size(), 0)) {
        auto error = io_error("writing", path);
        ::close(fd);
        return error;
    }
    return std::unique_ptr<FileNodeStore>(new FileNodeStore(fd, path, 0));
}

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::create(const std::string& path) {
    return create_with(path, O_EXCL);
}

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::replace(const std::string& path) {
    return create_with(path, O_TRUNC);
}

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return io_error("opening", path);
    auto fail = [fd](std::unexpected<TreeError> error) {
        ::close(fd);
        return error;
    };
    struct stat info;
    if (::fstat(fd, &info) != 0) return fail(io_error("reading", path));
    if (!S_ISREG(info.st_mode)) return fail(std::unexpected(TreeError::damaged(path + " is not a regular file")));
    std::array<std::uint8_t, kHeaderSize> header{};
    if (!read_all(fd, header.data(), header.size(), 0)) {
        if (errno != 0) return fail(io_error("reading", path));
        return fail(std::unexpected(TreeError::damaged(path + " is shorter than its header")));
    }
    if (header != kHeader) return fail(std::unexpected(TreeError::damaged(path + " has no node-store header")));
    const auto body = static_cast<std::uint64_t>(info.st_size) - kHeaderSize;
    if (body % sizeof(Hash) != 0) {
        return fail(std::unexpected(TreeError::damaged(path + " ends inside a record")));
    }
    return std::unique_ptr<FileNodeStore>(new FileNodeStore(fd, path, body / sizeof(Hash)));
}

FileNodeStore::~FileNodeStore() {
    ::close(fd_);
}

std::expected<void, TreeError> FileNodeStore::append_records(std::span<const Hash> records) {
    if (broken_) return std::unexpected(TreeError::damaged(path_ + " has an unknown tail after a failed write"));
    const auto* data = reinterpret_cast<const std::uint8_t*>(records.data());
    if (!write_all(fd_, data, records.size_bytes(), offset_of(records_))) {
        auto error = io_error("writing", path_);
        // Undo a partial write so that the file still ends on a whole append.
        if (::ftruncate(fd_, offset_of(records_)) != 0) broken_ = true;
        return error;
    }
    records_ += records.size();
    return {};
}

std::expected<void, TreeError> FileNodeStore::read_records(std::uint64_t first, std::span<Hash> out) const {
    if (first > records_ || out.size() > records_ - first) {
        return std::unexpected(TreeError::out_of_range("record " + std::to_string(first + out.size() - 1) +
                                                       " is beyond the store's " + std::to_string(records_)));
    }
    if (!read_all(fd_, reinterpret_cast<std::uint8_t*>(out.data()), out.size_bytes(), offset_of(first))) {
        if (errno != 0) return io_error("reading", path_);
        return std::unexpected(TreeError::damaged(path_ + " was cut short while open"));
    }
    return {};
}

std::expected<void, TreeError> FileNodeStore::truncate_records(std::uint64_t count) {
    if (count >= records_ && !broken_) return {};
    count = std::min(count, records_);
    if (::ftruncate(fd_, offset_of(count)) != 0) return io_error("truncating", path_);
    records_ = count;
    broken_ = false;
    return {};
}

std::expected<void, TreeError> FileNodeStore::sync() {
    if (::fdatasync(fd_) != 0) return io_error("syncing", path_);
    return {};
}

}  // namespace corvel::merkle
