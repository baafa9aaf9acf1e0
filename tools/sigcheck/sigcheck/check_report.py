"""One build checked, as the plug-in would search it: for a single
signature, the match the plug-in calls, how many there are in code, the
matches inside known functions and the copies outside code it rules out,
and near-misses where there is no match; for a set, what each of its
signatures gives or why it gives nothing, and what they agree on."""
from .signatures import set_signature_text, signature_text

NEAR_MISSES = 5
JUDGED = 64


# Why a signature of a set gives no address, in the report's words (binding.GIVEN).
WHY_NOT = {
    "no-match": "no match in code",
    "several-matches": "more than one match in code",
    "outside-code": "its call's target lies outside the module's code",
    "no-directory": "the module has no exception directory that may be read",
    "disordered": "the exception directory's records are out of order, overlap or lie outside the image, so nothing it says is trusted",
    "no-record": "no exception directory record holds its match",
    "broken-chain": "the exception directory's chain for its match leaves the directory, loops or runs too long",
    "root-not-a-record": "the exception directory's chain for its match names a start where no record begins",
    "root-not-code": "the function the exception directory names begins outside code",
}


def inside_words(address, within):
    if within < 0:
        return f"RVA 0x{address:X}, as {WHY_NOT['disordered']}"
    return f"RVA 0x{address:X} lies 0x{address - within:X} bytes into the function at RVA 0x{within:X}"


def report(handle, module, name, mask, pattern):
    """Prints one signature's findings; True when exactly one match in code can begin a
    function: the one the plug-in calls."""
    m = mask.encode()
    code = handle.in_code(m, pattern)
    # Each match judged as the plug-in judges it (a signature with more is no use anyway).
    judged = {rva: handle.can_begin_function(rva) for rva in code[:JUDGED]}
    starts = [rva for rva, within in judged.items() if within is None]
    print(f"{name}  {signature_text(mask, pattern)}")
    if starts:
        first = starts[0]
        wild = " ".join(f"{module.bytes[first + k]:02X}" for k, c in enumerate(mask) if c == "?")
        print(f"  the plug-in calls: {module.where(first)}; wildcard bytes {wild}")
    elif code:
        print("  the plug-in calls: nothing, every match in code is ruled out")
    else:
        print("  the plug-in calls: nothing, no match in code")
    others = "" if len(starts) < 2 else \
        "; the plug-in calls the lowest, not " + ", ".join(f"RVA 0x{r:X}" for r in starts[1:6])
    print(f"  matches in code: {len(code)}{others}")
    for rva in code[:6]:
        if judged.get(rva) is not None:
            print(f"  ruled out: {inside_words(rva, judged[rva])}")
    outside = sorted(set(handle.anywhere(m, pattern)) - set(code))
    if outside:
        counts = {}
        for rva in outside:
            counts[module.place(rva)] = counts.get(module.place(rva), 0) + 1
        print(f"  copies outside code, ruled out: {len(outside)} ("
              + ", ".join(f"{where} {n}" for where, n in counts.items()) + ")")
    else:
        print("  copies outside code, ruled out: 0")
    if not code:
        fixed = [k for k, c in enumerate(mask) if c != "?"]
        shown = 0
        for mismatches in (1, 2):
            places = handle.near_misses(m, pattern, mismatches, NEAR_MISSES - shown)
            if places:
                print(f"  near-misses, all fixed bytes but {'one' if mismatches == 1 else 'two'}:")
            for rva in places:
                differ = ", ".join(f"position {k} is {module.bytes[rva + k]:02X}, not {pattern[k]:02X}"
                                   for k in fixed if module.bytes[rva + k] != pattern[k])
                print(f"    {module.where(rva)}: {differ}")
            shown += len(places)
            if shown >= NEAR_MISSES:
                break
        if shown == 0:
            print("  near-misses: none with all fixed bytes but one or two")
    return len(starts) == 1 and len(code) <= JUDGED


def report_set(library, handle, module, name, signatures):
    """Prints what each signature of a set gives, by the plug-in's own code and rule, and
    the function they agree on; True when one was found and no two signatures disagree."""
    finding = library.resolve(handle, name, signatures)
    print(f"{name}  (a set of {len(signatures)})")
    for signature, found in zip(signatures, finding["signatures"]):
        count = found["match_count"]
        where = f"{count if count < 2 else '2 or more'} match{'es' if count != 1 else ''} in code" + \
            (f", the lowest at RVA 0x{found['first']:X}" if found["first"] is not None else "")
        if found["how"] == "gives":
            gives = f"gives RVA 0x{found['gives']:X}"
        elif found["how"] == "inside-function":
            gives = "ruled out: " + (inside_words(found["first"], found["within"]) if signature[0] == "entry"
                                       else f"its target lies inside the function at RVA 0x{found['within']:X}")
        else:
            gives = "gives nothing: " + WHY_NOT[found["how"]]
        print(f"  {set_signature_text(*signature)}\n    {where}; {gives}")
    given = {f["gives"] for f in finding["signatures"] if f["gives"] is not None}
    if finding["tie"]:
        print("  the plug-in calls: nothing, a tie between " + ", ".join(f"RVA 0x{rva:X}" for rva in sorted(given)))
    elif finding["address"] is None:
        print("  the plug-in calls: nothing, no signature gives an address")
    else:
        print(f"  the plug-in calls: {module.where(finding['address'])}; "
              f"{finding['votes']} of {len(signatures)} signatures give it")
        if len(given) > 1:
            print("  signatures disagree: " + ", ".join(f"RVA 0x{rva:X}" for rva in sorted(given)))
    return finding["address"] is not None and len(given) <= 1
