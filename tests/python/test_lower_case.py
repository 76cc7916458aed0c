"""The watchdog lower-cases its rules exactly as str.lower() does, on every code point.

Each keyword of the rule check has every code point put in place of each of its letters in
turn. The watchdog holds the keyword exactly when the Python lower case of the rule holds it.
Rules are checked many pieces at a time, one piece per code point and separated by "|"; a batch
where both find the keyword is split in halves down to single code points.
"""

import pytest

import _corvel_core as core

# A lone surrogate cannot reach the core: the binding refuses to encode it.
CODE_POINTS = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
BATCH = 8192
KEYWORDS = {
    "no harm": core.Action.delete_file("/etc/passwd"),
    "privacy": core.Action.read_file(".ssh/id_ed25519"),
}


def holds_keyword(rule, action):
    """Whether the watchdog's rule check finds the action's keyword in the rule."""
    result = core.Watchdog([rule], "capsule").verify_action(action)
    return not result.approved


def test_surrogates_are_refused():
    with pytest.raises(UnicodeEncodeError):
        core.Watchdog(["no h\udc41rm"], "capsule")


def agreeing_matches(keyword, position, code_points, action):
    """Checks that the watchdog and str.lower() agree on the batch, splitting the batches where
    both find the keyword down to single code points; returns the code points that match."""
    prefix, suffix = keyword[:position], keyword[position + 1:]
    rule = prefix + (suffix + "|" + prefix).join(map(chr, code_points)) + suffix
    expected = keyword in rule.lower()
    assert holds_keyword(rule, action) == expected, (keyword, position, hex(code_points[0]), hex(code_points[-1]))
    if not expected:
        return []
    if len(code_points) == 1:
        return code_points
    half = len(code_points) // 2
    return (agreeing_matches(keyword, position, code_points[:half], action)
            + agreeing_matches(keyword, position, code_points[half:], action))


@pytest.mark.parametrize("keyword", sorted(KEYWORDS))
def test_rule_check_lower_cases_like_str_lower_on_every_code_point(keyword):
    action = KEYWORDS[keyword]
    for position, letter in enumerate(keyword):
        matches = []
        for start in range(0, len(CODE_POINTS), BATCH):
            matches += agreeing_matches(keyword, position, CODE_POINTS[start:start + BATCH], action)
        # The letter itself always matches, and so does its capital.
        assert ord(letter) in matches and ord(letter.upper()) in matches
