#!/usr/bin/python3
"""The boundary between the signature tool's two languages, held to its one
declaration: every function sigcheck_api.h declares has the same argument and
result types in the binding's table, and the library exports it; the
binding declares nothing the header does not, and every call into the
library from Python goes through that table; each structure has the
header's fields in its order, and the size and offsets the library was
compiled with; the region kinds have the header's values.

    boundary_test.py LIBRARY
"""
import ctypes
import re
import sys
from ctypes import POINTER, c_char, c_char_p, c_double, c_int64, c_uint8, c_uint32, c_uint64, c_void_p
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "sigcheck"))
from sigcheck import binding  # noqa: E402

HEADER = ROOT / "tools" / "sigcheck" / "sigcheck_api.h"
# How each C type of the header crosses in ctypes: the view is opaque,
# patterns and names go in as bytes.
SCALARS = {"void": None, "int64_t": c_int64, "uint64_t": c_uint64, "uint32_t": c_uint32, "double": c_double,
           "const char*": c_char_p, "const uint8_t*": c_char_p, "char*": POINTER(c_char),
           "uint8_t*": POINTER(c_uint8), "uint64_t*": POINTER(c_uint64), "int64_t*": POINTER(c_int64), "SigcheckModuleView*": c_void_p,
           "const SigcheckModuleView*": c_void_p, "const SigcheckModuleView* const*": POINTER(c_void_p)}


def ctype(text):
    text = re.sub(r"\s*\*", "*", " ".join(text.split())).replace("*const", "* const")
    if text in SCALARS:
        return SCALARS[text]
    named = re.fullmatch(r"(?:const )?(Sigcheck\w+)\*", text)
    if named and hasattr(binding, named.group(1)):
        return POINTER(getattr(binding, named.group(1)))
    raise ValueError(f"no ctypes form for {text!r}")


def header_functions(text):
    """{name: (result type, [argument types])} of every prototype in the header."""
    found = {}
    for result, name, parameters in re.findall(r"^([A-Za-z][\w \*]*?)\s*\b(sigcheck\w+)\(([^)]*)\);", text, re.M):
        arguments = [re.sub(r"\w+$", "", p.strip()) for p in parameters.split(",") if p.strip()]
        found[name] = (ctype(result), [ctype(a) for a in arguments])
    return found


def header_structures(text):
    """{name: [field names, in order]} of every structure the header defines."""
    return {name: re.findall(r"(\w+)(?:\[\w+\])?;", body)
            for name, body in re.findall(r"typedef struct (\w+) \{(.*?)\} \1;", text, re.S)}


def name_of(kind):
    return "void" if kind is None else kind.__name__


def main():
    library_path = sys.argv[1]
    text = re.sub(r"//[^\n]*", "", HEADER.read_text())
    problems = []
    declared = header_functions(text)
    if len(declared) < 10:
        problems.append(f"only {len(declared)} prototypes read from the header")
    for name in sorted(set(declared) | set(binding.FUNCTIONS)):
        if name not in binding.FUNCTIONS:
            problems.append(f"{name}: declared in the header, not in the binding's table")
        elif name not in declared:
            problems.append(f"{name}: in the binding's table, not declared in the header")
        elif binding.FUNCTIONS[name] != declared[name]:
            ours, theirs = binding.FUNCTIONS[name], declared[name]
            problems.append(f"{name}: the binding says {name_of(ours[0])}({', '.join(map(name_of, ours[1]))}), "
                            f"the header {name_of(theirs[0])}({', '.join(map(name_of, theirs[1]))})")
    # Every call from Python names a function of the table, whose types the binding set.
    sources = [*(ROOT / "tools" / "sigcheck").rglob("*.py"), *(ROOT / "bench").glob("*.py")]
    for source in sources:
        for name in set(re.findall(r"\b(sigcheck[A-Z]\w*)", source.read_text())):
            if name not in binding.FUNCTIONS:
                problems.append(f"{source.relative_to(ROOT)} calls {name}, which the binding does not declare")
    try:
        library = binding.Library(library_path)
    except RuntimeError as error:  # the binding's own check at load: the structures differ
        print(f"FAILED {error}")
        return 1
    for name, (restype, argtypes) in binding.FUNCTIONS.items():
        function = getattr(library.lib, name, None)
        if function is None or function.restype != restype or function.argtypes != argtypes:
            problems.append(f"{name}: not exported, or its types not set by the binding")

    structures = header_structures(text)
    for structure in binding.STRUCTURES:
        fields = [name for name, _ in structure._fields_]
        if structures.get(structure.__name__) != fields:
            problems.append(f"{structure.__name__}: the header's fields {structures.get(structure.__name__)}, "
                            f"the binding's {fields}")
    missing = set(structures) - {s.__name__ for s in binding.STRUCTURES}
    problems += [f"{name}: a structure of the header the binding lacks" for name in sorted(missing)]
    problems += binding.layout_differences(library.lib)
    # The layout check itself: a field of another width is caught.
    wrong = type("SigcheckCarried", (ctypes.Structure,),
                 {"_fields_": [(n, c_uint64 if n == "margin" else k) for n, k in binding.SigcheckCarried._fields_]})
    if not any("SigcheckCarried" in d for d in binding.layout_differences(library.lib, [wrong])):
        problems.append("a SigcheckCarried with a 64-bit margin was not told apart from the library's")

    kinds = dict(re.findall(r"SIGCHECK_REGION_(\w+) = (\d+)", text))
    ours = {"OTHER": binding.REGION_OTHER, "CODE": binding.REGION_CODE, "READ_ONLY": binding.REGION_READ_ONLY}
    if {k: int(v) for k, v in kinds.items()} != ours:
        problems.append(f"region kinds: the header's {kinds}, the binding's {ours}")
    kinds = {k.lower(): int(v) for k, v in re.findall(r"SIGCHECK_KIND_(\w+) = (\d+)", text)}
    if kinds != binding.KINDS:
        problems.append(f"signature kinds: the header's {kinds}, the binding's {binding.KINDS}")
    most = re.search(r"#define SIGCHECK_MOST_IN_SET (\d+)", text)
    if most is None or int(most.group(1)) != binding.MOST_IN_SET:
        problems.append(f"the most signatures in a set: the header's {most and most.group(1)}, the binding's "
                        f"{binding.MOST_IN_SET}")
    if len(library.verdicts) < 6 or "found-no-signature" not in library.verdicts:
        problems.append(f"the verdicts' names from the library: {library.verdicts}")

    for problem in problems:
        print(f"FAILED {problem}")
    print(f"{len(declared)} functions, {len(structures)} structures: "
          + ("the binding and the header agree" if not problems else f"{len(problems)} differences"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
