"""Corvel Charter Python module

Provides tamper-evident cryptographic framework for AI accountability.

# Example

```python
import corvel_charter as cc

# Create and seal charter
charter = cc.SealedCharter(rules=["Do no harm", "Respect privacy"])
charter.seal()

# Verify action
action = cc.Action.delete_file("user_data.txt")
proof = charter.verify_action(action)

# Audit proof
auditor = cc.ProofAuditor()
auditor.verify_proof(proof)
```
"""

# The package re-exports the native module, whose stubs are _corvel_core-stubs.
import asyncio
import os
from types import TracebackType

from _corvel_core import *
from _corvel_core import __author__ as __author__
from _corvel_core import __version__ as __version__

# The audit trail (corvel_charter._trail): a durable, signed record of decisions that anyone
# holding its public key verifies offline.
from typing import Any, Callable, ClassVar, Literal, Sequence, final

__all__ = [
    "SealedCharter",
    "Action",
    "Proof",
    "ProofAuditor",
    "ConsensusEngine",
    "SoftwareKeyStore",
    "MemoryNonceStore",
    "AuditLogger",
    "AuditEntry",
    "Watchdog",
    "ViolationCounter",
    "DenialProof",
    "HardResetSignal",
    "WatchdogResult",
    "max_violations",
    "CharterError",
    "CryptoError",
    "AuditorError",
    "ConsensusError",
    "AibomError",
    "WatchdogError",
    "__version__",
    "__author__",
    "AuditTrail",
    "Decision",
    "TrailError",
    "TrailIntegrityError",
    "TrailKey",
    "TrailKeyError",
    "TrailPublicKey",
    "TrailSummary",
    "prove",
    "prove_consistency",
    "verify_consistency",
    "verify_evidence",
    "verify_trail",
    "ApprovalError",
    "approval_request",
    "approve",
    "check_approval",
    "read_approval_request",
]

from _corvel_core import Action, Proof, WatchdogResult

class TrailError(Exception):
    """Audit trail error"""

class TrailIntegrityError(TrailError):
    """The audit trail is not what its key signed: a broken chain or an invalid signature"""

class TrailKeyError(TrailError):
    """Audit trail key error"""

@final
class TrailKey:
    """The audit trail's Ed25519 signing key"""
    @staticmethod
    def generate() -> TrailKey:
        """A new key from the operating system's random source"""
    @staticmethod
    def load(path: str | os.PathLike[str]) -> TrailKey:
        """Load a PKCS#8 PEM key file; the file must be readable by its owner only"""
    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the key as a new PKCS#8 PEM file with mode 0600; never overwrites"""
    @property
    def public_key(self) -> TrailPublicKey:
        """The public key, for verifiers"""

@final
class TrailPublicKey:
    """The public half of a trail key: all a verifier needs"""
    @staticmethod
    def parse(text: str) -> TrailPublicKey:
        """A public key from SPKI PEM, 64 hex digits or a signed-note verifier key"""
    @staticmethod
    def load(path: str | os.PathLike[str]) -> TrailPublicKey:
        """A public key from a file holding any form parse() takes"""
    @staticmethod
    def from_bytes(data: bytes) -> TrailPublicKey:
        """A public key from its 32 bytes"""
    def hex(self) -> str:
        """The key as 64 lower-case hex digits"""
    def pem(self) -> str:
        """The key as SPKI PEM text"""
    def verifier_key(self, name: str) -> str:
        """The signed-note verifier key text under a key name"""
    @property
    def raw(self) -> bytes:
        """The key's 32 bytes"""
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Decision:
    """The decision recorded for an action: Decision.approved() or Decision.denied(reason)"""
    @staticmethod
    def approved() -> Decision:
        """The action was allowed"""
    @staticmethod
    def denied(reason: str) -> Decision:
        """The action was refused, for this reason"""
    @property
    def reason(self) -> str | None:
        """Why it was refused; None when approved"""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class AuditTrail:
    """The one writer of a signed, hash-chained audit trail file. An existing file is verified under
    the key first; by default every append is synced to disk before it returns. With a checkpoint
    origin, every sync also writes a signed checkpoint beside the trail. Without one, a checkpoint
    already beside the trail is kept current under its own origin; checkpoint_origin=False leaves
    it alone."""
    def __new__(
        cls,
        path: str | os.PathLike[str],
        key: TrailKey,
        sync_every: int = 1,
        sync_interval: float | None = None,
        checkpoint_origin: str | Literal[False] | None = None,
    ) -> AuditTrail: ...
    def append(self, action: Action, proof: Proof, decision: Decision | WatchdogResult) -> tuple[int, bytes]:
        """Record one decision: the action, the proof issued for it, and a Decision or a
        WatchdogResult. Returns (index, current_hash)."""

    def append_async(
        self, action: Action, proof: Proof, decision: Decision | WatchdogResult
    ) -> asyncio.Future[tuple[int, bytes]]:
        """An awaitable append for asyncio: the append and its sync run in the event loop's
        default executor, never blocking the loop. Awaiting it returns (index, current_hash),
        once the entry is as durable as append makes it; concurrent ones share their syncs."""
    def sync(self) -> None:
        """Make every appended entry durable; with a checkpoint origin, also write the checkpoint
        beside the trail (the first sync after opening does even with nothing new)"""
    def checkpoint(self, origin: str) -> str:
        """A signed checkpoint of the trail as it stands (synced first), as signed-note text under
        the origin"""
    def close(self) -> None:
        """Sync, release the file's lock and close it"""
    def __enter__(self) -> AuditTrail: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the trail"""
    @property
    def count(self) -> int:
        """The number of entries"""
    @property
    def head_hash(self) -> bytes:
        """current_hash of the last entry (32 zero bytes when empty)"""
    @property
    def path(self) -> str:
        """The trail file's path"""
    @property
    def checkpoint_origin(self) -> str | None:
        """The origin of the checkpoint kept current beside the trail, or None"""
    @property
    def public_key(self) -> TrailPublicKey:
        """The public key that verifies the trail"""
    @property
    def repaired_bytes(self) -> int | None:
        """Bytes removed when opening repaired an append cut short (0 when it only finished the
        closing line), or None"""

