#include "crypto/initialize.hpp"

#include <sodium.h>

#include "base/fault.hpp"

namespace corvel {

void initialize_crypto() {
    if (sodium_init() < 0) throw Fault("libsodium could not be initialised");
}

}  // namespace corvel
