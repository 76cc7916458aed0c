"""The MCP proxy end to end: the SDK's real stdio client talks through `corvel-charter mcp-proxy`
(the real gate, a Cedar policy, a signed trail) to a real SDK server. Allowed calls reach the
server, denied ones never do; every decision and outcome is in the trail, which verifies; ids,
order and concurrency survive; every failure ends the session without hanging and without letting
an unrecorded call through."""

import asyncio
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import corvel_charter as cc

# The MCP SDK is an extra of the package; scripts/setup.sh installs it, so these tests always run.
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

HERE = Path(__file__).parent / "mcp"
SERVER = str(HERE / "test_server.py")
ORIGIN = "example.com/mcp-agent"

# Everything goes but destructive commands, and writes under /srv on the test server alone.
POLICY = """
@id("allow") permit (principal, action, resource);
@id("no-rm") forbid (principal, action, resource) when { context.text like "*rm -rf*" };
@id("srv-read-only") forbid (principal, action, resource in Server::"test-files")
when { resource.name == "write_file" && context.text like "*\\"/srv/*" };
"""


@pytest.fixture
def setup(tmp_path):
    key = cc.TrailKey.generate()
    key.save(str(tmp_path / "trail.key"))
    (tmp_path / "policy.cedar").write_text(POLICY)
    return {"folder": tmp_path, "key": key, "trail": tmp_path / "trail.json",
            "received": tmp_path / "received.jsonl"}


def proxy_command(setup, server=SERVER, *extra):
    folder = setup["folder"]
    return [sys.executable, "-m", "corvel_charter", "mcp-proxy", "--policy", str(folder / "policy.cedar"),
            "--trail", str(setup["trail"]), "--key", str(folder / "trail.key"), "--origin", ORIGIN,
            "--agent", "test-agent", *extra, "--", sys.executable, server]


def environment(setup):
    return {**os.environ, "RECEIVED_LOG": str(setup["received"])}


def read_jsonl(path):
    path = Path(path)
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def gate_entries(setup):
    """The trail, verified under its key, as the gate's (decisions, outcomes)."""
    summary = cc.verify_trail(str(setup["trail"]), setup["key"].public_key)
    entries = json.loads(setup["trail"].read_text())
    assert summary.count == len(entries)
    decisions = [e for e in entries if "call" in e["gate"]]
    outcomes = [e for e in entries if "outcome" in e["gate"]]
    return decisions, outcomes


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


async def with_session(setup, body):
    command = proxy_command(setup)
    params = StdioServerParameters(command=command[0], args=command[1:], env=environment(setup))
    async with stdio_client(params) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            return await body(session)


def text_of(result):
    return result.content[0].text


