"""Latency a tool call gains through the MCP proxy, beside the same calls straight to the server.

    .venv/bin/python bench/mcp_proxy_bench.py [--calls N]

One run: the same small MCP server (the tests' server, its read_file tool) is called N times by
the SDK's real stdio client, straight, through the relay alone (a judge that allows everything and
records nothing: the proxy's own cost), and through `corvel-charter mcp-proxy` with the example
policy, first with the trail synced only at exit (--sync-every 0), then with the trail's default
(each decision and outcome on disk before the proxy goes on). Calls are made one at a time, so
each latency is one round trip. Prints p50 and p99 of each and the added latency at p50 and p99.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

import corvel_charter as cc

ROOT = Path(__file__).resolve().parent.parent
SERVER = str(ROOT / "tests" / "python" / "mcp" / "test_server.py")


RELAY_ONLY = """
import asyncio, sys
from corvel_charter.mcp_proxy import Verdict, run_proxy
class AllowAll:
    def judge(self, tool, arguments, server, approval):
        return Verdict(True, "allowed")
    def record_outcome(self, verdict, *, ok, result, detail):
        pass
sys.exit(asyncio.run(run_proxy(sys.argv[1:], AllowAll(), judge_in_thread=False)))
"""


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


async def latencies(command: list[str], calls: int) -> list[float]:
    params = StdioServerParameters(command=command[0], args=command[1:], env=dict(os.environ))
    async with stdio_client(params) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            for _ in range(20):  # warm both processes up
                await session.call_tool("read_file", {"path": "/srv/warm-up"})
            out = []
            for i in range(calls):
                start = time.perf_counter()
                result: Any = await session.call_tool("read_file", {"path": f"/srv/notes-{i}.txt"})
                out.append((time.perf_counter() - start) * 1e6)
                assert not result.is_error, result
            return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=1000)
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp())
    key_file = folder / "trail.key"
    cc.TrailKey.generate().save(str(key_file))
    direct = [sys.executable, SERVER]

    def proxied(name: str, sync_every: int) -> list[str]:
        return [sys.executable, "-m", "corvel_charter", "mcp-proxy", "--policy", "example",
                "--trail", str(folder / f"{name}.json"), "--key", str(key_file),
                "--sync-every", str(sync_every), "--", *direct]

    # The relay with a judge that allows everything and records nothing: the proxy's own cost.
    relay_only = [sys.executable, "-c", RELAY_ONLY, *direct]
    runs = {
        "straight to the server": direct,
        "through the relay alone (no gate)": relay_only,
        "through the proxy, synced at exit": proxied("unsynced", 0),
        "through the proxy, each entry synced": proxied("synced", 1),
    }
    figures = {name: asyncio.run(latencies(command, args.calls)) for name, command in runs.items()}
    print(f"{args.calls} read_file calls one at a time, latency in microseconds")
    base50, base99 = percentile(figures["straight to the server"], 0.5), percentile(figures["straight to the server"], 0.99)
    for name, values in figures.items():
        p50, p99 = percentile(values, 0.5), percentile(values, 0.99)
        added = "" if name.startswith("straight") else f"   added p50 {p50 - base50:8.1f}  p99 {p99 - base99:8.1f}"
        print(f"  {name:38s} p50 {p50:8.1f}  p99 {p99:8.1f}  mean {statistics.fmean(values):8.1f}{added}")


if __name__ == "__main__":
    main()
