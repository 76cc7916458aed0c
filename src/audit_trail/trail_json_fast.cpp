#include "audit_trail/trail_json_fast.hpp"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace corvel {

namespace {

// One left-to-right pass. Every method returns false as soon as the text is anything but what
// the writer (or a well-behaved hand) puts there; nothing is reported, the full parser will.
class QuickReader {
public:
    explicit QuickReader(std::string_view line) : at_(line.data()), end_(line.data() + line.size()) {}

    bool entry(TrailEntry& out) {
        skip_blank();
        std::uint32_t seen = 0;
        AuditEntry& e = out.entry;
        const bool read = object(kEntryMembers, seen, [&](std::size_t member) {
            switch (member) {
                case 0: return integer(e.index);
                case 1: return integer(e.timestamp);
                case 2: return action(e.action);
                case 3: return proof(e.proof);
                case 4: return decision(e.decision);
                case 5: return denial(emplaced(out.watchdog.denial_proof));
                case 6: return signal(emplaced(out.watchdog.hard_reset_signal));
                case 7: return fixed(e.prev_hash);
                case 8: return fixed(e.current_hash);
                case 9: return bytes(e.signature);
                default: return gate(out);
            }
        });
        if (!read || (seen & kRequiredEntryMembers) != kRequiredEntryMembers) return false;
        if ((seen & kDenialBit) && (seen & kSignalBit)) return false;
        if (!(seen & kDenialBit)) out.watchdog.denial_proof.reset();
        if (!(seen & kSignalBit)) out.watchdog.hard_reset_signal.reset();
        if (!(seen & kGateBit)) out.gate.reset();
        skip_blank();
        return at_ == end_;
    }

private:
    static constexpr std::array<std::string_view, 11> kEntryMembers = {
        "index", "timestamp", "action", "proof", "decision", "denial_proof", "hard_reset_signal",
        "prev_hash", "current_hash", "signature", "gate"};
    static constexpr std::uint32_t kDenialBit = 1u << 5;
    static constexpr std::uint32_t kSignalBit = 1u << 6;
    static constexpr std::uint32_t kGateBit = 1u << 10;
    static constexpr std::uint32_t kRequiredEntryMembers = ((1u << 11) - 1) & ~(kDenialBit | kSignalBit | kGateBit);

    template <typename T>
    static T& emplaced(std::optional<T>& slot) {
        return slot ? *slot : slot.emplace();
    }

    char peek() const { return at_ < end_ ? *at_ : '\0'; }

    // JSON's white space inside a line: spaces and tabs (a line holds no line break).
    void skip_blank() {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\t')) ++at_;
    }

    bool take(char c) {
        skip_blank();
        if (peek() != c) return false;
        ++at_;
        skip_blank();
        return true;
    }

    // The members of one object, each handed to `value` by its position in `names`; every
    // member at most once and none unknown. Which were present is left in `seen`.
    template <std::size_t N, typename Value>
    bool object(const std::array<std::string_view, N>& names, std::uint32_t& seen, Value&& value) {
        if (!take('{')) return false;
        for (;;) {
            std::string_view key;
            if (!name(key)) return false;
            std::size_t i = 0;
            while (i < N && names[i] != key) ++i;
            if (i == N || (seen & (1u << i))) return false;
            seen |= 1u << i;
            if (!take(':') || !value(i)) return false;
            skip_blank();
            if (peek() == '}') {
                ++at_;
                return true;
            }
            if (!take(',')) return false;
        }
    }

    template <std::size_t N, typename Value>
    bool whole_object(const std::array<std::string_view, N>& names, Value&& value) {
        std::uint32_t seen = 0;
        return object(names, seen, value) && seen == (1u << N) - 1;
    }

