#pragma once
// The one word naming this implementation in the ProofAuditor and ConsensusEngine
// representations.

namespace corvel::python {

inline constexpr const char* kNativeBackend = "native";

}  // namespace corvel::python
