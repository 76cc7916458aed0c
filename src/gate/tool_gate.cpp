#include "gate/tool_gate.hpp"

#include "gate/trail_key_signer.hpp"

namespace corvel {

namespace {

// The charter owns its key store; the gate signs its hard-reset signals with the same one.
class SharedKeyStore : public KeyStore {
public:
    explicit SharedKeyStore(std::shared_ptr<const KeyStore> inner) : inner_(std::move(inner)) {}
    std::expected<Bytes, CryptoError> sign(ByteView data) const override { return inner_->sign(data); }
    std::expected<void, CryptoError> verify(ByteView data, ByteView signature) const override {
        return inner_->verify(data, signature);
    }
    Bytes public_key_bytes() const override { return inner_->public_key_bytes(); }
    std::string identifier() const override { return inner_->identifier(); }

private:
    std::shared_ptr<const KeyStore> inner_;
};

std::string joined(const std::vector<std::string>& ids) {
    std::string out;
    for (const std::string& id : ids) {
        if (!out.empty()) out += ", ";
        out += id;
    }
    return out;
}

constexpr std::string_view kFailClosed = "Denied, fail-closed: ";

}  // namespace

std::expected<std::unique_ptr<ToolGate>, GateError> ToolGate::create(std::string policy_text, std::string agent,
                                                                     std::string server, TrailWriter& trail,
                                                                     std::shared_ptr<const KeyStore> signer,
                                                                     UnixClock clock) {
    if (!signer) signer = std::make_shared<TrailKeySigner>(trail.key());
    std::vector<std::string> rules;
    rules.push_back(std::move(policy_text));
    SealedCharter charter(std::move(rules), std::make_unique<SharedKeyStore>(signer), clock);
    if (auto sealed = charter.seal(); !sealed) return std::unexpected(GateError::charter(sealed.error().message()));
    return std::unique_ptr<ToolGate>(
        new ToolGate(std::move(charter), std::move(agent), std::move(server), trail, std::move(signer), clock));
}

ToolGate::ToolGate(SealedCharter charter, std::string agent, std::string server, TrailWriter& trail,
                   std::shared_ptr<const KeyStore> signer, UnixClock clock)
    : charter_(std::move(charter)),
      agent_(std::move(agent)),
      server_(std::move(server)),
      trail_(trail),
      signer_(std::move(signer)),
      clock_(clock) {}

GateDecision ToolGate::decide(std::string_view tool, const ToolArguments* arguments, const PolicyVerdict& verdict) {
    // The call as an action of its own kind: the tool names it, the canonical arguments are its
    // payload, the server is its target and the agent its metadata.
    Action action{ActionType::custom(std::string(tool)), server_, std::nullopt, agent_};
    if (arguments) action.payload = Bytes(arguments->canonical.begin(), arguments->canonical.end());
    // Hashed before the lock: large arguments cost only their own caller.
    const Hash32 action_hash = action.hash();

    GateDecision decision;
    decision.policies = verdict.policies;
    if (arguments) decision.arguments_hash = arguments->hash;

    std::lock_guard lock(mutex_);
    std::string denial;
    if (locked_) {
        denial = "Denied: the gate is locked after " + std::to_string(kDenialLimit) +
                 " consecutive denials until the reset is acknowledged";
    } else if (verdict.kind == PolicyVerdict::Kind::Failure || !arguments) {
        denial = std::string(kFailClosed) + (verdict.failure.empty() ? "the call was not evaluated" : verdict.failure);
    } else if (verdict.kind == PolicyVerdict::Kind::Deny) {
        denial = verdict.policies.empty() ? "Denied: no policy allows this call"
                                          : "Denied by policy " + joined(verdict.policies);
        if (!verdict.note.empty()) denial += ": " + verdict.note;
    }
    if (denial.empty()) {
        auto proof = charter_.verify_action(action, action_hash);
        if (!proof) {
            denial = std::string(kFailClosed) + "the allow could not be signed: " + proof.error().message();
        } else {
            auto appended = trail_.append(action, *proof, Decision::approved(), {}, GateCall{verdict.policies, 0});
            if (appended) {
                denials_ = 0;
                awaiting_outcome_.emplace(appended->index, std::string(tool));
                decision.allowed = true;
                decision.reason = verdict.policies.empty() ? "Allowed" : "Allowed by policy " + joined(verdict.policies);
                if (!verdict.note.empty()) decision.reason += ": " + verdict.note;
                decision.index = appended->index;
                decision.proof = std::move(*proof);
                return decision;
            }
            denial = std::string(kFailClosed) + "the allow could not be recorded: " + appended.error().message();
        }
    }
    deny(decision, action, action_hash, std::move(denial));
    return decision;
}

// With the lock held: counts the denial, locks at the limit and records what it can.
void ToolGate::deny(GateDecision& decision, const Action& action, const Hash32& action_hash, std::string reason) {
    if (!locked_) {
        if (denials_ < UINT32_MAX) ++denials_;
        if (denials_ >= kDenialLimit) {
            locked_ = true;
            // The final denial stays unsigned, as the watchdog's does: the signal's signature covers it.
            HardResetSignal signal;
            signal.final_denial = DenialProof::create(action_hash, action.action_type, joined(decision.policies),
                                                      reason, denials_, clock_);
            signal.charter_hash = fingerprint();
            signal.reset_timestamp = clock_();
            signal.total_violations = denials_;
            if (auto signature = signer_->sign(signal.signing_data())) {
                signal.signature = std::move(*signature);
                decision.hard_reset_signal = std::move(signal);
            } else {
                reason += " (the hard-reset signal could not be signed: " + signature.error().message() + ")";
            }
        }
    }
    decision.allowed = false;
    decision.denials = denials_;
    decision.reason = std::move(reason);

    // A denial's proof is not signed: it is no token anyone should present, and its status
    // says so. The entry's own signature covers it.
    IntegrityProof proof =
        IntegrityProof::create(action_hash, action.action_type, fingerprint(), charter_.ttl(), clock_);
    proof.status = VerificationStatus::failed(decision.reason);
    WatchdogRecord record;
    record.hard_reset_signal = decision.hard_reset_signal;
    auto appended =
        trail_.append(action, proof, Decision::denied(decision.reason), record, GateCall{decision.policies, denials_});
    if (appended) decision.index = appended->index;
}

std::expected<std::uint64_t, GateError> ToolGate::record_outcome(std::uint64_t decision_index, bool success,
                                                                 const Hash32& result_hash) {
    std::lock_guard lock(mutex_);
    const auto awaiting = awaiting_outcome_.find(decision_index);
    if (awaiting == awaiting_outcome_.end()) return std::unexpected(GateError::unknown_decision(decision_index));
    const Action action{ActionType::custom(awaiting->second), server_, std::nullopt, agent_};
    // The outcome's proof only carries the fingerprint and a fresh nonce; the entry's signature covers it.
    const IntegrityProof proof = IntegrityProof::create(action, fingerprint(), charter_.ttl(), clock_);
    auto appended = trail_.append(action, proof, Decision::approved(), {}, GateOutcome{decision_index, success, result_hash});
    if (!appended) return std::unexpected(GateError::trail(appended.error().message()));
    awaiting_outcome_.erase(awaiting);
    return appended->index;
}

void ToolGate::acknowledge_reset() {
    std::lock_guard lock(mutex_);
    locked_ = false;
    denials_ = 0;
}

bool ToolGate::locked() const {
    std::lock_guard lock(mutex_);
    return locked_;
}

std::uint32_t ToolGate::denials() const {
    std::lock_guard lock(mutex_);
    return denials_;
}

}  // namespace corvel
