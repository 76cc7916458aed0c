#include "charter/rules_json.hpp"

#include "base/json_writer.hpp"

namespace corvel {

std::string render_rules_json(const std::vector<std::string>& rules) {
    // Two brackets, and per rule its quotes and a comma: exact unless a rule needs escapes.
    std::size_t size = 2;
    for (const auto& rule : rules) size += rule.size() + 3;
    std::string out;
    out.reserve(size);
    JsonWriter json(out);
    json.begin_array();
    for (const auto& rule : rules) json.string(rule);
    json.end_array();
    return out;
}

}  // namespace corvel
