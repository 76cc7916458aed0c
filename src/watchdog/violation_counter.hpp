#pragma once
// The watchdog's count of consecutive violations and its lock: two plain atomic words, so that
// counting, resetting and testing never allocate and never block.

#include <atomic>
#include <cstdint>

namespace corvel {

// The tenth consecutive violation locks the watchdog; every limit test is count >= MAX_VIOLATIONS.
inline constexpr std::uint32_t MAX_VIOLATIONS = 10;

class ViolationCounter {
public:
    ViolationCounter() = default;
    // A counter that starts at the given count, unlocked.
    explicit ViolationCounter(std::uint32_t count) : count_(count) {}

    ViolationCounter(const ViolationCounter&) = delete;
    ViolationCounter& operator=(const ViolationCounter&) = delete;

    std::uint32_t count() const noexcept { return count_.load(std::memory_order_seq_cst); }
    // Adds one and returns the new count. It neither tests the limit nor locks. The count stops
    // at the top of its range instead of wrapping round to 0, which would wipe out the record of
    // a run of violations.
    std::uint32_t increment() noexcept;
    // Sets the count to 0; the lock is left as it is.
    void reset() noexcept { count_.store(0, std::memory_order_seq_cst); }
    bool is_locked() const noexcept { return locked_.load(std::memory_order_seq_cst) == 1; }
    bool is_max_reached() const noexcept { return count() >= MAX_VIOLATIONS; }

private:
    // Only the watchdog sets and clears the lock.
    friend class Watchdog;
    void set_locked(bool locked) noexcept { locked_.store(locked ? 1 : 0, std::memory_order_seq_cst); }

    std::atomic<std::uint32_t> count_{0};
    std::atomic<std::uint32_t> locked_{0};  // only 1 reads as locked
};

}  // namespace corvel
