#include "merkle/file_node_store.hpp"

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

std::expected<std::pair<int, std::uint64_t>, TreeError> FileNodeStore::open_checked(const std::string& path, bool writable) {
    const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
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
    return std::make_pair(fd, static_cast<std::uint64_t>(info.st_size));
}

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::open(const std::string& path) {
    return open_with(path, true);
}

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::open_read_only(const std::string& path) {
    return open_with(path, false);
}

std::expected<std::unique_ptr<FileNodeStore>, TreeError> FileNodeStore::open_with(const std::string& path,
                                                                                   bool writable) {
    auto opened = open_checked(path, writable);
    if (!opened) return std::unexpected(opened.error());
    const auto [fd, length] = *opened;
    const std::uint64_t body = length - kHeaderSize;
    const char* problem = nullptr;
    if (body % sizeof(Hash) != 0) {
        problem = " ends inside a record";
    } else if (!leaves_for_records(body / sizeof(Hash))) {
        problem = " ends inside an append";
    }
    if (problem != nullptr) {
        ::close(fd);
        return std::unexpected(TreeError::damaged(path + problem));
    }
    return std::unique_ptr<FileNodeStore>(new FileNodeStore(fd, path, body / sizeof(Hash)));
}

std::expected<FileNodeStore::Recovered, TreeError> FileNodeStore::recover(const std::string& path) {
    auto opened = open_checked(path);
    if (!opened) return std::unexpected(opened.error());
    const auto [fd, length] = *opened;
    std::uint64_t records = (length - kHeaderSize) / sizeof(Hash);
    while (!leaves_for_records(records)) --records;  // within 64 steps: records(n+1) - records(n) <= 64
    std::unique_ptr<FileNodeStore> store(new FileNodeStore(fd, path, records));
    const std::uint64_t whole = kHeaderSize + records * sizeof(Hash);
    if (whole != length && ::ftruncate(fd, static_cast<off_t>(whole)) != 0) return io_error("truncating", path);
    return Recovered{std::move(store), length - whole};
}

FileNodeStore::~FileNodeStore() {
    // A lost buffer costs only a recovery from the trail; a destructor has no one to tell.
    (void)flush();
    ::close(fd_);
}

std::expected<void, TreeError> FileNodeStore::flush() {
    if (pending_.empty()) return {};
    if (broken_) return std::unexpected(TreeError::damaged(path_ + " has an unknown tail after a failed write"));
    const auto* data = reinterpret_cast<const std::uint8_t*>(pending_.data());
    if (!write_all(fd_, data, pending_.size() * sizeof(Hash), offset_of(written_))) {
        auto error = io_error("writing", path_);
        // Undo a partial write so that the file still ends where the written records do.
        if (::ftruncate(fd_, offset_of(written_)) != 0) broken_ = true;
        return error;
    }
    written_ += pending_.size();
    pending_.clear();
    return {};
}

std::expected<void, TreeError> FileNodeStore::append_records(std::span<const Hash> records) {
    if (broken_) return std::unexpected(TreeError::damaged(path_ + " has an unknown tail after a failed write"));
    pending_.insert(pending_.end(), records.begin(), records.end());
    if (pending_.size() < kBufferRecords) return {};
    auto flushed = flush();
    // All or none: on failure these records leave the buffer again; earlier ones stay in it.
    if (!flushed) pending_.resize(pending_.size() - records.size());
    return flushed;
}

std::expected<void, TreeError> FileNodeStore::read_records(std::uint64_t first, std::span<Hash> out) const {
    const std::uint64_t total = record_count();
    if (first > total || out.size() > total - first) {
        return std::unexpected(TreeError::out_of_range("record " + std::to_string(first + out.size() - 1) +
                                                       " is beyond the store's " + std::to_string(total)));
    }
    // The part in the file, then the part still in the buffer.
    const std::size_t from_file = first >= written_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), written_ - first));
    if (from_file > 0 &&
        !read_all(fd_, reinterpret_cast<std::uint8_t*>(out.data()), from_file * sizeof(Hash), offset_of(first))) {
        if (errno != 0) return io_error("reading", path_);
        return std::unexpected(TreeError::damaged(path_ + " was cut short while open"));
    }
    if (from_file == out.size()) return {};
    // The rest starts at or after the buffer's first record.
    const std::uint64_t buffered_first = first + from_file - written_;
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(buffered_first), out.size() - from_file,
                out.begin() + static_cast<std::ptrdiff_t>(from_file));
    return {};
}

std::expected<void, TreeError> FileNodeStore::truncate_records(std::uint64_t count) {
    if (count >= written_ && !broken_) {
        if (count < record_count()) pending_.resize(static_cast<std::size_t>(count - written_));
        return {};
    }
    pending_.clear();
    count = std::min(count, written_);
    if (::ftruncate(fd_, offset_of(count)) != 0) return io_error("truncating", path_);
    written_ = count;
    broken_ = false;
    return {};
}

std::expected<void, TreeError> FileNodeStore::sync() {
    auto flushed = flush();
    if (!flushed) return flushed;
    if (::fdatasync(fd_) != 0) return io_error("syncing", path_);
    return {};
}

}  // namespace corvel::merkle
