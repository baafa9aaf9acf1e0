"""The one way into libnozzles_sigcheck.so: ctypes declarations that mirror
sigcheck_api.h (tests/sigcheck/boundary_test.py holds the two together),
and the library's answers turned into plain Python values."""
import ctypes
import math

from ctypes import POINTER, c_char, c_char_p, c_double, c_int64, c_uint8, c_uint32, c_uint64, c_void_p

# What a region of an image holds (SIGCHECK_REGION_ in the header).
REGION_OTHER, REGION_CODE, REGION_READ_ONLY = 0, 1, 2
# The kinds of a set's signatures (SIGCHECK_KIND_), by name.
KINDS = {"entry": 0, "call": 1, "inside": 2}
MOST_IN_SET = 8  # SIGCHECK_MOST_IN_SET
# Why a signature of a set gives its address or none (SIGCHECK_GIVEN_, in order).
GIVEN = ("gives", "no-match", "several-matches", "inside-function", "outside-code", "no-directory", "disordered",
         "no-record", "broken-chain", "root-not-a-record", "root-not-code")
NEAR_MISSES_MOST = 64
LONGEST_HAND_MADE = 256  # room for a hand-made signature: the library makes none longer than 64 bytes


class SigcheckModule(ctypes.Structure):
    _fields_ = [("bytes", c_void_p), ("size", c_uint64), ("bounds", c_void_p), ("kinds", c_void_p),
                ("regionCount", c_uint64), ("base", c_uint64), ("entryPoint", c_uint32), ("pdataRva", c_uint32),
                ("pdataSize", c_uint32), ("relocRva", c_uint32), ("relocSize", c_uint32),
                ("importSlots", c_void_p), ("importNames", c_void_p), ("importCount", c_uint64)]


class SigcheckSetSignature(ctypes.Structure):
    _fields_ = [("kind", c_uint32), ("callAt", c_uint32), ("mask", c_char_p), ("pattern", c_char_p)]


class SigcheckFunctionSet(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("signatures", POINTER(SigcheckSetSignature)), ("count", c_uint64)]


class SigcheckSetFinding(ctypes.Structure):
    _fields_ = [("matchCount", c_uint32 * MOST_IN_SET), ("first", c_int64 * MOST_IN_SET), ("gives", c_int64 * MOST_IN_SET),
                ("how", c_uint32 * MOST_IN_SET), ("within", c_int64 * MOST_IN_SET), ("address", c_int64),
                ("votes", c_uint32), ("tie", c_uint32)]


class SigcheckProposed(ctypes.Structure):
    _fields_ = [("kind", c_uint32), ("callAt", c_uint32), ("signature", c_char_p)]


class SigcheckCandidate(ctypes.Structure):
    _fields_ = [("rva", c_uint32), ("score", c_double), ("evidence", POINTER(c_char_p)),
                ("evidenceCount", c_uint64), ("diff", POINTER(c_char_p)), ("diffCount", c_uint64)]


class SigcheckCarried(ctypes.Structure):
    _fields_ = [("verdict", c_uint32), ("oldFoundCount", c_uint32), ("oldRva", c_int64), ("newRva", c_int64),
                ("newFound", POINTER(c_uint32)), ("newFoundCount", c_uint64), ("entrySignature", c_char_p),
                ("survives", c_uint32), ("margin", c_uint32), ("evidence", c_char_p),
                ("changedDisplacements", POINTER(c_char_p)), ("changedDisplacementCount", c_uint64),
                ("candidates", POINTER(SigcheckCandidate)), ("candidateCount", c_uint64),
                ("set", POINTER(SigcheckProposed)), ("setCount", c_uint64), ("olderRva", POINTER(c_int64)),
                ("olderCount", c_uint64), ("sources", c_uint32)]


class SigcheckCarryRun(ctypes.Structure):
    _fields_ = [("expired", c_uint32), ("oldFunctions", c_uint64), ("newFunctions", c_uint64),
                ("paired", c_uint64), ("carried", POINTER(SigcheckCarried)), ("carriedCount", c_uint64)]


class SigcheckField(ctypes.Structure):
    _fields_ = [("structure", c_char_p), ("field", c_char_p), ("offset", c_uint64), ("size", c_uint64)]


STRUCTURES = [SigcheckModule, SigcheckSetSignature, SigcheckFunctionSet, SigcheckSetFinding, SigcheckProposed,
              SigcheckCandidate, SigcheckCarried, SigcheckCarryRun, SigcheckField]

