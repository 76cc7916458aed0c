#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "crypto/crypto_error.hpp"

namespace corvel {

class CharterError {
public:
    enum class Kind : std::uint8_t { NotSealed, AlreadySealed, RuleViolation, HsmConfiguration, Crypto };

    static CharterError not_sealed() { return CharterError(Kind::NotSealed, std::string()); }
    static CharterError already_sealed() { return CharterError(Kind::AlreadySealed, std::string()); }
    static CharterError rule_violation(std::string detail) { return CharterError(Kind::RuleViolation, std::move(detail)); }
    static CharterError hsm_configuration(std::string variable) {
        return CharterError(Kind::HsmConfiguration, std::move(variable));
    }
    static CharterError crypto(CryptoError error) { return CharterError(Kind::Crypto, std::move(error)); }

    Kind kind() const { return kind_; }
    // The wrapped key-store error of Crypto.
    const CryptoError* crypto_error() const { return std::get_if<CryptoError>(&payload_); }
    std::string message() const;

private:
    CharterError(Kind kind, std::variant<std::string, CryptoError> payload)
        : kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    std::variant<std::string, CryptoError> payload_;
};

}  // namespace corvel
