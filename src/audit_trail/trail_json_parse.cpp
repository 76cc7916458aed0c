// Strict parsing of one trail entry line. Inside this file a malformed member is reported by
// throwing BadEntry, which parse() turns into the error value; nothing else throws it.

#include <simdjson.h>

#include <array>
#include <span>

#include "audit_trail/json_minus.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_json_fast.hpp"

namespace corvel {

namespace {

namespace dom = simdjson::dom;

struct BadEntry {
    std::string detail;
};

// Where a value sits: the path of its object and its member name. The text is made only for an
// error, so reading a good entry builds no strings.
struct Where {
    Where(std::string_view object) : object(object) {}
    Where(const char* object) : object(object) {}
    Where(std::string_view object, std::string_view member) : object(object), member(member) {}
    std::string_view object;
    std::string_view member;

    std::string text() const {
        return member.empty() ? std::string(object) : std::string(object) + "." + std::string(member);
    }
};

[[noreturn]] void fail(const Where& where, std::string_view what) {
    throw BadEntry{where.text() + ": " + std::string(what)};
}

std::string join(std::string_view where, std::string_view name) { return Where(where, name).text(); }

// Reads an object's members by name into `values`: every name at most once, no other names,
// and every name not in `optional` present.
template <std::size_t N>
struct Members {
    std::array<dom::element, N> values{};
    std::uint32_t seen = 0;

