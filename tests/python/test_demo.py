import subprocess
import sys
from pathlib import Path

import corvel_charter as cc


def test_demo_walks_every_road_and_ends_with_the_auditor_refusing():
    process = subprocess.run(
        [sys.executable, "-m", "corvel_charter", "demo"], capture_output=True, text=True, timeout=120
    )
    assert process.returncode == 0, process.stderr
    lines = process.stdout.splitlines()
    assert "✅ APPROVED" in process.stdout
    assert "WatchdogResult(DENIED, count=1)" in process.stdout
    assert "WatchdogResult(HARD_RESET_REQUIRED)" in process.stdout
    assert "Watchdog is locked - hard reset required" in process.stdout
    assert lines[-1].split(None, 1) == ["refused", "Proof signature verification failed"]


def test_unknown_command_prints_usage_and_fails():
    process = subprocess.run([sys.executable, "-m", "corvel_charter"], capture_output=True, text=True, timeout=60)
    assert process.returncode == 2
    assert "demo" in process.stderr


def test_a_reader_that_goes_away_ends_the_demo_quietly():
    # The read end is closed before the interpreter has started, so every write meets EPIPE.
    process = subprocess.Popen([sys.executable, "-m", "corvel_charter", "demo"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()
    stderr = process.stderr.read().decode()
    assert process.wait(timeout=120) == 1
    assert stderr == ""


def test_console_script():
    script = Path(sys.executable).parent / "corvel-charter"
    version = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert version.returncode == 0 and version.stdout.strip() == f"corvel-charter {cc.__version__}"
    usage = subprocess.run([script], capture_output=True, text=True, timeout=60)
    assert usage.returncode == 2 and usage.stderr.startswith("usage: corvel-charter ")
    demo = subprocess.run([script, "demo"], capture_output=True, text=True, timeout=120)
    assert demo.returncode == 0 and demo.stdout.splitlines()[-1].split(None, 1)[0] == "refused"
