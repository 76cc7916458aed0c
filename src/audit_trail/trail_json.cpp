#include "audit_trail/trail_json.hpp"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cstring>

#include "base/json_writer.hpp"

namespace corvel {

// ------------------------------------------------------------------------------ rendering

namespace {

void append_string(std::string& out, std::string_view text) { append_json_string(out, text); }

void append_number(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// "0," to "255,": byte lists are most of an entry's text, so each byte is one table copy.
struct ByteTexts {
    std::array<std::array<char, 4>, 256> text{};
    std::array<std::uint8_t, 256> size{};
    constexpr ByteTexts() {
        for (int value = 0; value < 256; ++value) {
            int n = 0;
            if (value >= 100) text[value][n++] = static_cast<char>('0' + value / 100);
            if (value >= 10) text[value][n++] = static_cast<char>('0' + value / 10 % 10);
            text[value][n++] = static_cast<char>('0' + value % 10);
            text[value][n++] = ',';
            size[value] = static_cast<std::uint8_t>(n);
        }
    }
};
constexpr ByteTexts kByteTexts;

void append_byte_list(std::string& out, ByteView bytes) {
    if (bytes.empty()) {
        out += "[]";
        return;
    }
    // One pass into room for the longest text ("255,") per byte: each table entry is copied
    // whole (4 bytes) and the end moves on by its length, so there is no per-byte size check.
    const std::size_t start = out.size();
    out.resize_and_overwrite(start + 1 + 4 * bytes.size(), [&](char* buffer, std::size_t) {
        char* end = buffer + start;
        *end++ = '[';
        for (const std::uint8_t byte : bytes) {
            std::memcpy(end, kByteTexts.text[byte].data(), 4);
            end += kByteTexts.size[byte];
        }
        end[-1] = ']';  // over the last comma
        return static_cast<std::size_t>(end - buffer);
    });
}

// `"name":` with the comma that separates it from the member before it.
void member(std::string& out, std::string_view name, bool first = false) {
    if (!first) out.push_back(',');
    out.push_back('"');
    out += name;
    out += "\":";
}

void append_action_type(std::string& out, const ActionType& type) {
    if (type.kind() == ActionKind::Custom) {
        out += "{\"Custom\":";
        append_string(out, type.custom_name());
        out.push_back('}');
    } else {
        append_string(out, type.variant_name());
    }
}

void append_action(std::string& out, const Action& action) {
    member(out, "action_type", true);
    append_action_type(out, action.action_type);
    member(out, "target");
    append_string(out, action.target);
    member(out, "payload");
    if (action.payload) append_byte_list(out, *action.payload); else out += "null";
    member(out, "metadata");
    if (action.metadata) append_string(out, *action.metadata); else out += "null";
}

void append_status(std::string& out, const VerificationStatus& status) {
    switch (status.kind()) {
        case StatusKind::OK: out += "\"OK\""; break;
        case StatusKind::Tampered: out += "\"Tampered\""; break;
        case StatusKind::Failed:
            out += "{\"Failed\":";
            append_string(out, status.reason());
            out.push_back('}');
            break;
    }
}

void append_proof(std::string& out, const IntegrityProof& proof) {
    member(out, "nonce", true);
    append_byte_list(out, proof.nonce);
    member(out, "timestamp");
    append_number(out, proof.timestamp);
    member(out, "ttl");
    append_number(out, proof.ttl);
    member(out, "action_hash");
    append_byte_list(out, proof.action_hash);
    member(out, "action_type");
    append_action_type(out, proof.action_type);
    member(out, "capsule_hash");
    append_string(out, proof.capsule_hash);
    member(out, "status");
    append_status(out, proof.status);
    member(out, "signature");
    append_byte_list(out, proof.signature);
}

void append_denial(std::string& out, const DenialProof& denial) {
    member(out, "nonce", true);
    append_byte_list(out, denial.nonce);
    member(out, "timestamp");
    append_number(out, denial.timestamp);
    member(out, "action_hash");
    append_byte_list(out, denial.action_hash);
    member(out, "action_type");
    append_action_type(out, denial.action_type);
    member(out, "violated_rule");
    append_string(out, denial.violated_rule);
    member(out, "denial_reason");
    append_string(out, denial.denial_reason);
    member(out, "violation_count");
    append_number(out, denial.violation_count);
    member(out, "triggered_hard_reset");
    out += denial.triggered_hard_reset ? "true" : "false";
    member(out, "signature");
    append_byte_list(out, denial.signature);
}

void append_signal(std::string& out, const HardResetSignal& signal) {
    member(out, "final_denial", true);
    out.push_back('{');
    append_denial(out, signal.final_denial);
    out.push_back('}');
    member(out, "charter_hash");
    append_string(out, signal.charter_hash);
    member(out, "signature");
    append_byte_list(out, signal.signature);
    member(out, "reset_timestamp");
    append_number(out, signal.reset_timestamp);
    member(out, "total_violations");
    append_number(out, signal.total_violations);
}

void append_gate(std::string& out, const GateRecord& record) {
    if (const auto* call = std::get_if<GateCall>(&record)) {
        out += "{\"call\":{\"policies\":[";
        for (std::size_t i = 0; i < call->policies.size(); ++i) {
            if (i != 0) out.push_back(',');
            append_string(out, call->policies[i]);
        }
        out += "],\"denials\":";
        append_number(out, call->denials);
        out += "}}";
    } else {
        const auto& outcome = std::get<GateOutcome>(record);
        out += "{\"outcome\":{\"decision_index\":";
        append_number(out, outcome.decision_index);
        out += outcome.success ? ",\"success\":true" : ",\"success\":false";
        out += ",\"result_hash\":";
        append_byte_list(out, outcome.result_hash);
        out += "}}";
    }
}

// Calls `visit(name, text)` for every text of the entry, in file order.
template <typename Visit>
bool every_text(const TrailEntry& trail_entry, Visit visit) {
    const AuditEntry& e = trail_entry.entry;
    auto denial_texts = [&](const DenialProof& d, std::string_view prefix) {
        return visit(prefix, d.action_type.custom_name()) && visit(prefix, d.violated_rule) &&
               visit(prefix, d.denial_reason);
    };
    if (!visit("action", e.action.action_type.custom_name()) || !visit("action", e.action.target) ||
        (e.action.metadata && !visit("action", *e.action.metadata)))
        return false;
    if (!visit("proof", e.proof.action_type.custom_name()) || !visit("proof", e.proof.capsule_hash) ||
        !visit("proof", e.proof.status.reason()))
        return false;
    if (!visit("decision", e.decision.reason())) return false;
    if (trail_entry.watchdog.denial_proof && !denial_texts(*trail_entry.watchdog.denial_proof, "denial_proof"))
        return false;
    if (const auto& signal = trail_entry.watchdog.hard_reset_signal) {
        if (!denial_texts(signal->final_denial, "hard_reset_signal") || !visit("hard_reset_signal", signal->charter_hash))
            return false;
    }
    if (trail_entry.gate) {
        if (const auto* call = std::get_if<GateCall>(&*trail_entry.gate)) {
            for (const std::string& id : call->policies)
                if (!visit("gate", id)) return false;
        }
    }
    return true;
}

}  // namespace

std::string_view invalid_utf8_member(const TrailEntry& entry) {
    std::string_view bad;
    every_text(entry, [&](std::string_view name, std::string_view text) {
        if (simdjson::validate_utf8(text)) return true;
        bad = name;
        return false;
    });
    return bad;
}

void render_entry_unsigned(std::string& out, const TrailEntry& trail_entry) {
    const AuditEntry& e = trail_entry.entry;
    out.push_back('{');
    member(out, "index", true);
    append_number(out, e.index);
    member(out, "timestamp");
    append_number(out, e.timestamp);
    member(out, "action");
    out.push_back('{');
    append_action(out, e.action);
    out.push_back('}');
    member(out, "proof");
    out.push_back('{');
    append_proof(out, e.proof);
    out.push_back('}');
    member(out, "decision");
    if (e.decision.kind() == Decision::Kind::Approved) {
        out += "\"Approved\"";
    } else {
        out += "{\"Denied\":{\"reason\":";
        append_string(out, e.decision.reason());
        out += "}}";
    }
    if (const auto& signal = trail_entry.watchdog.hard_reset_signal) {
        member(out, "hard_reset_signal");
        out.push_back('{');
        append_signal(out, *signal);
        out.push_back('}');
    } else if (const auto& denial = trail_entry.watchdog.denial_proof) {
        member(out, "denial_proof");
        out.push_back('{');
        append_denial(out, *denial);
        out.push_back('}');
    }
    if (trail_entry.gate) {
        member(out, "gate");
        append_gate(out, *trail_entry.gate);
    }
    member(out, "prev_hash");
    append_byte_list(out, e.prev_hash);
    member(out, "current_hash");
    append_byte_list(out, e.current_hash);
    member(out, "signature");
}

void render_entry_signature(std::string& out, ByteView signature) {
    append_byte_list(out, signature);
    out.push_back('}');
}

void render_entry_json(std::string& out, const TrailEntry& entry) {
    render_entry_unsigned(out, entry);
    render_entry_signature(out, entry.entry.signature);
}

}  // namespace corvel
