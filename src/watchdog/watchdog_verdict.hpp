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

    static WatchdogVerdict approve() { return {.approved = true}; }
    static WatchdogVerdict deny(DenialProof proof) { return {.denial_proof = std::move(proof)}; }
    static WatchdogVerdict hard_reset(DenialProof final_denial, HardResetSignal signal) {
        return {.hard_reset_required = true,
                .denial_proof = std::move(final_denial),
                .hard_reset_signal = std::move(signal)};
    }
};

}  // namespace corvel
