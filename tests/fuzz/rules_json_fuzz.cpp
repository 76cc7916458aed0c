// The rule list's JSON rendering: it parses back, through an independent JSON parser, to the
// same rules, and stays compact (nothing outside the strings but brackets and commas).

#include <simdjson.h>

#include <string>
#include <vector>

#include "charter/rules_json.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    std::vector<std::string> rules;
    while (!input.empty()) {
        std::string rule = input.text();
        // Rules are Python texts, so always UTF-8.
        if (simdjson::validate_utf8(rule.data(), rule.size())) rules.push_back(std::move(rule));
    }
    const std::string json = render_rules_json(rules);

    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    require(parser.parse(simdjson::padded_string(json)).get(root) == simdjson::SUCCESS, "rendering is not JSON");
    simdjson::dom::array array;
    require(root.get_array().get(array) == simdjson::SUCCESS, "rendering is not an array");
    require(array.size() == rules.size(), "rendering has a different number of rules");
    std::size_t i = 0;
    std::size_t quoted = 2 + (rules.empty() ? 0 : rules.size() - 1);  // brackets and commas
    for (simdjson::dom::element element : array) {
        std::string_view rule;
        require(element.get_string().get(rule) == simdjson::SUCCESS, "a rule is not a string");
        require(rule == rules[i], "a rule does not read back as itself");
        ++i;
    }
    // Each rule costs its quotes plus its bytes, two for a short escape, six for \u00XX.
    for (const std::string& rule : rules) {
        quoted += 2;
        for (const unsigned char c : rule) {
            quoted += (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') ? 2
                      : c < 0x20                                                                        ? 6
                                                                                                          : 1;
        }
    }
    require(json.size() == quoted, "rendering is not compact");
    return 0;
}
