#pragma once
// Small helpers shared by the C++ tests.

#include <random>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "note/note_key.hpp"

namespace corvel::test {

Bytes from_hex(const std::string& hex);
std::string read_file(const std::string& path);
// One to three random edits of `text` (a byte replaced, one to three erased, or one inserted),
// with bytes drawn from `alphabet`: the mutation the JSON readers' agreement tests share.
void mutate(std::string& text, std::string_view alphabet, std::mt19937& random);
// A note signer on a seed of `fill` repeated: the same key for the same fill, every run.
SeedNoteSigner seed_signer(const std::string& name, std::uint8_t fill);
inline std::string testdata(const std::string& relative) { return std::string(CORVEL_TESTDATA_DIR) + "/" + relative; }

}  // namespace corvel::test
