#pragma once
// The whole outcome of one judgement by the watchdog.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "watchdog/denial_proof.hpp"

namespace corvel {

// The final denial of a hard reset names no single rule: the run of violations is the reason.
inline constexpr std::string_view kFinalDenialRule = "Multiple violations";
inline std::string final_denial_reason(std::uint32_t count) {
    return std::to_string(count) + " consecutive violations reached";
}

// Exactly one of three shapes: approved; denied, with the signed denial proof; or hard reset
// required, with the final (unsigned) denial and the signed signal that carries a copy of it.
struct WatchdogVerdict {
    bool approved = false;
    bool hard_reset_required = false;
    std::optional<DenialProof> denial_proof;
    std::optional<HardResetSignal> hard_reset_signal;

    static WatchdogVerdict approve() { return {true, false, std::nullopt, std::nullopt}; }
    static WatchdogVerdict deny(DenialProof proof) { return {false, false, std::move(proof), std::nullopt}; }
    static WatchdogVerdict hard_reset(DenialProof final_denial, HardResetSignal signal) {
        return {false, true, std::move(final_denial), std::move(signal)};
    }
};

}  // namespace corvel
