#pragma once
// The one word naming this implementation of the cryptography, shown by the ProofAuditor and
// ConsensusEngine representations.

namespace corvel {

inline constexpr const char* kNativeBackend = "native";

}  // namespace corvel
