#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "crypto/crypto_error.hpp"

namespace corvel {

// The watchdog's refusals. A rule violation is not among them: it is reported as a denial proof.
class WatchdogError {
public:
    enum class Kind : std::uint8_t { HardResetRequired, Crypto, Locked };

    static WatchdogError hard_reset_required(std::uint32_t count, std::uint32_t max) {
        return WatchdogError(Kind::HardResetRequired, Limit{count, max});
    }
    static WatchdogError crypto(CryptoError error) { return WatchdogError(Kind::Crypto, std::move(error)); }
    static WatchdogError locked() { return WatchdogError(Kind::Locked, std::monostate{}); }

    Kind kind() const { return kind_; }
    // The count and limit carried by HardResetRequired; 0 for the other kinds.
    std::uint32_t count() const;
    std::uint32_t max() const;
    // The wrapped key-store error of Crypto; null for the other kinds.
    const CryptoError* crypto_error() const { return std::get_if<CryptoError>(&payload_); }
    std::string message() const;
    // The text shown to the users of the module: the same as message(), except that a
    // violation while locked names the way out, acknowledging the reset.
    std::string user_message() const;

private:
    struct Limit {
        std::uint32_t count;
        std::uint32_t max;
    };
    WatchdogError(Kind kind, std::variant<std::monostate, Limit, CryptoError> payload)
        : kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    std::variant<std::monostate, Limit, CryptoError> payload_;
};

}  // namespace corvel
