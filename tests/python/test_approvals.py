"""Approvals of single tool calls: bound to the exact call and policy, within their life, signed by
a trusted approver, and good once in whichever nonce store the checkers share."""

import base64
import hashlib
import json
import subprocess
import sys
import time

import pytest

import corvel_charter as cc
from corvel_charter.approvals import ApprovalChecker
from corvel_charter.nonce_stores import MemoryStore, RedisStore, SQLiteStore, open_nonce_store

ARGUMENTS = hashlib.sha256(b'{"path":"/srv/data","recursive":true}').digest()
POLICY = hashlib.sha256(b"permit(principal, action, resource);").digest()
GATE_KEY = cc.TrailKey.generate()
ALICE_KEY = cc.TrailKey.generate()
GATE_VKEY = GATE_KEY.public_key.verifier_key("gate.example/agent-7")
ALICE_VKEY = ALICE_KEY.public_key.verifier_key("alice")


def request(tool="delete_tree", life=600):
    return cc.approval_request(GATE_KEY, "gate.example/agent-7", tool, ARGUMENTS, POLICY, life)


def approval(tool="delete_tree", life=600):
    return cc.approve(request(tool, life), ALICE_KEY, "alice", GATE_VKEY)


def accept(checker, note, *, tool="delete_tree", arguments=ARGUMENTS, policy=POLICY, now=None):
    return checker.accept(note, tool=tool, arguments_hash=arguments, policy_fingerprint=policy, now=now)


class TestTheRoad:
    def test_a_request_approved_and_used_once(self):
        note = request()
        terms = cc.read_approval_request(note, GATE_VKEY)
        assert terms["tool"] == "delete_tree" and terms["arguments_hash"] == ARGUMENTS
        assert terms["policy_fingerprint"] == POLICY and terms["expires"] - terms["issued"] == 600
        approved = cc.approve(note, ALICE_KEY, "alice", GATE_VKEY)
        checker = ApprovalChecker([ALICE_VKEY], MemoryStore())
        granted = accept(checker, approved)
        assert granted["nonce"] == terms["nonce"] and granted["tool"] == "delete_tree"
        with pytest.raises(cc.ApprovalError, match=r"used before \(nonce [0-9a-f]{64}\); an approval is good once"):
            accept(checker, approved)

    def test_every_request_has_a_nonce_of_its_own(self):
        nonces = {cc.read_approval_request(request())["nonce"] for _ in range(20)}
        assert len(nonces) == 20


