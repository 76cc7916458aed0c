#include "watchdog/watchdog_error.hpp"

namespace corvel {

std::uint32_t WatchdogError::count() const {
    const Limit* limit = std::get_if<Limit>(&payload_);
    return limit ? limit->count : 0;
}

std::uint32_t WatchdogError::max() const {
    const Limit* limit = std::get_if<Limit>(&payload_);
    return limit ? limit->max : 0;
}

std::string WatchdogError::message() const {
    switch (kind_) {
        case Kind::HardResetRequired:
            return "HARD RESET REQUIRED: " + std::to_string(count()) + " consecutive violations (max: " +
                   std::to_string(max()) + ")";
        case Kind::Crypto: return "Crypto error: " + std::get<CryptoError>(payload_).message();
        case Kind::Locked: return "Watchdog is locked after hard reset - restart required";
    }
    return {};
}

std::string WatchdogError::user_message() const {
    if (kind_ == Kind::Locked) return "Watchdog is locked - hard reset required";
    return message();
}

}  // namespace corvel
