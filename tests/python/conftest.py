import os
import subprocess
import sys
import tracemalloc

import pytest


def run_python(code, *, env=None, check=True):
    """Runs code in a fresh interpreter of the same installation; returns the finished process."""
    merged = dict(os.environ)
    merged.update(env or {})
    process = subprocess.run(
        [sys.executable, "-c", code], env=merged, capture_output=True, text=True, timeout=120
    )
    if check and process.returncode != 0:
        pytest.fail(f"child failed ({process.returncode}):\n{process.stdout}\n{process.stderr}")
    return process


# AddressSanitizer keeps freed memory in quarantine, so resident size says nothing about leaks
# there (ASan itself reports misuse instead).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes():
    """Resident set size of this process, to catch leaks of native memory tracemalloc misses."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_memory_flat(churn, warmup, rounds, *, resident_limit=8 << 20, traced_limit=256 << 10):
    """Runs churn(warmup), then churn(rounds), and checks that neither the resident size nor the
    Python allocations traced by tracemalloc grew by more than the limits over the second run."""
    churn(warmup)
    tracemalloc.start()
    rss = rss_bytes()
    snapshot = tracemalloc.take_snapshot()
    churn(rounds)
    grown = sum(stat.size_diff for stat in tracemalloc.take_snapshot().compare_to(snapshot, "filename"))
    tracemalloc.stop()
    if not UNDER_ASAN:
        assert rss_bytes() - rss < resident_limit
    assert grown < traced_limit
