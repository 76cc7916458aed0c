// Evidence and consistency documents under a fixed verifier key: any input is refused or
// accepted without a fault; accepted evidence names an entry inside the checkpoint's tree, and
// an accepted consistency document never goes from a larger tree to a smaller one.

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
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto summary = verify_evidence(input, *key);
    if (summary) require(summary->index < summary->tree_size, "accepted evidence names an entry outside its tree");
    const auto consistent = verify_consistency(input, *key);
    if (consistent) require(consistent->old_size <= consistent->new_size, "accepted consistency goes backwards");
    return 0;
}
