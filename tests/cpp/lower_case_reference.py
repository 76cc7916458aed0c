"""Writes what Python 3.12's str.lower() does to each code point, for tests/cpp/lower_case_test.cpp.

    python lower_case_reference.py OUTPUT.txt

One line per code point that does anything but the plain case: "cp lower sigmas", where cp is
hexadecimal, lower is the lower case as hexadecimal code points joined by "+", and sigmas holds,
for the three probes "A\u03a3<c> ", " <c>\u03a3 " and "A<c>\u03a3 ", "f" where the sigma lower-cases to
final sigma and "s" where it does not. The plain case is: lower case unchanged, sigmas "fss".
"""

import sys

SIGMA = "\u03a3"
PLAIN_SIGMAS = "fss"


def sigma_letter(lowered, at):
    return {"\u03c2": "f", "\u03c3": "s"}[lowered[at]]


def main():
    if sys.version_info[:2] != (3, 12) or len(sys.argv) != 2:
        sys.exit(__doc__)
    lines = []
    for c in range(0x110000):
        if 0xD800 <= c <= 0xDFFF:
            continue
        ch = chr(c)
        lower = ch.lower()
        after = ("A" + SIGMA + ch + " ").lower()
        before = (" " + ch + SIGMA + " ").lower()
        between = ("A" + ch + SIGMA + " ").lower()
        sigmas = sigma_letter(after, 1) + sigma_letter(before, -2) + sigma_letter(between, -2)
        if lower != ch or sigmas != PLAIN_SIGMAS:
            lines.append(f"{c:X} {'+'.join(f'{ord(x):X}' for x in lower)} {sigmas}\n")
    with open(sys.argv[1], "w", encoding="ascii") as out:
        out.writelines(lines)


if __name__ == "__main__":
    main()
