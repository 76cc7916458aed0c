// The watchdog's lower-casing against Python 3.12's str.lower(): hand-picked cases, then every
// code point, alone and in the three final-sigma probes of tests/cpp/lower_case_reference.py.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "watchdog/lower_case.hpp"

namespace corvel {
namespace {

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

TEST(LowerCase, FullMappingAndFinalSigma) {
    EXPECT_EQ(lower_case("Do No HARM, Respect PRIVACY"), "do no harm, respect privacy");
    EXPECT_EQ(lower_case("\u00dcBER \u00c9T\u00c9"), "\u00fcber \u00e9t\u00e9");
    EXPECT_EQ(lower_case("\u0130"), "i\u0307");           // the one mapping longer than a code point
    EXPECT_EQ(lower_case("\u212a"), "k");                 // Kelvin sign to ASCII
    EXPECT_EQ(lower_case("\U00010400"), "\U00010428");    // four-byte forms (Deseret)
    EXPECT_EQ(lower_case("\u1e9e"), "\u00df");            // capital sharp s
    EXPECT_EQ(lower_case("\u00df\u0149"), "\u00df\u0149");  // upper-case-only specials stay
    // Final sigma: after a cased letter and not before one; case-ignorable ones are looked through.
    EXPECT_EQ(lower_case("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");
    EXPECT_EQ(lower_case("\u03a3"), "\u03c3");
    EXPECT_EQ(lower_case("\u03a3\u03a3"), "\u03c3\u03c2");
    EXPECT_EQ(lower_case("A\u03a3\u03a3 "), "a\u03c3\u03c2 ");
    EXPECT_EQ(lower_case(" \u03a3\u03a3 "), " \u03c3\u03c2 ");
    EXPECT_EQ(lower_case("A\u03a3B"), "a\u03c3b");
    EXPECT_EQ(lower_case("A\u03a3 B"), "a\u03c2 b");
    EXPECT_EQ(lower_case("A'\u03a3'"), "a'\u03c2'");
    EXPECT_EQ(lower_case("A\u03a3'B"), "a\u03c3'b");
    EXPECT_EQ(lower_case("'\u03a3"), "'\u03c3");
    EXPECT_EQ(lower_case("1\u03a3"), "1\u03c3");
    EXPECT_EQ(lower_case("A\u0301\u03a3\u0301"), "a\u0301\u03c2\u0301");
}

TEST(LowerCase, IllFormedBytesPassThroughUnchanged) {
    const std::string cases[] = {
        "\xC3",                 // truncated
        "\xC0\x80",             // overlong NUL
        "\xE0\x80\x80",         // overlong
        "\xED\xA0\x80",         // a surrogate
        "\xF4\x90\x80\x80",     // past U+10FFFF
        "\xFF\xFE",
        "\x80\xBF",             // lone continuation bytes
        "\xE2\x84",             // a Kelvin sign cut short
    };
    for (const std::string& bad : cases) {
        EXPECT_EQ(lower_case(bad), bad);
        EXPECT_EQ(lower_case("AB" + bad + "CD"), "ab" + bad + "cd");
    }
    // A cut sequence does not swallow the character after it.
    EXPECT_EQ(lower_case("\xE2\x84\u212a"), "\xE2\x84k");
    // An ill-formed byte ends the final-sigma context like any uncased character.
    EXPECT_EQ(lower_case("A\xFF\u03a3"), "a\xFF\u03c3");
    EXPECT_EQ(lower_case("A\u03a3\xFF"), "a\u03c2\xFF");
    std::string out = "left over";
    lower_case_into("", out);
    EXPECT_EQ(out, "");
}

struct Reference {
    std::string lower;
    std::string sigmas;
};

std::map<char32_t, Reference> read_reference() {
    std::ifstream in(CORVEL_LOWER_CASE_REFERENCE);
    EXPECT_TRUE(in) << CORVEL_LOWER_CASE_REFERENCE;
    std::map<char32_t, Reference> out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string cp, lower, sigmas;
        fields >> cp >> lower >> sigmas;
        Reference ref{"", sigmas};
        std::istringstream parts(lower);
        for (std::string part; std::getline(parts, part, '+');) ref.lower += utf8(std::stoul(part, nullptr, 16));
        out.emplace(std::stoul(cp, nullptr, 16), ref);
    }
    return out;
}

TEST(LowerCase, AgreesWithPythonOnEveryCodePoint) {
    const std::map<char32_t, Reference> reference = read_reference();
    ASSERT_GT(reference.size(), 5000u);
    const auto sigma = [](char letter) { return letter == 'f' ? std::string("\u03c2") : std::string("\u03c3"); };
    std::size_t failures = 0;
    for (char32_t c = 0; c <= 0x10FFFF && failures < 20; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const std::string ch = utf8(c);
        const auto it = reference.find(c);
        const Reference ref = it != reference.end() ? it->second : Reference{ch, "fss"};
        // Built by appending: operator+ chains trip a false -Wrestrict warning in g++ 12.
        std::string expected[4] = {ref.lower, "a", " ", "a"};
        expected[1].append(sigma(ref.sigmas[0])).append(ref.lower).append(" ");
        expected[2].append(ref.lower).append(sigma(ref.sigmas[1])).append(" ");
        expected[3].append(ref.lower).append(sigma(ref.sigmas[2])).append(" ");
        std::string probes[4] = {ch, "A\u03a3", " ", "A"};
        probes[1].append(ch).append(" ");
        probes[2].append(ch).append("\u03a3 ");
        probes[3].append(ch).append("\u03a3 ");
        // In the probes a capital sigma's own lower case depends on the probe; the hand-picked
        // cases above cover it.
        for (std::size_t i = 0; i < (c == 0x3A3 ? 1 : 4); ++i) {
            if (lower_case(probes[i]) != expected[i]) {
                ++failures;
                ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(c) << " probe " << i;
            }
        }
    }
    EXPECT_EQ(failures, 0u);
}

}  // namespace
}  // namespace corvel
