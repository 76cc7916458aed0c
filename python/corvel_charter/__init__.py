"""Corvel Charter: tamper-evident cryptographic accountability for AI agent runtimes.

Every name of the native module ``_corvel_core`` is re-exported here; see its docstring for
the documented road (seal a charter, verify an action, audit the proof).
"""

import _corvel_core
from _corvel_core import *  # noqa: F401,F403  (the native module's __all__)
from _corvel_core import __author__, __version__

from corvel_charter._trail import (
    ApprovalError,
    AuditTrail,
    Decision,
    TrailError,
    TrailIntegrityError,
    TrailKey,
    TrailKeyError,
    TrailPublicKey,
    TrailSummary,
    approval_request,
    approve,
    check_approval,
    prove,
    prove_consistency,
    verify_consistency,
    read_approval_request,
    verify_evidence,
    verify_trail,
)

# The audit trail: a durable, signed record of decisions that anyone holding its public key
# verifies offline.
_TRAIL_NAMES = [
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
]

# Approvals of single tool calls, good once (see corvel_charter.approvals).
_APPROVAL_NAMES = ["ApprovalError", "approval_request", "approve", "check_approval", "read_approval_request"]

__all__ = list(_corvel_core.__all__) + _TRAIL_NAMES + _APPROVAL_NAMES
__doc__ = _corvel_core.__doc__

del _corvel_core