    // A string without escapes, as it stands: names of members and variants. Anything else in
    // a name means no name that is known here.
    bool name(std::string_view& out) {
        if (peek() != '"') return false;
        const char* start = ++at_;
        while (at_ < end_ && *at_ != '"') {
            const auto c = static_cast<unsigned char>(*at_);
            if (c == '\\' || c < 0x20) return false;
            ++at_;
        }
        if (at_ == end_) return false;
        out = std::string_view(start, static_cast<std::size_t>(at_ - start));
        ++at_;
        return true;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex4(std::uint32_t& out) {
        if (end_ - at_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_digit(at_[i]);
            if (digit < 0) return false;
            out = out << 4 | static_cast<std::uint32_t>(digit);
        }
        at_ += 4;
        return true;
    }

    static void append_utf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | code >> 6));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | code >> 12));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | code >> 18));
            out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    // One escape after its backslash. An unpaired surrogate is left to the full parser.
    bool escape(std::string& out) {
        const char c = peek();
        ++at_;
        switch (c) {
            case '"': out.push_back('"'); return true;
            case '\\': out.push_back('\\'); return true;
            case '/': out.push_back('/'); return true;
            case 'b': out.push_back('\b'); return true;
            case 'f': out.push_back('\f'); return true;
            case 'n': out.push_back('\n'); return true;
            case 'r': out.push_back('\r'); return true;
            case 't': out.push_back('\t'); return true;
            case 'u': break;
            default: return false;
        }
        std::uint32_t code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xDC00 && code <= 0xDFFF) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low = 0;
            if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
            at_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, code);
        return true;
    }

    // A text, unescaped into `out`. Its raw bytes must be valid UTF-8, as the full parser
    // requires of the whole line (escapes are ASCII, so checking the raw bytes is the same).
    bool text(std::string& out) {
        if (peek() != '"') return false;
        const char* const start = ++at_;
        out.clear();
        bool wide = false;
        const char* run = at_;  // the start of the bytes not yet copied
        for (;;) {
            if (at_ == end_) return false;
            const auto c = static_cast<unsigned char>(*at_);
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c >= 0x80) wide = true;
            if (c == '\\') {
                out.append(run, at_);
                ++at_;
                if (!escape(out)) return false;
                run = at_;
                continue;
            }
            ++at_;
        }
        out.append(run, at_);
        if (wide && !simdjson::validate_utf8(start, static_cast<std::size_t>(at_ - start))) return false;
        ++at_;
        return true;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    // Digits only, no leading zero, at most 2^64 - 1; what follows is checked by the caller,
    // which expects white space or punctuation (so a fraction or an exponent gives up there).
    bool integer(std::uint64_t& out) {
        char c = peek();
        if (c < '0' || c > '9') return false;
        std::uint64_t value = static_cast<std::uint64_t>(c - '0');
        ++at_;
        if (value == 0) {
            c = peek();
            if (c >= '0' && c <= '9') return false;
            out = 0;
            return true;
        }
        for (c = peek(); c >= '0' && c <= '9'; c = peek()) {
            if (__builtin_mul_overflow(value, 10u, &value) ||
                __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value))
                return false;
            ++at_;
        }
        out = value;
        return true;
    }

    bool integer32(std::uint32_t& out) {
        std::uint64_t value = 0;
        if (!integer(value) || value > 0xffffffffu) return false;
        out = static_cast<std::uint32_t>(value);
        return true;
    }

    bool boolean(bool& out) {
        if (literal("true")) {
            out = true;
            return true;
        }
        out = false;
        return literal("false");
    }

    // One element of a byte list at `p`: 0 to 255, without a leading zero; the end of its
    // digits, or null. Byte lists are most of an entry's text, so the usual case reads four
    // bytes at once and chooses without branching.
    static const char* byte(const char* p, const char* end, std::uint8_t& out) {
        const std::size_t left = static_cast<std::size_t>(end - p);
        if (left == 0) return nullptr;
        const auto digit = [&](std::size_t i) {
            return i < left ? static_cast<unsigned>(static_cast<unsigned char>(p[i])) - unsigned{'0'} : 10u;
        };
        const unsigned d0 = digit(0), d1 = digit(1), d2 = digit(2), d3 = digit(3);
        if (d0 > 9) return nullptr;
        const bool two = d1 <= 9;
        const bool three = two && d2 <= 9;
        const unsigned value = three ? d0 * 100 + d1 * 10 + d2 : two ? d0 * 10 + d1 : d0;
        if ((two && d0 == 0) || (three && d3 <= 9) || value > 255) return nullptr;
        out = static_cast<std::uint8_t>(value);
        return p + 1 + unsigned{two} + unsigned{three};
    }

    // For the eight bytes of a word: bit i set where byte i is a comma; in `other`, the high
    // bit of each byte that is neither a comma nor a digit. Exact: nothing carries between bytes.
    static std::uint64_t comma_bits(std::uint64_t word, std::uint64_t& other) {
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
        constexpr std::uint64_t kHigh = 0x8080808080808080ull;
        const std::uint64_t low = word & kLow7;
        const std::uint64_t comma = ~(((low ^ 0x2C2C2C2C2C2C2C2Cull) + kLow7) | word) & kHigh;
        const std::uint64_t digit = (low + 0x5050505050505050ull) & ~(low + 0x4646464646464646ull) & ~word & kHigh;
        other |= ~(comma | digit) & kHigh;
        return ((comma >> 7) * 0x0102040810204080ull) >> 56;
    }

    // The digits from `from` to `to` (before `end`, all digits): a byte, or 256 and up when
    // they are not one. No branch depends on the number's length, which is as random as the
    // bytes are.
    static unsigned number(const char* from, const char* to, const char* end) {
        std::uint32_t word = 0;
        if (end - from >= 4) {
            std::memcpy(&word, from, 4);
        } else {
            for (int i = 0; from + i < end; ++i) word |= std::uint32_t{static_cast<unsigned char>(from[i])} << (8 * i);
        }
        const auto length = static_cast<std::size_t>(to - from);
        const unsigned shift = 8 * ((4 - length) & 3);
        const std::uint32_t aligned = (word - 0x30303030u) << shift;  // the last digit in the top byte
        const unsigned value = (aligned >> 8 & 0xff) * 100 + (aligned >> 16 & 0xff) * 10 + (aligned >> 24);
        const bool bad = length - 1 > 2 || (length > 1 && (word & 0xff) == '0');
        return value | (unsigned{bad} << 8);
    }

    // The writer's form of a byte list, digits and commas only, from `p` to its "]" at `close`:
    // the commas are found a word at a time first, so that the numbers between them are read
    // independently of each other. False leaves the list to the element-by-element loop.
    bool compact_byte_list(const char* p, const char* close, std::uint8_t* out, std::size_t room,
                           std::size_t& count) const {
        count = 0;
        if (p == close) return true;
        const char* const end = end_;
        const auto length = static_cast<std::size_t>(close - p);
        std::size_t n = 0;
        unsigned seen = 0;        // the bits of every number read: 256 and up means one was bad
        std::uint64_t other = 0;  // any byte that is neither a digit nor a comma
        const char* start = p;
        for (std::size_t base = 0; base < length; base += 64) {
            const std::size_t block = std::min<std::size_t>(64, length - base);
            std::uint64_t commas = 0;
            std::size_t j = 0;
            for (; j + 8 <= block; j += 8) {
                std::uint64_t word;
                std::memcpy(&word, p + base + j, 8);
                commas |= comma_bits(word, other) << j;
            }
            for (; j < block; ++j) {
                const char c = p[base + j];
                commas |= std::uint64_t{c == ','} << j;
                other |= std::uint64_t{c != ',' && (c < '0' || c > '9')};
            }
            if (other != 0) return false;
            while (commas != 0) {
                const char* comma = p + base + static_cast<std::size_t>(__builtin_ctzll(commas));
                commas &= commas - 1;
                if (n == room) return false;
                const unsigned value = number(start, comma, end);
                seen |= value;
                out[n++] = static_cast<std::uint8_t>(value);
                start = comma + 1;
            }
        }
        if (n == room) return false;
        const unsigned value = number(start, close, end);
        seen |= value;
        out[n++] = static_cast<std::uint8_t>(value);
        count = n;
        return seen <= 255;
    }

    // A byte list into `out`, at most `room` elements; how many in `count`. The cursor lives in
    // locals here: stores through `out` could otherwise alias it.
    bool byte_list(std::uint8_t* out, std::size_t room, std::size_t& count) {
        count = 0;
        if (!take('[')) return false;
        if (const void* close = std::memchr(at_, ']', static_cast<std::size_t>(end_ - at_))) {
            if (compact_byte_list(at_, static_cast<const char*>(close), out, room, count)) {
                at_ = static_cast<const char*>(close) + 1;
                return true;
            }
        }
        count = 0;
        const char* p = at_;
        const char* const end = end_;
        const auto skip = [&] {
            while (p < end && (*p == ' ' || *p == '\t')) ++p;
        };
        if (p < end && *p == ']') {
            at_ = p + 1;
            return true;
        }
        for (;;) {
            std::uint8_t value = 0;
            p = byte(p, end, value);
            if (p == nullptr || count == room) return false;
            out[count++] = value;
            // The writer's form, "12,34", first; white space around the comma is allowed.
            if (p < end && *p == ',') {
                ++p;
                skip();
                continue;
            }
            skip();
            if (p == end) return false;
            if (*p == ']') {
                at_ = p + 1;
                return true;
            }
            if (*p != ',') return false;
            ++p;
            skip();
        }
    }

    bool bytes(Bytes& out) {
        // Every element takes at least two characters with its comma: room for all at once.
        const void* close = std::memchr(at_, ']', static_cast<std::size_t>(end_ - at_));
        if (close == nullptr) return false;
        out.resize(static_cast<std::size_t>(static_cast<const char*>(close) - at_) / 2 + 1);
        std::size_t count = 0;
        if (!byte_list(out.data(), out.size(), count)) return false;
        out.resize(count);
        return true;
    }

    template <std::size_t N>
    bool fixed(std::array<std::uint8_t, N>& out) {
        std::size_t count = 0;
        return byte_list(out.data(), N, count) && count == N;
    }

    // A variant: a bare name, or an object whose single member is the name and holds the
    // payload (read by `payload` when the name is one it takes).
    template <typename Payload>
    bool variant(std::string_view& tag, bool& has_payload, Payload&& payload) {
        if (peek() == '"') {
            has_payload = false;
            return name(tag);
        }
        has_payload = true;
        if (!take('{') || !name(tag) || !take(':') || !payload(tag)) return false;
        skip_blank();
        if (peek() != '}') return false;
        ++at_;
        return true;
    }

    bool action_type(ActionType& out) {
        static constexpr std::array<std::string_view, 5> kNames = {"Delete", "Write", "Read", "Execute", "Network"};
        std::string_view tag;
        bool has_payload = false;
        const bool read = variant(tag, has_payload, [&](std::string_view custom) {
            if (custom != "Custom" || !text(scratch_)) return false;
            out = ActionType::custom(scratch_);
            return true;
        });
        if (!read) return false;
        if (has_payload) return true;
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            if (tag == kNames[i]) {
                out = ActionType(static_cast<ActionKind>(i));
                return true;
            }
        }
        return false;
    }

    bool action(Action& out) {
        static constexpr std::array<std::string_view, 4> kNames = {"action_type", "target", "payload", "metadata"};
        return whole_object(kNames, [&](std::size_t member) {
            switch (member) {
                case 0: return action_type(out.action_type);
                case 1: return text(out.target);
                case 2:
                    if (literal("null")) {
                        out.payload.reset();
                        return true;
                    }
                    return bytes(emplaced(out.payload));
                default:
                    if (literal("null")) {
                        out.metadata.reset();
                        return true;
                    }
                    return text(emplaced(out.metadata));
            }
        });
    }

    bool status(VerificationStatus& out) {
        std::string_view tag;
        bool has_payload = false;
        const bool read = variant(tag, has_payload, [&](std::string_view failed) {
            if (failed != "Failed" || !text(scratch_)) return false;
            out = VerificationStatus::failed(scratch_);
            return true;
        });
        if (!read) return false;
        if (has_payload) return true;
        if (tag == "OK") {
            out = VerificationStatus::ok();
            return true;
        }
        if (tag == "Tampered") {
            out = VerificationStatus::tampered();
            return true;
        }
        return false;
    }

    bool proof(IntegrityProof& out) {
        static constexpr std::array<std::string_view, 8> kNames = {
            "nonce", "timestamp", "ttl", "action_hash", "action_type", "capsule_hash", "status", "signature"};
        return whole_object(kNames, [&](std::size_t member) {
            switch (member) {
                case 0: return fixed(out.nonce);
                case 1: return integer(out.timestamp);
                case 2: return integer(out.ttl);
                case 3: return fixed(out.action_hash);
                case 4: return action_type(out.action_type);
                case 5: return text(out.capsule_hash);
                case 6: return status(out.status);
                default: return bytes(out.signature);
            }
        });
    }

    bool decision(Decision& out) {
        static constexpr std::array<std::string_view, 1> kReason = {"reason"};
        std::string_view tag;
        bool has_payload = false;
        const bool read = variant(tag, has_payload, [&](std::string_view denied) {
            if (denied != "Denied" || !whole_object(kReason, [&](std::size_t) { return text(scratch_); })) return false;
            out = Decision::denied(scratch_);
            return true;
        });
        if (!read) return false;
        if (has_payload) return true;
        if (tag != "Approved") return false;
        out = Decision::approved();
        return true;
    }

    bool denial(DenialProof& out) {
        static constexpr std::array<std::string_view, 9> kNames = {
            "nonce", "timestamp", "action_hash", "action_type", "violated_rule", "denial_reason",
            "violation_count", "triggered_hard_reset", "signature"};
        return whole_object(kNames, [&](std::size_t member) {
            switch (member) {
                case 0: return fixed(out.nonce);
                case 1: return integer(out.timestamp);
                case 2: return fixed(out.action_hash);
                case 3: return action_type(out.action_type);
                case 4: return text(out.violated_rule);
                case 5: return text(out.denial_reason);
                case 6: return integer32(out.violation_count);
                case 7: return boolean(out.triggered_hard_reset);
                default: return bytes(out.signature);
            }
        });
    }

    bool signal(HardResetSignal& out) {
        static constexpr std::array<std::string_view, 5> kNames = {
            "final_denial", "charter_hash", "signature", "reset_timestamp", "total_violations"};
        return whole_object(kNames, [&](std::size_t member) {
            switch (member) {
                case 0: return denial(out.final_denial);
                case 1: return text(out.charter_hash);
                case 2: return bytes(out.signature);
                case 3: return integer(out.reset_timestamp);
                default: return integer32(out.total_violations);
            }
        });
    }

    bool policies(std::vector<std::string>& out) {
        out.clear();
        if (!take('[')) return false;
        if (peek() == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            if (!text(out.emplace_back())) return false;
            skip_blank();
            if (peek() == ']') {
                ++at_;
                return true;
            }
            if (!take(',')) return false;
        }
    }

    bool gate(TrailEntry& entry) {
        static constexpr std::array<std::string_view, 2> kCall = {"policies", "denials"};
        static constexpr std::array<std::string_view, 3> kOutcome = {"decision_index", "success", "result_hash"};
        std::string_view tag;
        bool has_payload = false;
        const bool read = variant(tag, has_payload, [&](std::string_view kind) {
            if (kind == "call") {
                GateCall call;
                if (!whole_object(kCall, [&](std::size_t member) {
                        return member == 0 ? policies(call.policies) : integer32(call.denials);
                    }))
                    return false;
                entry.gate = std::move(call);
                return true;
            }
            if (kind != "outcome") return false;
            GateOutcome outcome;
            if (!whole_object(kOutcome, [&](std::size_t member) {
                    switch (member) {
                        case 0: return integer(outcome.decision_index);
                        case 1: return boolean(outcome.success);
                        default: return fixed(outcome.result_hash);
                    }
                }))
                return false;
            entry.gate = outcome;
            return true;
        });
        return read && has_payload;
    }

    const char* at_;
    const char* const end_;
    std::string scratch_;  // the texts that go into a value built whole
};

}  // namespace

bool read_entry_quickly(std::string_view line, TrailEntry& out) { return QuickReader(line).entry(out); }

}  // namespace corvel
