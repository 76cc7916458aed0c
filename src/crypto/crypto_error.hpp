#pragma once

#include <cstdint>
#include <string>

namespace corvel {

// The error of every key-store operation. Each variant has exactly one display text.
class CryptoError {
public:
    enum class Kind : std::uint8_t {
        KeyGenerationFailed,
        SigningFailed,
        VerificationFailed,
        InvalidSignature,
        InvalidKeyFormat,
        PublicKeyMismatch,
        FaultAttackDetected,
        HsmError,
        HsmKeyNotFound,
        TeeError,
        TeeKeyNotFound,
    };

    CryptoError(Kind kind, std::string detail = {}) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind() const { return kind_; }
    // The carried text of the variants that have one.
    const std::string& detail() const { return detail_; }
    std::string message() const;

    bool operator==(const CryptoError&) const = default;

private:
    Kind kind_;
    std::string detail_;
};

}  // namespace corvel
