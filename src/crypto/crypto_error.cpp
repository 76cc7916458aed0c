#include "crypto/crypto_error.hpp"

namespace corvel {

std::string CryptoError::message() const {
    switch (kind_) {
        case Kind::KeyGenerationFailed: return "Failed to generate keypair: " + detail_;
        case Kind::SigningFailed: return "Failed to sign data: " + detail_;
        case Kind::VerificationFailed: return "Failed to verify signature: " + detail_;
        case Kind::InvalidSignature: return "Invalid signature";
        case Kind::InvalidKeyFormat: return "Invalid key format: " + detail_;
        case Kind::PublicKeyMismatch:
            return "CRITICAL: PublicKey mismatch detected - potential key leakage attack blocked";
        case Kind::FaultAttackDetected:
            return "CRITICAL SECURITY FAULT: Verify-after-sign failed - potential fault attack detected";
        case Kind::HsmError: return "HSM operation failed: " + detail_;
        case Kind::HsmKeyNotFound: return "Key not found in HSM: " + detail_;
        case Kind::TeeError: return "TEE operation failed: " + detail_;
        case Kind::TeeKeyNotFound: return "TEE key not found: " + detail_;
    }
    return {};
}

}  // namespace corvel
