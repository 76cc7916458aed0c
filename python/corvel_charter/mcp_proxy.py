"""A stdio proxy in front of an MCP server that judges, records and answers for every tool call.

The proxy starts the server as a child process and relays newline-delimited JSON-RPC messages both
ways, in order per direction, several requests in flight at once. Only ``tools/call`` requests
from the client are stopped: each goes to the judge (the gate), which records its decision before
it answers. An allowed call is forwarded; the server's answer is recorded as the call's outcome
before it is relayed. A denied call is answered by the proxy itself with a tool result marked as an
error that carries the reason and the deciding policies; the server never sees it. Everything else
(initialize, lists, notifications, cancellations, progress, resources, prompts, pings, and the
server's own requests to the client) passes through unchanged.

Standard output carries protocol only; the proxy's own messages go to standard error.

Exit status (:data:`EXIT_STATUS`): 0 when the client closed its end and the session ended; 1 when
the server exited while the client was still connected; 3 for a malformed or oversized message from
the client; 4 for one from the server; 5 when the judge itself failed. In every case the calls still
waiting for an answer are answered with JSON-RPC errors (where the client can still read), their
outcomes recorded as errors, and the server is stopped.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import signal
import sys
from collections.abc import Awaitable, Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

__all__ = [
    "DEFAULT_MAX_MESSAGE_BYTES",
    "EXIT_STATUS",
    "CallJudge",
    "Verdict",
    "run_proxy",
]

# The largest message accepted from either side, newline excluded.
DEFAULT_MAX_MESSAGE_BYTES = 16 << 20
# How long a server may take to exit once the client has closed its end, before it is stopped.
SHUTDOWN_GRACE_SECONDS = 5.0

EXIT_STATUS = {
    "ended": 0,
    "server exited": 1,
    "client protocol error": 3,
    "server protocol error": 4,
    "judge failed": 5,
}

# JSON-RPC error codes of the proxy's own answers.
PARSE_ERROR = -32700
INVALID_REQUEST = -32600
INTERNAL_ERROR = -32603


@dataclass
class Verdict:
    """The judge's answer for one call: ``index`` is where the decision was recorded (a trail
    index), ``record`` whatever the judge needs to link the outcome to its decision."""

    allowed: bool
    reason: str
    policy_ids: Sequence[str] = ()
    index: int | None = None
    record: Any = None
    # A denial that an approver may lift: the signed approval request to show them.
    approval_request: str | None = None


class CallJudge(Protocol):
    def judge(self, tool: str, arguments: dict[str, Any], server: str | None, approval: str | None) -> Verdict:
        """Decide and record one call before answering; must not raise for an ordinary denial.
        ``approval`` is the approval the client sent with a retried call, if any."""

    def record_outcome(self, verdict: Verdict, *, ok: bool, result: Any, detail: str) -> None:
        """Record what became of an allowed call: the server's result (or error object, or None when
        there was no answer), and a short description."""


class ProtocolFault(Exception):
    """A message that breaks the protocol: the session cannot go on safely."""

    def __init__(self, side: str, text: str) -> None:
        super().__init__(f"{side}: {text}")
        self.side = side


@dataclass
class Session:
    judge: CallJudge
    client_out: Callable[[bytes], Awaitable[None]]
    server_in: asyncio.StreamWriter
    server_name: str | None
    name_fixed: bool
    log: Callable[[str], None]
    # Runs a judge call: in a worker thread, or on the loop.
    call_judge: Callable[..., Awaitable[Any]]
    # Allowed calls waiting for the server's answer, by the JSON text of their id.
    pending: dict[str, tuple[Any, Verdict]] = field(default_factory=dict)
    initialize_ids: set[str] = field(default_factory=set)
    client_open: bool = True


async def _in_thread(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    return await asyncio.to_thread(function, *args, **kwargs)


async def _inline(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    return function(*args, **kwargs)


def _id_key(message_id: Any) -> str:
    return json.dumps(message_id, sort_keys=True)


def _line(message: dict[str, Any]) -> bytes:
    return json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode() + b"\n"


def _error_response(message_id: Any, code: int, text: str) -> bytes:
    return _line({"jsonrpc": "2.0", "id": message_id, "error": {"code": code, "message": text}})


# Where a retried call carries its approval: a member of the request's params._meta, or (for an
# agent that can only set arguments) an argument of this name, removed before the call is judged
# and forwarded.
APPROVAL_META = "corvel-charter/approval"
APPROVAL_ARGUMENT = "_corvel_approval"

HOW_TO_APPROVE = """Approval required: this exact call may go through once an approver signs the request below.
An approver saves the request (the lines from "corvel-charter approval request v1" to the end) to
request.note and runs:
    corvel-charter approve request.note --key APPROVER.key --name APPROVER_NAME > approval.note
