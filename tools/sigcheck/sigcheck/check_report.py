"""One build checked, as the plug-in would search it: for a single
signature, the match the plug-in calls, how many there are in code, the
copies outside code it passes over, and near-misses where there is no
match; for a set, what each of its signatures gives and what they agree on."""
from .signatures import set_signature_text, signature_text

NEAR_MISSES = 5


def report(handle, module, name, mask, pattern):
    """Prints one signature's findings; True when it has exactly one match in code."""
    m = mask.encode()
    code = handle.in_code(m, pattern)
    print(f"{name}  {signature_text(mask, pattern)}")
    if code:
        first = code[0]
        wild = " ".join(f"{module.bytes[first + k]:02X}" for k, c in enumerate(mask) if c == "?")
        print(f"  the plug-in calls: {module.where(first)}; wildcard bytes {wild}")
    else:
        print("  the plug-in calls: nothing, no match in code")
    others = "" if len(code) < 2 else "; the plug-in calls the lowest, not " + ", ".join(f"RVA 0x{r:X}" for r in code[1:6])
    print(f"  matches in code: {len(code)}{others}")
    outside = sorted(set(handle.anywhere(m, pattern)) - set(code))
    if outside:
        counts = {}
        for rva in outside:
            counts[module.place(rva)] = counts.get(module.place(rva), 0) + 1
        print(f"  copies outside code, passed over: {len(outside)} ("
              + ", ".join(f"{where} {n}" for where, n in counts.items()) + ")")
    else:
        print("  copies outside code, passed over: 0")
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
    return len(code) == 1


def report_set(library, handle, module, name, signatures):
    """Prints what each signature of a set gives, by the plug-in's own code and rule, and
    the function they agree on; True when one was found and no two signatures disagree."""
    finding = library.resolve(handle, name, signatures)
    print(f"{name}  (a set of {len(signatures)})")
    for signature, found in zip(signatures, finding["signatures"]):
        matches = found["matches"]
        where = f"{matches if matches < 2 else '2 or more'} match{'es' if matches != 1 else ''} in code" + \
            (f", the lowest at RVA 0x{found['first']:X}" if found["first"] is not None else "")
        gives = f"gives RVA 0x{found['gives']:X}" if found["gives"] is not None else "gives nothing"
        print(f"  {set_signature_text(*signature)}\n    {where}; {gives}")
    given = {f["gives"] for f in finding["signatures"] if f["gives"] is not None}
    if finding["tie"]:
        print("  the plug-in calls: nothing, a tie between " + ", ".join(f"RVA 0x{rva:X}" for rva in sorted(given)))
    elif finding["address"] is None:
        print("  the plug-in calls: nothing, no signature gives an address")
    else:
        how = "the entry signature's lowest match, as no signature gives an address" if finding["fallback"] else \
            f"{finding['votes']} of {len(signatures)} signatures give it"
        print(f"  the plug-in calls: {module.where(finding['address'])}; {how}")
    return finding["address"] is not None and len(given) <= 1
