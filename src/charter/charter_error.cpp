#include "charter/charter_error.hpp"

namespace corvel {

std::string CharterError::message() const {
    switch (kind_) {
        case Kind::NotSealed: return "Charter must be sealed before generating proofs";
        case Kind::AlreadySealed: return "Charter is already sealed and immutable";
        case Kind::RuleViolation: return "Action violates charter rules: " + std::get<std::string>(payload_);
        case Kind::HsmConfiguration:
            return "HSM configuration error: " + std::get<std::string>(payload_) + " not set";
        case Kind::Crypto: return "Cryptographic error: " + std::get<CryptoError>(payload_).message();
    }
    return {};
}

}  // namespace corvel