class TestRelay:
    def test_allowed_calls_reach_the_server_and_denied_ones_never_do(self, setup):
        async def body(session):
            tools = await session.list_tools()
            allowed = await session.call_tool("read_file", {"path": "/srv/notes.txt"})
            denied = await session.call_tool("run_command", {"command": "RM -RF /"})
            protected = await session.call_tool("write_file", {"path": "/srv/a", "content": "hi"})
            written = await session.call_tool("write_file", {"path": "/tmp/a", "content": "hi"})
            return tools, allowed, denied, protected, written

        tools, allowed, denied, protected, written = run(with_session(setup, body))
        assert {tool.name for tool in tools.tools} >= {"read_file", "run_command", "write_file"}
        assert text_of(allowed) == "content of /srv/notes.txt" and not allowed.is_error
        assert denied.is_error and "(deciding policies: no-rm)" in text_of(denied)
        # The policy names the server by the name it gave at initialize.
        assert protected.is_error and "srv-read-only" in text_of(protected)
        assert text_of(written) == "wrote 2 bytes to /tmp/a"
        assert [call["tool"] for call in read_jsonl(setup["received"])] == ["read_file", "write_file"]
        decisions, outcomes = gate_entries(setup)
        assert [d["decision"] == "Approved" for d in decisions] == [True, False, False, True]
        assert [d["action"]["target"] for d in decisions] == ["test-files"] * 4
        assert [o["gate"]["outcome"]["decision_index"] for o in outcomes] == [decisions[0]["index"], decisions[3]["index"]]
        assert all(o["gate"]["outcome"]["success"] for o in outcomes)
        # Each outcome is recorded before its answer was relayed: it comes before the next decision.
        assert outcomes[0]["index"] == decisions[0]["index"] + 1

    def test_fifty_concurrent_calls_keep_their_ids_and_results(self, setup):
        async def body(session):
            calls = [session.call_tool("sleep", {"seconds": 0.05 * (i % 5), "tag": f"call-{i}"}) for i in range(50)]
            return await asyncio.gather(*calls)

        started_at = time.monotonic()
        results = run(with_session(setup, body))
        assert [text_of(r) for r in results] == [f"slept call-{i}" for i in range(50)]
        assert time.monotonic() - started_at < 60
        decisions, outcomes = gate_entries(setup)
        assert len(decisions) == 50 and all(d["decision"] == "Approved" for d in decisions)
        assert sorted(o["gate"]["outcome"]["decision_index"] for o in outcomes) == sorted(d["index"] for d in decisions)

    def test_a_policy_that_does_not_parse_never_starts_the_server(self, setup):
        (setup["folder"] / "policy.cedar").write_text("permit (principal, action resource);")
        done = subprocess.run(proxy_command(setup), capture_output=True, text=True, timeout=60, env=environment(setup),
                              stdin=subprocess.DEVNULL)
        assert done.returncode == 2 and "The policy does not parse" in done.stderr and done.stdout == ""
        assert not setup["received"].exists() and not setup["trail"].exists()


def raw_proxy(setup, server=SERVER, *extra):
    """The proxy as a plain child process, for the tests that must write broken lines."""
    return subprocess.Popen(proxy_command(setup, server, *extra), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment(setup))


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


def started(setup, server=SERVER, *extra):
    proxy = raw_proxy(setup, server, *extra)
    send(proxy, INITIALIZE)
    assert answer(proxy)["result"]["serverInfo"]["name"] in ("test-files", "garbling")
    send(proxy, {"jsonrpc": "2.0", "method": "notifications/initialized"})
    return proxy


class TestFailures:
    def test_the_server_killed_mid_call(self, setup):
        proxy = started(setup)
        send(proxy, call(1, "crash", {}))
        reply = answer(proxy)
        assert reply["id"] == 1 and "exited before answering (status 17)" in reply["error"]["message"]
        assert proxy.wait(timeout=30) == 1
        decisions, outcomes = gate_entries(setup)
        assert len(decisions) == 1 and [o["gate"]["outcome"]["success"] for o in outcomes] == [False]

    def test_a_malformed_line_from_the_client(self, setup):
        proxy = started(setup)
        send(proxy, call(1, "sleep", {"seconds": 3, "tag": "pending"}))
        time.sleep(0.5)
        send(proxy, b"{not json\n")
        replies = [answer(proxy), answer(proxy)]
        assert replies[0]["error"]["code"] == -32700 and "not JSON" in replies[0]["error"]["message"]
        assert replies[1]["id"] == 1 and "stopped the session" in replies[1]["error"]["message"]
        assert proxy.wait(timeout=30) == 3
        assert b"client: a message that is not JSON" in proxy.stderr.read()
        decisions, outcomes = gate_entries(setup)
        assert len(decisions) == 1 and [o["gate"]["outcome"]["success"] for o in outcomes] == [False]

    def test_a_malformed_line_from_the_server(self, setup):
        proxy = started(setup, str(HERE / "garbling_server.py"))
        send(proxy, call(1, "read_file", {"path": "/a"}))
        reply = answer(proxy)
        assert reply["id"] == 1 and "server: a message that is not JSON" in reply["error"]["message"]
        assert proxy.wait(timeout=30) == 4
        decisions, outcomes = gate_entries(setup)
        assert len(decisions) == 1 and [o["gate"]["outcome"]["success"] for o in outcomes] == [False]

    def test_an_oversized_message_is_refused_before_it_reaches_the_server(self, setup):
        proxy = started(setup, SERVER, "--max-message-bytes", "4096")
        send(proxy, call(1, "write_file", {"path": "/tmp/big", "content": "x" * 10000}))
        reply = answer(proxy)
        assert reply["error"]["code"] == -32700 and "over the size limit of 4096 bytes" in reply["error"]["message"]
        assert proxy.wait(timeout=30) == 3
        assert read_jsonl(setup["received"]) == [] and gate_entries(setup) == ([], [])

    def test_the_client_closing_early(self, setup):
        proxy = started(setup)
        send(proxy, call(1, "sleep", {"seconds": 0.5, "tag": "late"}))
        time.sleep(0.2)
        proxy.stdin.close()
        assert proxy.wait(timeout=30) == 0
        # The server finished the call within the grace period; its outcome is recorded.
        _, outcomes = gate_entries(setup)
        assert [o["gate"]["outcome"]["success"] for o in outcomes] == [True]

    def test_a_batch_holding_a_tool_call_is_refused_whole(self, setup):
        proxy = started(setup)
        send(proxy, [call(1, "read_file", {"path": "/a"}), {"jsonrpc": "2.0", "id": 2, "method": "ping"}])
        replies = answer(proxy)
        assert [r["id"] for r in replies] == [1, 2] and all("batch" in r["error"]["message"] for r in replies)
        proxy.stdin.close()
        assert proxy.wait(timeout=30) == 0
        assert read_jsonl(setup["received"]) == []


