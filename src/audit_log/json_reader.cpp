#include "audit_log/json_reader.hpp"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvel {

namespace od = simdjson::ondemand;

namespace {

// Entries are parsed in batches of about this many bytes of text.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// Nesting allowed inside an unknown member; deeper input is refused rather than followed.
constexpr unsigned kSkipLevels = 100;
// Longest piece of the input quoted in an error message.
constexpr std::size_t kQuoteLimit = 40;

bool is_json_space(unsigned char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

std::string quote(std::string_view text) {
    if (text.size() <= kQuoteLimit) return std::string(text);
    std::size_t cut = kQuoteLimit;
    // Never cut a UTF-8 sequence in half.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string_view trim_right(std::string_view text) {
    while (!text.empty() && is_json_space(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

// The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view t) {
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
        return i > start;
    };
    if (i < t.size() && t[i] == '-') ++i;
    if (i < t.size() && t[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == t.size();
}

std::string describe(simdjson::error_code code) {
    switch (code) {
        case simdjson::TAPE_ERROR: return "invalid JSON syntax";
        case simdjson::INCORRECT_TYPE: return "invalid type";
        case simdjson::NUMBER_ERROR: return "invalid number";
        case simdjson::STRING_ERROR: return "invalid escape in string";
        case simdjson::UTF8_ERROR: return "invalid UTF-8";
        case simdjson::UNESCAPED_CHARS: return "control character in string";
        case simdjson::UNCLOSED_STRING: return "EOF while parsing a string";
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT: return "unclosed array or object";
        case simdjson::T_ATOM_ERROR:
        case simdjson::F_ATOM_ERROR:
        case simdjson::N_ATOM_ERROR: return "invalid literal";
        case simdjson::DEPTH_ERROR: return "recursion limit exceeded";
        case simdjson::CAPACITY: return "entry too large";
        case simdjson::MEMALLOC: throw std::bad_alloc();
        default: return simdjson::error_message(code);
    }
}

const char* type_name(od::json_type type) {
    switch (type) {
        case od::json_type::array: return "sequence";
        case od::json_type::object: return "map";
        case od::json_type::number: return "number";
        case od::json_type::string: return "string";
        case od::json_type::boolean: return "boolean";
        case od::json_type::null: return "null";
    }
    return "value";
}

constexpr std::array<std::string_view, 8> kEntryMembers = {
    "index", "timestamp", "action", "proof", "decision", "prev_hash", "current_hash", "signature"};
constexpr std::array<std::string_view, 4> kActionMembers = {"action_type", "target", "payload", "metadata"};
constexpr std::array<std::string_view, 8> kProofMembers = {
    "nonce", "timestamp", "ttl", "action_hash", "action_type", "capsule_hash", "status", "signature"};
constexpr std::array<std::string_view, 1> kDeniedMembers = {"reason"};

constexpr std::array<std::string_view, 6> kActionVariants = {"Delete", "Write", "Read", "Execute", "Network", "Custom"};
constexpr std::array<std::string_view, 3> kStatusVariants = {"OK", "Tampered", "Failed"};
constexpr std::array<std::string_view, 2> kDecisionVariants = {"Approved", "Denied"};

template <std::size_t N>
std::string unknown_variant(std::string_view name, const std::array<std::string_view, N>& variants) {
    std::string out = "unknown variant `";
    out += quote(name);
    out += N == 2 ? "`, expected " : "`, expected one of ";
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0) out += N == 2 ? " or " : ", ";
        out += '`';
        out += variants[i];
        out += '`';
    }
    return out;
}

// Turns one parsed array element into an AuditEntry. Every value is read or, for unknown
// members, validated to the end, so nothing in an entry goes unchecked.
class EntryReader {
public:
    bool entry(od::value& v, AuditEntry& out) {
        return members(v, kEntryMembers, 0xFF, "struct AuditEntry", [&](std::size_t which, od::value& value) {
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

    bool fail_code(simdjson::error_code code) { return fail(describe(code)); }

    // The error, with the members that lead to it: "... at entry 3, field `proof.nonce`".
    std::string message(std::uint64_t entry_index) const {
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

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool type_error(od::value& v, const std::string& expected) {
        od::json_type type;
        if (auto code = v.type().get(type)) return fail_code(code);
        return fail(std::string("invalid type: ") + type_name(type) + ", expected " + expected);
    }

    // The members of an object in any order. Names outside `names` are validated and dropped;
    // a name given twice and a required name (bit i of `required`) left out are refused.
    template <std::size_t N, typename OnMember>
    bool members(od::value& v, const std::array<std::string_view, N>& names, std::uint32_t required,
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
    bool single_member(od::value& v, const char* expected, OnVariant&& on_variant) {
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

    bool key_of(od::field& field, std::string_view& key) {
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

    bool number_error(od::value& v, const char* expected) {
        od::json_type type;
        if (auto code = v.type().get(type)) return fail_code(code);
        if (type != od::json_type::number) {
            return fail(std::string("invalid type: ") + type_name(type) + ", expected " + expected);
        }
        const std::string_view token = trim_right(v.raw_json_token());
        if (!is_json_number(token)) return fail("invalid number `" + quote(token) + "`");
        if (token.find_first_of(".eE") != std::string_view::npos) {
            return fail("invalid type: floating point `" + quote(token) + "`, expected " + expected);
        }
        return fail("invalid value: integer `" + quote(token) + "`, expected " + expected);
    }

    bool u64(od::value& v, std::uint64_t& out) {
        if (v.get_uint64().get(out) == simdjson::SUCCESS) return true;
        return number_error(v, "u64");
    }

    // Arrays of bytes make up most of a storage file, so they are read from their raw text in
    // one pass rather than element by element: the parser steps over the array and the digits
    // are checked and converted here, as strictly as everywhere else.
    template <typename Emit>
    bool byte_list(od::value& v, const char* expected, Emit&& emit) {
        od::array array;
        if (v.get_array().get(array) != simdjson::SUCCESS) return type_error(v, expected);
        std::string_view raw;
        if (auto code = array.raw_json().get(raw)) return fail_code(code);
        const char* p = raw.data() + 1;  // past '['
        const char* const end = raw.data() + raw.size();
        const auto skip_space = [&] {
            while (p < end && is_json_space(static_cast<unsigned char>(*p))) ++p;
        };
        skip_space();
        if (p < end && *p == ']') {
            ++p;
        } else {
            for (;;) {
                skip_space();
                const char* token = p;
                unsigned value = 0;
                while (p < end && *p >= '0' && *p <= '9' && p - token < 4) value = value * 10 + unsigned(*p++ - '0');
                const bool plain = p > token && p - token <= 3 && value <= 0xFF && (*token != '0' || p - token == 1) &&
                                   (p == end || *p == ',' || *p == ']' || is_json_space(static_cast<unsigned char>(*p)));
                if (!plain) return element_error(token, end, "u8");
                emit(static_cast<std::uint8_t>(value));
                skip_space();
                if (p < end && *p == ',') {
                    ++p;
                    continue;
                }
                if (p < end && *p == ']') {
                    ++p;
                    break;
                }
                return fail("invalid JSON syntax: expected `,` or `]`");
            }
        }
        skip_space();
        if (p != end) return fail("invalid JSON syntax: expected `,` or `]`");
        return true;
    }

    // Explains why the array element at `token` is not a byte.
    bool element_error(const char* token, const char* end, const char* expected) {
        switch (token < end ? *token : ']') {
            case '[': return fail(std::string("invalid type: sequence, expected ") + expected);
            case '{': return fail(std::string("invalid type: map, expected ") + expected);
            case '"': return fail(std::string("invalid type: string, expected ") + expected);
            case 't':
            case 'f':
                return fail(std::string(token, std::min<std::size_t>(5, static_cast<std::size_t>(end - token)))
                                        .starts_with(*token == 't' ? "true" : "false")
                                ? std::string("invalid type: boolean, expected ") + expected
                                : std::string("invalid literal"));
            case 'n':
                return fail(std::string_view(token, static_cast<std::size_t>(end - token)).starts_with("null")
                                ? std::string("invalid type: null, expected ") + expected
                                : std::string("invalid literal"));
            case ',':
            case ']': return fail("expected value");
            default: break;
        }
        const char* stop = token;
        while (stop < end && *stop != ',' && *stop != ']' && !is_json_space(static_cast<unsigned char>(*stop))) ++stop;
        const std::string_view number(token, static_cast<std::size_t>(stop - token));
        if (!is_json_number(number)) return fail("invalid number `" + quote(number) + "`");
        if (number.find_first_of(".eE") != std::string_view::npos) {
            return fail("invalid type: floating point `" + quote(number) + "`, expected " + expected);
        }
        return fail("invalid value: integer `" + quote(number) + "`, expected " + expected);
    }

    bool hash32(od::value& v, Hash32& out) {
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

    bool bytes(od::value& v, Bytes& out) {
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

    bool string(od::value& v, std::string& out) {
        std::string_view text;
        const auto code = v.get_string().get(text);
        if (code == simdjson::INCORRECT_TYPE) return type_error(v, "a string");
        if (code) return fail_code(code);
        out.assign(text);
        return true;
    }

    // null, or the value read by `read`.
    template <typename T, typename Read>
    bool optional(od::value& v, std::optional<T>& out, Read&& read) {
        bool is_null = false;
        if (auto code = v.is_null().get(is_null)) return code == simdjson::INCORRECT_TYPE ? fail("invalid literal") : fail_code(code);
        if (is_null) {
            out.reset();
            return true;
        }
        return read(v, out.emplace());
    }

    bool action_type(od::value& v, ActionType& out) {
        static constexpr ActionKind kUnitKinds[] = {ActionKind::Delete, ActionKind::Write, ActionKind::Read,
                                                    ActionKind::Execute, ActionKind::Network};
        od::json_type type;
        if (auto code = v.type().get(type)) return fail_code(code);
        if (type == od::json_type::string) {
            std::string_view name;
            if (auto code = v.get_string().get(name)) return fail_code(code);
            for (std::size_t i = 0; i < 5; ++i) {
                if (name == kActionVariants[i]) {
                    out = ActionType(kUnitKinds[i]);
                    return true;
                }
            }
            if (name == "Custom") return fail("invalid type: unit variant, expected newtype variant");
            return fail(unknown_variant(name, kActionVariants));
        }
        return single_member(v, "enum ActionType", [&](std::string_view name, od::value& value) {
            if (name == "Custom") {
                std::string custom;
                if (!string(value, custom)) return false;
                out = ActionType::custom(std::move(custom));
                return true;
            }
            for (std::size_t i = 0; i < 5; ++i) {
                if (name == kActionVariants[i]) return fail("invalid type: newtype variant, expected unit variant");
            }
            return fail(unknown_variant(name, kActionVariants));
        });
    }

    bool status(od::value& v, VerificationStatus& out) {
        od::json_type type;
        if (auto code = v.type().get(type)) return fail_code(code);
        if (type == od::json_type::string) {
            std::string_view name;
            if (auto code = v.get_string().get(name)) return fail_code(code);
            if (name == "OK") {
                out = VerificationStatus::ok();
                return true;
            }
            if (name == "Tampered") {
                out = VerificationStatus::tampered();
                return true;
            }
            if (name == "Failed") return fail("invalid type: unit variant, expected newtype variant");
            return fail(unknown_variant(name, kStatusVariants));
        }
        return single_member(v, "enum VerificationStatus", [&](std::string_view name, od::value& value) {
            if (name == "Failed") {
                std::string reason;
                if (!string(value, reason)) return false;
                out = VerificationStatus::failed(std::move(reason));
                return true;
            }
            if (name == "OK" || name == "Tampered") {
                return fail("invalid type: newtype variant, expected unit variant");
            }
            return fail(unknown_variant(name, kStatusVariants));
        });
    }

    bool decision(od::value& v, Decision& out) {
        od::json_type type;
        if (auto code = v.type().get(type)) return fail_code(code);
        if (type == od::json_type::string) {
            std::string_view name;
            if (auto code = v.get_string().get(name)) return fail_code(code);
            if (name == "Approved") {
                out = Decision::approved();
                return true;
            }
            if (name == "Denied") return fail("invalid type: unit variant, expected struct variant");
            return fail(unknown_variant(name, kDecisionVariants));
        }
        return single_member(v, "enum Decision", [&](std::string_view name, od::value& value) {
            if (name == "Denied") {
                std::string reason;
                const bool ok = members(value, kDeniedMembers, 0x1, "struct variant Decision::Denied",
                                        [&](std::size_t, od::value& member) { return string(member, reason); });
                if (!ok) return false;
                out = Decision::denied(std::move(reason));
                return true;
            }
            if (name == "Approved") return fail("invalid type: newtype variant, expected unit variant");
            return fail(unknown_variant(name, kDecisionVariants));
        });
    }

    // `payload` and `metadata` are optional fields: when left out they are absent, as null is.
    bool action(od::value& v, Action& out) {
        return members(v, kActionMembers, 0x3, "struct Action", [&](std::size_t which, od::value& value) {
            switch (which) {
                case 0: return action_type(value, out.action_type);
                case 1: return string(value, out.target);
                case 2: return optional(value, out.payload, [&](od::value& x, Bytes& b) { return bytes(x, b); });
                default:
                    return optional(value, out.metadata, [&](od::value& x, std::string& s) { return string(x, s); });
            }
        });
    }

    bool proof(od::value& v, IntegrityProof& out) {
        return members(v, kProofMembers, 0xFF, "struct IntegrityProof", [&](std::size_t which, od::value& value) {
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

    // Checks a value that is dropped, as thoroughly as one that is kept. Nesting is bounded so
    // that hostile input cannot exhaust the stack.
    bool skip(od::value& v, unsigned levels) {
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

    std::string error_;
    // Members that lead to the error, innermost first.
    std::vector<std::string_view> path_;
};

// The next '"' or '\\' at or after `i`, or `n`.
std::size_t find_string_end(const unsigned char* data, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash))));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    while (i < n && data[i] != '"' && data[i] != '\\') ++i;
    return i;
}

// The next '"', '[', ']', '{' or '}' at or after `i`, or `n`.
std::size_t find_nesting(const unsigned char* data, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    // Setting bit 0x20 folds '[' onto '{' and ']' onto '}', and no other byte onto either.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i fold = _mm_set1_epi8(0x20);
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i folded = _mm_or_si128(block, fold);
        const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(block, quote),
                                          _mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    while (i < n) {
        const unsigned char c = data[i];
        if (c == '"' || (c | 0x20) == '{' || (c | 0x20) == '}') return i;
        ++i;
    }
    return i;
}

// Byte classes of the cutting scan; everything else is ordinary.
enum : std::uint8_t { kPlain = 0, kQuote, kOpen, kClose, kComma };

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> table{};
    table['"'] = kQuote;
    table['['] = kOpen;
    table['{'] = kOpen;
    table[']'] = kClose;
    table['}'] = kClose;
    table[','] = kComma;
    return table;
}();

}  // namespace

// The outer array is followed here: where it opens, where each entry ends (a
// comma or the closing bracket outside any string and at nesting depth 0) and that nothing
// follows it. The entries themselves go to simdjson in batches, each wrapped in brackets. A
// batch is accepted only if simdjson reads it as a valid array with exactly the entries cut
// out of it, so a cut in a wrong place can only turn into an error, never into a wrong log.
class AuditJsonReader::Impl {
public:
    std::span<char> input_space(std::size_t size) {
        compact();
        if (capacity_ - length_ < size) {
            const std::size_t wanted = std::max(length_ + size, capacity_ * 2);
            auto grown = std::make_unique<char[]>(wanted);
            if (length_ != 0) std::memcpy(grown.get(), buffer_.get(), length_);
            buffer_ = std::move(grown);
            capacity_ = wanted;
        }
        return {buffer_.get() + length_, capacity_ - length_};
    }

    std::expected<void, std::string> commit(std::size_t size) {
        if (phase_ == Phase::Failed) return std::unexpected(error_);
        length_ += std::min(size, capacity_ - length_);
        if (!scan()) return std::unexpected(error_);
        return {};
    }

    std::expected<std::vector<AuditEntry>, std::string> finish() {
        switch (phase_) {
            case Phase::Failed: return std::unexpected(error_);
            case Phase::BeforeArray: return std::unexpected(std::string("EOF while parsing a value"));
            case Phase::BeforeElement:
            case Phase::InElement: return std::unexpected(std::string("EOF while parsing a list"));
            case Phase::AfterArray: break;
        }
        return std::move(entries_);
    }

private:
    enum class Phase : std::uint8_t { BeforeArray, BeforeElement, InElement, AfterArray, Failed };

    bool fail(std::string message) {
        error_ = std::move(message);
        phase_ = Phase::Failed;
        return false;
    }

    bool fail_at(std::string message, std::size_t position) {
        return fail(std::move(message) + " at byte " + std::to_string(consumed_ + position));
    }

    // Drops the bytes that are no longer needed: everything before the first entry not yet
    // parsed, or before the scan position when no entry is open.
    void compact() {
        const bool holding = phase_ == Phase::InElement || !pending_ends_.empty();
        const std::size_t keep_from = holding ? pending_start_ : scanned_;
        if (keep_from == 0) return;
        std::memmove(buffer_.get(), buffer_.get() + keep_from, length_ - keep_from);
        length_ -= keep_from;
        scanned_ -= keep_from;
        if (holding) pending_start_ -= keep_from;
        for (std::size_t& end : pending_ends_) end -= keep_from;
        consumed_ += keep_from;
    }

    bool scan() {
        const auto* data = reinterpret_cast<const unsigned char*>(buffer_.get());
        std::size_t i = scanned_;
        while (i < length_) {
            const unsigned char c = data[i];
            switch (phase_) {
                case Phase::BeforeArray:
                    if (c == '[') {
                        phase_ = Phase::BeforeElement;
                    } else if (!is_json_space(c)) {
                        return fail_at("expected `[` (a JSON array of audit entries)", i);
                    }
                    ++i;
                    break;
                case Phase::BeforeElement:
                    if (is_json_space(c)) {
                        ++i;
                    } else if (c == ']') {
                        if (after_comma_) return fail_at("trailing comma", i);
                        phase_ = Phase::AfterArray;
                        ++i;
                    } else if (c == ',') {
                        return fail_at("expected value", i);
                    } else {
                        if (pending_ends_.empty()) pending_start_ = i;
                        depth_ = 0;
                        in_string_ = false;
                        escaped_ = false;
                        phase_ = Phase::InElement;
                    }
                    break;
                case Phase::InElement:
                    i = scan_element(data, i);
                    if (phase_ == Phase::Failed) return false;
                    if (phase_ == Phase::InElement) break;  // the entry goes on in the next input
                    // The entry ended at data[i]: a comma or the closing bracket.
                    pending_ends_.push_back(i);
                    ++i;
                    if (phase_ == Phase::AfterArray || i - pending_start_ >= kBatchBytes) {
                        if (!flush()) return false;
                    }
                    break;
                case Phase::AfterArray:
                    if (!is_json_space(c)) return fail_at("trailing characters", i);
                    ++i;
                    break;
                case Phase::Failed: return false;
            }
        }
        scanned_ = i;
        return true;
    }

    // Runs to the end of the current entry. Returns the position of the comma or bracket that
    // ends it (and moves to the next phase), or the end of the input. Inside a container only
    // quotes and brackets matter, so the scan jumps from one to the next.
    std::size_t scan_element(const unsigned char* data, std::size_t i) {
        while (i < length_) {
            if (in_string_) {
                if (escaped_) {
                    escaped_ = false;
                    ++i;
                    continue;
                }
                i = find_string_end(data, i, length_);
                if (i == length_) break;
                if (data[i] == '\\') {
                    escaped_ = true;
                } else {
                    in_string_ = false;
                }
                ++i;
                continue;
            }
            if (depth_ != 0) {
                i = find_nesting(data, i, length_);
                if (i == length_) break;
            }
            const unsigned char c = data[i];
            switch (kByteClass[c]) {
                case kPlain: break;
                case kQuote: in_string_ = true; break;
                case kOpen: ++depth_; break;
                case kClose:
                    if (depth_ != 0) {
                        --depth_;
                        break;
                    }
                    if (c != ']') {
                        fail_at("unexpected `}`", i);
                        return i;
                    }
                    phase_ = Phase::AfterArray;
                    return i;
                case kComma:
                    if (depth_ != 0) break;
                    phase_ = Phase::BeforeElement;
                    after_comma_ = true;
                    return i;
            }
            ++i;
        }
        return i;
    }

    std::size_t element_start(std::size_t k) const { return k == 0 ? pending_start_ : pending_ends_[k - 1] + 1; }

    // Parses the entries cut so far.
    bool flush() {
        const std::size_t count = pending_ends_.size();
        bool located = true;
        std::optional<std::string> error = parse(0, count, located);
        if (error && !located) {
            // A fault found before any entry was read (invalid UTF-8, say) is pinned down by
            // reading the entries one at a time.
            for (std::size_t k = 0; k < count; ++k) {
                if (auto single = parse(k, k + 1, located)) {
                    error = std::move(single);
                    break;
                }
            }
        }
        if (error) return fail(std::move(*error));
        first_pending_index_ += count;
        pending_ends_.clear();
        return true;
    }

    // Parses entries [first, last) of the pending ones. `located` tells whether the error
    // belongs to a known entry.
    std::optional<std::string> parse(std::size_t first, std::size_t last, bool& located) {
        const std::size_t start = element_start(first);
        const std::size_t size = pending_ends_[last - 1] - start;
        const std::size_t wanted = size + 2 + simdjson::SIMDJSON_PADDING;
        if (batch_capacity_ < wanted) {
            batch_.reset();
            batch_ = std::make_unique<char[]>(wanted);
            batch_capacity_ = wanted;
        }
        batch_[0] = '[';
        std::memcpy(batch_.get() + 1, buffer_.get() + start, size);
        batch_[size + 1] = ']';

        const std::uint64_t base_index = first_pending_index_ + first;
        // An entry counted past the cut ones still lies in the last of them.
        const auto at_entry = [&](const std::string& what, std::size_t k) {
            return what + " at entry " + std::to_string(base_index + std::min(k, last - first - 1));
        };

        // Room to spare, so that batches of slightly varying size do not reallocate each time.
        if (parser_.capacity() < size + 2) {
            if (auto code = parser_.allocate(size + 2 + (size + 2) / 4)) {
                located = true;
                return at_entry(describe(code), 0);
            }
        }
        od::document document;
        if (auto code = parser_.iterate(simdjson::padded_string_view(batch_.get(), size + 2, batch_capacity_))
                            .get(document)) {
            located = last - first == 1;
            return at_entry(describe(code), 0);
        }
        located = true;
        od::array array;
        if (auto code = document.get_array().get(array)) return at_entry(describe(code), 0);

        const std::size_t kept = entries_.size();
        std::size_t k = 0;
        for (auto item : array) {
            od::value value;
            EntryReader reader;
            if (auto code = std::move(item).get(value)) {
                entries_.resize(kept);
                return at_entry(describe(code), k);
            }
            if (!reader.entry(value, entries_.emplace_back())) {
                entries_.resize(kept);
                return reader.message(base_index + std::min(k, last - first - 1));
            }
            ++k;
        }
        // The cut and the parser must agree on every entry boundary.
        const bool consumed_all = document.current_location().error() == simdjson::OUT_OF_BOUNDS;
        if (k != last - first || !consumed_all) {
            entries_.resize(kept);
            return at_entry("invalid JSON syntax", k);
        }
        return std::nullopt;
    }

    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    std::size_t scanned_ = 0;
    std::uint64_t consumed_ = 0;  // bytes dropped from the front of buffer_

    Phase phase_ = Phase::BeforeArray;
    bool after_comma_ = false;
    std::uint64_t depth_ = 0;
    bool in_string_ = false;
    bool escaped_ = false;

    std::size_t pending_start_ = 0;            // where the first unparsed entry starts
    std::vector<std::size_t> pending_ends_;    // where each unparsed entry ends
    std::uint64_t first_pending_index_ = 0;    // its index in the array

    std::unique_ptr<char[]> batch_;
    std::size_t batch_capacity_ = 0;
    od::parser parser_;
    std::vector<AuditEntry> entries_;
    std::string error_;
};

AuditJsonReader::AuditJsonReader() : impl_(std::make_unique<Impl>()) {}
AuditJsonReader::~AuditJsonReader() = default;

std::span<char> AuditJsonReader::input_space(std::size_t size) {
    return impl_->input_space(size);
}

std::expected<void, std::string> AuditJsonReader::commit(std::size_t size) {
    return impl_->commit(size);
}

std::expected<std::vector<AuditEntry>, std::string> AuditJsonReader::finish() {
    return impl_->finish();
}

std::expected<std::vector<AuditEntry>, std::string> parse_audit_entries(std::string_view json) {
    AuditJsonReader reader;
    const std::span<char> space = reader.input_space(json.size());
    if (!json.empty()) std::memcpy(space.data(), json.data(), json.size());
    if (auto taken = reader.commit(json.size()); !taken) return std::unexpected(taken.error());
    return reader.finish();
}

}  // namespace corvel
