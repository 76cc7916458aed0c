// RFC 8785 canonical JSON and the Cedar context, both written in one walk of the parsed value.

#include "gate/tool_arguments.hpp"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/json_writer.hpp"
#include "crypto/sha256.hpp"
#include "watchdog/lower_case.hpp"

namespace corvel {

namespace {

namespace dom = simdjson::dom;

struct Refused {
    std::string detail;
};

// 2^53: beyond it a JSON integer has no exact IEEE double, so no exact canonical form.
constexpr std::uint64_t kExactIntegerLimit = std::uint64_t{1} << 53;

// A member name as UTF-16 code units: RFC 8785 orders members by them, not by code points.
std::u16string utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = 0;
        std::size_t n = 1;
        if (b < 0x80) {
            cp = b;
        } else if (b < 0xe0) {
            cp = b & 0x1f, n = 2;
        } else if (b < 0xf0) {
            cp = b & 0x0f, n = 3;
        } else {
            cp = b & 0x07, n = 4;
        }
        // The parser has checked the UTF-8, so every continuation byte is there.
        for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xd800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + (cp & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

class Writer {
public:
    Writer(std::string& canonical, std::string& context) : canonical_(canonical), context_(context) {}

    void value(dom::element element) {
        switch (element.type()) {
            case dom::element_type::OBJECT: object(element.get_object().value_unsafe()); break;
            case dom::element_type::ARRAY: array(element.get_array().value_unsafe()); break;
            case dom::element_type::STRING: {
                const std::string_view text = element.get_string().value_unsafe();
                append_json_string(canonical_, text);
                append_json_string(context_, text);
                break;
            }
            case dom::element_type::BOOL: {
                const char* text = element.get_bool().value_unsafe() ? "true" : "false";
                canonical_ += text;
                context_ += text;
                break;
            }
            case dom::element_type::NULL_VALUE:
                canonical_ += "null";
                context_ += "\"null\"";
                break;
            case dom::element_type::INT64: integer(element.get_int64().value_unsafe()); break;
            case dom::element_type::UINT64: unsigned_integer(element.get_uint64().value_unsafe()); break;
            case dom::element_type::DOUBLE: fraction(element.get_double().value_unsafe()); break;
            default: throw Refused{"an integer beyond +-2^53 has no exact canonical form"};
        }
    }

private:
    void object(dom::object object) {
        struct Member {
            std::u16string order;
            std::string_view name;
            dom::element value;
        };
        std::vector<Member> members;
        members.reserve(object.size());
        for (const auto field : object) {
            if (field.key == "__entity" || field.key == "__extn")
                throw Refused{"the member name \"" + std::string(field.key) + "\" is reserved by Cedar"};
            members.push_back({utf16(field.key), field.key, field.value});
        }
        std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.order < b.order; });
        canonical_.push_back('{');
        context_.push_back('{');
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i != 0) {
                if (members[i].order == members[i - 1].order)
                    throw Refused{"the member \"" + std::string(members[i].name) + "\" is named twice"};
                canonical_.push_back(',');
                context_.push_back(',');
            }
            append_json_string(canonical_, members[i].name);
            append_json_string(context_, members[i].name);
            canonical_.push_back(':');
            context_.push_back(':');
            value(members[i].value);
        }
        canonical_.push_back('}');
        context_.push_back('}');
    }

    void array(dom::array array) {
        canonical_.push_back('[');
        context_.push_back('[');
        bool first = true;
        for (const auto item : array) {
            if (!first) {
                canonical_.push_back(',');
                context_.push_back(',');
            }
            first = false;
            value(item);
        }
        canonical_.push_back(']');
        context_.push_back(']');
    }

    void integer(std::int64_t number) {
        const std::uint64_t magnitude =
            number < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(number) : static_cast<std::uint64_t>(number);
        if (magnitude > kExactIntegerLimit) throw Refused{"an integer beyond +-2^53 has no exact canonical form"};
        char buffer[24];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
        canonical_.append(buffer, end);
        context_.append(buffer, end);
    }

    void unsigned_integer(std::uint64_t number) {
        if (number > kExactIntegerLimit) throw Refused{"an integer beyond +-2^53 has no exact canonical form"};
        integer(static_cast<std::int64_t>(number));
    }

    // Cedar has no fractions: the policy sees the canonical number as text.
    void fraction(double number) {
        // Every double beyond 2^53 is integral, and its canonical text (1e20 is written
        // 100000000000000000000) would read back as an integer beyond 2^53: refused alike, so
        // that every canonical text is itself accepted.
        if (std::fabs(number) > static_cast<double>(kExactIntegerLimit))
            throw Refused{"a number beyond +-2^53 has no exact canonical form"};
        const std::size_t start = canonical_.size();
        append_es_number(canonical_, number);
        const std::string_view text(canonical_.data() + start, canonical_.size() - start);
        // An integral value (1.0, 1e2) is an integer to Cedar too, when it is exact.
        if (std::trunc(number) == number && std::fabs(number) <= static_cast<double>(kExactIntegerLimit)) {
            context_ += text;
        } else {
            context_.push_back('"');
            context_ += text;
            context_.push_back('"');
        }
    }

    std::string& canonical_;
    std::string& context_;
};

}  // namespace

void append_es_number(std::string& out, double value) {
    if (value == 0) {  // -0 too
        out.push_back('0');
        return;
    }
    // Shortest round-trip digits in scientific form, d.ddde[+-]x, rewritten by ECMAScript's rules.
    char buffer[40];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e))
        if (c != '.') digits.push_back(c);
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);
    const int k = static_cast<int>(digits.size());
    const int n = exponent + 1;
    if (k <= n && n <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out.append(digits, 0, static_cast<std::size_t>(n));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out.push_back(digits[0]);
        if (k > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out.push_back(n - 1 >= 0 ? '+' : '-');
        out += std::to_string(std::abs(n - 1));
    }
}

std::expected<ToolArguments, GateError> tool_arguments(std::string_view json) {
    thread_local dom::parser parser;
    dom::element root;
    if (const auto error = parser.parse(json.data(), json.size(), true).get(root); error != simdjson::SUCCESS) {
        return std::unexpected(GateError::arguments(simdjson::error_message(error)));
    }
    ToolArguments out;
    out.canonical.reserve(json.size());
    std::string arguments;
    arguments.reserve(json.size() + 16);
    try {
        Writer(out.canonical, arguments).value(root);
    } catch (const Refused& refused) {
        return std::unexpected(GateError::arguments(refused.detail));
    }
    out.hash = hash_bytes(as_bytes(out.canonical));

    std::string folded;
    lower_case_into(out.canonical, folded);
    // Runs of spaces fold to one, so "rm  -rf" reads as "rm -rf".
    folded.erase(std::unique(folded.begin(), folded.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                 folded.end());

    out.context.reserve(arguments.size() + 2 * out.canonical.size() + 48);
    out.context += "{\"arguments\":";
    out.context += arguments;
    out.context += ",\"arguments_json\":";
    append_json_string(out.context, out.canonical);
    out.context += ",\"text\":";
    append_json_string(out.context, folded);
    out.context.push_back('}');
    return out;
}

}  // namespace corvel
