#include "watchdog/violation_counter.hpp"

#include <limits>

namespace corvel {

std::uint32_t ViolationCounter::increment() noexcept {
    std::uint32_t current = count_.load(std::memory_order_seq_cst);
    for (;;) {
        if (current == std::numeric_limits<std::uint32_t>::max()) return current;
        // On failure current is reloaded with the value another thread left.
        if (count_.compare_exchange_weak(current, current + 1, std::memory_order_seq_cst)) return current + 1;
    }
}

}  // namespace corvel
