"""The gate's cost per call, beside what it cannot do without.

    python bench/gate_bench.py [--calls 5000]

In one run, on one request, timed call by call in alternating blocks of 100:

1. gate.check() with a 50-policy Cedar set, the trail appending without a sync per call;
2. cedarpy.is_authorized() alone: the same request (the context the gate builds), the same
   parsed PolicySet and entities;
3. the raw operations an allowed call must make (the C++ benchmarks of the build, run here):
   an Ed25519 signature (libsodium, as the trail key signs) and the SHA-256 of an action and of
   an entry.

The gate's own share, the time of a check beyond Cedar's evaluation, is given two ways: per
call, the check's time less the time its own Cedar evaluation took (timed inside the call);
and (1) - (2), which also charges the gate with Cedar running slower between the gate's own
work than in a tight loop of its own. Of that share, the native decision (the signatures, the
hashes and the trail's record, no Python) is also timed inside the call. Its floor, per
allowed call:

- 2 signatures: the allow's proof (a receipt that the trail's public key checks on its own,
  bound to the policy's fingerprint) and the trail entry (the chain a verifier checks);
- 4 SHA-256 over short inputs: the canonical arguments (the decision is bound to them), the
  action for the proof, the action again where the trail checks the proof is for this action,
  and the entry hash the entry signature covers.

Everything is reported as p50 and p99 of single calls, in microseconds.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cedarpy

import corvel_charter as cc
from corvel_charter._trail import ToolArguments
from corvel_charter.gate import ACTION, Gate

TOOL = "run_command"
ARGUMENTS = {"command": "git status --short", "cwd": "/home/agent/project", "timeout": 30}


def fifty_policies():
    """One permit and 49 forbids, each reading the arguments, as a real policy set would."""
    policies = ['@id("allow-tool-calls")\npermit (principal, action == Action::"call_tool", resource);']
    for i in range(49):
        policies.append(
            f'@id("forbid-{i}")\nforbid (principal, action == Action::"call_tool", resource)\n'
            f'when {{ context.text like "*pattern-{i}-*" || context.text like "*/secret/{i}/*" }};'
        )
    return "\n\n".join(policies)


def percentiles(samples_ns):
    ordered = sorted(samples_ns)
    p50 = ordered[len(ordered) // 2] / 1000
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] / 1000
    return p50, p99


# Calls are timed in alternating blocks of this many, so that a machine whose speed drifts
# during the run (a shared host does) slows every figure alike.
BLOCK = 100


class Timed:
    """`call`, timed at each call: the last call's time in `took` (ns)."""

    def __init__(self, call, clock):
        self.call, self.clock, self.took = call, clock, 0

    def __call__(self, *args, **kwargs):
        start = self.clock()
        result = self.call(*args, **kwargs)
        self.took = self.clock() - start
        return result


class TimedCore:
    """The gate's native core, its decisions timed."""

    def __init__(self, core, clock):
        self.core, self.decide = core, Timed(core.decide, clock)

    def __getattr__(self, name):
        return getattr(self.core, name)


