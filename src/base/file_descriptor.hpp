#pragma once
// An owned file descriptor: closed when its owner goes, never twice.

#include <utility>

namespace corvel {

class FileDescriptor {
public:
    FileDescriptor() = default;
    // Takes ownership of `fd`; a negative value owns nothing.
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Closes the descriptor now; the wrapper then owns nothing.
    void reset();

private:
    int fd_ = -1;
};

}  // namespace corvel
