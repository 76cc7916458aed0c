#pragma once
// The two facilities of the operating system that the core uses: the random source and the
// UTC clock. Components that read the clock take a UnixClock so that tests can pin time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/bytes.hpp"

namespace corvel {

// Fills the buffer from the OS random source; throws Fault("RNG failure: ...") if it fails.
void fill_random(std::span<std::uint8_t> out);

template <std::size_t N>
std::array<std::uint8_t, N> random_array() {
    std::array<std::uint8_t, N> out;
    fill_random(out);
    return out;
}

// Whole seconds since the Unix epoch, UTC. A clock before 1970 is a fault.
using UnixClock = std::uint64_t (*)();
std::uint64_t system_unix_seconds();

// The current time as "SystemTime { tv_sec: S, tv_nsec: N }", the form of the security reports.
std::string system_time_debug();

}  // namespace corvel
