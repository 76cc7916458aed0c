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

from types import TracebackType
from typing import Final, Literal, Sequence, SupportsFloat, SupportsIndex, final

__version__: Final[str]
__author__: Final[str]
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
]

@final
class SealedCharter:
    """Python wrapper for SealedCharter

    Represents a cryptographically sealed set of ethical rules that governs
    AI decision-making with tamper-evident accountability.

    # Example

    ```python
    charter = SealedCharter(rules=["Do no harm", "Respect privacy"])
    charter.seal()
    action = Action.delete_file("data.txt")
    proof = charter.verify_action(action)
    ```
    """
    def __new__(cls, rules: Sequence[str]) -> SealedCharter: ...
    def seal(self) -> None:
        """Seal the charter, making it immutable

        After sealing, the charter's rules cannot be modified.
        This is a cryptographically enforced guarantee.

        Raises:
            CharterError: If already sealed

        Example:
            >>> charter.seal()
        """
    def is_sealed(self) -> bool:
        """Check if the charter is sealed

        Returns:
            bool: True if sealed, False otherwise

        Example:
            >>> charter.is_sealed()
            False
            >>> charter.seal()
            >>> charter.is_sealed()
            True
        """
    def rules(self) -> list[str]:
        """Get the charter's rules

        Returns:
            list[str]: The immutable rule set

        Example:
            >>> print(charter.rules())
            ['Do no harm', 'Respect privacy']
        """
    def charter_hash(self) -> str | None:
        """Get the charter's cryptographic hash

        Returns:
            str: Hex-encoded SHA-256 hash of the sealed charter

        Example:
            >>> print(charter.charter_hash()[:16] + "...")
            70aab6c3292ba4e3...
        """
    def verify_action(self, action: Action) -> Proof:
        """Verify an action against the charter rules

        Args:
            action (Action): The action to verify

        Returns:
            Proof: Cryptographic proof of verification result

        Raises:
            CharterError: If charter is not sealed
            CryptoError: If signature generation fails

        Example:
            >>> action = Action.delete_file("data.txt")
            >>> proof = charter.verify_action(action)
            >>> print(proof.approved)
            True
        """
    def __enter__(self) -> SealedCharter: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_value: BaseException | None = None,
        _traceback: TracebackType | None = None,
    ) -> Literal[False]: ...
    def diagnostics(self) -> dict[str, object]:
        """Get diagnostic information

        Returns:
            dict: Diagnostic data including version, sealed status, rule count
        """

@final
class Action:
    """Python wrapper for Action"""
    @staticmethod
    def delete_file(file_path: str) -> Action:
        """Create a file deletion action"""
    @staticmethod
    def read_file(file_path: str) -> Action:
        """Create a file read action"""
    @staticmethod
    def write_file(file_path: str, content: bytes | bytearray | Sequence[SupportsIndex]) -> Action:
        """Create a file write action"""
    @staticmethod
    def execute_command(command: str) -> Action:
        """Create a command execution action"""
    def action_hash(self) -> str:
        """Get the action hash"""
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Proof:
    """Python wrapper for Proof"""
    @property
    def approved(self) -> bool:
        """Check if the action was approved"""
    @property
    def charter_hash(self) -> str:
        """Get the charter/capsule hash"""
    @property
    def action_hash(self) -> str:
        """Get the action hash"""
    @property
    def ttl_seconds(self) -> int:
        """Get the time-to-live in seconds"""
    def signature_hex(self) -> str:
        """Get the cryptographic signature"""
    def signature_bytes(self) -> bytes:
        """Get the signature as bytes"""
    def nonce_hex(self) -> str:
        """Get the cryptographic nonce"""
    def nonce_bytes(self) -> bytes:
        """Get the nonce as bytes"""
    def timestamp(self) -> int:
        """Get the timestamp as Unix epoch seconds"""
    def timestamp_string(self) -> str:
        """Get the timestamp as ISO 8601 string"""
    def is_expired(self) -> bool:
        """Check if the proof has expired"""
    def denial_reason(self) -> str | None:
        """Get the denial reason (if denied)"""
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class ProofAuditor:
    """Python wrapper for ProofAuditor"""
    def __new__(cls) -> ProofAuditor: ...
    def verify_proof(self, proof: Proof) -> None:
        """Verify a proof"""

@final
class ConsensusEngine:
    """Python wrapper for ConsensusEngine"""
    def __new__(cls, required_sources: SupportsIndex = 3, tolerance: SupportsFloat | SupportsIndex = 0.1) -> ConsensusEngine: ...

@final
class SoftwareKeyStore:
    """Software-based KeyStore"""
    @staticmethod
    def generate() -> SoftwareKeyStore:
        """Generate a new Ed25519 keypair"""

@final
class MemoryNonceStore:
    """In-memory nonce store"""
    def __new__(cls) -> MemoryNonceStore: ...
    def contains(self, nonce: bytes | bytearray | Sequence[SupportsIndex]) -> bool:
        """Check if a nonce exists"""

@final
class AuditLogger:
    """Python wrapper for AuditLogger"""
    def __new__(cls, log_path: str) -> AuditLogger: ...
    def entry_count(self) -> int:
        """Get the total number of audit entries"""

