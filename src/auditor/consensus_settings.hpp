#pragma once
// The settings of a consensus engine: how many independent sources must agree, and within what
// tolerance. They sit beside the auditor, the other check of claims made elsewhere.

#include <cstdint>

namespace corvel {

struct ConsensusSettings {
    // Any count and any tolerance (zero, negative, not finite) are kept as given.
    std::uint64_t required_sources = 3;
    double tolerance = 0.1;
};

}  // namespace corvel
