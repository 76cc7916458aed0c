#include "audit_log/entry_reader.hpp"

#include "audit_log/json_lexing.hpp"

namespace corvel::audit_json {

namespace od = simdjson::ondemand;

namespace {

// Nesting allowed inside an unknown member; deeper input is refused rather than followed.
constexpr unsigned kSkipLevels = 100;

constexpr std::array<std::string_view, 8> kEntryMembers = {
    "index", "timestamp", "action", "proof", "decision", "prev_hash", "current_hash", "signature"};
constexpr std::array<std::string_view, 4> kActionMembers = {"action_type", "target", "payload", "metadata"};
constexpr std::array<std::string_view, 8> kProofMembers = {
    "nonce", "timestamp", "ttl", "action_hash", "action_type", "capsule_hash", "status", "signature"};
constexpr std::array<std::string_view, 1> kDeniedMembers = {"reason"};

// The enums' variants; in each, the last one alone carries a payload.
constexpr std::array<std::string_view, 6> kActionVariants = {"Delete", "Write", "Read", "Execute", "Network", "Custom"};
constexpr std::array<std::string_view, 3> kStatusVariants = {"OK", "Tampered", "Failed"};
constexpr std::array<std::string_view, 2> kDecisionVariants = {"Approved", "Denied"};

constexpr ActionKind kUnitKinds[] = {ActionKind::Delete, ActionKind::Write, ActionKind::Read, ActionKind::Execute,
                                     ActionKind::Network};

}  // namespace

bool EntryReader::fail(std::string message) {
    error_ = std::move(message);
    return false;
}

bool EntryReader::fail_code(simdjson::error_code code) { return fail(describe(code)); }

std::string EntryReader::message(std::uint64_t entry_index) const {
    std::string out = error_ + " at entry " + std::to_string(entry_index);
    if (!path_.empty()) {
        out += ", field `";
        for (std::size_t i = path_.size(); i-- > 0;) {
            out += path_[i];
            if (i != 0) out += '.';
        }
        out += '`';
    }
    return out;
}

bool EntryReader::type_error(Value& v, const std::string& expected) {
    od::json_type type;
    if (auto code = v.type().get(type)) return fail_code(code);
    return fail(std::string("invalid type: ") + type_name(type) + ", expected " + expected);
}

bool EntryReader::key_of(od::field& field, std::string_view& key) {
    // Keys without escapes are compared where they stand; the parser has already checked
    // that the string is closed, valid UTF-8 and free of control characters.
    const char* start = field.key().raw();
    const char* end = start;
    while (*end != '"' && *end != '\\') ++end;
    if (*end == '"') {
        key = std::string_view(start, static_cast<std::size_t>(end - start));
        return true;
    }
    if (auto code = field.unescaped_key().get(key)) return fail_code(code);
    return true;
}

// The members of an object in any order. Names outside `names` are validated and dropped;
// a name given twice and a required name (bit i of `required`) left out are refused.
template <std::size_t N, typename OnMember>
bool EntryReader::members(Value& v, const std::array<std::string_view, N>& names, std::uint32_t required,
                          const char* expected, OnMember&& on_member) {
    od::object object;
    if (v.get_object().get(object) != simdjson::SUCCESS) return type_error(v, expected);
    std::uint32_t seen = 0;
    std::size_t next = 0;  // members usually come in declaration order
    for (auto item : object) {
        od::field field;
        if (auto code = std::move(item).get(field)) return fail_code(code);
        std::string_view key;
        if (!key_of(field, key)) return false;
        std::size_t which = N;
        if (next < N && names[next] == key) {
            which = next;
        } else {
            for (std::size_t i = 0; i < N; ++i) {
                if (names[i] == key) {
                    which = i;
                    break;
                }
            }
        }
        if (which == N) {
            if (!skip(field.value(), kSkipLevels)) return false;
            continue;
        }
        if (seen & (1u << which)) return fail("duplicate field `" + std::string(names[which]) + "`");
        seen |= 1u << which;
        next = which + 1;
        if (!on_member(which, field.value())) {
            path_.push_back(names[which]);
            return false;
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        if ((required & (1u << i)) && !(seen & (1u << i))) {
            return fail("missing field `" + std::string(names[i]) + "`");
        }
    }
    return true;
}

// An enum in its object form: exactly one member, whose name is the variant.
template <typename OnVariant>
bool EntryReader::single_member(Value& v, const char* expected, OnVariant&& on_variant) {
    od::object object;
    if (v.get_object().get(object) != simdjson::SUCCESS) return type_error(v, expected);
    std::size_t count = 0;
    for (auto item : object) {
        od::field field;
        if (auto code = std::move(item).get(field)) return fail_code(code);
        if (++count > 1) return fail(std::string("invalid type: map with more than one key, expected ") + expected);
        std::string_view key;
        if (!key_of(field, key)) return false;
        if (!on_variant(key, field.value())) return false;
    }
    if (count == 0) return fail(std::string("invalid type: empty map, expected ") + expected);
    return true;
}

// The shape the three enums share: a unit variant is written as its name, the last variant
// (the one with a payload, a `payload_kind`) as an object whose single member it names.
template <std::size_t N, typename OnUnit, typename OnPayload>
bool EntryReader::enumeration(Value& v, const std::array<std::string_view, N>& variants, const char* payload_kind,
                              const char* expected, OnUnit&& on_unit, OnPayload&& on_payload) {
    constexpr std::size_t kPayload = N - 1;
    const auto find = [&](std::string_view name) {
        std::size_t i = 0;
        while (i < N && variants[i] != name) ++i;
        return i;
    };
    od::json_type type;
    if (auto code = v.type().get(type)) return fail_code(code);
    if (type == od::json_type::string) {
        std::string_view name;
        if (auto code = v.get_string().get(name)) return fail_code(code);
        const std::size_t which = find(name);
        if (which < kPayload) {
            on_unit(which);
            return true;
        }
        if (which == kPayload) return fail(std::string("invalid type: unit variant, expected ") + payload_kind);
        return fail(unknown_variant(name, variants));
    }
    return single_member(v, expected, [&](std::string_view name, Value& value) {
        const std::size_t which = find(name);
        if (which == kPayload) return on_payload(value);
        if (which < kPayload) return fail("invalid type: newtype variant, expected unit variant");
        return fail(unknown_variant(name, variants));
    });
}

bool EntryReader::u64(Value& v, std::uint64_t& out) {
    if (v.get_uint64().get(out) == simdjson::SUCCESS) return true;
    od::json_type type;
    if (auto code = v.type().get(type)) return fail_code(code);
    if (type != od::json_type::number) return fail(std::string("invalid type: ") + type_name(type) + ", expected u64");
    return fail(number_refusal(trim_right(v.raw_json_token()), "u64"));
}

// Arrays of bytes make up most of a storage file, so they are read from their raw text in
// one pass rather than element by element: the parser steps over the array and the digits
// are checked and converted by read_byte_list, as strictly as everywhere else.
template <typename Emit>
bool EntryReader::byte_list(Value& v, const char* expected, Emit&& emit) {
    od::array array;
    if (v.get_array().get(array) != simdjson::SUCCESS) return type_error(v, expected);
    std::string_view raw;
    if (auto code = array.raw_json().get(raw)) return fail_code(code);
    return read_byte_list(raw, "u8", error_, emit);
}

bool EntryReader::hash32(Value& v, Hash32& out) {
    std::size_t count = 0;
    const bool ok = byte_list(v, "an array of length 32", [&](std::uint8_t value) {
        if (count < out.size()) out[count] = value;
        ++count;
    });
    if (!ok) return false;
    if (count != out.size()) {
        return fail("invalid length " + std::to_string(count) + ", expected an array of length 32");
    }
    return true;
}

bool EntryReader::bytes(Value& v, Bytes& out) {
    // Signatures are 64 bytes: collect on the stack and allocate once.
    std::array<std::uint8_t, 128> local;
    std::size_t count = 0;
    out.clear();
    const bool ok = byte_list(v, "a sequence of bytes", [&](std::uint8_t value) {
        if (count < local.size()) {
            local[count] = value;
        } else {
            if (count == local.size()) out.assign(local.begin(), local.end());
            out.push_back(value);
        }
        ++count;
    });
    if (!ok) return false;
    if (count <= local.size()) out.assign(local.begin(), local.begin() + static_cast<std::ptrdiff_t>(count));
    return true;
}

bool EntryReader::string(Value& v, std::string& out) {
    std::string_view text;
    const auto code = v.get_string().get(text);
    if (code == simdjson::INCORRECT_TYPE) return type_error(v, "a string");
    if (code) return fail_code(code);
    out.assign(text);
    return true;
}

// null, or the value read by `read`.
template <typename T, typename Read>
bool EntryReader::optional(Value& v, std::optional<T>& out, Read&& read) {
    bool is_null = false;
    if (auto code = v.is_null().get(is_null)) return code == simdjson::INCORRECT_TYPE ? fail("invalid literal") : fail_code(code);
    if (is_null) {
        out.reset();
        return true;
    }
    return read(v, out.emplace());
}

bool EntryReader::action_type(Value& v, ActionType& out) {
    return enumeration(
        v, kActionVariants, "newtype variant", "enum ActionType",
        [&](std::size_t which) { out = ActionType(kUnitKinds[which]); },
        [&](Value& value) {
            std::string custom;
            if (!string(value, custom)) return false;
            out = ActionType::custom(std::move(custom));
            return true;
        });
}

bool EntryReader::status(Value& v, VerificationStatus& out) {
    return enumeration(
        v, kStatusVariants, "newtype variant", "enum VerificationStatus",
        [&](std::size_t which) { out = which == 0 ? VerificationStatus::ok() : VerificationStatus::tampered(); },
        [&](Value& value) {
            std::string reason;
            if (!string(value, reason)) return false;
            out = VerificationStatus::failed(std::move(reason));
            return true;
        });
}

bool EntryReader::decision(Value& v, Decision& out) {
    return enumeration(
        v, kDecisionVariants, "struct variant", "enum Decision", [&](std::size_t) { out = Decision::approved(); },
        [&](Value& value) {
            std::string reason;
            const bool ok = members(value, kDeniedMembers, 0x1, "struct variant Decision::Denied",
                                    [&](std::size_t, Value& member) { return string(member, reason); });
            if (!ok) return false;
            out = Decision::denied(std::move(reason));
            return true;
        });
}

// `payload` and `metadata` are optional fields: when left out they are absent, as null is.
bool EntryReader::action(Value& v, Action& out) {
    return members(v, kActionMembers, 0x3, "struct Action", [&](std::size_t which, Value& value) {
        switch (which) {
            case 0: return action_type(value, out.action_type);
            case 1: return string(value, out.target);
            case 2: return optional(value, out.payload, [&](Value& x, Bytes& b) { return bytes(x, b); });
            default: return optional(value, out.metadata, [&](Value& x, std::string& s) { return string(x, s); });
        }
    });
}

bool EntryReader::proof(Value& v, IntegrityProof& out) {
    return members(v, kProofMembers, 0xFF, "struct IntegrityProof", [&](std::size_t which, Value& value) {
        switch (which) {
            case 0: return hash32(value, out.nonce);
            case 1: return u64(value, out.timestamp);
            case 2: return u64(value, out.ttl);
            case 3: return hash32(value, out.action_hash);
            case 4: return action_type(value, out.action_type);
            case 5: return string(value, out.capsule_hash);
            case 6: return status(value, out.status);
            default: return bytes(value, out.signature);
        }
    });
}

bool EntryReader::entry(Value& v, AuditEntry& out) {
    return members(v, kEntryMembers, 0xFF, "struct AuditEntry", [&](std::size_t which, Value& value) {
        switch (which) {
            case 0: return u64(value, out.index);
            case 1: return u64(value, out.timestamp);
            case 2: return action(value, out.action);
            case 3: return proof(value, out.proof);
            case 4: return decision(value, out.decision);
            case 5: return hash32(value, out.prev_hash);
            case 6: return hash32(value, out.current_hash);
            default: return bytes(value, out.signature);
        }
    });
}

// Checks a value that is dropped, as thoroughly as one that is kept. Nesting is bounded so
// that hostile input cannot exhaust the stack.
bool EntryReader::skip(Value& v, unsigned levels) {
    od::json_type type;
    if (auto code = v.type().get(type)) return fail_code(code);
    switch (type) {
        case od::json_type::array: {
            if (levels == 0) return fail("recursion limit exceeded");
            od::array array;
            if (auto code = v.get_array().get(array)) return fail_code(code);
            for (auto item : array) {
                od::value element;
                if (auto code = std::move(item).get(element)) return fail_code(code);
                if (!skip(element, levels - 1)) return false;
            }
            return true;
        }
        case od::json_type::object: {
            if (levels == 0) return fail("recursion limit exceeded");
            od::object object;
            if (auto code = v.get_object().get(object)) return fail_code(code);
            for (auto item : object) {
                od::field field;
                if (auto code = std::move(item).get(field)) return fail_code(code);
                std::string_view key;
                if (!key_of(field, key)) return false;
                if (!skip(field.value(), levels - 1)) return false;
            }
            return true;
        }
        case od::json_type::number: {
            // Left unconsumed: the enclosing iteration steps over a scalar by itself.
            const std::string_view token = trim_right(v.raw_json_token());
            if (!is_json_number(token)) return fail("invalid number `" + quote(token) + "`");
            return true;
        }
        case od::json_type::string: {
            std::string_view text;
            if (auto code = v.get_string().get(text)) return fail_code(code);
            return true;
        }
        case od::json_type::boolean: {
            bool value;
            if (v.get_bool().get(value) != simdjson::SUCCESS) return fail("invalid literal");
            return true;
        }
        case od::json_type::null: {
            bool is_null = false;
            if (v.is_null().get(is_null) != simdjson::SUCCESS || !is_null) return fail("invalid literal");
            return true;
        }
    }
    return fail("invalid JSON value");
}

}  // namespace corvel::audit_json