# Every function the library exports: name, result type, argument types.
# The view is opaque here (c_void_p); patterns go in as bytes.
FUNCTIONS = {
    "sigcheckOpen": (c_void_p, [POINTER(SigcheckModule)]),
    "sigcheckClose": (None, [c_void_p]),
    "sigcheckFindInCode": (c_int64, [c_void_p, c_char_p, c_char_p, c_uint64]),
    "sigcheckFindAnywhere": (c_int64, [c_void_p, c_char_p, c_char_p, c_uint64]),
    "sigcheckNearMisses": (c_uint64, [c_void_p, c_char_p, c_char_p, c_uint32, POINTER(c_uint64), c_uint64]),
    "sigcheckHandMadeSignature": (c_uint64, [c_void_p, c_uint64, POINTER(c_char), POINTER(c_uint8), c_uint64]),
    "sigcheckCarry": (POINTER(SigcheckCarryRun), [c_void_p, c_void_p, POINTER(c_void_p), c_uint64,
                                                  POINTER(SigcheckFunctionSet), c_uint64, c_double]),
    "sigcheckResolveSet": (c_uint32, [c_void_p, POINTER(SigcheckFunctionSet), POINTER(SigcheckSetFinding)]),
    "sigcheckFreeCarry": (None, [POINTER(SigcheckCarryRun)]),
    "sigcheckCanBeginFunction": (c_uint32, [c_void_p, c_uint64, POINTER(c_int64)]),
    "sigcheckVerdictName": (c_char_p, [c_uint32]),
    "sigcheckLayout": (POINTER(SigcheckField), [POINTER(c_uint64)]),
}


def function_sets(sets):
    """The library's form of sets [(name, [(kind, call_at, mask, pattern), ...])], and what must stay alive with it."""
    keep, structures = [], []
    for name, signatures in sets:
        texts = [(KINDS[kind], call_at, mask.encode(), bytes(pattern)) for kind, call_at, mask, pattern in signatures]
        array = (SigcheckSetSignature * max(1, len(texts)))(*[SigcheckSetSignature(*text) for text in texts])
        keep += [texts, array, name.encode()]
        structures.append(SigcheckFunctionSet(keep[-1], array, len(texts)))
    return keep, (SigcheckFunctionSet * max(1, len(structures)))(*structures)


class TimeLimitPassed(Exception):
    """The carry ran past its time limit."""


def layout_differences(lib, structures=None):
    """How the structures above (or those given) differ from the library's: empty when they agree."""
    count = c_uint64()
    fields = lib.sigcheckLayout(ctypes.byref(count))
    theirs = {}
    for k in range(count.value):
        f = fields[k]
        theirs[(f.structure.decode(), f.field.decode() if f.field else None)] = (f.offset, f.size)
    ours = {}
    for structure in structures or STRUCTURES:
        ours[(structure.__name__, None)] = (0, ctypes.sizeof(structure))
        for name, kind in structure._fields_:
            ours[(structure.__name__, name)] = (getattr(structure, name).offset, ctypes.sizeof(kind))
    return [f"{s}.{f or '(size)'}: library {theirs.get((s, f))}, binding {ours.get((s, f))}"
            for s, f in sorted(set(theirs) | set(ours), key=lambda key: (key[0], key[1] or ""))
            if theirs.get((s, f)) != ours.get((s, f))]


