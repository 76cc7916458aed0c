#pragma once
// How many threads a scan of a trail uses to read entries and check their hashes and
// signatures (trail_line_checks.hpp); the first failure in file order is reported all the same.

namespace corvel {

// 0 (the default) uses every core the machine has; 1 checks on the scanning thread alone.
void set_signature_threads(unsigned threads);
unsigned signature_threads();

}  // namespace corvel
