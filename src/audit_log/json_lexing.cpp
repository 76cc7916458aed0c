#include "audit_log/json_lexing.hpp"

#include <algorithm>
#include <new>

namespace corvel::audit_json {

namespace {
// Longest piece of the input quoted in an error message.
constexpr std::size_t kQuoteLimit = 40;
}  // namespace

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

std::string number_refusal(std::string_view token, const char* expected) {
    if (!is_json_number(token)) return "invalid number `" + quote(token) + "`";
    if (token.find_first_of(".eE") != std::string_view::npos) {
        return "invalid type: floating point `" + quote(token) + "`, expected " + expected;
    }
    return "invalid value: integer `" + quote(token) + "`, expected " + expected;
}

std::string byte_refusal(const char* token, const char* end, const char* expected) {
    switch (token < end ? *token : ']') {
        case '[': return std::string("invalid type: sequence, expected ") + expected;
        case '{': return std::string("invalid type: map, expected ") + expected;
        case '"': return std::string("invalid type: string, expected ") + expected;
        case 't':
        case 'f':
            return std::string(token, std::min<std::size_t>(5, static_cast<std::size_t>(end - token)))
                           .starts_with(*token == 't' ? "true" : "false")
                       ? std::string("invalid type: boolean, expected ") + expected
                       : std::string("invalid literal");
        case 'n':
            return std::string_view(token, static_cast<std::size_t>(end - token)).starts_with("null")
                       ? std::string("invalid type: null, expected ") + expected
                       : std::string("invalid literal");
        case ',':
        case ']': return "expected value";
        default: break;
    }
    const char* stop = token;
    while (stop < end && *stop != ',' && *stop != ']' && !is_json_space(static_cast<unsigned char>(*stop))) ++stop;
    return number_refusal(std::string_view(token, static_cast<std::size_t>(stop - token)), expected);
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

const char* type_name(simdjson::ondemand::json_type type) {
    using simdjson::ondemand::json_type;
    switch (type) {
        case json_type::array: return "sequence";
        case json_type::object: return "map";
        case json_type::number: return "number";
        case json_type::string: return "string";
        case json_type::boolean: return "boolean";
        case json_type::null: return "null";
    }
    return "value";
}

std::string not_an_entry(unsigned char c) {
    const char* type = nullptr;
    switch (c) {
        case '{': return {};
        case '[': type = "sequence"; break;
        case '"': type = "string"; break;
        case 't':
        case 'f': type = "boolean"; break;
        case 'n': type = "null"; break;
        default:
            if (c == '-' || (c >= '0' && c <= '9')) type = "number";
            break;
    }
    if (type == nullptr) return "expected value";
    return std::string("invalid type: ") + type + ", expected struct AuditEntry";
}

}  // namespace corvel::audit_json
