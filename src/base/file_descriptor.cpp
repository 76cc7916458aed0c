#include "base/file_descriptor.hpp"

#include <unistd.h>

namespace corvel {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void FileDescriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FileDescriptor::~FileDescriptor() {
    // A failed close of a descriptor that was only read from loses nothing.
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace corvel
