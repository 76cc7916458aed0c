#include "audit_log/audit_error.hpp"

#include <cstring>

namespace corvel {

namespace {
// "[0, 255, ...]": each byte in decimal.
std::string decimal_list(const Hash32& hash) {
    std::string out = "[";
    for (std::size_t i = 0; i < hash.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(hash[i]);
    }
    out += ']';
    return out;
}
}  // namespace

AuditError AuditError::io_error(int errnum) {
    return io_error(errnum, std::strerror(errnum));
}

std::string AuditError::detail() const {
    if (const auto* text = std::get_if<std::string>(&payload_)) return *text;
    return {};
}

std::string AuditError::message() const {
    switch (kind_) {
        case Kind::IoError: return "IO error in audit log: " + std::get<Io>(payload_).text;
        case Kind::SerializationError: return "Serialization error in audit log: " + std::get<std::string>(payload_);
        case Kind::ChainBroken: {
            const Chain& chain = std::get<Chain>(payload_);
            return "Audit chain integrity broken at index " + std::to_string(chain.index) + ": expected " +
                   decimal_list(chain.expected) + ", found " + decimal_list(chain.found);
        }
        case Kind::InvalidSignature:
            return "Invalid signature at audit log index " + std::to_string(std::get<std::uint64_t>(payload_));
        case Kind::Crypto: return "Cryptographic error in audit log: " + std::get<CryptoError>(payload_).message();
    }
    return {};
}

}  // namespace corvel
