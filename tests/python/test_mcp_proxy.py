"""The MCP proxy end to end: the SDK's real stdio client talks through the proxy to a real SDK
server. Allowed calls reach the server, denied ones never do; every decision and outcome is
recorded; ids, order and concurrency survive; every failure ends the session without hanging and
without letting an unrecorded call through."""

import asyncio
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

# The MCP SDK is an extra of the package; scripts/setup.sh installs it, so these tests always run.
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

HERE = Path(__file__).parent / "mcp"
SERVER = str(HERE / "test_server.py")
LAUNCHER = str(HERE / "proxy_launcher.py")


@pytest.fixture
def logs(tmp_path):
    return {"RECEIVED_LOG": str(tmp_path / "received.jsonl"), "DECISIONS_LOG": str(tmp_path / "decisions.jsonl")}


def read_jsonl(path):
    path = Path(path)
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def proxy_params(logs, **env):
    return StdioServerParameters(command=sys.executable, args=[LAUNCHER, sys.executable, SERVER],
                                 env={**os.environ, **logs, **env})


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


async def with_session(logs, body, **env):
    async with stdio_client(proxy_params(logs, **env)) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            return await body(session)


def text_of(result):
    return result.content[0].text


class TestRelay:
    def test_allowed_calls_reach_the_server_and_denied_ones_never_do(self, logs):
        async def body(session):
            tools = await session.list_tools()
            allowed = await session.call_tool("read_file", {"path": "/srv/notes.txt"})
            denied = await session.call_tool("run_command", {"command": "rm -rf /"})
            written = await session.call_tool("write_file", {"path": "/tmp/a", "content": "hi"})
            return tools, allowed, denied, written

        tools, allowed, denied, written = run(with_session(logs, body))
        assert {tool.name for tool in tools.tools} >= {"read_file", "run_command", "write_file"}
        assert text_of(allowed) == "content of /srv/notes.txt" and not allowed.is_error
        assert denied.is_error and "destructive command" in text_of(denied) and "no-rm" in text_of(denied)
        assert text_of(written) == "wrote 2 bytes to /tmp/a"
        assert [call["tool"] for call in read_jsonl(logs["RECEIVED_LOG"])] == ["read_file", "write_file"]
        records = read_jsonl(logs["DECISIONS_LOG"])
        decisions = [r for r in records if "allowed" in r]
        outcomes = [r for r in records if "outcome_of" in r]
        assert [d["allowed"] for d in decisions] == [True, False, True]
        assert all(d["server"] == "test-files" for d in decisions)  # the name from initialize
        assert sorted(o["outcome_of"] for o in outcomes) == [0, 2] and all(o["ok"] for o in outcomes)
        # Each outcome is recorded before the answer was relayed: it precedes the next decision.
        assert records.index(outcomes[0]) < records.index(decisions[1])

    def test_fifty_concurrent_calls_keep_their_ids_and_results(self, logs):
        async def body(session):
            calls = [session.call_tool("sleep", {"seconds": 0.05 * (i % 5), "tag": f"call-{i}"}) for i in range(50)]
            return await asyncio.gather(*calls)

        started = time.monotonic()
        results = run(with_session(logs, body))
        assert [text_of(r) for r in results] == [f"slept call-{i}" for i in range(50)]
        assert time.monotonic() - started < 30
        outcomes = [r for r in read_jsonl(logs["DECISIONS_LOG"]) if "outcome_of" in r]
        assert sorted(o["outcome_of"] for o in outcomes) == list(range(50))


def raw_proxy(logs, server=SERVER, **env):
    """The proxy as a plain child process, for the tests that must write broken lines."""
    return subprocess.Popen([sys.executable, LAUNCHER, sys.executable, server], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={**os.environ, **logs, **env})


INITIALIZE = {"jsonrpc": "2.0", "id": 0, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "raw-test", "version": "1"}}}


def send(proxy, message):
    proxy.stdin.write((json.dumps(message) + "\n").encode() if not isinstance(message, bytes) else message)
    proxy.stdin.flush()


