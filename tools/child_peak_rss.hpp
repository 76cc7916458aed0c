#pragma once
// Peak resident memory of a piece of work, measured in a child process of its own, so that
// what the benchmark itself holds does not count.

namespace corvel::tools {

// Forks; the child runs `work` (if given) and exits. Returns the child's peak resident size in
// KiB, or -1 if the fork failed or the work returned false. Call it with no work for the
// process's own floor.
long child_peak_rss_kib(bool (*work)());

}  // namespace corvel::tools
