"""Faults inside native code, provoked from outside: a preloaded shim makes the OS random
source fail or the clock read before 1970 on demand. The module must turn each fault into
PanicException and poison the lock the fault escaped from."""

import json
import os
import shutil
import subprocess
import sys

import pytest
from conftest import UNDER_ASAN, run_python

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/types.h>
#include <time.h>

static int fail_random, clock_before_epoch;
void shim_fail_random(int on) { fail_random = on; }
void shim_clock_before_epoch(int on) { clock_before_epoch = on; }

ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    static ssize_t (*real)(void *, size_t, unsigned int);
    if (fail_random) { errno = EIO; return -1; }
    if (!real) real = (ssize_t (*)(void *, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    return real(buffer, length, flags);
}

int clock_gettime(clockid_t clock, struct timespec *now) {
    static int (*real)(clockid_t, struct timespec *);
    if (!real) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    int status = real(clock, now);
    if (status == 0 && clock_before_epoch && clock == CLOCK_REALTIME) now->tv_sec = -100;
    return status;
}
"""

CHILD = r"""
import ctypes, json, os
import _corvel_core as core

shim = ctypes.CDLL(os.environ["SHIM"])
report = {}

def outcome(call):
    try:
        call()
        return "returned"
    except Exception as error:
        return ["Exception", type(error).__name__, str(error)]
    except BaseException as error:
        return ["BaseException", type(error).__name__, str(error)]

charter = core.SealedCharter(["Do no harm"])
charter.seal()
action = core.Action.read_file("a")
proof = charter.verify_action(action)

shim.shim_fail_random(1)
try:
    charter.verify_action(action)
except BaseException as error:
    panic = type(error)
    report["random"] = [panic.__name__, str(error), isinstance(error, Exception)]
    report["panic_bases"] = [base.__name__ for base in panic.__bases__]
    report["panic_doc"] = panic.__doc__
    report["panic_in_module"] = hasattr(core, panic.__name__)
shim.shim_fail_random(0)

report["poisoned"] = {
    name: outcome(call) for name, call in {
        "seal": charter.seal, "is_sealed": charter.is_sealed, "rules": charter.rules,
        "charter_hash": charter.charter_hash, "diagnostics": charter.diagnostics,
        "repr": lambda: repr(charter), "str": lambda: str(charter),
        "verify_action": lambda: charter.verify_action(action),
    }.items()
}
report["enter_exit"] = outcome(lambda: charter.__enter__() and charter.__exit__())
fresh = core.SealedCharter(["Do no harm"])
fresh.seal()
report["other_charter"] = fresh.verify_action(action).approved

shim.shim_clock_before_epoch(1)
report["clock"] = [outcome(proof.is_expired), outcome(lambda: fresh.verify_action(action))]
shim.shim_clock_before_epoch(0)
report["after_clock"] = [proof.is_expired(), outcome(fresh.is_sealed)]

# The same class every time: created once per process.
shim.shim_fail_random(1)
try:
    core.SealedCharter(["x"])
except BaseException as error:
    report["same_class"] = type(error) is panic
    report["construct"] = str(error)
shim.shim_fail_random(0)
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def fault_report(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the fault shim")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    library = folder / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(folder / "shim.c"), "-ldl"],
                   check=True)
    # Appended, so that a sanitizer runtime preloaded for the whole suite stays first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(library)]))
    env = dict(os.environ, LD_PRELOAD=preload, SHIM=str(library))
    child = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


def test_fault_becomes_panic_exception(fault_report):
    name, message, is_exception = fault_report["random"]
    assert name == "PanicException" and message.startswith("RNG failure") and not is_exception
    assert fault_report["panic_bases"] == ["BaseException"]
    assert "BaseException" in fault_report["panic_doc"]
    assert fault_report["panic_in_module"] is False
    assert fault_report["same_class"] is True
    assert fault_report["construct"].startswith("RNG failure")


def test_fault_under_the_lock_poisons_the_charter(fault_report):
    for name, result in fault_report["poisoned"].items():
        assert result[:2] == ["BaseException", "PanicException"], name
        assert "poisoned" in result[2], name
    # The context-manager methods do not take the lock; other charters are unaffected.
    assert fault_report["enter_exit"] == "returned"
    assert fault_report["other_charter"] is True


def test_clock_before_1970_is_a_fault(fault_report):
    expired, verify = fault_report["clock"]
    assert expired[:2] == ["BaseException", "PanicException"]
    assert verify[:2] == ["BaseException", "PanicException"]
    # A proof has no lock: it stays usable; the charter's lock is poisoned by the failed signing.
    is_expired, sealed = fault_report["after_clock"]
    assert is_expired is False
    assert sealed[:2] == ["BaseException", "PanicException"]


HUGE_ACTION = r"""
import json, resource
import _corvel_core as core

def outcome(call):
    try:
        return ["returned", call()]
    except Exception as error:
        return ["Exception", type(error).__name__, str(error)]
    except BaseException as error:
        return ["BaseException", type(error).__name__, str(error)]

def virtual_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

SIZE = 128 << 20
charter = core.SealedCharter(["Do no harm"])
charter.seal()
watchdog = core.Watchdog(["Do no harm"], "abc")
# A critical path, so the watchdog denies it and needs its digest.
huge = core.Action.delete_file("/etc/" + "x" * SIZE)
# Room for ordinary calls, not for the action's encoding.
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (virtual_size() + SIZE // 2, hard))
report = {
    "charter_huge": outcome(lambda: charter.verify_action(huge).approved),
    "watchdog_huge": outcome(lambda: watchdog.verify_action(huge).approved),
    "count_after": watchdog.violation_count(),
    "sealed_after": outcome(charter.is_sealed),
    "charter_small": outcome(lambda: charter.verify_action(core.Action.read_file("notes.txt")).approved),
    "watchdog_small": outcome(
        lambda: watchdog.verify_action(core.Action.delete_file("/etc/passwd")).denial_proof.violation_count),
    "hash_retried": outcome(lambda: len(huge.action_hash())),
}
# With the digest already kept, the watchdog's denial of the huge action still needs memory
# (its reason holds the target), and fails before counting.
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
held = core.Action.delete_file("/etc/" + "y" * SIZE)
held.action_hash()
resource.setrlimit(resource.RLIMIT_AS, (virtual_size() + SIZE // 2, hard))
report["watchdog_held"] = outcome(lambda: watchdog.verify_action(held).approved)
report["count_after_held"] = watchdog.violation_count()
print(json.dumps(report))
"""


# AddressSanitizer maps terabytes of shadow memory and aborts when its allocator runs out.
@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit cannot be set under AddressSanitizer")
def test_memory_stop_on_one_huge_action_leaves_shared_objects_usable():
    # The action's digest is computed before the charter's lock is taken and before the
    # watchdog's count changes, so running out of memory there poisons nothing.
    report = json.loads(run_python(HUGE_ACTION).stdout)
    for name in ("charter_huge", "watchdog_huge"):
        kind, cls, message = report[name]
        assert (kind, cls) == ("BaseException", "PanicException"), name
        assert "memory exhaustion" in message, name
    assert report["count_after"] == 0
    assert report["watchdog_held"][:2] == ["BaseException", "PanicException"]
    assert report["count_after_held"] == 1  # the small denial in between, nothing more
    assert report["sealed_after"] == ["returned", True]
    assert report["charter_small"] == ["returned", True]
    assert report["watchdog_small"] == ["returned", 1]
    # Nothing half-kept: the digest is tried afresh, and fails the same way.
    assert report["hash_retried"][:2] == ["BaseException", "PanicException"]
