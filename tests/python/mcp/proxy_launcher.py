"""Runs the proxy with a plain judge for the relay's own tests: denies run_command of "rm -rf",
logs each decision and outcome as a JSON line to DECISIONS_LOG."""

import asyncio
import json
import os
import sys

from corvel_charter.mcp_proxy import Verdict, run_proxy

LOG = os.environ["DECISIONS_LOG"]


class Judge:
    def __init__(self):
        self.count = 0

    def write(self, record):
        with open(LOG, "a") as log:
            log.write(json.dumps(record) + "\n")

    def judge(self, tool, arguments, server):
        allowed = not (tool == "run_command" and "rm -rf" in arguments.get("command", ""))
        index = self.count
        self.count += 1
        self.write({"index": index, "tool": tool, "arguments": arguments, "server": server, "allowed": allowed})
        return Verdict(allowed, "allowed" if allowed else "destructive command", () if allowed else ("no-rm",), index)

    def record_outcome(self, verdict, *, ok, result_sha256, detail):
        self.write({"outcome_of": verdict.record, "ok": ok, "sha256": result_sha256.hex(), "detail": detail})


sys.exit(asyncio.run(run_proxy(sys.argv[1:], Judge(), max_message_bytes=int(os.environ.get("MAX_BYTES", 16 << 20)))))
