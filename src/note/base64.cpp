#include "note/base64.hpp"

#include <sodium.h>

namespace corvel {

std::string base64_encode(ByteView bytes) {
    const std::size_t length = sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    std::string out(length, '\0');
    sodium_bin2base64(out.data(), length, bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();  // the terminating NUL that the encoded length counts
    return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return Bytes{};  // the library takes no empty output buffer
    Bytes out(text.size() / 4 * 3);
    std::size_t length = 0;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return std::nullopt;
    }
    out.resize(length);
    // The decoder already refuses stray bits and bad padding; re-encoding makes "canonical" a
    // property of this function rather than of the library's version.
    if (base64_encode(out) != text) return std::nullopt;
    return out;
}

}  // namespace corvel
