// The storage-file reader: a whole-buffer parse and a parse fed in small pieces agree on every
// outcome, and whatever is accepted is valid JSON to a second parser, with as many entries.

#include <simdjson.h>

#include <cstring>
#include <random>
#include <string_view>

#include "audit_log/json_reader.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto whole = parse_audit_entries(text);

    // Piece sizes from 1 to 64 bytes, drawn from a generator seeded by the input itself.
    std::minstd_rand random(static_cast<unsigned>(size * 2654435761u + (size ? data[0] : 0)));
    AuditJsonReader reader;
    std::expected<void, std::string> taken;
    for (std::size_t at = 0; at < size && taken;) {
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + random() % 64);
        std::memcpy(reader.input_space(piece).data(), data + at, piece);
        taken = reader.commit(piece);
        at += piece;
    }
    const auto pieced = taken ? reader.finish() : std::unexpected(taken.error());
    require(whole.has_value() == pieced.has_value(), "whole and pieced reads disagree on acceptance");
    if (!whole) {
        require(whole.error() == pieced.error(), "whole and pieced reads give different errors");
        require(!whole.error().empty(), "a refusal without a message");
        return 0;
    }
    require(*whole == *pieced, "whole and pieced reads give different entries");

    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    const auto code = parser.parse(simdjson::padded_string(text)).get(root);
    // simdjson refuses numbers it cannot represent (1e400) that are still valid JSON.
    if (code == simdjson::NUMBER_ERROR) {
        require(fuzz::may_hold_huge_number(text), "accepted a malformed number");
        return 0;
    }
    require(code == simdjson::SUCCESS, "accepted text that is not JSON");
    simdjson::dom::array array;
    require(root.get_array().get(array) == simdjson::SUCCESS, "accepted text that is not an array");
    require(array.size() == whole->size(), "entry count differs from the array's length");
    return 0;
}
