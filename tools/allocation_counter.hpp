#pragma once
// Counts every allocation made through operator new in the program that links
// allocation_counter.cpp, so that a test or benchmark can show that a path allocates nothing.

#include <cstddef>

namespace corvel::tools {

std::size_t allocation_count();

}  // namespace corvel::tools
