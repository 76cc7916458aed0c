#include "audit_trail/trail_entry.hpp"

#include <cstring>

#include "crypto/sha256.hpp"

namespace corvel {

namespace {

// Feeds the entry encoding straight into SHA-256: no buffer is built, whatever the entry's size.
class HashSink {
public:
    void raw(ByteView bytes) { sha_.update(bytes); }
    void raw(std::string_view text) { raw(as_bytes(text)); }
    void u8(std::uint8_t value) { raw(ByteView(&value, 1)); }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    // A byte string with its length in front, so that neighbouring fields cannot trade bytes.
    void counted(ByteView bytes) {
        u64(bytes.size());
        raw(bytes);
    }
    void counted(std::string_view text) { counted(as_bytes(text)); }

    Hash32 finish() { return sha_.finish(); }

private:
    void little_endian(std::uint64_t value, std::size_t width) {
        std::uint8_t bytes[8];
        for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        raw(ByteView(bytes, width));
    }

    Sha256 sha_;
};

void feed(HashSink& sink, const ActionType& type) {
    sink.u32(static_cast<std::uint32_t>(type.kind()));
    if (type.kind() == ActionKind::Custom) sink.counted(type.custom_name());
}

void feed(HashSink& sink, const IntegrityProof& proof) {
    sink.raw(proof.nonce);
    sink.u64(proof.timestamp);
    sink.u64(proof.ttl);
    sink.raw(proof.action_hash);
    feed(sink, proof.action_type);
    sink.counted(proof.capsule_hash);
    sink.u32(static_cast<std::uint32_t>(proof.status.kind()));
    if (proof.status.kind() == StatusKind::Failed) sink.counted(proof.status.reason());
    sink.counted(proof.signature);
}

void feed(HashSink& sink, const Decision& decision) {
    sink.u32(decision.kind() == Decision::Kind::Approved ? 0 : 1);
    if (decision.kind() == Decision::Kind::Denied) sink.counted(decision.reason());
}

void feed(HashSink& sink, const DenialProof& denial) {
    sink.raw(denial.nonce);
    sink.u64(denial.timestamp);
    sink.raw(denial.action_hash);
    feed(sink, denial.action_type);
    sink.counted(denial.violated_rule);
    sink.counted(denial.denial_reason);
    sink.u32(denial.violation_count);
    sink.u8(denial.triggered_hard_reset ? 1 : 0);
    sink.counted(denial.signature);
}

void feed(HashSink& sink, const WatchdogRecord& record) {
    if (record.hard_reset_signal) {
        const HardResetSignal& signal = *record.hard_reset_signal;
        sink.u8(2);
        feed(sink, signal.final_denial);
        sink.counted(signal.charter_hash);
        sink.counted(signal.signature);
        sink.u64(signal.reset_timestamp);
        sink.u32(signal.total_violations);
    } else if (record.denial_proof) {
        sink.u8(1);
        feed(sink, *record.denial_proof);
    } else {
        sink.u8(0);
    }
}

// Only entries that hold a gate record hash these bytes, so every other entry keeps its hash.
void feed(HashSink& sink, const GateRecord& record) {
    if (const auto* call = std::get_if<GateCall>(&record)) {
        sink.u8(1);
        sink.u64(call->policies.size());
        for (const std::string& id : call->policies) sink.counted(id);
        sink.u32(call->denials);
    } else {
        const auto& outcome = std::get<GateOutcome>(record);
        sink.u8(2);
        sink.u64(outcome.decision_index);
        sink.u8(outcome.success ? 1 : 0);
        sink.raw(outcome.result_hash);
    }
}

}  // namespace

Hash32 entry_hash(const TrailEntry& trail_entry) {
    const AuditEntry& entry = trail_entry.entry;
    HashSink sink;
    sink.raw(kEntryHashDomain);
    sink.u8(0);
    sink.u64(entry.index);
    sink.u64(entry.timestamp);
    sink.counted(entry.action.canonical_encoding());
    feed(sink, entry.proof);
    feed(sink, entry.decision);
    feed(sink, trail_entry.watchdog);
    sink.raw(entry.prev_hash);
    if (trail_entry.gate) feed(sink, *trail_entry.gate);
    return sink.finish();
}

std::array<std::uint8_t, kEntrySignatureDomain.size() + 1 + 32> signature_message(const Hash32& current_hash) {
    std::array<std::uint8_t, kEntrySignatureDomain.size() + 1 + 32> out{};
    std::memcpy(out.data(), kEntrySignatureDomain.data(), kEntrySignatureDomain.size());
    out[kEntrySignatureDomain.size()] = 0;
    std::memcpy(out.data() + kEntrySignatureDomain.size() + 1, current_hash.data(), current_hash.size());
    return out;
}

}  // namespace corvel
