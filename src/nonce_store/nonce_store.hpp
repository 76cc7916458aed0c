#pragma once
// Remembers the nonces of accepted proofs so that a proof presented twice is refused.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace corvel {

// A nonce handed in as a byte string of the wrong length.
struct NonceLengthError {
    std::string_view message() const { return "Nonce must be exactly 32 bytes"; }
};

// The nonce held in a byte string, which must be exactly as long as a nonce.
inline std::expected<Nonce, NonceLengthError> nonce_from_bytes(ByteView bytes) {
    Nonce nonce{};
    if (bytes.size() != nonce.size()) return std::unexpected(NonceLengthError{});
    std::memcpy(nonce.data(), bytes.data(), nonce.size());
    return nonce;
}

class NonceStoreError {
public:
    enum class Kind : std::uint8_t { NonceReused, StorageError, IoError, SerializationError };

    // `nonce_hex` is the nonce as 64 lower-case hexadecimal digits.
    static NonceStoreError nonce_reused(std::string nonce_hex) { return {Kind::NonceReused, std::move(nonce_hex), 0}; }
    static NonceStoreError storage_error(std::string detail) { return {Kind::StorageError, std::move(detail), 0}; }
    // An operating-system error; the text is the system's description of `errnum`.
    static NonceStoreError io_error(int errnum) { return {Kind::IoError, std::strerror(errnum), errnum}; }
    static NonceStoreError io_error(int errnum, std::string text) { return {Kind::IoError, std::move(text), errnum}; }
    static NonceStoreError serialization_error(std::string detail) {
        return {Kind::SerializationError, std::move(detail), 0};
    }

    Kind kind() const { return kind_; }
    // The payload text: the nonce's hexadecimal, the back end's text or the OS error's text.
    const std::string& detail() const { return detail_; }
    // The errno of IoError; 0 for the other variants.
    int os_error() const { return os_error_; }

    std::string message() const {
        switch (kind_) {
            case Kind::NonceReused: return "REPLAY ATTACK DETECTED: Nonce " + detail_ + " already used";
            case Kind::StorageError: return "Storage backend error: " + detail_;
            case Kind::IoError: return "I/O error: " + detail_;
            case Kind::SerializationError: return "Serialization error: " + detail_;
        }
        return {};
    }

    bool operator==(const NonceStoreError&) const = default;

private:
    NonceStoreError(Kind kind, std::string detail, int os_error)
        : kind_(kind), detail_(std::move(detail)), os_error_(os_error) {}
    Kind kind_;
    std::string detail_;
    int os_error_;
};

// A store of used nonces. The store does no locking: its owner serialises calls, so that the
// replay check and the recording of a nonce form one step.
class NonceStore {
public:
    virtual ~NonceStore() = default;

    // Records `nonce` with its time-to-live; refuses a nonce that was recorded before.
    virtual std::expected<void, NonceStoreError> check_and_insert(const Nonce& nonce, std::uint64_t ttl_seconds) = 0;
    // True if the nonce has an entry, whether or not it has outlived its TTL.
    virtual bool contains(const Nonce& nonce) const = 0;
    virtual std::expected<void, NonceStoreError> clear() = 0;
    // Entries held, expired or not.
    virtual std::size_t count() const = 0;
    // Removes expired entries and returns how many went.
    virtual std::expected<std::size_t, NonceStoreError> cleanup_expired() = 0;
};

}  // namespace corvel
