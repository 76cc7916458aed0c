#include "watchdog/watchdog.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/byte_writer.hpp"
#include "base/fault.hpp"
#include "watchdog/lower_case.hpp"

namespace corvel {

namespace {

constexpr std::string_view kNoHarm = "no harm";
constexpr std::string_view kPrivacy = "privacy";

// The patterns of one line of the rule check, with the set of their first bytes so that a scan
// of the target stops only where some pattern could begin.
template <std::size_t N>
class PatternLine {
public:
    constexpr explicit PatternLine(std::array<std::string_view, N> patterns) : patterns_(patterns) {
        for (std::string_view pattern : patterns_) starts_[static_cast<unsigned char>(pattern[0])] = true;
    }

    // Plain containment of any pattern, in one pass over the target.
    bool found_in(std::string_view target) const {
        const char* const data = target.data();
        const std::size_t size = target.size();
        for (std::size_t at = 0; at < size; ++at) {
            if (!starts_[static_cast<unsigned char>(data[at])]) continue;
            for (std::string_view pattern : patterns_) {
                if (data[at] == pattern[0] && size - at >= pattern.size() &&
                    std::memcmp(data + at + 1, pattern.data() + 1, pattern.size() - 1) == 0) {
                    return true;
                }
            }
        }
        return false;
    }

private:
    std::array<std::string_view, N> patterns_;
    std::array<bool, 256> starts_{};
};

constexpr PatternLine<4> kCriticalPaths({"system32", "/etc", "/bin", "boot"});
constexpr PatternLine<5> kDangerousCommands({"rm -rf", "format", "mkfs", "dd if=", ":(){ :|:& };:"});
constexpr PatternLine<3> kSensitiveData({"password", ".ssh", "credentials"});
constexpr PatternLine<3> kExfiltration({"exfil", "upload", "pastebin"});

struct Keywords {
    bool no_harm = false;
    bool privacy = false;
};

// Which keywords the lower-cased rule contains. The rule is mapped in pieces cut at character
// boundaries, so that only a few KiB are lower-cased at a time; the tail of each piece is
// carried over so a keyword straddling a cut is still seen. Only the final-sigma mapping looks
// at neighbouring characters, and it never produces ASCII, so the pieces lower-case exactly as
// the whole text would as far as the keywords are concerned.
Keywords scan_keywords(std::string_view rule) {
    constexpr std::size_t kPiece = 4096;
    constexpr std::size_t kCarry = std::max(kNoHarm.size(), kPrivacy.size()) - 1;
    Keywords found;
    std::string lowered;
    std::string window;
    std::size_t start = 0;
    do {
        std::size_t end = std::min(start + kPiece, rule.size());
        if (end < rule.size()) {
            // Step back over at most three continuation bytes to the start of a character.
            std::size_t cut = end;
            while (cut > start && end - cut < 3 && (static_cast<unsigned char>(rule[cut]) & 0xC0) == 0x80) --cut;
            if (cut > start) end = cut;
        }
        lower_case_into(rule.substr(start, end - start), lowered);
        window.append(lowered);
        found.no_harm = found.no_harm || window.find(kNoHarm) != std::string::npos;
        found.privacy = found.privacy || window.find(kPrivacy) != std::string::npos;
        if (window.size() > kCarry) window.erase(0, window.size() - kCarry);
        start = end;
    } while (start < rule.size() && !(found.no_harm && found.privacy));
    return found;
}

}  // namespace

std::expected<Watchdog, WatchdogError> Watchdog::create(std::vector<std::string> rules, std::string capsule_hash) {
    auto key_store = create_key_store();
    if (!key_store) return std::unexpected(WatchdogError::crypto(std::move(key_store.error())));
    return Watchdog(std::move(rules), std::move(capsule_hash), std::move(*key_store));
}

Watchdog::Watchdog(std::vector<std::string> rules, std::string capsule_hash, std::unique_ptr<KeyStore> key_store,
                   UnixClock clock)
    : rules_(std::move(rules)),
      capsule_hash_(std::move(capsule_hash)),
      key_store_(std::move(key_store)),
      counter_(std::make_unique<ViolationCounter>()),
      clock_(clock) {
    if (!key_store_) throw Fault("a watchdog needs a key store");
    if (!clock_) throw Fault("a watchdog needs a clock");
    if (rules_.empty()) return;
    for (std::size_t i = 0; i < rules_.size() && (first_no_harm_ == kNoRule || first_privacy_ == kNoRule); ++i) {
        const Keywords keywords = scan_keywords(rules_[i]);
        if (keywords.no_harm && first_no_harm_ == kNoRule) first_no_harm_ = i;
        if (keywords.privacy && first_privacy_ == kNoRule) first_privacy_ = i;
    }
}

std::optional<Watchdog::Violation> Watchdog::find_violation(const Action& action) const {
    // Each action kind is judged by one line of one keyword only, so the first rule holding that
    // keyword decides.
    const std::string_view target = action.target;
    switch (action.action_type.kind()) {
        case ActionKind::Delete:
            if (first_no_harm_ != kNoRule && kCriticalPaths.found_in(target))
                return Violation{first_no_harm_, "Destructive action on critical path: "};
            break;
        case ActionKind::Execute:
            if (first_no_harm_ != kNoRule && kDangerousCommands.found_in(target))
                return Violation{first_no_harm_, "Dangerous command detected: "};
            break;
        case ActionKind::Read:
            if (first_privacy_ != kNoRule && kSensitiveData.found_in(target))
                return Violation{first_privacy_, "Accessing sensitive data: "};
            break;
        case ActionKind::Network:
            if (first_privacy_ != kNoRule && kExfiltration.found_in(target))
                return Violation{first_privacy_, "Potential data exfiltration: "};
            break;
        case ActionKind::Write:
        case ActionKind::Custom: break;
    }
    return std::nullopt;
}

std::expected<Watchdog::Denial, WatchdogError> Watchdog::deny(const Action& action, const Violation& violation,
                                                              ActionDigest digest) const {
    if (counter_->is_locked()) return std::unexpected(WatchdogError::locked());

    // Everything that grows with the action (its encoding, the reason, the signing data) is
    // made before the count changes, so running out of memory leaves no trace.
    const Hash32 action_hash = digest();
    std::string reason;
    reason.reserve(violation.reason_prefix.size() + action.target.size());
    reason.append(violation.reason_prefix).append(action.target);
    DenialProof proof =
        DenialProof::create(action_hash, action.action_type, rules_[violation.rule], std::move(reason), 0, clock_);
    Bytes signing_data(proof.signing_size());

    const std::uint32_t count = counter_->increment();
    proof.violation_count = count;
    proof.triggered_hard_reset = count >= MAX_VIOLATIONS;
    ByteWriter out(signing_data);
    proof.write_signing_data(out);
    out.finish();

    // Every violation is signed before the limit is tested, the tenth too: a signing failure
    // must leave the increment standing and the watchdog unlocked, whatever the count. The
    // tenth proof is then dropped; the hard reset carries a final denial of its own.
    auto signature = key_store_->sign(signing_data);
    if (!signature) return std::unexpected(WatchdogError::crypto(std::move(signature.error())));
    proof.signature = std::move(*signature);

    const bool limit_reached = count >= MAX_VIOLATIONS;
    if (limit_reached) counter_->set_locked(true);
    return Denial{std::move(proof), limit_reached};
}

std::expected<std::optional<DenialProof>, WatchdogError> Watchdog::verify_action(const Action& action) const {
    const std::optional<Violation> violation = find_violation(action);
    if (!violation) {
        // Approval resets the count without consulting the lock.
        counter_->reset();
        return std::optional<DenialProof>();
    }
    auto denial = deny(action, *violation, ActionDigest(action));
    if (!denial) return std::unexpected(std::move(denial.error()));
    if (!denial->limit_reached) return std::optional<DenialProof>(std::move(denial->proof));
    return std::unexpected(WatchdogError::hard_reset_required(denial->proof.violation_count, MAX_VIOLATIONS));
}

std::expected<WatchdogVerdict, WatchdogError> Watchdog::judge(const Action& action, ActionDigest digest) const {
    const std::optional<Violation> violation = find_violation(action);
    if (!violation) {
        counter_->reset();
        return WatchdogVerdict::approve();
    }
    auto denial = deny(action, *violation, digest);
    if (!denial) return std::unexpected(std::move(denial.error()));
    DenialProof& proof = denial->proof;
    if (!denial->limit_reached) return WatchdogVerdict::deny(std::move(proof));

    // The final denial stays unsigned: the signal's signature covers it. The signal carries a
    // copy, so both share nonce and timestamp.
    const std::uint32_t count = proof.violation_count;
    DenialProof final_denial = DenialProof::create(proof.action_hash, action.action_type, std::string(kFinalDenialRule),
                                                   final_denial_reason(count), count, clock_);
    auto signal = generate_hard_reset_signal(final_denial);
    // The watchdog stays locked: the caller must still acknowledge the reset.
    if (!signal) return std::unexpected(std::move(signal.error()));
    return WatchdogVerdict::hard_reset(std::move(final_denial), std::move(*signal));
}

std::expected<HardResetSignal, WatchdogError> Watchdog::generate_hard_reset_signal(DenialProof final_denial) const {
    HardResetSignal signal;
    signal.total_violations = final_denial.violation_count;
    signal.final_denial = std::move(final_denial);
    signal.charter_hash = capsule_hash_;
    signal.reset_timestamp = clock_();
    auto signature = key_store_->sign(signal.signing_data());
    if (!signature) return std::unexpected(WatchdogError::crypto(std::move(signature.error())));
    signal.signature = std::move(*signature);
    return signal;
}

void Watchdog::acknowledge_reset() const noexcept {
    counter_->set_locked(false);
    counter_->reset();
}

}  // namespace corvel
