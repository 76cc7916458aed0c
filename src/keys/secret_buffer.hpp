#pragma once
// A byte buffer of fixed capacity that is wiped when it dies. Key files, their base64 bodies and
// their DER pass through these so that no copy of a seed outlives its use: the capacity never
// grows, so nothing is ever reallocated and left behind unwiped.

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "base/fault.hpp"
#include "base/bytes.hpp"

namespace corvel {

class SecretBuffer {
public:
    explicit SecretBuffer(std::size_t capacity)
        : data_(capacity == 0 ? nullptr : new std::uint8_t[capacity]), capacity_(capacity) {}
    SecretBuffer(SecretBuffer&& other) noexcept
        : data_(std::move(other.data_)), capacity_(other.capacity_), size_(other.size_) {
        other.capacity_ = other.size_ = 0;
    }
    SecretBuffer& operator=(SecretBuffer&& other) noexcept {
        if (this != &other) {
            wipe();
            data_ = std::move(other.data_);
            capacity_ = other.capacity_;
            size_ = other.size_;
            other.capacity_ = other.size_ = 0;
        }
        return *this;
    }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { wipe(); }

    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    ByteView view() const { return {data_.get(), size_}; }
    std::string_view text() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }

    // Sets the length of the content; the bytes must have been written already.
    void resize(std::size_t size) {
        if (size > capacity_) throw Fault("SecretBuffer resized past its capacity");
        size_ = size;
    }
    void append(std::string_view text) { append(as_bytes(text)); }
    void append(ByteView bytes) {
        if (bytes.size() > capacity_ - size_) throw Fault("SecretBuffer appended past its capacity");
        if (!bytes.empty()) std::memcpy(data_.get() + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
    }

private:
    void wipe() {
        if (data_) sodium_memzero(data_.get(), capacity_);
    }

    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace corvel
