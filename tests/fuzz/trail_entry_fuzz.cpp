// The trail's entry parser: whatever it accepts renders back to a line that parses to the same
// entry, and that line is an element the audit-log reader loads. The quick line reader accepts
// nothing the thorough parser refuses, and reads what it accepts to the same entry.

#include <string>

#include "audit_log/json_reader.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_json_fast.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

namespace {
std::expected<TrailEntry, std::string> parse(TrailEntryParser& parser, std::string line) {
    const std::size_t size = line.size();
    line.append(TrailEntryParser::kPadding, ' ');
    return parser.parse(std::string_view(line).substr(0, size));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TrailEntryParser parser;
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (TrailEntry quick; read_entry_quickly(input, quick)) {
        std::string padded = input;
        padded.append(TrailEntryParser::kPadding, ' ');
        const auto thorough = parser.parse_thoroughly(std::string_view(padded).substr(0, size));
        require(thorough.has_value(), "the quick reader accepts a line the thorough parser refuses");
        require(*thorough == quick, "the quick reader reads another entry than the thorough parser");
    }
    const auto entry = parse(parser, input);
    if (!entry) return 0;
    // Anything read from JSON strings is valid UTF-8 already.
    require(invalid_utf8_member(*entry).empty(), "an accepted entry holds invalid UTF-8");
    std::string line;
    render_entry_json(line, *entry);
    require(line.find('\n') == std::string::npos, "a rendered entry spans lines");
    const auto again = parse(parser, line);
    require(again.has_value(), "a rendered entry does not parse");
    require(*again == *entry, "a rendered entry parses to another entry");
    const auto loaded = parse_audit_entries("[" + line + "]");
    require(loaded.has_value() && loaded->size() == 1, "the audit-log reader refuses a rendered entry");
    return 0;
}