Then retry the same call, with the same arguments, adding the argument "{argument}" whose value is
the whole text of approval.note (or put that text in the request's params._meta["{meta}"]).
The approval is good for this call once, until it expires.

{request}"""


def denial_result(verdict: Verdict) -> dict[str, Any]:
    """The tool result the proxy answers a denied call with."""
    text = f"Denied by the gate: {verdict.reason}"
    if verdict.policy_ids:
        text += f" (deciding policies: {', '.join(verdict.policy_ids)})"
    meta: dict[str, Any] = {"reason": verdict.reason, "policy_ids": list(verdict.policy_ids)}
    if verdict.index is not None:
        meta["trail_index"] = verdict.index
    content = [{"type": "text", "text": text}]
    if verdict.approval_request is not None:
        meta["approval_request"] = verdict.approval_request
        content.append({"type": "text", "text": HOW_TO_APPROVE.format(
            argument=APPROVAL_ARGUMENT, meta=APPROVAL_META, request=verdict.approval_request)})
    return {"content": content, "isError": True, "_meta": {"corvel-charter/decision": meta}}


def _take_approval(params: dict[str, Any], arguments: dict[str, Any]) -> tuple[str | None, dict[str, Any]]:
    """The approval a call carries, and its arguments without it."""
    approval = None
    meta = params.get("_meta")
    if isinstance(meta, dict) and isinstance(meta.get(APPROVAL_META), str):
        approval = meta[APPROVAL_META]
    if APPROVAL_ARGUMENT in arguments:
        arguments = dict(arguments)
        given = arguments.pop(APPROVAL_ARGUMENT)
        approval = given if isinstance(given, str) else approval
    return approval, arguments


def _parse(side: str, line: bytes) -> Any:
    try:
        return json.loads(line)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ProtocolFault(side, f"a message that is not JSON ({error})") from None


async def _read_messages(reader: asyncio.StreamReader, side: str, limit: int):  # type: ignore[no-untyped-def]
    """Yields each message line (newline removed); refuses one over `limit` bytes."""
    while True:
        try:
            line = await reader.readuntil(b"\n")
        except asyncio.LimitOverrunError:
            raise ProtocolFault(side, f"a message over the size limit of {limit} bytes") from None
        except asyncio.IncompleteReadError as end:
            if end.partial.strip():
                if len(end.partial) > limit:
                    raise ProtocolFault(side, f"a message over the size limit of {limit} bytes") from None
                yield end.partial
            return
        if len(line) - 1 > limit:
            raise ProtocolFault(side, f"a message over the size limit of {limit} bytes")
        if line.strip():
            yield line[:-1]


async def _client_to_server(session: Session, reader: asyncio.StreamReader, limit: int) -> None:
    async for line in _read_messages(reader, "client", limit):
        message = _parse("client", line)
        if isinstance(message, list):
            if any(isinstance(m, dict) and m.get("method") == "tools/call" for m in message):
                # A batch would let a call past the one-at-a-time gate; refuse it whole.
                answers = [
                    {"jsonrpc": "2.0", "id": m["id"], "error": {"code": INVALID_REQUEST,
                     "message": "Tool calls in a batch are refused by the gate; send them one by one"}}
                    for m in message if isinstance(m, dict) and "id" in m
                ]
                if answers:
                    await session.client_out(json.dumps(answers, separators=(",", ":")).encode() + b"\n")
                continue
        elif not isinstance(message, dict):
            raise ProtocolFault("client", "a message that is not a JSON-RPC object")
        elif message.get("method") == "tools/call" and "id" in message:
            await _judge_call(session, message)
            continue
        elif message.get("method") == "initialize" and "id" in message:
            session.initialize_ids.add(_id_key(message["id"]))
        session.server_in.write(line + b"\n")
        await session.server_in.drain()


async def _judge_call(session: Session, message: dict[str, Any]) -> None:
    message_id = message["id"]
    given = message.get("params")
    params: dict[str, Any] = given if isinstance(given, dict) else {}
    tool = params.get("name")
    arguments = params.get("arguments", {})
    if not isinstance(tool, str) or not isinstance(arguments, dict):
        await session.client_out(_error_response(message_id, INVALID_REQUEST,
                                                 "tools/call needs params.name (a string) and params.arguments (an object)"))
        return
    if _id_key(message_id) in session.pending:
        await session.client_out(_error_response(message_id, INVALID_REQUEST, "a call with this id is still in flight"))
        return
    approval, arguments = _take_approval(params, arguments)
    try:
        verdict = await session.call_judge(session.judge.judge, tool, arguments, session.server_name, approval)
    except BaseException as error:
        await session.client_out(_error_response(message_id, INTERNAL_ERROR, f"The gate failed; the call was not made: {error}"))
        raise ProtocolFault("judge", f"the gate failed: {error}") from error
    if not verdict.allowed:
        await session.client_out(_line({"jsonrpc": "2.0", "id": message_id, "result": denial_result(verdict)}))
        return
    session.pending[_id_key(message_id)] = (message_id, verdict)
    if approval is not None:
        # The server gets the call as it was approved: the approval itself is the gate's.
        forwarded_params = {**params, "arguments": arguments}
        meta = forwarded_params.get("_meta")
        if isinstance(meta, dict) and APPROVAL_META in meta:
            forwarded_params["_meta"] = {k: v for k, v in meta.items() if k != APPROVAL_META}
        message = {**message, "params": forwarded_params}
    session.server_in.write(_line(message))
    await session.server_in.drain()


async def _server_to_client(session: Session, reader: asyncio.StreamReader, limit: int) -> None:
    async for line in _read_messages(reader, "server", limit):
        message = _parse("server", line)
        if isinstance(message, dict) and "method" not in message and "id" in message:
            key = _id_key(message["id"])
            if key in session.pending:
                _, verdict = session.pending.pop(key)
                await _record(session, verdict, message)
            elif key in session.initialize_ids:
                session.initialize_ids.discard(key)
                info = message.get("result", {}).get("serverInfo", {}) if isinstance(message.get("result"), dict) else {}
                if not session.name_fixed and isinstance(info, dict) and isinstance(info.get("name"), str):
                    session.server_name = info["name"]
        elif not isinstance(message, (dict, list)):
            raise ProtocolFault("server", "a message that is not a JSON-RPC object")
        await session.client_out(line + b"\n")


async def _record(session: Session, verdict: Verdict, message: dict[str, Any]) -> None:
    if "result" in message:
        result = message["result"]
        ok = not (isinstance(result, dict) and result.get("isError") is True)
        detail = "the tool returned a result" if ok else "the tool returned an error result"
    else:
        result = message.get("error")
        ok = False
        detail = "the server answered with an error"
    await _record_outcome(session, verdict, ok=ok, result=result, detail=detail)


async def _record_outcome(session: Session, verdict: Verdict, *, ok: bool, result: Any, detail: str) -> None:
    try:
        await session.call_judge(session.judge.record_outcome, verdict, ok=ok, result=result, detail=detail)
    except Exception as error:  # the call has run; its answer still goes to the client
        session.log(f"could not record the outcome of a call: {error}")


async def _answer_pending(session: Session, why: str) -> None:
    """Answers every call still waiting with an error, and records each outcome as failed."""
    for message_id, verdict in list(session.pending.values()):
        await _record_outcome(session, verdict, ok=False, result=None, detail=why)
        if session.client_open:
            with contextlib.suppress(Exception):
                await session.client_out(_error_response(message_id, INTERNAL_ERROR, why))
    session.pending.clear()


async def _stdio_streams(max_message_bytes: int) -> tuple[asyncio.StreamReader, Callable[[bytes], Awaitable[None]]]:
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=_stream_limit(max_message_bytes))
    # Duplicates of the standard streams: the transports close them, never fd 0 and 1 themselves.
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(os.dup(0), "rb", 0))
    out_pipe = os.fdopen(os.dup(1), "wb", 0)
    try:
        # A pipe or socket (as MCP clients give): written by the event loop, no thread per message.
        transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin, out_pipe)
        writer = asyncio.StreamWriter(transport, protocol, None, loop)

        async def write(data: bytes) -> None:
            writer.write(data)
            await writer.drain()

        return reader, write
    except ValueError:
        out_pipe.close()  # a regular file or a terminal: plain blocking writes, one at a time, off the loop
    out = sys.stdout.buffer
    lock = asyncio.Lock()

    async def write_blocking(data: bytes) -> None:
        async with lock:
            await asyncio.to_thread(_write_all, out, data)

    return reader, write_blocking


def _write_all(out: Any, data: bytes) -> None:
    out.write(data)
    out.flush()


def _stream_limit(max_message_bytes: int) -> int:
    return max_message_bytes + 1


async def run_proxy(
    command: Sequence[str],
    judge: CallJudge,
    *,
    server_name: str | None = None,
    max_message_bytes: int = DEFAULT_MAX_MESSAGE_BYTES,
    client_in: asyncio.StreamReader | None = None,
    client_out: Callable[[bytes], Awaitable[None]] | None = None,
    log: Callable[[str], None] | None = None,
    judge_in_thread: bool = True,
) -> int:
    """Runs one session: the server `command` behind the judge, the client on standard input and
    output (or the streams given). Returns the exit status (see EXIT_STATUS).

    With ``judge_in_thread`` (for a judge that may wait on the disk, a trail synced per entry),
    decisions and outcomes are recorded in a worker thread while the loop goes on relaying;
    without it they run on the loop itself, which saves a thread hand-off per call."""
    if not command:
        raise ValueError("no server command to start")
    say = log or (lambda text: print(f"corvel-charter mcp-proxy: {text}", file=sys.stderr, flush=True))
    if client_in is None or client_out is None:
        client_in, client_out = await _stdio_streams(max_message_bytes)
    server = await asyncio.create_subprocess_exec(
        *command, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
        limit=_stream_limit(max_message_bytes),
    )
    assert server.stdin is not None and server.stdout is not None
    session = Session(judge, client_out, server.stdin, server_name, server_name is not None, say,
                      _in_thread if judge_in_thread else _inline)
    upstream = asyncio.create_task(_client_to_server(session, client_in, max_message_bytes))
    downstream = asyncio.create_task(_server_to_client(session, server.stdout, max_message_bytes))
    status = EXIT_STATUS["ended"]
    try:
        done, _ = await asyncio.wait({upstream, downstream}, return_when=asyncio.FIRST_COMPLETED)
        if downstream in done and downstream.exception() is None and upstream not in done:
            # The server closed its output while the client is still there.
            code = await server.wait()
            say(f"the server exited (status {code}) while the client was connected")
            upstream.cancel()
            await _answer_pending(session, f"The MCP server exited before answering (status {code})")
            status = EXIT_STATUS["server exited"]
        else:
            fault = next((task.exception() for task in done if task.exception() is not None), None)
            if isinstance(fault, ProtocolFault):
                say(str(fault))
                status = EXIT_STATUS[{"client": "client protocol error", "server": "server protocol error",
                                      "judge": "judge failed"}[fault.side]]
                if fault.side == "client":
                    with contextlib.suppress(Exception):
                        await client_out(_error_response(None, PARSE_ERROR, f"Refused by the proxy: {fault}"))
                await _answer_pending(session, f"The proxy stopped the session: {fault}")
                upstream.cancel()
                downstream.cancel()
            elif fault is not None:
                raise fault
            else:
                # The client closed its end: the calls already made may finish (their outcomes
                # are recorded) within the grace period; then the server's input is closed.
                deadline = asyncio.get_running_loop().time() + SHUTDOWN_GRACE_SECONDS
                while session.pending and not downstream.done() and asyncio.get_running_loop().time() < deadline:
                    await asyncio.sleep(0.01)
                with contextlib.suppress(Exception):
                    server.stdin.close()
                with contextlib.suppress(asyncio.TimeoutError, ProtocolFault):
                    await asyncio.wait_for(asyncio.shield(downstream), max(0.1, deadline - asyncio.get_running_loop().time()))
                await _answer_pending(session, "The client closed its end before the server answered")
    finally:
        for task in (upstream, downstream):
            task.cancel()
        await asyncio.gather(upstream, downstream, return_exceptions=True)
        await _stop(server)
    return status


async def _stop(server: asyncio.subprocess.Process) -> None:
    if server.returncode is not None:
        return
    with contextlib.suppress(Exception):
        if server.stdin is not None:
            server.stdin.close()
    try:
        await asyncio.wait_for(server.wait(), SHUTDOWN_GRACE_SECONDS)
        return
    except asyncio.TimeoutError:
        pass
    with contextlib.suppress(ProcessLookupError):
        server.send_signal(signal.SIGTERM)
    try:
        await asyncio.wait_for(server.wait(), 2.0)
    except asyncio.TimeoutError:
        with contextlib.suppress(ProcessLookupError):
            server.kill()
        await server.wait()


class ToolCallFailed(Exception):
    """What an allowed call came to when it did not succeed, as the gate records it."""


class GateJudge:
    """The gate as the proxy's judge. The Gate is made at the first call, once the server's name
    is known from its initialize answer (or given), so that policies can name the server; the
    policy was parsed before the proxy started."""

    def __init__(self, policy: str, trail: Any, agent: str, *, schema: str | None = None, **approvals: Any) -> None:
        from corvel_charter.gate import Gate

        self._make_gate: Callable[..., Any] = Gate
        self._policy = policy
        self._schema = schema
        self._approvals = approvals  # approvers, approval_key, approval_name, nonce_store
        self._trail = trail
        self._agent = agent
        self._gate: Any = None

    def gate(self, server: str | None) -> Any:
        if self._gate is None:
            self._gate = self._make_gate(self._policy, self._trail, self._agent, server=server, schema=self._schema,
                                          **self._approvals)
        return self._gate

    def judge(self, tool: str, arguments: dict[str, Any], server: str | None, approval: str | None) -> Verdict:
        decision = self.gate(server).check(tool, arguments, approval=approval)
        return Verdict(decision.allowed, decision.reason, decision.policies, decision.index, decision,
                       decision.approval_request)

    def record_outcome(self, verdict: Verdict, *, ok: bool, result: Any, detail: str) -> None:
        if ok:
            self.gate(None).record_outcome(verdict.record, result=result)
        else:
            shown = "" if result is None else ": " + json.dumps(result, sort_keys=True, ensure_ascii=False)
            self.gate(None).record_outcome(verdict.record, error=ToolCallFailed(detail + shown))

    def close(self) -> None:
        self._trail.close()
