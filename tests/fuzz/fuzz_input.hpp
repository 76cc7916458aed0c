#pragma once
// Turns a fuzzer's bytes into typed values, front to back; past the end everything is zero or
// empty, so every input means something.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace corvel::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t u64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= std::uint64_t{u8()} << (8 * i);
        return value;
    }
    // A string of up to `limit` bytes, its length taken from the input.
    std::string text(std::size_t limit = 255) {
        const std::size_t length = std::min<std::size_t>(std::min<std::size_t>(u8(), limit), size_ - at_);
        std::string out(reinterpret_cast<const char*>(data_ + at_), length);
        at_ += length;
        return out;
    }
    bool empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A broken property: say which and stop, so the fuzzer keeps the input.
[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

inline void require(bool holds, const char* what) {
    if (!holds) broken(what);
}

// simdjson's NUMBER_ERROR covers malformed numbers and also valid ones too large for a double
// or an integer. Those need an exponent of three digits or twenty digits in a row; without
// either, the error can only be a malformed number.
inline bool may_hold_huge_number(std::string_view text) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        run = text[i] >= '0' && text[i] <= '9' ? run + 1 : 0;
        if (run >= 20) return true;
        if ((text[i] == 'e' || text[i] == 'E')) {
            std::size_t j = i + 1;
            if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
            std::size_t digits = 0;
            while (j + digits < text.size() && text[j + digits] >= '0' && text[j + digits] <= '9') ++digits;
            if (digits >= 3) return true;
        }
    }
    return false;
}

}  // namespace corvel::fuzz
