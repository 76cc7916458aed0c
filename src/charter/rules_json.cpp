#include "charter/rules_json.hpp"

namespace corvel {

namespace {
void append_json_string(std::string& out, const std::string& text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out.push_back(hex[byte >> 4]);
                    out.push_back(hex[byte & 0x0f]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}
}  // namespace

std::string render_rules_json(const std::vector<std::string>& rules) {
    std::size_t size = 2;
    for (const auto& rule : rules) size += rule.size() + 3;
    std::string out;
    out.reserve(size);
    out.push_back('[');
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (i != 0) out.push_back(',');
        append_json_string(out, rules[i]);
    }
    out.push_back(']');
    return out;
}

}  // namespace corvel
