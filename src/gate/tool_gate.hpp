#pragma once
// The gate: judges one tool call at a time by the verdict of the user's policy and records
// every decision in the audit trail before it returns. Closed by construction: the one road to
// an allow is a policy that allows, an unlocked gate, a signed proof and an entry in the trail;
// anything else on the way is a denial. Ten consecutive denials lock it, as they lock the
// watchdog, and the tenth carries a signed hard-reset signal; every call is then denied until
// the reset is acknowledged. Safe to share between threads: decisions are taken one at a time,
// so the trail holds them in the order the count saw them.

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "audit_trail/trail_writer.hpp"
#include "charter/sealed_charter.hpp"
#include "gate/gate_error.hpp"
#include "gate/tool_arguments.hpp"
#include "watchdog/denial_proof.hpp"
#include "watchdog/violation_counter.hpp"

namespace corvel {

// What the policy engine made of a call, or why it could not say.
struct PolicyVerdict {
    enum class Kind : std::uint8_t { Allow, Deny, Failure };

    Kind kind = Kind::Failure;
    std::vector<std::string> policies;  // the ids of the policies that decided
    std::string failure;                // Failure: what went wrong
    std::string note;                   // Allow, Deny: added to the reason (an approval's terms)

    static PolicyVerdict allow(std::vector<std::string> ids, std::string note = {}) {
        return {Kind::Allow, std::move(ids), {}, std::move(note)};
    }
    static PolicyVerdict deny(std::vector<std::string> ids, std::string note = {}) {
        return {Kind::Deny, std::move(ids), {}, std::move(note)};
    }
    static PolicyVerdict failed(std::string what) { return {Kind::Failure, {}, std::move(what), {}}; }
};

struct GateDecision {
    bool allowed = false;
    std::string reason;
    std::vector<std::string> policies;
    std::optional<std::uint64_t> index;  // the decision's trail entry; none when it could not be written
    Hash32 arguments_hash{};             // of the canonical arguments; zero when they had none
    std::uint32_t denials = 0;           // consecutive denials after this decision
    std::optional<HardResetSignal> hard_reset_signal;  // on the decision that locked the gate
    std::optional<IntegrityProof> proof;               // an allow's signed proof
};

class ToolGate {
public:
    static constexpr std::uint32_t kDenialLimit = MAX_VIOLATIONS;

    // A gate recording into `trail`, which must outlive it. Its charter is sealed over the
    // policy text, so the charter hash is the policy's fingerprint in every proof. Proofs and
    // hard-reset signals are signed by `signer`, the trail's own key when it is null.
    static std::expected<std::unique_ptr<ToolGate>, GateError> create(std::string policy_text, std::string agent,
                                                                    std::string server, TrailWriter& trail,
                                                                    std::shared_ptr<const KeyStore> signer = nullptr,
                                                                    UnixClock clock = system_unix_seconds);

    // Decides a call to `tool` with the given arguments (null when they had no canonical form;
    // the verdict is then a failure) and records the decision. Never fails: a failure is a
    // denial, recorded with its text where the trail can still write.
    GateDecision decide(std::string_view tool, const ToolArguments* arguments, const PolicyVerdict& verdict);

    // Records what came of the allowed call at `decision_index`: success or error and the
    // SHA-256 of its result. Returns the outcome's own index. Each allow takes one outcome.
    std::expected<std::uint64_t, GateError> record_outcome(std::uint64_t decision_index, bool success,
                                                           const Hash32& result_hash);

    // Unlocks the gate and clears the count of denials.
    void acknowledge_reset();

    bool locked() const;
    std::uint32_t denials() const;
    // The policy's fingerprint: the charter hash, 64 hex digits.
    const std::string& fingerprint() const { return *charter_.capsule_hash(); }
    const std::string& agent() const { return agent_; }
    const std::string& server() const { return server_; }

private:
    ToolGate(SealedCharter charter, std::string agent, std::string server, TrailWriter& trail,
             std::shared_ptr<const KeyStore> signer, UnixClock clock);

    void deny(GateDecision& decision, const Action& action, const Hash32& action_hash, std::string reason);

    SealedCharter charter_;
    const std::string agent_;
    const std::string server_;
    TrailWriter& trail_;
    std::shared_ptr<const KeyStore> signer_;
    UnixClock clock_;

    mutable std::mutex mutex_;
    std::uint32_t denials_ = 0;
    bool locked_ = false;
    std::unordered_map<std::uint64_t, std::string> awaiting_outcome_;  // allowed index -> tool
};

}  // namespace corvel
