import subprocess
import sys


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
