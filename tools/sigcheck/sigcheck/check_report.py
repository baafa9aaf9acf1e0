"""One build checked, as the plug-in would search it: for each signature, the
match the plug-in calls, how many there are in code, the copies outside
code it passes over, and near-misses where there is no match."""
from .signatures import signature_text

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
