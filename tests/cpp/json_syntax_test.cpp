#include <gtest/gtest.h>

#include <simdjson.h>

#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>

#include "audit_log/json_syntax.hpp"
#include "support/test_util.hpp"

namespace corvel::audit_json {
namespace {

struct Outcome {
    bool ok;
    std::string error;
    std::size_t at;  // offset of the faulty byte in the whole text
    bool operator==(const Outcome&) const = default;
};

// The check fed with `text` in pieces of at most `piece` bytes.
Outcome check(std::string_view text, std::size_t piece = std::string_view::npos) {
    JsonSyntaxCheck checker;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t size = std::min(piece, text.size() - at);
        if (!checker.feed(reinterpret_cast<const unsigned char*>(text.data() + at), size)) {
            return {false, checker.error(), at + checker.error_offset()};
        }
        at += size;
    }
    if (!checker.finish()) return {false, checker.error(), text.size()};
    return {true, {}, 0};
}

// The independent judge: simdjson's DOM parser. Its NUMBER_ERROR covers malformed numbers and
// also valid ones it cannot represent, which need a three-digit exponent or twenty digits in a
// row (1e400): only there does it give no verdict.
std::optional<bool> simdjson_accepts(std::string_view text) {
    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    const auto code = parser.parse(simdjson::padded_string(text)).get(root);
    if (code == simdjson::NUMBER_ERROR) {
        static const std::regex huge("[0-9]{20}|[eE][+-]?[0-9]{3}");
        if (std::regex_search(std::string(text), huge)) return std::nullopt;
        return false;
    }
    return code == simdjson::SUCCESS;
}

TEST(JsonSyntaxCheckTest, AcceptsValidValuesOfEveryKind) {
    for (const char* text :
         {"{}", "[]", "0", "-0", "1.5e+10", "-12.0E-3", "true", "false", "null", "\"\"",
          " {\"a\" : [1, {\"b\": null}, \"x\\\"y\\\\z\\/\\b\\f\\n\\r\\t\\u00e9\"] } ",
          "\"\\ud83d\\ude00 \xF0\x9F\x98\x80 \xE2\x82\xAC \xC3\xA9 \xED\x9F\xBF \xF4\x8F\xBF\xBF\"",
          "[[[[[]]]]]", "123456789012345678901234567890", "1e400"}) {
        EXPECT_TRUE(check(text).ok) << text << ": " << check(text).error;
    }
}

TEST(JsonSyntaxCheckTest, NamesTheFaultAndWhereItIs) {
    const struct {
        std::string text;
        const char* error;
        std::size_t at;
    } cases[] = {
        {"{\"a\":\"x\ty\"}", "control character in string", 7},
        {"{\"a\":\"\\q\"}", "invalid escape in string", 7},
        {"\"\\ud800\"", "invalid escape in string", 7},       // lone high surrogate
        {"\"\\ud800\\u0041\"", "invalid escape in string", 12},
        {"\"\\udc00\"", "invalid escape in string", 6},       // lone low surrogate
        {"\"\\u12g4\"", "invalid escape in string", 5},
        {"\"\xC0\xAF\"", "invalid UTF-8", 1},                  // overlong
        {"\"\xED\xA0\x80\"", "invalid UTF-8", 2},              // encoded surrogate
        {"\"\xF4\x90\x80\x80\"", "invalid UTF-8", 2},          // past U+10FFFF
        {"\"\xE2\x82\"", "invalid UTF-8", 3},                  // cut short
        {"{\"a\":tru}", "invalid literal", 8},
        {"{\"a\":nulx}", "invalid literal", 8},
        {"[01]", "invalid number", 2},
        {"[1.]", "invalid number", 3},
        {"[-]", "invalid number", 2},
        {"[1e+]", "invalid number", 4},
        {"[1 2]", "expected `,` or `]`", 3},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}`", 7},
        {"{\"a\" 1}", "expected `:`", 5},
        {"{1:2}", "key must be a string", 1},
        {"{\"a\":1,}", "key must be a string", 7},
        {"[1,]", "expected value", 3},
        {"[1}", "expected `,` or `]`", 2},
        {"{} x", "trailing characters", 3},
        {"[x]", "expected value", 1},
        {std::string("[\0]", 3), "expected value", 1},
        {"[1", "EOF while parsing a value", 2},
        {"\"abc", "EOF while parsing a value", 4},
        {std::string(1025, '['), "recursion limit exceeded", 1024},
    };
    for (const auto& c : cases) {
        const Outcome outcome = check(c.text);
        EXPECT_FALSE(outcome.ok) << c.text;
        EXPECT_EQ(outcome.error, c.error) << c.text;
        EXPECT_EQ(outcome.at, c.at) << c.text;
    }
    EXPECT_TRUE(check(std::string(1024, '[') + std::string(1024, ']')).ok);
}

// Random edits of valid JSON: the check agrees with simdjson on every text, and reads the
// same in pieces as whole.
TEST(JsonSyntaxCheckTest, AgreesWithAnIndependentParserAndWithItselfInPieces) {
    const std::string bases[] = {
        "{\"index\": 12, \"a\": [1, 2.5e3, -0, true, false, null], \"s\": \"x\\\"\\u00e9\\ud83d\\ude00\xC3\xA9\"}",
        "[{\"k\": {}}, [], \"\", 0.125, {\"deep\": [[{\"x\": \"\\n\"}]]}]",
    };
    const std::string alphabet = "[]{},:\"\\ 0123456789-+.eEtrufalsnu\t\n\x01\xC3\xA9\x80\xED\xF4\xFF";
    std::mt19937 random(7);
    std::size_t valid = 0, judgements = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = bases[round % 2];
        test::mutate(text, alphabet, random);
        const Outcome whole = check(text);
        const std::optional<bool> judged = simdjson_accepts(text);
        if (judged) {
            ASSERT_EQ(whole.ok, *judged) << text << " -> " << whole.error;
            ++judgements;
        }
        ASSERT_EQ(check(text, 1 + random() % 7), whole) << text;
        valid += whole.ok;
    }
    EXPECT_GT(valid, 1000u);
    EXPECT_GT(judgements, 18000u);  // nine in ten are judged
}

}  // namespace
}  // namespace corvel::audit_json
