#pragma once
// Reading and writing the small files that hold trail keys. A private key file is created with
// mode 0600, never over an existing file, written whole and synced with its directory; it is
// read only if no one but its owner may use it. Every buffer is wiped on destruction.

#include <expected>
#include <string>

#include "keys/secret_buffer.hpp"
#include "keys/trail_key_error.hpp"
#include "base/bytes.hpp"

namespace corvel {

// Key files are far smaller than this; a larger file is refused before it is read.
inline constexpr std::size_t kMaxKeyFileSize = 1024;

enum class KeyFileAccess : std::uint8_t {
    OwnerOnly,  // a private key: refuse a file that group or others may read, write or run
    Any,        // a public key
};

// The whole content of a key file of at most kMaxKeyFileSize bytes.
std::expected<SecretBuffer, TrailKeyError> read_key_file(const std::string& path, KeyFileAccess access);

// Creates `path` (mode 0600) holding exactly `content`. On any failure nothing is left behind.
std::expected<void, TrailKeyError> write_new_key_file(const std::string& path, ByteView content);

}  // namespace corvel
