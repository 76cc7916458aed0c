"""Approvals bound to one exact call and good once.

A gate that may not allow a call by itself issues an approval request: a signed note naming the
tool, the SHA-256 of the call's canonical arguments, the fingerprint of the policy in force, a
fresh nonce and an expiry (:func:`corvel_charter.approval_request`). A person or service that
agrees signs the same terms with a key of its own (:func:`corvel_charter.approve`, or
``corvel-charter approve REQUEST --key KEY --name NAME``). The call is then retried with the
approval, and :class:`ApprovalChecker` accepts it only if, in this order:

1. it is a well-formed approval signed by one of the trusted approver keys;
2. it names this tool, this call's arguments hash and the policy fingerprint in force;
3. it is not dated more than 300 s ahead of this clock and has not expired;
4. its nonce was never used before in the nonce store (memory, SQLite or Redis): the store
   records it, so a second use, by this process or any other sharing the store, is refused.

Every refusal raises :class:`corvel_charter.ApprovalError` whose message names the condition that
failed. A nonce store that cannot answer refuses the approval (fail closed).
"""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import TypedDict, cast

from corvel_charter import ApprovalError, check_approval
from corvel_charter.nonce_stores import NonceReusedError, NonceStore, NonceStoreError

__all__ = ["APPROVAL_CLOCK_TOLERANCE", "ApprovalChecker", "ApprovalTerms"]

# How far ahead of this clock an approval may be dated; also how long past its expiry its nonce
# is kept, so that a checker whose clock runs that much behind still finds it used.
APPROVAL_CLOCK_TOLERANCE = 300


class ApprovalTerms(TypedDict):
    """What an approval request asks and an approval grants."""

    tool: str
    arguments_hash: bytes
    policy_fingerprint: bytes
    nonce: bytes
    issued: int
    expires: int


class ApprovalChecker:
    """Accepts each approval once: signed by a trusted key, for exactly this call and policy,
    within its life, its nonce recorded in ``store``. Safe to share between threads when the store
    is (every store of corvel_charter.nonce_stores is)."""

    def __init__(self, trusted_keys: Sequence[str], store: NonceStore) -> None:
        if isinstance(trusted_keys, str):
            trusted_keys = [trusted_keys]
        if not trusted_keys:
            raise ValueError("an approval checker needs at least one trusted approver key")
        self.trusted_keys = list(trusted_keys)
        self.store = store

    def accept(
        self,
        approval: str,
        *,
        tool: str,
        arguments_hash: bytes,
        policy_fingerprint: bytes,
        now: int | None = None,
    ) -> ApprovalTerms:
        """The approval's terms, once; raises ApprovalError naming what does not hold."""
        now = int(time.time()) if now is None else now
        terms = cast(
            ApprovalTerms, check_approval(approval, self.trusted_keys, tool, arguments_hash, policy_fingerprint, now)
        )
        life = max(1, terms["expires"] - now + APPROVAL_CLOCK_TOLERANCE)
        try:
            self.store.check_and_insert(terms["nonce"], life)
        except NonceReusedError:
            raise ApprovalError(
                f"Approval refused: it was used before (nonce {terms['nonce'].hex()}); an approval is good once"
            ) from None
        except NonceStoreError as error:
            raise ApprovalError(f"Approval refused: the nonce store cannot record its use: {error}") from error
        return terms
