import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _corvel_core as core
from conftest import UNDER_ASAN, rss_bytes, run_python

# The public JSON parsing corpus kept in the repository (tests/data/jsontestsuite/README.md).
JSON_SUITE = Path(__file__).resolve().parents[1] / "data" / "jsontestsuite"
SERIALIZATION = "Serialization error in audit log: "
IO = "IO error in audit log: "


def entry(index=0, **changes):
    """One audit entry in the storage file's JSON form."""
    members = {
        "index": index,
        "timestamp": 1700000001,
        "action": {"action_type": "Delete", "target": "data.txt", "payload": None, "metadata": None},
        "proof": {
            "nonce": [1] * 32,
            "timestamp": 1700000000,
            "ttl": 60,
            "action_hash": list(range(32)),
            "action_type": "Delete",
            "capsule_hash": "c" * 64,
            "status": "OK",
            "signature": [200] * 64,
        },
        "decision": "Approved",
        "prev_hash": [0] * 32,
        "current_hash": [255] * 32,
        "signature": [7] * 64,
    }
    members.update(changes)
    return members


def write(tmp_path, content, name="audit.json"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def refusal(path):
    """The exception AuditLogger(path) raises; it must be exactly the built-in Exception."""
    with pytest.raises(Exception) as raised:
        core.AuditLogger(path)
    assert type(raised.value) is Exception
    assert len(raised.value.args) == 1
    return str(raised.value)


def outcome(path):
    """The entry count, or the message of the built-in Exception; anything else fails the test."""
    try:
        return core.AuditLogger(path).entry_count()
    except Exception as error:
        assert type(error) is Exception, repr(error)
        assert str(error).startswith((SERIALIZATION, IO)), str(error)
        return str(error)


# ---------------------------------------------------------------- loading


def test_missing_file_is_an_empty_log_and_is_not_created(tmp_path):
    for path in (tmp_path / "absent.json", tmp_path / "no" / "such" / "dir.json"):
        log = core.AuditLogger(str(path))
        assert log.entry_count() == 0
        assert repr(log) == "AuditLogger(entries=0)" == str(log)
        assert not path.exists()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("text", ["[]", " \n\t[ ]\r\n", "[\n]\n"])
def test_empty_array_is_an_empty_log(tmp_path, text):
    assert core.AuditLogger(write(tmp_path, text)).entry_count() == 0


def test_entries_are_counted_and_the_file_is_left_alone(tmp_path):
    denied = entry(1, decision={"Denied": {"reason": "too risky"}},
                   action={"action_type": {"Custom": "wipe"}, "target": "", "payload": [1, 2], "metadata": "m"})
    text = json.dumps([entry(0), denied]) + "\n"
    path = write(tmp_path, text)
    before = os.stat(path)
    log = core.AuditLogger(log_path=path)
    assert log.entry_count() == 2
    assert repr(log) == "AuditLogger(entries=2)"
    after = os.stat(path)
    assert Path(path).read_text() == text
    assert (after.st_mtime_ns, after.st_size) == (before.st_mtime_ns, before.st_size)


def test_member_order_and_unknown_members(tmp_path):
    shuffled = dict(reversed(list(entry(comment="ignored", extra={"deep": [1, {"x": None}]}).items())))
    assert core.AuditLogger(write(tmp_path, json.dumps([shuffled]))).entry_count() == 1


# ---------------------------------------------------------------- refusals


def test_zero_byte_file_is_a_serialization_error(tmp_path):
    assert refusal(write(tmp_path, b"")).startswith(SERIALIZATION)


@pytest.mark.parametrize(
    "content",
    [
        pytest.param(lambda: json.dumps([entry(prev_hash=[0] * 31)]), id="short-prev-hash"),
        pytest.param(lambda: json.dumps([entry(decision="Denied")]), id="denied-without-reason"),
        pytest.param(lambda: json.dumps([{k: v for k, v in entry().items() if k != "signature"}]), id="missing-member"),
        pytest.param(lambda: json.dumps([entry()]) + " []", id="trailing-text"),
        pytest.param(lambda: json.dumps([entry()])[: len(json.dumps([entry()])) // 2], id="truncated"),
        pytest.param(lambda: "not json", id="not-json"),
    ],
)
def test_malformed_storage_files_are_serialization_errors(tmp_path, content):
    assert refusal(write(tmp_path, content())).startswith(SERIALIZATION)


def test_directory_is_a_serialization_error(tmp_path):
    assert refusal(str(tmp_path)).startswith(SERIALIZATION)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file_is_an_io_error(tmp_path):
    path = write(tmp_path, "[]")
    os.chmod(path, 0)
    try:
        assert refusal(path).startswith(IO)
    finally:
        os.chmod(path, 0o600)


def test_path_with_nul_never_opens_a_shorter_path(tmp_path):
    # The OS would stop reading the name at the NUL and load a different file.
    path = write(tmp_path, json.dumps([entry(0), entry(1)]))
    assert refusal(path + "\0.bak").startswith(IO)


@pytest.mark.parametrize(
    "argument, message",
    [
        (42, "argument 'log_path': 'int' object cannot be converted to 'str'"),
        (b"audit.json", "argument 'log_path': 'bytes' object cannot be converted to 'str'"),
        (Path("audit.json"), "argument 'log_path': 'PosixPath' object cannot be converted to 'str'"),
        (None, "argument 'log_path': 'NoneType' object cannot be converted to 'str'"),
    ],
)
def test_log_path_must_be_a_str(argument, message):
    with pytest.raises(TypeError) as raised:
        core.AuditLogger(argument)
    assert str(raised.value) == message


def test_constructor_argument_errors():
    for call in (lambda: core.AuditLogger(), lambda: core.AuditLogger("a", "b"),
                 lambda: core.AuditLogger(path="a"), lambda: core.AuditLogger("a", log_path="a")):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(UnicodeEncodeError):
        core.AuditLogger("\udcff.json")


# ---------------------------------------------------------------- hostile files


@pytest.mark.parametrize(
    "content",
    [
        pytest.param(bytes(range(256)) * 4, id="binary"),
        pytest.param(b'[{"index": "\xff\xfe"}]', id="invalid-utf8"),
        pytest.param(b"\xef\xbb\xbf[]", id="byte-order-mark"),
        pytest.param(b"[" * 100000 + b"]" * 100000, id="deeply-nested-arrays"),
        pytest.param(b'[{"index":' * 50000, id="deeply-nested-objects-truncated"),
        pytest.param(b"[" + b"9" * 100000 + b"]", id="huge-integer"),
        pytest.param(b"[1e999999, -1e-999999]", id="huge-exponents"),
        pytest.param(b'["' + b"\\ud800" * 1000 + b'"]', id="lone-surrogate-escapes"),
        pytest.param(b"[\x00]", id="nul"),
    ],
)
def test_hostile_files_never_crash(tmp_path, content):
    result = outcome(write(tmp_path, content))
    # None of these holds an audit entry.
    assert result == 0 or isinstance(result, str)


def suite_files():
    return sorted(path for path in JSON_SUITE.iterdir() if path.suffix == ".json")


def test_json_test_suite(tmp_path):
    files = suite_files()
    assert len(files) > 300
    for path in files:
        result = outcome(str(path))
        if path.name.startswith("n_"):
            # Not JSON at all: a strict reader refuses every one of them.
            assert isinstance(result, str) and result.startswith(SERIALIZATION), path.name
        elif path.name.startswith("y_"):
            # Valid JSON, but only an empty array is a valid (empty) log; nothing else in the
            # suite has the shape of audit entries.
            if json.loads(path.read_bytes()) == []:
                assert result == 0, path.name
            else:
                assert isinstance(result, str) and result.startswith(SERIALIZATION), path.name


@pytest.mark.skipif(UNDER_ASAN, reason="resident size is meaningless under AddressSanitizer")
def test_failed_loads_release_their_memory(tmp_path):
    path = write(tmp_path, json.dumps([entry(i) for i in range(200)]) + "x")
    text = "x" * 100
    count = sys.getrefcount(text)

    def churn(times):
        for _ in range(times):
            refusal(path)
            try:
                core.AuditLogger(text)
            except TypeError:
                pass
            core.AuditLogger(text).entry_count()

    churn(200)
    before = rss_bytes()
    churn(2000)
    assert rss_bytes() - before < 8 << 20
    assert sys.getrefcount(text) == count


# ---------------------------------------------------------------- hostile sizes and file kinds

def sparse(tmp_path, name, head, size):
    """A file of `head` followed by NUL bytes up to `size`, taking no room on disk."""
    path = tmp_path / name
    with open(path, "wb") as file:
        file.write(head)
        file.truncate(size)
    return str(path)


@pytest.mark.skipif(UNDER_ASAN, reason="resident size is meaningless under AddressSanitizer")
def test_junk_is_refused_where_it_starts_in_little_memory_and_time(tmp_path):
    junk = {
        sparse(tmp_path, "nul.json", b"[", 512 << 20): "expected value at byte 1",
        sparse(tmp_path, "string.json", b'[{"index":0,"note":"', 512 << 20): "control character in string at byte 20",
        write(tmp_path, b'[{"index":0,"n":' + b"1 " * (32 << 20), "numbers.json"): "expected `,` or `}` at byte 18",
    }
    child = run_python(
        f"""
import json, resource, time
import _corvel_core as core
core.AuditLogger("/nonexistent/warm-up")
report = []
for path in {list(junk)!r}:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.monotonic()
    try:
        core.AuditLogger(path)
        message = None
    except Exception as error:
        message = str(error)
    report.append([message, time.monotonic() - start,
                   (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024])
print(json.dumps(report))
"""
    )
    for (message, seconds, grown), expected in zip(json.loads(child.stdout), junk.values()):
        assert message == SERIALIZATION + expected
        assert grown < 8 << 20, message
        assert seconds < 5, message


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit")
def test_memory_exhaustion_while_loading_is_the_loaders_error_not_a_panic(tmp_path):
    # A string that could still be valid must be buffered whole; under the limit it cannot be.
    too_big = write(tmp_path, b'[{"index":0,"note":"' + b"a" * (160 << 20), "big.json")
    junk = sparse(tmp_path, "junk.json", b"[", 1 << 30)
    child = run_python(
        f"""
import json, resource
import _corvel_core as core
core.AuditLogger("/nonexistent/warm-up")
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
report = []
for path in [{too_big!r}, {junk!r}]:
    try:
        core.AuditLogger(path)
        report.append(["loaded", ""])
    except BaseException as error:
        report.append([type(error).__name__, str(error)])
print(json.dumps(report))
"""
    )
    big, sparse_junk = json.loads(child.stdout)
    assert big == ["Exception", SERIALIZATION + "out of memory while reading the file"]
    assert sparse_junk == ["Exception", SERIALIZATION + "expected value at byte 1"]


def test_a_fifo_with_a_live_writer_is_refused_without_freezing_the_interpreter(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = f"""
import os, threading, time
import _corvel_core as core
writer = os.open({str(fifo)!r}, os.O_RDWR)  # a writer that never writes
ticks = 0
def tick():
    global ticks
    while True:
        ticks += 1
        time.sleep(0.001)
threading.Thread(target=tick, daemon=True).start()
time.sleep(0.05)
try:
    core.AuditLogger({str(fifo)!r})
    print("loaded")
except Exception as error:
    print(error)
seen = ticks
time.sleep(0.05)
print(ticks > seen)
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [SERIALIZATION + "not a regular file", "True"]


def test_devices_are_not_storage_files():
    assert refusal("/dev/null") == SERIALIZATION + "not a regular file"


# ---------------------------------------------------------------- the classes


def test_documentation():
    assert core.AuditLogger.__doc__ == "Python wrapper for AuditLogger"
    assert core.AuditLogger.__text_signature__ == "(log_path)"
    assert core.AuditLogger.entry_count.__doc__ == "Get the total number of audit entries"
    assert core.AuditLogger.entry_count.__text_signature__ == "($self)"


def test_audit_entry_is_not_constructible():
    for call in (lambda: core.AuditEntry(), lambda: core.AuditEntry.__new__(core.AuditEntry),
                 lambda: core.AuditEntry(index=1)):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == "No constructor defined for AuditEntry"
    assert core.AuditEntry.__doc__ == "Python wrapper for AuditEntry"
    assert core.AuditEntry.__text_signature__ is None
    assert core.AuditEntry.index.__doc__ == "Get the entry index"
    assert core.AuditEntry.timestamp.__doc__ == "Get the entry timestamp"


def test_logger_instances_are_closed(tmp_path):
    log = core.AuditLogger(str(tmp_path / "absent.json"))
    with pytest.raises(AttributeError):
        log.entries = []
    with pytest.raises(AttributeError):
        log.entry_count = lambda: 5
    assert log.entry_count() == 0
