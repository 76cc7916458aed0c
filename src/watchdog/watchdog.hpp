#pragma once
// Judges each proposed action against a fixed list of plain-text rules, signs a denial proof for
// every violation, counts consecutive violations and locks at the limit until the reset is
// acknowledged.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/os_facilities.hpp"
#include "crypto/key_store.hpp"
#include "proof/action.hpp"
#include "watchdog/denial_proof.hpp"
#include "watchdog/violation_counter.hpp"
#include "watchdog/watchdog_error.hpp"
#include "watchdog/watchdog_verdict.hpp"

namespace corvel {

class Watchdog {
public:
    // A watchdog with a key of its own from create_key_store, unlocked with count 0. An empty
    // rule list and an empty capsule hash are accepted.
    static std::expected<Watchdog, WatchdogError> create(std::vector<std::string> rules, std::string capsule_hash);
    // A watchdog signing with the given key store and reading the given clock. A null key store
    // is a fault.
    Watchdog(std::vector<std::string> rules, std::string capsule_hash, std::unique_ptr<KeyStore> key_store,
             UnixClock clock = system_unix_seconds);

    // Movable so that an owner can hold it by value; a moved-from watchdog may only be destroyed
    // or assigned to.
    Watchdog(Watchdog&&) noexcept = default;
    Watchdog& operator=(Watchdog&&) noexcept = default;

    // Absent: approved, and the count is set to 0 even while locked. Present: denied, with a
    // signed proof. Errors: Locked (a violation while locked; nothing changes), Crypto (signing
    // failed; the count keeps its increment and the watchdog does not lock), HardResetRequired
    // (the count reached the limit; the watchdog is now locked). Safe to call concurrently.
    std::expected<std::optional<DenialProof>, WatchdogError> verify_action(const Action& action) const;
    // The whole road in one call: approved; denied with the signed proof; or, at the tenth
    // violation, locked and hard reset required, with the final denial and the signed signal
    // (both stamped by this watchdog's clock). Errors: Locked and Crypto as for verify_action;
    // Crypto also when the signal cannot be signed, and then the watchdog stays locked. The
    // digest is asked for only on a violation, before anything changes, so a failure there
    // leaves count and lock as they were. Safe to call concurrently.
    std::expected<WatchdogVerdict, WatchdogError> judge(const Action& action, ActionDigest digest) const;
    std::expected<WatchdogVerdict, WatchdogError> judge(const Action& action) const {
        return judge(action, ActionDigest(action));
    }
    // A signal over the given final denial and the capsule hash, signed now. Neither tests nor
    // changes the lock or the count.
    std::expected<HardResetSignal, WatchdogError> generate_hard_reset_signal(DenialProof final_denial) const;

    // Sets the count to 0; the lock is unchanged.
    void report_success() const noexcept { counter_->reset(); }
    // Unlocks, then sets the count to 0.
    void acknowledge_reset() const noexcept;
    bool is_locked() const noexcept { return counter_->is_locked(); }
    std::uint32_t violation_count() const noexcept { return counter_->count(); }

    const std::vector<std::string>& rules() const { return rules_; }
    const std::string& capsule_hash() const { return capsule_hash_; }

private:
    static constexpr std::size_t kNoRule = static_cast<std::size_t>(-1);

    struct Violation {
        std::size_t rule;
        std::string_view reason_prefix;
    };
    // The first rule, in list order, that the action breaks. Allocates nothing.
    std::optional<Violation> find_violation(const Action& action) const;

    struct Denial {
        DenialProof proof;  // signed
        bool limit_reached;  // the watchdog is now locked
    };
    // The common road of verify_action and judge once a rule is broken: the lock test, the
    // count, the signed proof, and the lock at the limit.
    std::expected<Denial, WatchdogError> deny(const Action& action, const Violation& violation,
                                              ActionDigest digest) const;

    std::vector<std::string> rules_;
    std::string capsule_hash_;
    std::unique_ptr<KeyStore> key_store_;
    // Behind a pointer because atomics cannot move; the pointer itself never changes.
    std::unique_ptr<ViolationCounter> counter_;
    UnixClock clock_;
    // A rule's keywords never change, so each rule is lower-cased once, here, and only the first
    // rule holding each keyword is remembered: the patterns of a keyword's lines are the same for
    // every rule that holds it, so a later rule can never match where the first one did not.
    std::size_t first_no_harm_ = kNoRule;
    std::size_t first_privacy_ = kNoRule;
};

}  // namespace corvel