class TestRefusals:
    """Each condition refused with its own message, and nothing recorded for a refused approval."""

    @pytest.fixture
    def checker(self):
        return ApprovalChecker([ALICE_VKEY], MemoryStore())

    def test_each_condition_has_its_own_message(self, checker):
        note = approval()
        issued = cc.check_approval(note, ALICE_VKEY, "delete_tree", ARGUMENTS, POLICY)["issued"]
        other = hashlib.sha256(b"other").digest()
        cases = [
            (dict(tool="read_file"), 'it approves a call of tool "delete_tree", not this one'),
            (dict(arguments=other), f"it approves other arguments \\(SHA-256 {ARGUMENTS.hex()}\\), not this call's"),
            (dict(policy=other), f"it was asked under another policy \\(fingerprint {POLICY.hex()}\\)"),
            (dict(now=issued + 601), f"it has expired \\(expires {issued + 600}, now {issued + 601}\\)"),
            (dict(now=issued - 301), f"it is dated more than 300 s ahead of this clock \\(issued {issued}, now {issued - 301}\\)"),
        ]
        for change, message in cases:
            with pytest.raises(cc.ApprovalError, match="^Approval refused: " + message):
                accept(checker, note, **change)
        # The edges pass: dated exactly 300 s ahead, and at the second of its expiry.
        assert accept(ApprovalChecker([ALICE_VKEY], MemoryStore()), note, now=issued - 300)["issued"] == issued
        assert accept(checker, note, now=issued + 600)["issued"] == issued

    def test_a_key_that_is_not_trusted(self, checker):
        mallory = cc.TrailKey.generate()
        forged = cc.approve(request(), mallory, "alice")  # the same name, another key
        with pytest.raises(cc.ApprovalError, match="^Approval refused: it is not signed by a trusted approver key$"):
            accept(checker, forged)
        with pytest.raises(cc.ApprovalError, match="not signed by a trusted approver key"):
            accept(checker, cc.approve(request(), mallory, "mallory"))

    def test_a_tampered_signature_or_text(self, checker):
        note = approval()
        text, _, signature_line = note.rpartition("\n\n")
        prefix, _, encoded = signature_line.rstrip("\n").rpartition(" ")
        raw = bytearray(base64.b64decode(encoded))
        raw[10] ^= 1
        tampered = f"{text}\n\n{prefix} {base64.b64encode(bytes(raw)).decode()}\n"
        with pytest.raises(cc.ApprovalError, match="^Approval refused: the signature by trusted key alice does not verify$"):
            accept(checker, tampered)
        stretched = note.replace("\nexpires ", "\nexpires 9")
        with pytest.raises(cc.ApprovalError, match="signature by trusted key alice does not verify"):
            accept(checker, stretched)

    def test_a_request_is_not_an_approval(self, checker):
        gate_as_approver = ApprovalChecker([GATE_VKEY], MemoryStore())
        with pytest.raises(cc.ApprovalError, match="^Not an approval: this is an approval request"):
            accept(gate_as_approver, request())
        with pytest.raises(cc.ApprovalError, match="^Not an approval request: this is already an approval"):
            cc.approve(approval(), ALICE_KEY, "alice")

    def test_an_approver_checking_the_gate_refuses_a_forged_request(self):
        forged = cc.approval_request(ALICE_KEY, "gate.example/agent-7", "delete_tree", ARGUMENTS, POLICY, 600)
        with pytest.raises(cc.ApprovalError, match="not signed by a trusted approver key|signature by trusted key"):
            cc.approve(forged, ALICE_KEY, "alice", GATE_VKEY)

    @pytest.mark.parametrize(
        "damage, message",
        [
            (lambda n: n.replace("corvel-charter approval v1", "corvel-charter approval v2"), "does not verify"),
            (lambda n: "no note at all", "Malformed approval"),
            (lambda n: n.replace("\n\n", "\n"), "Malformed approval"),
        ],
    )
    def test_malformed_notes(self, checker, damage, message):
        with pytest.raises(cc.ApprovalError, match=message):
            accept(checker, damage(approval()))

    def test_bad_terms_are_refused_before_signing(self):
        for tool in ["", "a\nb", "x" * 1025, "tab\there"]:
            with pytest.raises(cc.ApprovalError, match="^Invalid approval terms"):
                cc.approval_request(GATE_KEY, "gate", tool, ARGUMENTS, POLICY, 600)
        with pytest.raises(cc.ApprovalError, match="at least one second"):
            cc.approval_request(GATE_KEY, "gate", "tool", ARGUMENTS, POLICY, 0)
        with pytest.raises(ValueError, match="32 bytes"):
            cc.approval_request(GATE_KEY, "gate", "tool", ARGUMENTS[:31], POLICY, 600)
        with pytest.raises(cc.TrailKeyError, match="Invalid note key name"):
            cc.approval_request(GATE_KEY, "two words", "tool", ARGUMENTS, POLICY, 600)

    def test_a_refused_approval_consumes_nothing(self, checker):
        note = approval()
        with pytest.raises(cc.ApprovalError):
            accept(checker, note, tool="other")
        assert checker.store.count() == 0
        accept(checker, note)

    def test_a_store_that_cannot_answer_refuses(self, tmp_path):
        store = SQLiteStore(tmp_path / "nonces.db")
        store.close()
        with pytest.raises(cc.ApprovalError, match="^Approval refused: the nonce store cannot record its use"):
            accept(ApprovalChecker([ALICE_VKEY], store), approval())


