#include "child_peak_rss.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvel::tools {

long child_peak_rss_kib(bool (*work)()) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(work == nullptr || work() ? 0 : 1);
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return usage.ru_maxrss;
}

}  // namespace corvel::tools
