#include "support/test_util.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace corvel::test {

Bytes from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
    Bytes out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void mutate(std::string& text, std::string_view alphabet, std::mt19937& random) {
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
        const std::size_t at = random() % (text.size() + 1);
        const char byte = alphabet[random() % alphabet.size()];
        switch (random() % 3) {
            case 0: if (at < text.size()) text[at] = byte; break;
            case 1: if (at < text.size()) text.erase(at, 1 + random() % 3); break;
            default: text.insert(at, 1, byte); break;
        }
    }
}

SeedNoteSigner seed_signer(const std::string& name, std::uint8_t fill) {
    Seed seed;
    seed.fill(fill);
    return SeedNoteSigner::create(name, seed).value();
}

}  // namespace corvel::test