def interleaved(gate, cedar_alone, count, warmup=500):
    """Samples (ns) of gate.check, of its share per call (its time less its own Cedar
    evaluation's, timed inside the call), of its native decision within that share, and of
    Cedar alone, in alternating blocks."""
    clock = time.perf_counter_ns
    evaluate = cedarpy.is_authorized
    timed_evaluation = Timed(evaluate, clock)
    gate_module = sys.modules[Gate.__module__]
    gate_module.cedarpy.is_authorized = timed_evaluation
    core = gate._core
    gate._core = timed_core = TimedCore(core, clock)
    checks, shares, decisions, alone = [], [], [], []
    try:
        for _ in range(warmup):
            gate.check(TOOL, ARGUMENTS)
            cedar_alone()
        for _ in range(max(1, count // BLOCK)):
            for _ in range(BLOCK):
                start = clock()
                gate.check(TOOL, ARGUMENTS)
                took = clock() - start
                checks.append(took)
                shares.append(took - timed_evaluation.took)
                decisions.append(timed_core.decide.took)
            for _ in range(BLOCK):
                start = clock()
                cedar_alone()
                alone.append(clock() - start)
    finally:
        gate_module.cedarpy.is_authorized = evaluate
        gate._core = core
    return checks, shares, decisions, alone


def cpp_benchmarks(build):
    """Median times (us) of the raw operations from the build's Google Benchmark programs."""
    wanted = {"trail_bench": "^BM_RawSign$|^BM_EntryHash$", "core_bench": "^BM_ActionHash$"}
    out = {}
    for program, pattern in wanted.items():
        path = build / "bench" / program
        if not path.exists():
            sys.exit(f"{path} is missing: build with -C cmake.define.CORVEL_BUILD_BENCH=ON (scripts/test.sh does)")
        process = subprocess.run(
            [str(path), f"--benchmark_filter={pattern}", "--benchmark_repetitions=5",
             "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
            capture_output=True, text=True, check=True)
        for row in json.loads(process.stdout)["benchmarks"]:
            if row.get("aggregate_name") == "median":
                scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[row["time_unit"]]
                out[row["run_name"]] = row["real_time"] * scale
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=5000, help="calls measured per figure")
    args = parser.parse_args()
    root = Path(__file__).resolve().parents[1]
    build = sorted(root.glob("build/cp312-*"))[-1]

    policy = fifty_policies()
    with tempfile.TemporaryDirectory() as folder:
        trail = cc.AuditTrail(os.path.join(folder, "bench.trail"), cc.TrailKey.generate(), sync_every=0)
        gate = Gate(policy, trail, "agent-7")
        decision = gate.check(TOOL, ARGUMENTS)
        assert decision.allowed, decision

        # Cedar alone on exactly the request the gate makes, with the same parsed handles.
        policies = cedarpy.PolicySet.from_str(policy)
        entities = gate._tool_entities(TOOL)
        context = ToolArguments.parse(json.dumps(ARGUMENTS)).context
        request = {"principal": {"type": "Agent", "id": "agent-7"}, "action": ACTION,
                   "resource": {"type": "Tool", "id": TOOL}, "context": context}
        evaluate = cedarpy.is_authorized
        assert evaluate(request, policies, entities).allowed

        checks, shares, decisions, alone = interleaved(gate, lambda: evaluate(request, policies, entities), args.calls)
        gate_p50, gate_p99 = percentiles(checks)
        share_p50, share_p99 = percentiles(shares)
        decision_p50, decision_p99 = percentiles(decisions)
        cedar_p50, cedar_p99 = percentiles(alone)
        trail.close()
        size = os.path.getsize(os.path.join(folder, "bench.trail"))
        entries = trail.count

    raw = cpp_benchmarks(build)
    sign, action_hash, entry_hash = raw["BM_RawSign"], raw["BM_ActionHash"], raw["BM_EntryHash"]
    floor = 2 * sign + 2 * action_hash + entry_hash + action_hash  # the arguments' hash: a short input too
    difference = gate_p50 - cedar_p50

    print(f"{'gate.check (50 policies, no sync per call)':<48} p50 {gate_p50:8.1f} us   p99 {gate_p99:8.1f} us")
    print(f"{'cedarpy.is_authorized alone, same request':<48} p50 {cedar_p50:8.1f} us   p99 {cedar_p99:8.1f} us")
    print(f"{'raw Ed25519 sign (libsodium)':<48} {sign:8.2f} us")
    print(f"{'SHA-256 of an action / of an entry':<48} {action_hash:8.2f} us / {entry_hash:.2f} us")
    print(f"{'floor: 2 signs + 4 SHA-256':<48} {floor:8.1f} us")
    print(f"{'gate share per call (check - its Cedar call)':<48} p50 {share_p50:8.1f} us   p99 {share_p99:8.1f} us"
          f"   p50 = {share_p50 / floor:.2f} x the floor")
    print(f"{'  of it, the native decision and record':<48} p50 {decision_p50:8.1f} us   p99 {decision_p99:8.1f} us"
          f"   p50 = {decision_p50 / floor:.2f} x the floor")
    print(f"{'p50 gate - p50 Cedar alone':<48} {difference:8.1f} us = {difference / floor:.2f} x the floor")
    print(f"trail: {entries} entries, {size / entries:.0f} bytes each")


if __name__ == "__main__":
    main()
