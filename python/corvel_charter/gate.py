"""The gate: every tool call of an agent judged by the user's own Cedar policy, fail-closed, and
recorded in the audit trail before the tool runs.

    from corvel_charter import AuditTrail, TrailKey
    from corvel_charter.gate import Gate, GateDenied, example_policy

    gate = Gate(example_policy(), AuditTrail("agent.trail", TrailKey.generate()), agent="agent-7")

    @gate.guard
    def run_command(command: str) -> str: ...

    run_command("git status")   # allowed: runs, its outcome recorded
    run_command("rm -rf /")     # raises GateDenied; the command never ran

Cedar comes from the optional extra ``policy`` (``pip install 'corvel-charter[policy]'``).

The request the gate makes of Cedar for a call of ``tool`` with ``arguments``:

- principal ``Agent::"<agent>"``;
- action ``Action::"call_tool"``;
- resource ``Tool::"<tool>"``, an entity with the attribute ``name`` (the tool's name) and, when
  the gate names a server, the parent ``Server::"<server>"`` (``resource in Server::"files"``);
- context ``{"arguments": ..., "arguments_json": ..., "text": ...}``: the arguments as Cedar
  values (objects as records, lists as sets; ``None``, fractions and integers beyond Cedar's
  64-bit range as the text of their canonical JSON), their canonical JSON text (RFC 8785), and
  that text lower-cased with runs of spaces folded to one, for matching commands and paths
  whatever their case.

Closed by construction: the tool runs only after Cedar allowed the call with no evaluation
error, the gate was unlocked, and the allow was signed and written to the trail. Anything else
is a denial, recorded with its reason where the trail can still write.
"""

from __future__ import annotations

import asyncio
import dataclasses
import functools
import hashlib
import inspect
import json
import os
import threading
from dataclasses import dataclass
from importlib import resources
from typing import Any, Callable, Mapping, ParamSpec, Protocol, Sequence, TypeVar

try:
    import cedarpy
except ImportError:  # pragma: no cover - the test environment has the extra
    raise ImportError(
        "corvel_charter.gate judges tool calls with Cedar, which comes with the optional extra 'policy': "
        "pip install 'corvel-charter[policy]'"
    )

from corvel_charter import (
    ApprovalError,
    AuditTrail,
    TrailError,
    TrailKey,
    approval_request,
    read_approval_request,
)
from corvel_charter.approvals import ApprovalChecker
from corvel_charter.nonce_stores import NonceStore, open_nonce_store
from corvel_charter._trail import GateError, ToolArguments, ToolGate  # type: ignore[import-not-found]

__all__ = [
    "Gate",
    "GateDecision",
    "GateDenied",
    "GateError",
    "PolicyError",
    "example_policy",
]

P = ParamSpec("P")
R = TypeVar("R")

# The action every request names.
ACTION = 'Action::"call_tool"'
# One encoder for every call (json.dumps with an option builds a new one each time). NaN and the
# infinities are no JSON.
_ENCODER = json.JSONEncoder(allow_nan=False)
# Tool entities kept per gate; a gate that meets more tools than this builds the rest per call.
_ENTITY_CACHE_LIMIT = 1024


class _Decorator(Protocol):
    def __call__(self, function: Callable[P, R], /) -> Callable[P, R]: ...


class PolicyError(GateError):  # type: ignore[misc]
    """The policy (or its schema) does not parse or validate: Cedar's message says why"""


@dataclass(frozen=True, slots=True)
class GateDecision:
    """The gate's decision on one call, as recorded in the trail."""

    tool: str
    allowed: bool
    reason: str
    # The ids of the deciding policies, sorted: their @id annotation, else Cedar's own id (policy0, ...).
    policies: tuple[str, ...]
    # The decision's trail entry; None when the trail could not record it (then never an allow).
    index: int | None
    # SHA-256 of the arguments' canonical JSON; 32 zero bytes when they had none.
    arguments_hash: bytes
    # Consecutive denials after this decision (0 after an allow).
    denials: int
    # This decision was the tenth denial in a row: the gate locked and the entry carries the
    # signed hard-reset signal.
    hard_reset: bool
    # When only approval policies denied the call and the gate takes approvals: the signed
    # approval request (signed-note text) for an approver; the call may then be retried with
    # the approval (check(..., approval=...)).
    approval_request: str | None = None


class GateDenied(Exception):
    """A guarded call was denied; ``decision`` says why, and the function did not run."""

    def __init__(self, decision: GateDecision) -> None:
        super().__init__(f"{decision.tool}: {decision.reason}")
        self.decision = decision


def example_policy() -> str:
    """The example policy shipped with the package: destructive commands, remote code, system paths,
    credentials and exfiltration are forbidden, every other call is allowed."""
    return resources.files("corvel_charter").joinpath("policies/tool_calls.cedar").read_text(encoding="utf-8")


