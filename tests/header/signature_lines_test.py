#!/usr/bin/python3
"""The header's signature lines are parsed at compile time: each malformed
line below fails the build, and the well-formed line beside it compiles.

    signature_lines_test.py COMPILER SOURCE_DIR
"""
import subprocess
import sys

# what, a malformed set's texts, the same set well formed
ROWS = [
    ("lower-case hexadecimal", ['"4c 8B C1 83"'], ['"4C 8B C1 83"']),
    ("two spaces between bytes", ['"4C  8B C1 83"'], ['"4C 8B C1 83"']),
    ("an open first byte", ['"?? 8B C1 83"'], ['"4C 8B C1 83"']),
    ("an open last byte", ['"4C 8B C1 ??"'], ['"4C 8B C1 83"']),
    ("a single ? for an open byte", ['"4C 8B ? 83"'], ['"4C 8B ?? 83"']),
    ("a byte cut short", ['"4C 8B C1 8"'], ['"4C 8B C1 83"']),
    ("more than 64 bytes", ['"' + " ".join(["90"] * 65) + '"'], ['"' + " ".join(["90"] * 64) + '"']),
    ("a call without its brackets", ['"call 48 8B CF E8 ?? ?? ?? ?? 85 C0"'],
     ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"']),
    ("a call's brackets around four bytes", ['"call 48 8B CF [E8 ?? ?? ??] ?? 85 C0"'],
     ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"']),
    ("a call's brackets left open", ['"call 48 8B CF [E8 ?? ?? ?? ?? 85 C0"'],
     ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"']),
    ("a call that is no E8 or E9", ['"call 48 8B CF [E7 ?? ?? ?? ??] 85 C0"'],
     ['"call 48 8B CF [E9 ?? ?? ?? ??] 85 C0"']),
    ("brackets in an inside signature", ['"inside 48 8B CF [E8 ?? ?? ?? ??] 85 C0"'],
     ['"inside 48 8B CF E8 ?? ?? ?? ?? 85 C0"']),
    ("an unknown kind", ['"before 48 8B CF"'], ['"inside 48 8B CF"']),
    ("two entry signatures in a set", ['"4C 8B C1 83"', '"48 8B CF 85"'], ['"4C 8B C1 83"', '"inside 48 8B CF 85"']),
    ("nine signatures in a set", ['"4C 8B C1 83"'] + [f'"inside 48 8B CF {k:02X}"' for k in range(8)],
     ['"4C 8B C1 83"'] + [f'"inside 48 8B CF {k:02X}"' for k in range(7)]),
    ("the same signature twice in a set", ['"inside 48 8B CF 85"', '"4C 8B C1 83"', '"inside 48 8B CF 85"'],
     ['"inside 48 8B CF 85"', '"4C 8B C1 83"', '"inside 48 8B CF 86"']),
    ("the same call twice in a set", ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"'] * 2,
     ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"', '"call 48 8B CF [E9 ?? ?? ?? ??] 85 C0"']),
]


def compiles(compiler, source_dir, texts):
    source = ('#include "memory/game_signatures.h"\n'
              f'constexpr memory::SignatureSet kSet = memory::signatures("f", {", ".join(texts)});\n'
              "int main() { return static_cast<int>(kSet.count); }\n")
    result = subprocess.run([compiler, "-std=c++20", "-fsyntax-only", "-I", f"{source_dir}/src", "-x", "c++", "-"],
                            input=source, capture_output=True, text=True, timeout=120)
    return result.returncode == 0


def main():
    compiler, source_dir = sys.argv[1], sys.argv[2]
    failures = 0
    for what, malformed, well_formed in ROWS:
        problems = []
        if compiles(compiler, source_dir, malformed):
            problems.append("the malformed line compiles")
        if not compiles(compiler, source_dir, well_formed):
            problems.append("the well-formed line does not compile")
        for problem in problems:
            print(f"FAILED {what}: {problem}")
        failures += bool(problems)
    print(f"{len(ROWS) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
