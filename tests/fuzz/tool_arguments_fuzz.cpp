// Canonical tool arguments from any bytes: a refusal or a canonical text that is its own
// canonical form (same text, same hash), with a context that is one JSON object.

#include <simdjson.h>

#include <string>

#include "fuzz_input.hpp"
#include "gate/tool_arguments.hpp"

using namespace corvel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    const auto first = tool_arguments(json);
    if (!first) return 0;
    const auto again = tool_arguments(first->canonical);
    require(again.has_value(), "a canonical text is refused");
    require(again->canonical == first->canonical, "canonicalising twice changes the text");
    require(again->hash == first->hash, "canonicalising twice changes the hash");

    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    require(parser.parse(simdjson::padded_string(first->context)).get(root) == simdjson::SUCCESS,
            "the context is not JSON");
    simdjson::dom::object object;
    require(root.get_object().get(object) == simdjson::SUCCESS && object.size() == 3, "the context is not one object");
    return 0;
}
