#!/usr/bin/env python3
"""What the maintainers' documents say that the code can contradict: every
test they name by `Suite.Name` is a test of tests/, every `e2e.name` one
that tests/e2e/e2e.py lists, and the thresholds in
tools/sigcheck/README.md's table are the constants the tool runs with.

    documents_test.py SOURCE_DIR
"""
import re
import subprocess
import sys
from pathlib import Path

DOCUMENTS = ["README.md", "docs/building.md", "docs/game-update.md", "docs/performance.md", "docs/reliability.md",
             "sim/README.md", "tools/sigcheck/README.md"]
# A GoogleTest name as the documents write it, in backticks; `Suite.*` names a whole suite.
NAMED_TEST = re.compile(r"`([A-Z][A-Za-z0-9]*)\.([A-Z][A-Za-z0-9]*|\*)`")
# An end-to-end test as ctest names it.
NAMED_E2E = re.compile(r"`e2e\.(\w+)`")
DEFINED_TEST = re.compile(r"^(?:TEST|TEST_F|TEST_P)\((\w+),\s*(\w+)\)", re.M)
CONSTANT = re.compile(r"constexpr [\w:]+ (k\w+) = ([0-9.]+);")


def defined_tests(root):
    tests = set()
    for path in (root / "tests").rglob("*.cpp"):
        text = path.read_text()
        tests |= set(DEFINED_TEST.findall(text))
    return tests


def constants(*paths):
    found = {}
    for path in paths:
        for name, value in CONSTANT.findall(path.read_text()):
            found[name] = float(value)
    return found


def percent(value):
    return f"{value * 100:g}%"


def threshold_failures(root):
    """Each row of the table in the words the constants give."""
    sigcheck = root / "tools" / "sigcheck"
    readme = (sigcheck / "README.md").read_text()
    rows = dict(re.findall(r"^\| `([^`]+)` \| (.*) \|$", readme.split("## Where the thresholds live", 1)[-1], re.M))
    c = constants(sigcheck / "verdict.h", sigcheck / "verdict.cpp", sigcheck / "propose.h")
    wanted = {
        "verdict.cpp": [f"score ≥ {c['kAnswer']:g}", f"lead ≥ {c['kLead']:g}",
                        f"code ≥ {percent(c['kLooksAlike'])} alike",
                        f"≥ {percent(c['kSameNeighbours'])} of {c['kFewestNeighbours']:g}+ paired neighbours",
                        f"a lone old match below {c['kAnother']:g} is another function",
                        f"under {c['kFewestInstructionsAlone']:g} instructions",
                        f"within {c['kWrapperReach']:g} functions"],
        "propose.h": [f"at least {c['kFewestFixedBytes']:g} fixed bytes", f"at most {c['kLongestSignature']:g} bytes"],
    }
    failures = []
    for file, phrases in wanted.items():
        row = rows.get(file)
        if row is None:
            failures.append(f"tools/sigcheck/README.md's thresholds have no row for {file}")
            continue
        failures += [f"tools/sigcheck/README.md's {file} row lacks {phrase!r}: {row}" for phrase in phrases
                     if phrase not in row]
    return failures


def main():
    root = Path(sys.argv[1])
    tests = defined_tests(root)
    suites = {suite for suite, _ in tests}
    failures = []
    named = 0
    e2e = set(subprocess.run([sys.executable, str(root / "tests" / "e2e" / "e2e.py"), "--build", ".", "--work", ".",
                              "--list"], capture_output=True, text=True, check=True).stdout.split())
    for document in DOCUMENTS:
        text = (root / document).read_text()
        for suite, name in NAMED_TEST.findall(text):
            named += 1
            if (suite, name) not in tests and not (name == "*" and suite in suites):
                failures.append(f"{document} names {suite}.{name}, which no test of tests/ defines")
        for name in NAMED_E2E.findall(text):
            named += 1
            if name not in e2e:
                failures.append(f"{document} names e2e.{name}, which tests/e2e/e2e.py does not list")
    failures += threshold_failures(root)
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"{named} test names in {len(DOCUMENTS)} documents, each a test of tests/; "
              "tools/sigcheck/README.md's thresholds are the tool's constants")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
