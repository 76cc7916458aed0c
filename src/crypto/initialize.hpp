#pragma once

namespace corvel {

// Prepares the crypto library; call once before any other core call. A failure is a fault.
void initialize_crypto();

}  // namespace corvel
