"""The watchdog's decisions against a small model written from the rule table: each rule is
lower-cased with str.lower(), patterns are plain containment in the unchanged target, the
first matching rule decides, an approval clears the count, the tenth violation locks, a
violation while locked is refused, an approval while locked keeps the lock."""

from hypothesis import given, settings, strategies as st

import _corvel_core as core

LIMIT = 10
LOCKED = "Watchdog is locked - hard reset required"

# keyword -> {factory: (patterns, reason prefix)}
TABLE = {
    "no harm": {
        "delete_file": (("system32", "/etc", "/bin", "boot"), "Destructive action on critical path: "),
        "execute_command": (("rm -rf", "format", "mkfs", "dd if=", ":(){ :|:& };:"), "Dangerous command detected: "),
    },
    "privacy": {
        "read_file": (("password", ".ssh", "credentials"), "Accessing sensitive data: "),
    },
}
KINDS = ["delete_file", "read_file", "write_file", "execute_command"]


def model_check(rules, kind, target):
    """(rule, reason) of the first rule that the action breaks, or None."""
    for rule in rules:
        lowered = rule.lower()
        for keyword in ("no harm", "privacy"):
            line = TABLE[keyword].get(kind) if keyword in lowered else None
            if line and any(pattern in target for pattern in line[0]):
                return rule, line[1] + target
    return None


def make(kind, target):
    return core.Action.write_file(target, b"payload") if kind == "write_file" else getattr(core.Action, kind)(target)


TEXT = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=4)
KEYWORD_RULES = ["Do no harm", "DO NO HARM", "nO HaRm", "Respect privacy", "PRIVACY", "PrIvAcY", "no harm, privacy"]
NEAR_MISS_RULES = ["no-harm", "no  harm", "noharm", "PRİVACY", "priv acy", "Σεβασμός", "ΣΟΦΌΣ", "ǅ", "ß", "İ"]
NEAR_MISS_TARGETS = ["SYSTEM32", "/ETC", "Boot", "RM -RF", "dd  if=", "Password", ".SSH", "exfil", "upload",
                     "/home/", "café", "ßüß", "日本"]


def around(pieces):
    return st.tuples(TEXT, st.sampled_from(pieces), TEXT).map("".join)


def chance(draw, percent):
    return draw(st.integers(0, 99)) < percent


@st.composite
def rule_lists(draw):
    """Mostly lists holding a keyword rule somewhere among near misses and noise; sometimes empty."""
    if chance(draw, 5):
        return []
    rules = draw(st.lists(st.one_of(around(NEAR_MISS_RULES), around(KEYWORD_RULES), TEXT), max_size=3))
    if chance(draw, 85):
        rules.insert(draw(st.integers(0, len(rules))), draw(around(KEYWORD_RULES)))
    return rules


@st.composite
def verify_steps(draw):
    kind = draw(st.sampled_from(KINDS))
    own = [p for line in TABLE.values() if kind in line for p in line[kind][0]]
    others = [p for line in TABLE.values() for k, (patterns, _) in line.items() if k != kind for p in patterns]
    if own and chance(draw, 85):
        pattern = draw(st.sampled_from(own))
        if chance(draw, 25):  # the target test is case-sensitive
            pattern = draw(st.sampled_from([pattern.upper(), pattern.title(), pattern.swapcase()]))
        target = draw(TEXT) + pattern + draw(TEXT)
    else:
        target = draw(st.one_of(around(others), around(NEAR_MISS_TARGETS), TEXT))
    # A whole run of LIMIT repeats often enough for the lock to be reached regularly.
    return "verify", kind, target, LIMIT if chance(draw, 30) else draw(st.integers(1, LIMIT))


@st.composite
def step_lists(draw):
    steps = []
    for _ in range(draw(st.integers(1, 12))):
        steps.append(draw(verify_steps()) if chance(draw, 80)
                     else (draw(st.sampled_from(["report_success", "acknowledge_reset"])),))
    return steps


RULES, STEPS = rule_lists(), step_lists()


@settings(max_examples=100, deadline=None)
@given(rules=RULES, steps=STEPS)
def test_watchdog_follows_the_model(rules, steps):
    dog = core.Watchdog(rules, "capsule")
    count, locked = 0, False
    for step in steps:
        if step[0] == "report_success":
            dog.report_success()
            count = 0
        elif step[0] == "acknowledge_reset":
            dog.acknowledge_reset()
            count, locked = 0, False
        else:
            _, kind, target, repeat = step
            action = make(kind, target)
            expected = model_check(rules, kind, target)
            for _ in range(repeat):
                if expected is not None and locked:
                    try:
                        dog.verify_action(action)
                    except core.WatchdogError as error:
                        assert str(error) == LOCKED
                    else:
                        raise AssertionError("a violation while locked was not refused")
                    continue
                result = dog.verify_action(action)
                if expected is None:
                    count = 0
                    assert result.approved and result.denial_proof is None and not result.hard_reset_required
                    continue
                count += 1
                proof = result.denial_proof
                assert not result.approved and proof.violation_count == count
                if count >= LIMIT:
                    locked = True
                    assert result.hard_reset_required
                    assert (proof.violated_rule, proof.denial_reason) == (
                        "Multiple violations", f"{count} consecutive violations reached")
                    assert not proof.is_signed() and result.hard_reset_signal.total_violations == count
                else:
                    assert not result.hard_reset_required and result.hard_reset_signal is None
                    assert (proof.violated_rule, proof.denial_reason) == expected and proof.is_signed()
        assert (dog.violation_count(), dog.is_locked()) == (count, locked)