APPROVAL_POLICY = """
@id("allow") permit (principal, action, resource);
@id("delete-needs-approval") @approval("required")
forbid (principal, action, resource) when { resource.name == "delete_tree" };
"""


def test_the_approval_road_through_the_proxy(setup, tmp_path):
    """A person at a terminal: the denial says how to approve; the approval, given with the retried
    call, lets exactly that call through once; the server never sees the approval."""
    (setup["folder"] / "policy.cedar").write_text(APPROVAL_POLICY)
    alice = cc.TrailKey.generate()
    alice.save(str(tmp_path / "alice.key"))
    extra = ["--approver", alice.public_key.verifier_key("alice"), "--nonce-store", f"sqlite:///{tmp_path}/nonces.db"]

    async def body(session):
        asked = await session.call_tool("delete_tree", {"path": "/srv/old"})
        assert asked.is_error and "approval required" in text_of(asked)
        instructions = asked.content[1].text
        assert "corvel-charter approve request.note --key APPROVER.key --name APPROVER_NAME" in instructions
        request = instructions[instructions.rindex("corvel-charter approval request v1"):]
        (tmp_path / "request.note").write_text(request)
        approved = subprocess.run([sys.executable, "-m", "corvel_charter", "approve", str(tmp_path / "request.note"),
                                   "--key", str(tmp_path / "alice.key"), "--name", "alice"],
                                  capture_output=True, text=True, timeout=60)
        assert approved.returncode == 0, approved.stderr
        arguments = {"path": "/srv/old", "_corvel_approval": approved.stdout}
        done = await session.call_tool("delete_tree", arguments)
        again = await session.call_tool("delete_tree", arguments)
        other = await session.call_tool("delete_tree", {"path": "/srv/else", "_corvel_approval": approved.stdout})
        return done, again, other

    command = proxy_command(setup, SERVER, *extra)
    params = StdioServerParameters(command=command[0], args=command[1:], env=environment(setup))

    async def session_run():
        async with stdio_client(params) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                return await body(session)

    done, again, other = run(session_run())
    assert not done.is_error and text_of(done) == "deleted /srv/old"
    assert again.is_error and "used before" in text_of(again)
    assert other.is_error and "approves other arguments" in text_of(other)
    # The server saw the one approved call, with its own arguments only.
    assert read_jsonl(setup["received"]) == [{"tool": "delete_tree", "arguments": {"path": "/srv/old"}}]
    decisions, outcomes = gate_entries(setup)
    assert [d["decision"] == "Approved" for d in decisions] == [False, True, False, False]
    assert decisions[1]["gate"]["call"]["policies"][-1].startswith("approval:") and len(outcomes) == 1
