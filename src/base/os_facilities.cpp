#include "base/os_facilities.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/fault.hpp"

namespace corvel {

void fill_random(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Fault(std::string("RNG failure: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
}

namespace {
timespec realtime_now() {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
        throw Fault(std::string("clock failure: ") + std::strerror(errno));
    }
    if (now.tv_sec < 0) throw Fault("system time is before the Unix epoch");
    return now;
}
}  // namespace

std::uint64_t system_unix_seconds() {
    return static_cast<std::uint64_t>(realtime_now().tv_sec);
}

std::string system_time_debug() {
    const timespec now = realtime_now();
    return "SystemTime { tv_sec: " + std::to_string(now.tv_sec) +
           ", tv_nsec: " + std::to_string(now.tv_nsec) + " }";
}

}  // namespace corvel