@final
class TrailSummary:
    """What a verified trail holds: its entry count and head"""
    @property
    def count(self) -> int:
        """The number of entries"""
    @property
    def head_index(self) -> int | None:
        """The index of the last entry, or None"""
    @property
    def head_hash(self) -> bytes | None:
        """current_hash of the last entry, or None"""

def verify_trail(
    path: str | os.PathLike[str],
    public_key: TrailPublicKey | str | bytes,
    progress: Callable[[int, int], object] | None = None,
    checkpoint: str | None = None,
    full: bool = False,
) -> TrailSummary:
    """Verify a trail file with its public key: the layout, index continuity, the chain, every
    signature and no repeated proof nonce; with a checkpoint (signed-note text), also that the file
    holds exactly the tree it signs, and the checkpoint's signature then stands for the entries'
    own signatures in the prefix it covers (full=True checks them too). A public key given as a verifier key text names the trail:
    the checkpoint's origin must be its name. Returns a TrailSummary; raises TrailIntegrityError or
    TrailError at the first failure. progress(done_bytes, total_bytes) is called now and then."""

def prove(path: str | os.PathLike[str], index: int) -> str:
    """Portable evidence (JSON text) of entry `index`: the entry, its inclusion proof and the
    checkpoint kept beside the trail; an index outside 0 to 2**64-1 raises TrailError"""

def verify_evidence(evidence: str, verifier_key: str) -> dict[str, int | str | bytes]:
    """Verify an evidence document offline with the trail's verifier key text (white space around
    it ignored; the checkpoint's origin must be the key's name); returns its index, tree_size,
    origin and current_hash"""

def prove_consistency(old_checkpoint: str, path: str | os.PathLike[str], verifier_key: str | None = None) -> str:
    """The consistency proof (JSON text) that the trail extends an older checkpoint of it, checked
    before it is returned; with the trail's verifier key text, both checkpoints must also be
    signed by it under its name"""

def verify_consistency(document: str, verifier_key: str) -> dict[str, int | str]:
    """Verify a consistency document offline with the trail's verifier key text: both
    checkpoints signed by the key under its name, and the proof that the old tree is a prefix of
    the new; returns its origin, old_size and new_size"""

class ApprovalError(TrailError):
    """An approval request or approval was refused; the message names the condition that failed"""

def approval_request(
    key: TrailKey, name: str, tool: str, arguments_hash: bytes, policy_fingerprint: bytes, life_seconds: int
) -> str:
    """A signed approval request (signed-note text) for one call: a fresh nonce, issued now, expiring
    life_seconds later; signed by key under the note key name"""

def read_approval_request(request: str, gate_key: str | Sequence[str] | None = None) -> dict[str, Any]:
    """The terms of an approval request as a dict (tool, arguments_hash, policy_fingerprint, nonce,
    issued, expires); with gate_key (verifier-key texts), the request must be signed by one of them"""

def approve(request: str, key: TrailKey, name: str, gate_key: str | Sequence[str] | None = None) -> str:
    """The approval (signed-note text) of an approval request, signed by the approver's key under the
    note key name; with gate_key, the request's signature is checked first"""

def check_approval(
    approval: str,
    trusted_keys: str | Sequence[str],
    tool: str,
    arguments_hash: bytes,
    policy_fingerprint: bytes,
    now: int | None = None,
) -> dict[str, Any]:
    """Checks that an approval holds for this call: signed by a trusted key, an approval (not a
    request), for this tool, arguments and policy, not dated ahead of now by more than 300 s, not
    expired. Returns its terms; the caller records its nonce once. Raises ApprovalError naming the
    first condition that fails"""
