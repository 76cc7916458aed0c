// Evidence documents under a fixed verifier key: any input is refused or accepted without a
// fault, and an accepted one names an entry inside the checkpoint's tree.

#include <string>

#include "audit_trail/trail_evidence.hpp"
#include "crypto/initialize.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (initialize_crypto(), true);
    (void)ready;
    // The key that signed the seed corpus (a fixed seed: the bytes 0 to 31).
    static const auto key = VerifierKey::parse("fuzz.example/log+18ad62be+AQOhB7/zzhC+HXDdGOdLwJln5NYwm6UNXx3chmQSVTG4");
    require(key.has_value(), "the fuzz verifier key does not parse");
    const auto summary = verify_evidence(std::string_view(reinterpret_cast<const char*>(data), size), *key);
    if (summary) require(summary->index < summary->tree_size, "accepted evidence names an entry outside its tree");
    return 0;
}