def _policy_text(policy: str | os.PathLike[str] | cedarpy.PolicySet) -> str:
    if isinstance(policy, cedarpy.PolicySet):
        return str(policy)
    if isinstance(policy, os.PathLike):
        with open(policy, encoding="utf-8") as file:
            return file.read()
    if isinstance(policy, str):
        return policy
    raise TypeError(f"policy: expected Cedar text, a path or a cedarpy.PolicySet, not {type(policy).__name__}")


def _check_member_names(value: object) -> None:
    """json.dumps writes a key 1 or 1.5 as the text "1" or "1.5": two different argument sets
    would then share one canonical form and one hash. Only text keys are JSON member names."""
    if isinstance(value, dict):
        for name, member in value.items():
            if not isinstance(name, str):
                raise TypeError(f"the member name {name!r} is not a string")
            _check_member_names(member)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _check_member_names(item)


def _digest(value: object) -> bytes:
    """SHA-256 of a result: of its canonical JSON when it has one, else of its repr()."""
    try:
        return bytes(ToolArguments.parse(_ENCODER.encode(value)).hash)
    except (TypeError, ValueError, RecursionError, GateError):
        return hashlib.sha256(repr(value).encode("utf-8", "surrogatepass")).digest()


def _error_digest(error: BaseException) -> bytes:
    return hashlib.sha256(f"{type(error).__qualname__}: {error}".encode("utf-8", "surrogatepass")).digest()


def _approval_policy_ids(text: str) -> frozenset[str]:
    """The ids of the forbid policies annotated @approval: a call only they deny may be approved."""
    policies = json.loads(cedarpy.policies_to_json_str(text)).get("staticPolicies", {})
    return frozenset(
        policy.get("annotations", {}).get("id") or name
        for name, policy in policies.items()
        if policy.get("effect") == "forbid" and "approval" in policy.get("annotations", {})
    )


def _parse_policy(text: str, schema: str | None) -> tuple[Any, Any]:
    try:
        policies = cedarpy.PolicySet.from_str(text)
        parsed_schema = cedarpy.Schema.from_str(schema) if schema is not None else None
    except ValueError as refused:
        raise PolicyError(f"The policy does not parse: {refused}") from None
    if parsed_schema is not None:
        validation = cedarpy.validate_policies(text, parsed_schema)
        if not validation.validation_passed:
            errors = "; ".join(str(error) for error in validation.errors)
            raise PolicyError(f"The policy does not validate against the schema: {errors}")
    return policies, parsed_schema