    const dom::element& operator[](std::size_t i) const { return values[i]; }
    bool has(std::size_t i) const { return (seen & (1u << i)) != 0; }
};

template <std::size_t N>
Members<N> members(dom::element value, std::string_view where,
                                    const std::array<std::string_view, N>& names, std::uint32_t optional = 0) {
    dom::object object;
    if (value.get(object) != simdjson::SUCCESS) fail(where, "expected an object");
    Members<N> out;
    std::uint32_t& seen = out.seen;
    for (const auto field : object) {
        std::size_t i = 0;
        while (i < N && names[i] != field.key) ++i;
        if (i == N) fail(where, "unknown member \"" + std::string(field.key) + "\"");
        if (seen & (1u << i)) fail(where, "duplicate member \"" + std::string(field.key) + "\"");
        seen |= 1u << i;
        out.values[i] = field.value;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (!(seen & (1u << i)) && !(optional & (1u << i)))
            fail(where, "missing member \"" + std::string(names[i]) + "\"");
    }
    return out;
}

std::uint64_t unsigned_number(dom::element value, const Where& where) {
    std::uint64_t out = 0;
    if (value.type() != dom::element_type::UINT64 && value.type() != dom::element_type::INT64)
        fail(where, "expected a non-negative integer");
    if (value.get(out) != simdjson::SUCCESS) fail(where, "expected a non-negative integer that fits in 64 bits");
    return out;
}

std::uint32_t unsigned32(dom::element value, const Where& where) {
    const std::uint64_t out = unsigned_number(value, where);
    if (out > 0xffffffffu) fail(where, "expected an integer that fits in 32 bits");
    return static_cast<std::uint32_t>(out);
}

std::string text(dom::element value, const Where& where) {
    std::string_view out;
    if (value.get(out) != simdjson::SUCCESS) fail(where, "expected a string");
    return std::string(out);
}

bool boolean(dom::element value, const Where& where) {
    bool out = false;
    if (value.get(out) != simdjson::SUCCESS) fail(where, "expected true or false");
    return out;
}

Bytes byte_list(dom::element value, const Where& where) {
    dom::array array;
    if (value.get(array) != simdjson::SUCCESS) fail(where, "expected an array of integers 0 to 255");
    Bytes out;
    out.reserve(array.size());
    for (const auto item : array) {
        std::uint64_t byte = 0;
        if ((item.type() != dom::element_type::UINT64 && item.type() != dom::element_type::INT64) ||
            item.get(byte) != simdjson::SUCCESS || byte > 255)
            fail(where, "expected an array of integers 0 to 255");
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
}

Hash32 hash32(dom::element value, const Where& where) {
    const Bytes bytes = byte_list(value, where);
    if (bytes.size() != 32) fail(where, "expected an array of length 32");
    Hash32 out;
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

// A variant name, or an object with that name as its single member holding the payload.
struct Variant {
    std::string_view name;
    dom::element payload;
    bool has_payload = false;
};

Variant variant(dom::element value, const Where& where) {
    std::string_view name;
    if (value.get(name) == simdjson::SUCCESS) return {name, {}, false};
    dom::object object;
    if (value.get(object) != simdjson::SUCCESS || object.size() != 1) fail(where, "expected a variant");
    const auto field = *object.begin();
    return {field.key, field.value, true};
}

ActionType action_type(dom::element value, const Where& where) {
    static constexpr std::array<std::string_view, 5> kNames = {"Delete", "Write", "Read", "Execute", "Network"};
    const Variant v = variant(value, where);
    if (v.has_payload) {
        if (v.name != "Custom") fail(where, "unknown variant \"" + std::string(v.name) + "\"");
        return ActionType::custom(text(v.payload, Where(join(where.object, where.member), "Custom")));
    }
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (v.name == kNames[i]) return ActionType(static_cast<ActionKind>(i));
    fail(where, "unknown variant \"" + std::string(v.name) + "\"");
}

Action action(dom::element value, std::string_view where) {
    const auto m = members(value, where, std::array<std::string_view, 4>{"action_type", "target", "payload", "metadata"});
    Action out;
    out.action_type = action_type(m[0], Where(where, "action_type"));
    out.target = text(m[1], Where(where, "target"));
    if (!m[2].is_null()) out.payload = byte_list(m[2], Where(where, "payload"));
    if (!m[3].is_null()) out.metadata = text(m[3], Where(where, "metadata"));
    return out;
}

VerificationStatus status(dom::element value, const Where& where) {
    const Variant v = variant(value, where);
    if (!v.has_payload && v.name == "OK") return VerificationStatus::ok();
    if (!v.has_payload && v.name == "Tampered") return VerificationStatus::tampered();
    if (v.has_payload && v.name == "Failed") return VerificationStatus::failed(text(v.payload, Where(join(where.object, where.member), "Failed")));
    fail(where, "unknown variant \"" + std::string(v.name) + "\"");
}

IntegrityProof proof(dom::element value, std::string_view where) {
    const auto m = members(value, where,
                           std::array<std::string_view, 8>{"nonce", "timestamp", "ttl", "action_hash", "action_type",
                                                           "capsule_hash", "status", "signature"});
    IntegrityProof out;
    out.nonce = hash32(m[0], Where(where, "nonce"));
    out.timestamp = unsigned_number(m[1], Where(where, "timestamp"));
    out.ttl = unsigned_number(m[2], Where(where, "ttl"));
    out.action_hash = hash32(m[3], Where(where, "action_hash"));
    out.action_type = action_type(m[4], Where(where, "action_type"));
    out.capsule_hash = text(m[5], Where(where, "capsule_hash"));
    out.status = status(m[6], Where(where, "status"));
    out.signature = byte_list(m[7], Where(where, "signature"));
    return out;
}

Decision decision(dom::element value, std::string_view where) {
    const Variant v = variant(value, where);
    if (!v.has_payload && v.name == "Approved") return Decision::approved();
    if (v.has_payload && v.name == "Denied") {
        const std::string inner = join(where, "Denied");
        const auto m = members(v.payload, inner, std::array<std::string_view, 1>{"reason"});
        return Decision::denied(text(m[0], Where(inner, "reason")));
    }
    fail(where, "unknown variant \"" + std::string(v.name) + "\"");
}

DenialProof denial(dom::element value, std::string_view where) {
    const auto m = members(value, where,
                           std::array<std::string_view, 9>{"nonce", "timestamp", "action_hash", "action_type",
                                                           "violated_rule", "denial_reason", "violation_count",
                                                           "triggered_hard_reset", "signature"});
    DenialProof out;
    out.nonce = hash32(m[0], Where(where, "nonce"));
    out.timestamp = unsigned_number(m[1], Where(where, "timestamp"));
    out.action_hash = hash32(m[2], Where(where, "action_hash"));
    out.action_type = action_type(m[3], Where(where, "action_type"));
    out.violated_rule = text(m[4], Where(where, "violated_rule"));
    out.denial_reason = text(m[5], Where(where, "denial_reason"));
    out.violation_count = unsigned32(m[6], Where(where, "violation_count"));
    out.triggered_hard_reset = boolean(m[7], Where(where, "triggered_hard_reset"));
    out.signature = byte_list(m[8], Where(where, "signature"));
    return out;
}

HardResetSignal signal(dom::element value, std::string_view where) {
    const auto m = members(value, where,
                           std::array<std::string_view, 5>{"final_denial", "charter_hash", "signature",
                                                           "reset_timestamp", "total_violations"});
    HardResetSignal out;
    out.final_denial = denial(m[0], join(where, "final_denial"));
    out.charter_hash = text(m[1], Where(where, "charter_hash"));
    out.signature = byte_list(m[2], Where(where, "signature"));
    out.reset_timestamp = unsigned_number(m[3], Where(where, "reset_timestamp"));
    out.total_violations = unsigned32(m[4], Where(where, "total_violations"));
    return out;
}

GateRecord gate(dom::element value, std::string_view where) {
    const Variant v = variant(value, where);
    if (v.has_payload && v.name == "call") {
        const std::string inner = join(where, "call");
        const auto m = members(v.payload, inner, std::array<std::string_view, 2>{"policies", "denials"});
        GateCall out;
        dom::array ids;
        if (m[0].get(ids) != simdjson::SUCCESS) fail(Where(inner, "policies"), "expected an array of strings");
        for (const auto id : ids) out.policies.push_back(text(id, Where(inner, "policies")));
        out.denials = unsigned32(m[1], Where(inner, "denials"));
        return out;
    }
    if (v.has_payload && v.name == "outcome") {
        const std::string inner = join(where, "outcome");
        const auto m = members(v.payload, inner,
                               std::array<std::string_view, 3>{"decision_index", "success", "result_hash"});
        GateOutcome out;
        out.decision_index = unsigned_number(m[0], Where(inner, "decision_index"));
        out.success = boolean(m[1], Where(inner, "success"));
        out.result_hash = hash32(m[2], Where(inner, "result_hash"));
        return out;
    }
    fail(where, "unknown variant \"" + std::string(v.name) + "\"");
}

constexpr std::array<std::string_view, 11> kEntryMembers = {
    "index", "timestamp", "action", "proof", "decision", "denial_proof", "hard_reset_signal",
    "prev_hash", "current_hash", "signature", "gate"};
constexpr std::uint32_t kOptionalRecords = (1u << 5) | (1u << 6) | (1u << 10);

TrailEntry entry(dom::element value) {
    const auto m = members(value, "entry", kEntryMembers, kOptionalRecords);
    TrailEntry out;
    AuditEntry& e = out.entry;
    e.index = unsigned_number(m[0], "entry.index");
    e.timestamp = unsigned_number(m[1], "entry.timestamp");
    e.action = action(m[2], "entry.action");
    e.proof = proof(m[3], "entry.proof");
    e.decision = decision(m[4], "entry.decision");
    const bool has_denial = m.has(5);
    const bool has_signal = m.has(6);
    if (has_denial && has_signal) fail("entry", "holds both a denial_proof and a hard_reset_signal");
    if (has_denial) out.watchdog.denial_proof = denial(m[5], "entry.denial_proof");
    if (has_signal) out.watchdog.hard_reset_signal = signal(m[6], "entry.hard_reset_signal");
    e.prev_hash = hash32(m[7], "entry.prev_hash");
    e.current_hash = hash32(m[8], "entry.current_hash");
    e.signature = byte_list(m[9], "entry.signature");
    if (m.has(10)) out.gate = gate(m[10], "entry.gate");
    return out;
}

}  // namespace

struct TrailEntryParser::Impl {
    dom::parser parser;
};

TrailEntryParser::TrailEntryParser() : impl_(new Impl) {}
TrailEntryParser::~TrailEntryParser() { delete impl_; }

std::expected<TrailEntry, std::string> TrailEntryParser::parse(std::string_view line) {
    TrailEntry entry;
    if (read_entry_quickly(line, entry)) return entry;
    return parse_thoroughly(line);
}

std::expected<TrailEntry, std::string> TrailEntryParser::parse_thoroughly(std::string_view line) {
    dom::element root;
    if (const auto error = impl_->parser.parse(line.data(), line.size(), false).get(root); error != simdjson::SUCCESS)
        return std::unexpected(std::string("entry is not valid JSON: ") + simdjson::error_message(error));
    // The DOM reads "-0" as 0: the sign is caught in the text.
    if (has_minus_outside_strings(line)) return std::unexpected(std::string(kMinusSignRefusal));
    try {
        return entry(root);
    } catch (const BadEntry& bad) {
        return std::unexpected(bad.detail);
    }
}

}  // namespace corvel