@final
class AuditEntry:
    """Python wrapper for AuditEntry"""
    @property
    def index(self) -> int:
        """Get the entry index"""
    @property
    def timestamp(self) -> int:
        """Get the entry timestamp"""

@final
class Watchdog:
    """The Watchdog - Iron Discipline Enforcement Engine

    Monitors actions and enforces SealedCharter rules.
    After 10 consecutive violations, triggers hard reset.

    # Example

    ```python
    watchdog = Watchdog(rules=["Do no harm"], capsule_hash=charter.charter_hash())
    result = watchdog.verify_action(Action.delete_file("/etc/passwd"))
    if result.hard_reset_required:
        restart(result.hard_reset_signal)
    elif not result.approved:
        print(result.denial_proof.denial_reason)
    ```
    """
    def __new__(cls, rules: Sequence[str], capsule_hash: str) -> Watchdog: ...
    def verify_action(self, action: Action) -> WatchdogResult:
        """Verify an action against rules

        Returns WatchdogResult with:
        - approved=True if action is allowed
        - denial_proof if action is denied
        - hard_reset_required=True if 10th violation
        """
    def report_success(self) -> None:
        """Report successful action (resets counter)"""
    def acknowledge_reset(self) -> None:
        """Acknowledge hard reset (unlock watchdog)

        Call after:
        1. Clearing all context
        2. Verifying charter is unchanged
        3. Ready to restart
        """
    def is_locked(self) -> bool:
        """Check if watchdog is locked (hard reset required)"""
    def violation_count(self) -> int:
        """Get current violation count"""
    def rules(self) -> list[str]:
        """Get rules (read-only)"""
    def capsule_hash(self) -> str:
        """Get capsule hash"""

@final
class ViolationCounter:
    """Thread-safe violation counter (zero-allocation)

    # Example

    ```python
    counter = ViolationCounter()
    counter.increment()       # 1
    counter.is_max_reached()  # False
    counter.reset()
    ```
    """
    def __new__(cls) -> ViolationCounter: ...
    def count(self) -> int:
        """Get current violation count"""
    def increment(self) -> int:
        """Increment violation count"""
    def reset(self) -> None:
        """Reset violation count to zero"""
    def is_max_reached(self) -> bool:
        """Check if maximum violations (10) reached"""
    def is_locked(self) -> bool:
        """Check if watchdog is locked"""

@final
class DenialProof:
    """Cryptographic proof of rule violation

    Contains Ed25519 signed evidence of why an action was denied.

    # Example

    ```python
    result = watchdog.verify_action(Action.delete_file("/etc/passwd"))
    proof = result.denial_proof
    print(proof.violated_rule, proof.denial_reason, proof.violation_count)
    assert proof.is_signed()
    ```
    """
    def nonce(self) -> bytes:
        """Get nonce as bytes"""
    def action_hash(self) -> bytes:
        """Get action hash as bytes"""
    def is_signed(self) -> bool:
        """Whether proof is cryptographically signed"""
    def signature_hex(self) -> str:
        """Get signature as hex string"""
    @property
    def timestamp(self) -> int:
        """Unix timestamp of denial"""
    @property
    def violated_rule(self) -> str:
        """The rule that was violated"""
    @property
    def denial_reason(self) -> str:
        """Human-readable denial reason"""
    @property
    def violation_count(self) -> int:
        """Current violation count (1-10)"""
    @property
    def triggered_hard_reset(self) -> bool:
        """Whether this denial triggered a hard reset"""

@final
class HardResetSignal:
    """Signal that hard reset is required

    Returned after 10 consecutive violations.
    The AI runtime MUST clear all context and restart.
    """
    @property
    def total_violations(self) -> int:
        """Total violations that triggered reset"""
    @property
    def charter_hash(self) -> str:
        """Charter hash (for verification after restart)"""
    @property
    def reset_timestamp(self) -> int:
        """Timestamp of reset signal"""
    @property
    def final_denial(self) -> DenialProof:
        """Get the final denial proof that triggered reset"""

@final
class WatchdogResult:
    """Result of action verification

    Contains either:
    - approved=True (action allowed)
    - approved=False + denial_proof (action denied, but not 10th violation)
    - hard_reset_required=True + hard_reset_signal (10th violation, must reset)
    """
    @property
    def approved(self) -> bool:
        """Whether action was approved"""
    @property
    def denial_proof(self) -> DenialProof | None:
        """Denial proof (if action was denied)"""
    @property
    def hard_reset_required(self) -> bool:
        """Whether hard reset is required"""
    @property
    def hard_reset_signal(self) -> HardResetSignal | None:
        """Hard reset signal (if reset required)"""

def max_violations() -> int:
    """Maximum violations before hard reset (10)"""

class CharterError(Exception):
    """Corvel Charter error"""

class CryptoError(Exception):
    """Cryptographic operation error"""

class AuditorError(Exception):
    """Proof auditor error"""

class ConsensusError(Exception):
    """Consensus engine error"""

class AibomError(Exception):
    """AI-BOM verification error"""

class WatchdogError(Exception):
    """Watchdog enforcement error (v1.7.0)"""
