"""An update carried: each signature's verdict, the old and new function,
the evidence, the signature to use and the changed displacements, in
words; or the same as one JSON object for scripts."""
import json

from .signatures import proposed_set, set_signature_text

# The fields of each function's object in --json, in their order (docs/game-update.md lists them).
JSON_FIELDS = ("name", "verdict", "old_rva", "new_rva", "signature", "survives", "margin", "set", "sources",
               "older_rva", "evidence", "changed_displacements")


def carried_well(result):
    """Kept, or replaced (which always comes with a signature): nothing for a person to do."""
    return result["verdict"] in ("kept", "replaced")


def carry_report(old, new, result, function_set, older):
    """The report in words of one carried function."""
    name, signatures = function_set
    print(f"{name}  " + "\n    ".join(set_signature_text(*s) for s in signatures))
    print(f"  verdict: {result['verdict']}")
    single = len(signatures) == 1
    if result["old_rva"] is None:
        count = result["old_found_count"]
        print(f"  old: {count if count < 3 else '3 or more'} matches in code" if single
              else "  old: the set finds no function")
    else:
        print(f"  old: {old.where(result['old_rva'])}")
    found = result["new_found"]
    shown = ", ".join(f"RVA 0x{rva:X}" for rva in found[:5]) + (", ..." if len(found) > 5 else "")
    if single:
        print(f"  the old signature in the new build: {len(found)} match{'es' if len(found) != 1 else ''} in code"
              + (f" ({shown})" if found else ""))
    else:
        print("  the old set in the new build: " + (f"finds RVA 0x{found[0]:X}" if found else "finds no function"))
    if result["new_rva"] is not None:
        print(f"  new: {new.where(result['new_rva'])}")
    print(f"  evidence: {result['evidence']}")
    if result["signature"] is not None:
        notes = ["matches the old function alone in the old build too" if result["survives"]
                 else "does not match the old function alone in the old build"]
        notes.append("nearest near-miss: " + ("3 or more fixed bytes away" if result["margin"] >= 3
                                              else f"{result['margin']} fixed byte{'s' if result['margin'] > 1 else ''} away"))
        print(f"  signature: {result['signature']} ({'; '.join(notes)})")
    for k, (kind, call_at, mask, pattern) in enumerate(proposed_set(result)):
        # An entry signature's line names its kind too, so that the set reads as one list.
        text = set_signature_text(kind, call_at, mask, pattern)
        print(f"  {'set:' if k == 0 else '    '} {'entry ' if kind == 'entry' else ''}{text}")
    if result["set"]:
        print("  " + sources_words(result))
    for path, rva in zip(older, result["older_rva"]):
        print(f"  older build {path}: " + (f"RVA 0x{rva:X}" if rva is not None else "not located; the set is not held to it"))
    if result["changed_displacements"]:
        print("  displacements changed inside the function (a struct layout may have changed):")
        for line in result["changed_displacements"]:
            print(f"    {line}")
    if result["new_rva"] is None and result["verdict"] != "old-not-unique":
        if not result["candidates"]:
            print("  candidates: none")
        for candidate in result["candidates"]:
            print(f"  candidate: {new.where(candidate['rva'])}, score {candidate['score']:.2f}: "
                  + "; ".join(candidate["evidence"]))
            for line in candidate["diff"]:
                print(f"      {line}")


def sources_words(result):
    """How many independent sources the set's evidence has, and what one source risks."""
    sources = result["sources"]
    if sources > 1:
        return f"sources: {sources} independent (the function's own code and each caller count once)"
    where = "one caller" if {s["kind"] for s in result["set"]} == {"call"} else "the function's own code"
    return f"sources: one, {where}: one change there can lose or misfind the function after the next update"


def report_in_words(old, new, outcome, sets, verdicts, older=()):
    print(old.describe("old: ") + f", {outcome['old_functions']} functions")
    print(new.describe("new: ") + f", {outcome['new_functions']} functions, "
          f"{outcome['paired']} paired with the old build's")
    results = outcome["signatures"]
    for result, function_set in zip(results, sets):
        carry_report(old, new, result, function_set, older)
    counts = {v: sum(r["verdict"] == v for r in results) for v in verdicts}
    print(f"{sum(carried_well(r) for r in results)} of {len(results)} signatures carried: "
          + ", ".join(f"{n} {v}" for v, n in counts.items()))


def report_json(outcome):
    def listed(result):
        return [{"kind": s["kind"], "signature": s["signature"]} | ({"call_at": s["call_at"]} if s["kind"] == "call"
                                                                     else {}) for s in result["set"]]

    print(json.dumps({"signatures": [{key: r[key] for key in JSON_FIELDS} | {"set": listed(r)} |
                                     {"candidates": [{"rva": c["rva"], "score": c["score"]}
                                                     for c in r["candidates"]]} for r in outcome["signatures"]]}))
