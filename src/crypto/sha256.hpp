#pragma once

#include "base/bytes.hpp"

namespace corvel {

// SHA-256 of any byte sequence, the empty one included. The core's only hash function.
Hash32 hash_bytes(ByteView data);

}  // namespace corvel
