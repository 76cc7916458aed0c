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


@pytest.fixture(scope="module")
def key():
    """A trail key for the tests of one module."""
    import corvel_charter as cc

    return cc.TrailKey.generate()


@pytest.fixture(scope="module")
def charter():
    """A sealed charter of one rule, for the tests of one module that append to trails."""
    import corvel_charter as cc

    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    return charter


def free_loopback_port():
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RedisServer:
    """A real redis-server on a free loopback port, in a folder of its own, without persistence."""

    def __init__(self, folder):
        import shutil
        import time

        binary = shutil.which("redis-server") or "/usr/bin/redis-server"
        if not os.path.exists(binary):
            pytest.fail("redis-server is not installed: bash scripts/setup.sh installs it")
        self.port = free_loopback_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        # The server is no part of what is tested: it runs without the sanitizer runtime that a
        # sanitized test run preloads into every child.
        clean = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
        self.process = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", str(folder), "--protected-mode", "yes"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=clean,
        )
        import redis

        client = redis.Redis(port=self.port, socket_connect_timeout=0.2)
        deadline = time.monotonic() + 10
        while True:
            try:
                client.ping()
                break
            except redis.ConnectionError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    self.stop()
                    pytest.fail("redis-server did not start")
                time.sleep(0.02)
        client.close()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    """One redis-server for the test session, stopped after it."""
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()