class Library:
    """The library, each export with its declared types; the verdicts' names as it gives them."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        for name, (restype, argtypes) in FUNCTIONS.items():
            function = getattr(self.lib, name)
            function.restype, function.argtypes = restype, argtypes
        differences = layout_differences(self.lib)
        if differences:
            raise RuntimeError(f"{path} and sigcheck/binding.py disagree: " + "; ".join(differences))
        self.verdicts = []
        while (name := self.lib.sigcheckVerdictName(len(self.verdicts))) is not None:
            self.verdicts.append(name.decode())

    def open(self, module, with_imports):
        return ModuleHandle(self, module, with_imports)

    def carry(self, old, new, sets, seconds, older=()):
        """Each set (name, [(kind, call_at, mask, pattern), ...]) carried from the old
        ModuleHandle to the new, each older one adding a check:
        {"old_functions", "new_functions", "paired", "signatures": [one dict each]}."""
        keep, array = function_sets(sets)
        views = (c_void_p * max(1, len(older)))(*[handle.handle for handle in older])
        run = self.lib.sigcheckCarry(old.handle, new.handle, views, len(older), array, len(sets), seconds)
        try:
            answer = run.contents
            if answer.expired:
                raise TimeLimitPassed(f"ran past its time limit of {seconds:.3f} s")
            return {"old_functions": answer.oldFunctions, "new_functions": answer.newFunctions,
                    "paired": answer.paired,
                    "signatures": [self._carried(answer.carried[k], name) for k, (name, _) in enumerate(sets)]}
        finally:
            self.lib.sigcheckFreeCarry(run)
            del keep

    def resolve(self, handle, name, signatures):
        """The set resolved in one build by the plug-in's own code and rule: {"signatures":
        [{"match_count", "first", "gives", "how", "within"}], "address", "votes", "tie"}; RVAs, None for
        none; "how" one of GIVEN."""
        keep, array = function_sets([(name, signatures)])
        finding = SigcheckSetFinding()
        if not self.lib.sigcheckResolveSet(handle.handle, array, ctypes.byref(finding)):
            raise ValueError(f"{name}: more than {MOST_IN_SET} signatures")
        del keep

        def rva(value):
            return None if value < 0 else value

        return {"signatures": [{"match_count": finding.matchCount[k], "first": rva(finding.first[k]),
                                "gives": rva(finding.gives[k]), "how": GIVEN[finding.how[k]],
                                "within": rva(finding.within[k])} for k in range(len(signatures))],
                "address": rva(finding.address), "votes": finding.votes, "tie": bool(finding.tie)}

    def _carried(self, c, name):
        def texts(pointer, count):
            return [pointer[k].decode() for k in range(count)]

        return {"name": name, "verdict": self.verdicts[c.verdict],
                "old_rva": None if c.oldRva < 0 else c.oldRva, "old_found_count": c.oldFoundCount,
                "new_found": [c.newFound[k] for k in range(c.newFoundCount)],
                "new_rva": None if c.newRva < 0 else c.newRva,
                "signature": c.entrySignature.decode() if c.entrySignature is not None else None,
                "survives": bool(c.survives), "margin": c.margin, "evidence": c.evidence.decode(),
                "changed_displacements": texts(c.changedDisplacements, c.changedDisplacementCount),
                # Scores are given to three decimals.
                "set": [{"kind": next(k for k, v in KINDS.items() if v == s.kind), "call_at": s.callAt,
                         "signature": s.signature.decode()} for s in (c.set[k] for k in range(c.setCount))],
                "older_rva": [None if c.olderRva[k] < 0 else c.olderRva[k] for k in range(c.olderCount)],
                "sources": c.sources,
                "candidates": [{"rva": d.rva, "score": round(d.score, 3) if math.isfinite(d.score) else 0.0,
                                "evidence": texts(d.evidence, d.evidenceCount), "diff": texts(d.diff, d.diffCount)}
                               for d in (c.candidates[k] for k in range(c.candidateCount))]}


class ModuleHandle:
    """The library's view of one laid-out module, open until closed: the
    plug-in's search over it, and the analysis's reading of it."""

    def __init__(self, library, module, with_imports):
        self.lib = library.lib
        self.module = module
        self._keep = []  # every buffer the library points into stays alive with this object

        def keep(value):
            self._keep.append(value)
            return ctypes.cast(value, c_void_p)

        data = (c_char * len(module.bytes)).from_buffer(module.bytes)  # no copy
        bounds = (c_uint64 * (len(module.regions) + 1))(*[r[0] for r in module.regions], len(module.bytes))
        kinds = (c_uint8 * len(module.regions))(*[r[2] for r in module.regions])
        imports = sorted(module.imports().items()) if with_imports else []
        slots = (c_uint32 * max(1, len(imports)))(*[slot & 0xFFFFFFFF for slot, _ in imports])
        names = (c_char_p * max(1, len(imports)))(*[name.encode() for _, name in imports])
        self.description = SigcheckModule(keep(data), len(module.bytes), keep(bounds), keep(kinds),
                                          len(module.regions), module.base, module.entry_point, *module.exceptions,
                                          *module.relocations, keep(slots), keep(names), len(imports))
        self.handle = self.lib.sigcheckOpen(ctypes.byref(self.description))

    def close(self):
        self.lib.sigcheckClose(self.handle)

    def in_code(self, mask, pattern):
        """Every match in code, lowest first, overlapping starts included."""
        return self._every(self.lib.sigcheckFindInCode, mask, pattern)

    def anywhere(self, mask, pattern):
        """Every match anywhere in the image, lowest first."""
        return self._every(self.lib.sigcheckFindAnywhere, mask, pattern)

    def _every(self, find, mask, pattern):
        found, at = [], 0
        while (hit := find(self.handle, mask, pattern, at)) >= 0:
            found.append(hit)
            at = hit + 1  # overlapping starts count
        return found

    def near_misses(self, mask, pattern, mismatches, limit):
        limit = min(limit, NEAR_MISSES_MOST)
        out = (c_uint64 * limit)()
        count = self.lib.sigcheckNearMisses(self.handle, mask, pattern, mismatches, out, limit)
        return list(out[:count])

    def can_begin_function(self, rva):
        """None when rva can begin a function by the plug-in's rule; otherwise the RVA of the
        function (or record) it lies strictly inside, or -1 when the exception directory's
        records are out of order, overlap or lie outside the image."""
        within = c_int64(-1)
        return None if self.lib.sigcheckCanBeginFunction(self.handle, rva, ctypes.byref(within)) else within.value

    def hand_made_signature(self, rva):
        """(mask, pattern) as a maintainer makes one for the function at rva, or None."""
        mask = ctypes.create_string_buffer(LONGEST_HAND_MADE)
        pattern = (c_uint8 * LONGEST_HAND_MADE)()
        length = self.lib.sigcheckHandMadeSignature(self.handle, rva, mask, pattern, LONGEST_HAND_MADE)
        return (mask.value.decode(), bytes(pattern[:length])) if length else None
