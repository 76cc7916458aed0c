// The streaming syntax check the reader runs on long entries: it agrees with simdjson on what
// is JSON, and reads the same in pieces as whole.

#include <simdjson.h>

#include <string>

#include "audit_log/json_syntax.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

namespace {

struct Outcome {
    bool ok;
    std::string error;
    std::size_t at;
    bool operator==(const Outcome&) const = default;
};

Outcome check(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    audit_json::JsonSyntaxCheck checker;
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = std::min(piece, size - at);
        if (!checker.feed(data + at, length)) return {false, checker.error(), at + checker.error_offset()};
        at += length;
    }
    if (!checker.finish()) return {false, checker.error(), size};
    return {true, {}, 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Outcome whole = check(data, size, size == 0 ? 1 : size);
    require(check(data, size, 1 + size % 7) == whole, "whole and pieced checks disagree");

    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    const auto code = parser.parse(simdjson::padded_string(reinterpret_cast<const char*>(data), size)).get(root);
    // Past the nesting limit both refuse, for different reasons.
    if (code == simdjson::DEPTH_ERROR) return 0;
    if (code == simdjson::NUMBER_ERROR) {
        const bool huge = fuzz::may_hold_huge_number(std::string_view(reinterpret_cast<const char*>(data), size));
        require(!whole.ok || huge, "the check accepts a malformed number");
        return 0;
    }
    require(whole.ok == (code == simdjson::SUCCESS), "the check and simdjson disagree on what is JSON");
    return 0;
}
