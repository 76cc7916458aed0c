#pragma once
// Small helpers shared by the C++ tests.

#include <string>

#include "base/bytes.hpp"

namespace corvel::test {

Bytes from_hex(const std::string& hex);
std::string read_file(const std::string& path);
inline std::string testdata(const std::string& relative) { return std::string(CORVEL_TESTDATA_DIR) + "/" + relative; }

}  // namespace corvel::test