class Gate:
    """Judges an agent's tool calls by a Cedar policy and records every decision in an AuditTrail
    before it returns. Safe to share between threads; decisions are recorded one at a time.

    ``policy`` is Cedar text, a path to a policy file (any ``os.PathLike``) or a parsed
    ``cedarpy.PolicySet``; ``schema``, when given (Cedar schema text or JSON), validates it. A
    policy that does not parse or validate raises PolicyError: the gate never runs without its
    policy. The policy is parsed once, here. Its text is sealed into a charter whose hash, the
    policy's ``fingerprint``, every decision's proof carries; the trail's key signs the proofs."""

    def __init__(
        self,
        policy: str | os.PathLike[str] | cedarpy.PolicySet,
        trail: AuditTrail,
        agent: str,
        *,
        server: str | None = None,
        schema: str | None = None,
        approvers: Sequence[str] = (),
        approval_key: TrailKey | None = None,
        approval_name: str | None = None,
        nonce_store: NonceStore | str = "memory:",
        approval_life: int = 600,
    ) -> None:
        text = _policy_text(policy)
        self._policies, self._schema = _parse_policy(text, schema)
        self._approval_policies = _approval_policy_ids(text)
        # Approvals need someone to trust and a key to sign requests with; without both, a call
        # only approval policies deny stays denied.
        self._approvals: ApprovalChecker | None = None
        if approvers:
            if approval_key is None:
                raise ValueError("approvers need an approval_key to sign the approval requests with")
            store = open_nonce_store(nonce_store) if isinstance(nonce_store, str) else nonce_store
            self._approvals = ApprovalChecker(approvers, store)
        self._approval_key = approval_key
        self._approval_name = approval_name or agent
        if not 1 <= approval_life <= 86400 * 366:
            raise ValueError("approval_life: from 1 second to a year")
        self._approval_life = approval_life
        self._core = ToolGate(trail, text, agent, server)
        self._principal = {"type": "Agent", "id": agent}
        self._server = server
        self._entities: dict[str, Any] = {}
        self._entities_lock = threading.Lock()

    @staticmethod
    def check_policy(policy: str | os.PathLike[str] | cedarpy.PolicySet, schema: str | None = None) -> None:
        """Raise PolicyError, with Cedar's message, if the policy does not parse or does not
        validate against the schema: what making a gate would refuse, without a trail."""
        _parse_policy(_policy_text(policy), schema)

    # ------------------------------------------------------------------ deciding

    def check(self, tool: str, arguments: Mapping[str, Any], *, approval: str | None = None) -> GateDecision:
        """Decide a call of ``tool`` with ``arguments`` and record the decision before returning it.
        Never raises for a failure on the way: it is a denial, with the failure's text. (A tool
        name that is not a str is a TypeError: there is no call to decide.)

        A call that only approval policies deny is denied with an approval request
        (``decision.approval_request``); retried with ``approval`` (the approver's signed note), it
        is allowed once the approval holds for exactly this call and policy and was never used."""
        if not isinstance(tool, str):
            raise TypeError(f"tool: expected str, not {type(tool).__name__}")
        try:
            _check_member_names(arguments)
            prepared = ToolArguments.parse(_ENCODER.encode(arguments))
        except (TypeError, ValueError, RecursionError, GateError) as failure:
            return self._decide(tool, None, "failure", [], f"the arguments are not JSON: {failure}")
        try:
            verdict, policies, failure_text = self._evaluate(tool, prepared)
        except Exception as failure:  # fail closed: whatever Cedar or its input raised
            verdict, policies, failure_text = "failure", [], f"policy evaluation raised {type(failure).__name__}: {failure}"
        if verdict == "deny" and policies and self._approval_policies.issuperset(policies):
            return self._approval_road(tool, prepared, policies, approval)
        return self._decide(tool, prepared, verdict, policies, failure_text)

    def _approval_road(self, tool: str, prepared: Any, policies: list[str], approval: str | None) -> GateDecision:
        """A call only approval policies deny: allowed by a valid approval, else denied with a request."""
        fingerprint = bytes.fromhex(self.fingerprint)
        if self._approvals is None or self._approval_key is None:
            return self._decide(tool, prepared, "deny", policies, "approval required, but this gate takes no approvals")
        if approval is not None:
            try:
                terms = self._approvals.accept(approval, tool=tool, arguments_hash=prepared.hash,
                                               policy_fingerprint=fingerprint)
            except (ApprovalError, TypeError, ValueError) as refused:
                return self._decide(tool, prepared, "failure", [], str(refused))
            nonce = terms["nonce"].hex()
            return self._decide(tool, prepared, "allow", [*policies, f"approval:{nonce}"],
                                "approved, once, by a trusted approver")
        try:
            request = approval_request(self._approval_key, self._approval_name, tool, prepared.hash, fingerprint,
                                       self._approval_life)
            asked = read_approval_request(request)
        except TrailError as failure:
            return self._decide(tool, prepared, "failure", [], f"the approval request could not be made: {failure}")
        decision = self._decide(tool, prepared, "deny", policies,
                                f"approval required (request nonce {asked['nonce'].hex()}, expires {asked['expires']})")
        return dataclasses.replace(decision, approval_request=request if decision.index is not None else None)

    def _evaluate(self, tool: str, prepared: Any) -> tuple[str, list[str], str]:
        request = {
            "principal": self._principal,
            "action": ACTION,
            "resource": {"type": "Tool", "id": tool},
            "context": prepared.context,
        }
        result = cedarpy.is_authorized(request, self._policies, self._tool_entities(tool), schema=self._schema)
        diagnostics = result.diagnostics
        # A policy that errors is skipped by Cedar, so a forbid that failed would let a permit through.
        if diagnostics.errors:
            return "failure", [], "Cedar reported errors: " + "; ".join(diagnostics.errors)
        names = diagnostics.id_annotations_by_reason
        # Sorted: Cedar gives them in no fixed order, and the trail should not vary with that.
        policies = sorted(names.get(reason, reason) or reason for reason in diagnostics.reasons)
        if result.decision == cedarpy.Decision.Allow:
            return "allow", policies, ""
        if result.decision == cedarpy.Decision.Deny:
            return "deny", policies, ""
        return "failure", [], f"Cedar made no decision ({result.decision.value})"

    def _tool_entities(self, tool: str) -> Any:
        entities = self._entities.get(tool)
        if entities is not None:
            return entities
        entity: dict[str, Any] = {"uid": {"type": "Tool", "id": tool}, "attrs": {"name": tool}, "parents": []}
        if self._server is not None:
            entity["parents"].append({"type": "Server", "id": self._server})
        entities = cedarpy.Entities.from_json_str(json.dumps([entity]))
        with self._entities_lock:
            if len(self._entities) < _ENTITY_CACHE_LIMIT:
                self._entities[tool] = entities
        return entities

    def _decide(self, tool: str, prepared: Any, verdict: str, policies: list[str], failure: str) -> GateDecision:
        allowed, reason, ids, index, arguments_hash, denials, hard_reset = self._core.decide(
            tool, prepared, verdict, policies, failure
        )
        return GateDecision(tool, allowed, reason, tuple(ids), index, arguments_hash, denials, hard_reset)

    def record_outcome(
        self, decision: GateDecision, *, result: object = None, error: BaseException | None = None
    ) -> int:
        """Record what came of an allowed call: success with the SHA-256 of ``result`` (of its
        canonical JSON, else of its repr()), or, when ``error`` is given, failure with the SHA-256 of
        the error's type and text. Returns the outcome's trail index. Each allow takes one outcome;
        GateError for any other decision or when the trail cannot record it."""
        if decision.index is None or not decision.allowed:
            raise GateError(f"{decision.tool}: only an allowed, recorded call has an outcome")
        if error is not None:
            return int(self._core.record_outcome(decision.index, False, _error_digest(error)))
        return int(self._core.record_outcome(decision.index, True, _digest(result)))

    # ------------------------------------------------------------------ guarding

    def guard(self, function: Callable[P, R]) -> Callable[P, R]:
        """Decorate a function (plain or async) as a tool named after it: each call's arguments are
        bound by the function's signature (defaults applied, ``*args`` as a list under its name,
        ``**kwargs`` merged in), checked, and the function runs only on an allow; its outcome is
        recorded. A denial raises GateDenied carrying the decision; an outcome the trail cannot
        record raises GateError (after the function ran: nothing unrecorded passes as done). An
        async function's checks and records run in a worker thread (asyncio.to_thread), so a sync
        of the trail never blocks the event loop."""
        guarded: Callable[P, R] = self._guarded(function, function.__name__)
        return guarded

    def tool(self, name: str) -> _Decorator:
        """The same as guard, under the tool name ``name``: ``@gate.tool("fetch")``"""

        def decorate(function: Callable[P, R]) -> Callable[P, R]:
            guarded: Callable[P, R] = self._guarded(function, name)
            return guarded

        return decorate

    def _guarded(self, function: Callable[..., Any], tool: str) -> Callable[..., Any]:
        signature = inspect.signature(function)

        def bound(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
            binding = signature.bind(*args, **kwargs)
            binding.apply_defaults()
            arguments: dict[str, Any] = {}
            for name, value in binding.arguments.items():
                # **kwargs are arguments in their own right, not one argument named after them.
                if signature.parameters[name].kind is inspect.Parameter.VAR_KEYWORD:
                    arguments.update(value)
                else:
                    arguments[name] = value
            return arguments

        if inspect.iscoroutinefunction(function):

            @functools.wraps(function)
            async def guarded_async(*args: Any, **kwargs: Any) -> Any:
                decision = await asyncio.to_thread(self.check, tool, bound(args, kwargs))
                if not decision.allowed:
                    raise GateDenied(decision)
                try:
                    result = await function(*args, **kwargs)
                except BaseException as error:
                    await asyncio.to_thread(self.record_outcome, decision, error=error)
                    raise
                await asyncio.to_thread(self.record_outcome, decision, result=result)
                return result

            return guarded_async

        @functools.wraps(function)
        def guarded(*args: Any, **kwargs: Any) -> Any:
            decision = self.check(tool, bound(args, kwargs))
            if not decision.allowed:
                raise GateDenied(decision)
            try:
                result = function(*args, **kwargs)
            except BaseException as error:
                self.record_outcome(decision, error=error)
                raise
            self.record_outcome(decision, result=result)
            return result

        return guarded

    # ------------------------------------------------------------------ state

    def acknowledge_reset(self) -> None:
        """Unlock the gate after a hard reset and clear its count of denials"""
        self._core.acknowledge_reset()

    @property
    def locked(self) -> bool:
        """Whether ten consecutive denials locked the gate; every call is denied until the reset is
        acknowledged"""
        return bool(self._core.locked)

    @property
    def denials(self) -> int:
        """The current run of consecutive denials"""
        return int(self._core.denials)

    @property
    def fingerprint(self) -> str:
        """The policy's fingerprint: SHA-256 of the policy text as a one-rule charter, 64 hex digits"""
        return str(self._core.fingerprint)

    @property
    def agent(self) -> str:
        """The agent, the principal of every request"""
        return str(self._core.agent)

    @property
    def trail(self) -> AuditTrail:
        """The AuditTrail that records every decision"""
        trail: AuditTrail = self._core.trail
        return trail

    def __repr__(self) -> str:
        state = "locked" if self.locked else f"denials={self.denials}"
        return f"Gate(agent={self.agent!r}, fingerprint={self.fingerprint[:16]}..., {state})"
