#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "base/bytes.hpp"
#include "crypto/crypto_error.hpp"

namespace corvel {

class AuditError {
public:
    enum class Kind : std::uint8_t { IoError, SerializationError, ChainBroken, InvalidSignature, Crypto };

    struct Io {
        int errnum = 0;
        std::string text;
        bool operator==(const Io&) const = default;
    };
    struct Chain {
        std::uint64_t index = 0;
        Hash32 expected{};
        Hash32 found{};
        bool operator==(const Chain&) const = default;
    };

    // An operating-system error; the text is the system's description of `errnum`.
    static AuditError io_error(int errnum);
    static AuditError io_error(int errnum, std::string text) { return {Kind::IoError, Io{errnum, std::move(text)}}; }
    // `detail` says what is wrong with the storage file's JSON.
    static AuditError serialization_error(std::string detail) { return {Kind::SerializationError, std::move(detail)}; }
    static AuditError chain_broken(std::uint64_t index, const Hash32& expected, const Hash32& found) {
        return {Kind::ChainBroken, Chain{index, expected, found}};
    }
    static AuditError invalid_signature(std::uint64_t index) { return {Kind::InvalidSignature, index}; }
    static AuditError crypto(CryptoError error) { return {Kind::Crypto, std::move(error)}; }

    Kind kind() const { return kind_; }
    const Io* io() const { return std::get_if<Io>(&payload_); }
    const Chain* chain() const { return std::get_if<Chain>(&payload_); }
    const CryptoError* crypto_error() const { return std::get_if<CryptoError>(&payload_); }
    // The text of SerializationError; empty for the others.
    std::string detail() const;
    std::string message() const;

    bool operator==(const AuditError&) const = default;

private:
    using Payload = std::variant<Io, std::string, Chain, std::uint64_t, CryptoError>;
    AuditError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    Payload payload_;
};

}  // namespace corvel
