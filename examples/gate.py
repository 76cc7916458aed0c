"""A tool guarded by the user's own policy, typed: every call is judged by Cedar, recorded in a
signed audit trail before it runs, and refused when anything on the way fails.

    pip install 'corvel-charter[policy]'
    python examples/gate.py

mypy --strict passes on this file (tests/python/test_gate.py checks it). The README shows it.
"""

import asyncio
import subprocess
import tempfile
from pathlib import Path

import corvel_charter as cc
from corvel_charter.gate import Gate, GateDenied, example_policy

folder = Path(tempfile.mkdtemp())
key = cc.TrailKey.generate()
trail = cc.AuditTrail(str(folder / "agent.trail"), key, checkpoint_origin="example.com/agent-7")
gate = Gate(example_policy(), trail, agent="agent-7")


@gate.guard
def run_command(command: str) -> str:
    """Runs only when the policy allows this very command."""
    return subprocess.run(command, shell=True, capture_output=True, text=True).stdout


@gate.guard
async def fetch(url: str, timeout: float = 5.0) -> str:
    await asyncio.sleep(0)  # a real client would fetch the page here
    return f"<html>{url}</html>"


async def fetch_all(urls: list[str]) -> list[str]:
    return await asyncio.gather(*(fetch(url) for url in urls))


print(run_command("echo formatting done"), end="")
try:
    run_command("rm -rf /")
except GateDenied as denied:
    print(f"denied: {denied}")
    print(f"  policies {denied.decision.policies}, recorded at {denied.decision.index}")

decision = gate.check("write_file", {"path": "/etc/shadow", "content": "..."})
print(f"write /etc/shadow: allowed={decision.allowed}, {decision.reason}")
print(f"fetched {len(asyncio.run(fetch_all([f'https://example.com/{i}' for i in range(3)])))} pages")

trail.close()
summary = cc.verify_trail(str(folder / "agent.trail"), key.public_key)
print(f"trail verified: {summary.count} entries, policy fingerprint {gate.fingerprint[:16]}...")
