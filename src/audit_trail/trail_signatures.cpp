#include "audit_trail/trail_signatures.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

namespace corvel {

namespace {

std::atomic<unsigned> configured_threads{0};

}  // namespace

void set_signature_threads(unsigned threads) { configured_threads.store(threads); }

unsigned signature_threads() {
    const unsigned configured = configured_threads.load();
    if (configured != 0) return configured;
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace corvel