def answer(proxy):
    return json.loads(proxy.stdout.readline())


def call(message_id, tool, arguments):
    return {"jsonrpc": "2.0", "id": message_id, "method": "tools/call", "params": {"name": tool, "arguments": arguments}}


def started(logs, server=SERVER, **env):
    proxy = raw_proxy(logs, server, **env)
    send(proxy, INITIALIZE)
    assert answer(proxy)["result"]["serverInfo"]["name"] in ("test-files", "garbling")
    send(proxy, {"jsonrpc": "2.0", "method": "notifications/initialized"})
    return proxy


class TestFailures:
    def test_the_server_killed_mid_call(self, logs):
        proxy = started(logs)
        send(proxy, call(1, "crash", {}))
        reply = answer(proxy)
        assert reply["id"] == 1 and "exited before answering (status 17)" in reply["error"]["message"]
        assert proxy.wait(timeout=30) == 1
        outcome = [r for r in read_jsonl(logs["DECISIONS_LOG"]) if "outcome_of" in r]
        assert outcome == [{"outcome_of": 0, "ok": False, "sha256": outcome[0]["sha256"],
                            "detail": "The MCP server exited before answering (status 17)"}]

    def test_a_malformed_line_from_the_client(self, logs):
        proxy = started(logs)
        send(proxy, call(1, "sleep", {"seconds": 3, "tag": "pending"}))
        time.sleep(0.5)
        send(proxy, b"{not json\n")
        replies = [answer(proxy), answer(proxy)]
        assert replies[0]["error"]["code"] == -32700 and "not JSON" in replies[0]["error"]["message"]
        assert replies[1]["id"] == 1 and "stopped the session" in replies[1]["error"]["message"]
        assert proxy.wait(timeout=30) == 3
        assert b"client: a message that is not JSON" in proxy.stderr.read()

    def test_a_malformed_line_from_the_server(self, logs):
        proxy = started(logs, str(HERE / "garbling_server.py"))
        send(proxy, call(1, "read_file", {"path": "/a"}))
        reply = answer(proxy)
        assert reply["id"] == 1 and "server: a message that is not JSON" in reply["error"]["message"]
        assert proxy.wait(timeout=30) == 4

    def test_an_oversized_message_is_refused_before_it_reaches_the_server(self, logs):
        proxy = started(logs, MAX_BYTES="4096")
        send(proxy, call(1, "write_file", {"path": "/tmp/big", "content": "x" * 10000}))
        reply = answer(proxy)
        assert reply["error"]["code"] == -32700 and "over the size limit of 4096 bytes" in reply["error"]["message"]
        assert proxy.wait(timeout=30) == 3
        assert read_jsonl(logs["RECEIVED_LOG"]) == [] and not any("allowed" in r for r in read_jsonl(logs["DECISIONS_LOG"]))

    def test_the_client_closing_early(self, logs):
        proxy = started(logs)
        send(proxy, call(1, "sleep", {"seconds": 0.5, "tag": "late"}))
        time.sleep(0.2)
        proxy.stdin.close()
        assert proxy.wait(timeout=30) == 0
        # The server finished the call within the grace period; its outcome is recorded.
        outcome = [r for r in read_jsonl(logs["DECISIONS_LOG"]) if "outcome_of" in r]
        assert [o["ok"] for o in outcome] == [True]

    def test_a_batch_holding_a_tool_call_is_refused_whole(self, logs):
        proxy = started(logs)
        send(proxy, [call(1, "read_file", {"path": "/a"}), {"jsonrpc": "2.0", "id": 2, "method": "ping"}])
        replies = answer(proxy)
        assert [r["id"] for r in replies] == [1, 2] and all("batch" in r["error"]["message"] for r in replies)
        proxy.stdin.close()
        assert proxy.wait(timeout=30) == 0
        assert read_jsonl(logs["RECEIVED_LOG"]) == []