REPLAY = """
import sys
import corvel_charter as cc
from corvel_charter.approvals import ApprovalChecker
from corvel_charter.nonce_stores import open_nonce_store
checker = ApprovalChecker([sys.argv[2]], open_nonce_store(sys.argv[1]))
note = sys.stdin.read()
try:
    checker.accept(note, tool="delete_tree", arguments_hash=bytes.fromhex(sys.argv[3]),
                   policy_fingerprint=bytes.fromhex(sys.argv[4]))
    print("accepted")
except cc.ApprovalError as error:
    print(error)
"""


@pytest.mark.parametrize("kind", ["sqlite", "redis"])
def test_an_approval_replayed_in_another_process_or_after_a_restart_is_refused(kind, tmp_path, redis_server):
    url = f"sqlite:///{tmp_path}/nonces.db" if kind == "sqlite" else f"{redis_server.url}?prefix=replay-{tmp_path.name}:"
    note = approval()

    def other_process():
        child = subprocess.run(
            [sys.executable, "-c", REPLAY, url, ALICE_VKEY, ARGUMENTS.hex(), POLICY.hex()],
            input=note, capture_output=True, text=True, timeout=60,
        )
        assert child.returncode == 0, child.stderr
        return child.stdout.strip()

    with open_nonce_store(url) as store:
        accept(ApprovalChecker([ALICE_VKEY], store), note)
    assert other_process().startswith("Approval refused: it was used before")
    # And the other way round: accepted elsewhere first, refused here by a fresh checker.
    note = approval()
    assert other_process() == "accepted"
    store = SQLiteStore(tmp_path / "nonces.db") if kind == "sqlite" else RedisStore(redis_server.url, prefix=f"replay-{tmp_path.name}:")
    with pytest.raises(cc.ApprovalError, match="used before"):
        accept(ApprovalChecker([ALICE_VKEY], store), note)


def test_the_approve_command(tmp_path):
    key_file = tmp_path / "alice.key"
    ALICE_KEY.save(str(key_file))
    request_file = tmp_path / "request.note"
    request_file.write_text(request())
    command = [sys.executable, "-m", "corvel_charter", "approve", str(request_file), "--key", str(key_file),
               "--name", "alice", "--gate-key", GATE_VKEY]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "approving a call of tool 'delete_tree'" in done.stderr and ARGUMENTS.hex() in done.stderr
    checker = ApprovalChecker([ALICE_VKEY], MemoryStore())
    assert accept(checker, done.stdout)["tool"] == "delete_tree"
    # A request the gate did not sign: one line, no traceback, nothing printed on stdout.
    request_file.write_text(cc.approval_request(ALICE_KEY, "gate.example/agent-7", "t", ARGUMENTS, POLICY, 60))
    refused = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr.startswith("error: ") and "Traceback" not in refused.stderr
    # A key file that is not there is a usage error (2), and still nothing is written.
    missing_key = subprocess.run(command[:6] + [str(tmp_path / "nobody.key")] + command[7:],
                                 capture_output=True, text=True, timeout=60)
    assert missing_key.returncode == 2 and missing_key.stdout == "" and "nobody.key" in missing_key.stderr


# ---------------------------------------------------------------- approvals in the gate

GATE_POLICY = """
@id("allow") permit (principal, action, resource);
@id("delete-needs-approval") @approval("required")
forbid (principal, action, resource) when { resource.name == "delete_tree" };
@id("no-rm") forbid (principal, action, resource) when { context.text like "*rm -rf*" };
"""


def make_gate(folder, policy=GATE_POLICY, store="memory:", **options):
    from corvel_charter.gate import Gate

    folder.mkdir(exist_ok=True)
    trail = cc.AuditTrail(str(folder / "gate.json"), GATE_KEY, sync_every=0)
    options.setdefault("approvers", [ALICE_VKEY])
    return Gate(policy, trail, "agent-7", approval_key=GATE_KEY, approval_name="gate.example/agent-7",
                nonce_store=store, **options)


def gate_entries(folder):
    cc.verify_trail(str(folder / "gate.json"), GATE_KEY.public_key)
    return json.loads((folder / "gate.json").read_text())


