#include "watchdog/denial_proof.hpp"

#include "base/byte_writer.hpp"
#include "watchdog/violation_counter.hpp"

namespace corvel {

DenialProof DenialProof::create(const Action& action, std::string violated_rule, std::string denial_reason,
                                std::uint32_t violation_count, UnixClock clock) {
    return create(action.hash(), action.action_type, std::move(violated_rule), std::move(denial_reason),
                  violation_count, clock);
}

DenialProof DenialProof::create(const Hash32& action_hash, ActionType action_type, std::string violated_rule,
                                std::string denial_reason, std::uint32_t violation_count, UnixClock clock) {
    DenialProof proof;
    fill_random(proof.nonce);
    proof.timestamp = clock();
    proof.action_hash = action_hash;
    proof.action_type = std::move(action_type);
    proof.violated_rule = std::move(violated_rule);
    proof.denial_reason = std::move(denial_reason);
    proof.violation_count = violation_count;
    proof.triggered_hard_reset = violation_count >= MAX_VIOLATIONS;
    return proof;
}

void DenialProof::write_signing_data(ByteWriter& out) const {
    out.raw(nonce);
    out.u64(timestamp);
    out.raw(action_hash);
    out.raw(violated_rule);
    out.raw(denial_reason);
    out.u32(violation_count);
    out.u8(triggered_hard_reset ? 0x01 : 0x00);
}

Bytes DenialProof::signing_data() const {
    Bytes data(signing_size());
    ByteWriter out(data);
    write_signing_data(out);
    out.finish();
    return data;
}

Bytes HardResetSignal::signing_data() const {
    Bytes data(signing_size());
    ByteWriter out(data);
    final_denial.write_signing_data(out);
    out.raw(charter_hash);
    out.u64(reset_timestamp);
    out.finish();
    return data;
}

}  // namespace corvel
