// Key files and public-key texts: a private key PEM that loads is exactly the PEM the key
// writes; a public key that parses from PEM is exactly its own PEM, from hex its own hex.

#include <string>

#include "keys/trail_key.hpp"
#include "keys/trail_public_key.hpp"
#include "fuzz_input.hpp"

using namespace corvel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto key = TrailKey::from_pem(input)) {
        require(key->private_pem().text() == input, "a loaded key does not write back the same PEM");
    }
    if (const auto key = parse_public_key(input)) {
        if (input.starts_with("-----BEGIN")) require(key->pem() == input, "a public PEM is not canonical");
        if (input.size() == 64) {
            std::string lower(input);
            for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
            require(key->hex() == lower, "a hex key does not read back as itself");
        }
    }
    return 0;
}