class TestGateApprovals:
    def test_a_request_approved_then_used_once_all_recorded(self, tmp_path):
        gate = make_gate(tmp_path)
        asked = gate.check("delete_tree", {"path": "/srv/old"})
        assert not asked.allowed and asked.approval_request is not None
        assert asked.reason.startswith("Denied by policy delete-needs-approval: approval required (request nonce ")
        terms = cc.read_approval_request(asked.approval_request, GATE_VKEY)
        assert terms["arguments_hash"] == asked.arguments_hash and terms["policy_fingerprint"].hex() == gate.fingerprint
        note = cc.approve(asked.approval_request, ALICE_KEY, "alice", GATE_VKEY)
        allowed = gate.check("delete_tree", {"path": "/srv/old"}, approval=note)
        assert allowed.allowed and allowed.policies == ("delete-needs-approval", f"approval:{terms['nonce'].hex()}")
        gate.record_outcome(allowed, result="deleted")
        replayed = gate.check("delete_tree", {"path": "/srv/old"}, approval=note)
        assert not replayed.allowed and "it was used before" in replayed.reason
        gate.trail.close()
        entries = gate_entries(tmp_path)
        assert [e["decision"] == "Approved" for e in entries] == [False, True, True, False]
        assert entries[1]["gate"]["call"]["policies"][-1] == f"approval:{terms['nonce'].hex()}"
        assert "used before" in entries[3]["decision"]["Denied"]["reason"]

    def test_each_refusal_recorded_with_its_own_reason(self, tmp_path):
        gate = make_gate(tmp_path, approval_life=1)
        asked = gate.check("delete_tree", {"path": "/srv/old"})
        note = cc.approve(asked.approval_request, ALICE_KEY, "alice")
        mallory = cc.approve(asked.approval_request, cc.TrailKey.generate(), "alice")
        other_policy = make_gate(tmp_path / "other", policy=GATE_POLICY + "\n// changed\n")
        refusals = [
            (gate.check("delete_tree", {"path": "/srv/other"}, approval=note), "approves other arguments"),
            (gate.check("delete_tree", {"path": "/srv/old"}, approval=mallory), "not signed by a trusted approver key"),
            (gate.check("delete_tree", {"path": "/srv/old"}, approval=note.replace("tool delete_tree", "tool delete_treE")),
             "does not verify"),
            (other_policy.check("delete_tree", {"path": "/srv/old"}, approval=note), "asked under another policy"),
        ]
        time.sleep(2.1)
        refusals.append((gate.check("delete_tree", {"path": "/srv/old"}, approval=note), "it has expired"))
        for decision, says in refusals:
            assert not decision.allowed and decision.reason.startswith("Denied, fail-closed: Approval refused: ")
            assert says in decision.reason, decision.reason
        gate.trail.close()
        reasons = [e["decision"]["Denied"]["reason"] for e in gate_entries(tmp_path)[1:]]
        assert [says in reason for (_, says), reason in zip(refusals[:3] + refusals[4:], reasons)] == [True] * 4

    def test_only_approval_policies_can_be_lifted(self, tmp_path):
        gate = make_gate(tmp_path)
        hard = gate.check("delete_tree", {"path": "/srv/x", "then": "rm -rf /"})
        assert not hard.allowed and hard.approval_request is None and "no-rm" in hard.policies
        without = make_gate(tmp_path / "plain", approvers=())
        refused = without.check("delete_tree", {"path": "/srv/x"})
        assert refused.approval_request is None and refused.reason.endswith("approval required, but this gate takes no approvals")

    def test_an_approval_used_by_one_gate_is_refused_by_another_sharing_the_store(self, tmp_path, redis_server):
        store = f"{redis_server.url}?prefix=gates-{tmp_path.name}:"
        first = make_gate(tmp_path, store=store)
        asked = first.check("delete_tree", {"path": "/srv/old"})
        note = cc.approve(asked.approval_request, ALICE_KEY, "alice")
        assert first.check("delete_tree", {"path": "/srv/old"}, approval=note).allowed
        second = make_gate(tmp_path / "second", store=store)
        assert "used before" in second.check("delete_tree", {"path": "/srv/old"}, approval=note).reason
