"""nozzles-sigcheck: the plug-in's signatures in a game build, without running it,
and carried across a game update.

    nozzles-sigcheck GAME.exe                 each signature's matches in a PE image on disk
    nozzles-sigcheck --mapped [--base ADDR] DUMP
                                              the module as it lay mapped in a running process
    nozzles-sigcheck NEW.exe --old OLD.exe [--signatures FILE] [--json] [--write-header FILE]
                                              each signature's function found in the old build,
                                              located in the new one, and a signature for it there

The PE format is read by pefile; the search is the plug-in's own, and the
analysis of two builds (decoding with Zydis, functions, their pairing, the
new signatures) is C++ in the same library (libnozzles_sigcheck.so), both
reached through ctypes over the image laid out as the loader lays it.

Exit status, checking: 0 when every signature has exactly one match in code,
1 when one has none or several. Carrying: 0 when every signature is kept, or
replaced with a new signature; 1 otherwise. Both: 2 for input that cannot be
read, with one line.
"""
import argparse
import ctypes
import json
import re
import sys
from pathlib import Path

import pefile

EXECUTE, READ, WRITE = 0x20000000, 0x40000000, 0x80000000
NEAR_MISSES = 5
ROOT = Path(__file__).resolve().parents[2]
HEADER = ROOT / "src" / "memory" / "game_signatures.h"
HEADER_SIGNATURE = re.compile(r'signature\("(\w+)", "([0-9A-F? ]+)"\)')
KIND_OTHER, KIND_CODE, KIND_READ_ONLY = 0, 1, 2


class Unreadable(Exception):
    """Input the tool cannot read: one line, exit 2."""


def align_up(value, alignment):
    return value if alignment <= 1 else (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, header, alignment):
        self.header = header
        # A name is any 8 bytes: shown printable, so that a report line stays one line.
        name = header.Name.rstrip(b"\0").decode("ascii", "replace")
        self.name = "".join(c if c.isprintable() else "?" for c in name) or "(unnamed)"
        self.rva = header.VirtualAddress
        # The loader maps the virtual size; a zero one means the raw size.
        self.size = header.Misc_VirtualSize or header.SizeOfRawData
        self.end = self.rva + self.size
        self.span_end = align_up(self.end, alignment)
        self.raw_offset = header.PointerToRawData
        self.raw_size = header.SizeOfRawData
        flags = header.Characteristics
        # Code the plug-in would search: executable pages it may read.
        self.code = flags & EXECUTE != 0 and flags & READ != 0
        self.kind = KIND_CODE if self.code else KIND_READ_ONLY if flags & READ and not flags & WRITE else KIND_OTHER


class Image:
    """The module as the loader lays it out: bytes by RVA, sections, regions, and
    the directories the analysis reads."""

    def __init__(self, path, mapped, base):
        self.path = path
        self.mapped = mapped
        data = Path(path).read_bytes()
        if not data:
            raise Unreadable("empty file")
        try:
            pe = pefile.PE(data=data, fast_load=True)
        except pefile.PEFormatError as error:
            raise Unreadable(f"not a PE file: {error.value}")
        if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            raise Unreadable("not a 64-bit PE image (the game is one)")
        count = pe.FILE_HEADER.NumberOfSections
        table = pe.DOS_HEADER.e_lfanew + 4 + 20 + pe.FILE_HEADER.SizeOfOptionalHeader
        self.section_table = table
        if table + 40 * count > len(data):
            raise Unreadable(f"the section table ({count} headers at 0x{table:X}) runs past the end of the file "
                             f"(0x{len(data):X} bytes): truncated")
        if len(pe.sections) != count:
            raise Unreadable(f"only {len(pe.sections)} of {count} section headers could be read")
        alignment = pe.OPTIONAL_HEADER.SectionAlignment
        self.sections = sorted((Section(header, alignment) for header in pe.sections), key=lambda s: s.rva)
        self.base = base if base is not None else pe.OPTIONAL_HEADER.ImageBase
        size_of_image = pe.OPTIONAL_HEADER.SizeOfImage
        previous = None
        for section in self.sections:
            if section.end > 0xFFFFFFFF:
                raise Unreadable(f"section {section.name}: VirtualAddress 0x{section.rva:X} + size 0x{section.size:X} "
                                 "overflows 32 bits")
            if section.end > size_of_image:
                raise Unreadable(f"section {section.name} ends at RVA 0x{section.end:X}, beyond SizeOfImage "
                                 f"0x{size_of_image:X}")
            if previous is not None and section.rva < previous.span_end:
                raise Unreadable(f"sections {previous.name} and {section.name} overlap at RVA 0x{section.rva:X}")
            if mapped:
                if section.end > len(data):
                    raise Unreadable(f"truncated dump: section {section.name} ends at 0x{section.end:X}, the dump at "
                                     f"0x{len(data):X}")
            elif section.raw_size and section.raw_offset >= len(data):
                raise Unreadable(f"section {section.name}'s raw data at file offset 0x{section.raw_offset:X} lies "
                                 f"outside the file (0x{len(data):X} bytes)")
            elif section.raw_size and section.raw_offset + section.raw_size > len(data):
                raise Unreadable(f"truncated: section {section.name}'s raw data ends at file offset "
                                 f"0x{section.raw_offset + section.raw_size:X}, the file at 0x{len(data):X}")
            previous = section
        end = max([s.span_end for s in self.sections] + [pe.OPTIONAL_HEADER.SizeOfHeaders])
        first = self.sections[0].rva if self.sections else end
        # Laid out as the loader does: SizeOfHeaders bytes of headers, the rest
        # of their pages zero, each section's data at its address, zero after.
        self.bytes = bytearray(end)
        headers = min(pe.OPTIONAL_HEADER.SizeOfHeaders, first)
        self.bytes[:headers] = data[:headers]
        for section in self.sections:
            content = memoryview(data)[section.rva:section.span_end] if mapped else section.header.get_data()
            content = content[:section.span_end - section.rva]
            self.bytes[section.rva:section.rva + len(content)] = content
        self.regions = self._regions()
        self.entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
        directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
        self.exceptions = (directories[3].VirtualAddress, directories[3].Size) if len(directories) > 3 else (0, 0)
        self.relocations = (directories[5].VirtualAddress, directories[5].Size) if len(directories) > 5 else (0, 0)
        self._pe = pe
        self._imports = None

    def _regions(self):
        """(begin, end, kind) covering the whole image: headers, sections, the gaps between."""
        regions, at = [], 0
        for index, section in enumerate(self.sections):
            following = self.sections[index + 1].rva if index + 1 < len(self.sections) else len(self.bytes)
            if section.rva > at:
                regions.append((at, section.rva, KIND_OTHER))
            end = min(section.span_end, following)
            regions.append((section.rva, end, section.kind))
            at = end
        if at < len(self.bytes):
            regions.append((at, len(self.bytes), KIND_OTHER))
        return regions

    def code_bytes(self):
        return sum(end - begin for begin, end, kind in self.regions if kind == KIND_CODE)

    def laid_out_pe(self):
        """pefile over the laid-out image, each section's raw data where it is mapped,
        so that its directories read the same from a file and from a dump."""
        image = bytearray(self.bytes)
        for index, section in enumerate(self.sections):
            header = self.section_table + 40 * index
            if header + 40 <= len(image):
                image[header + 16:header + 24] = (section.span_end - section.rva).to_bytes(4, "little") + \
                    section.rva.to_bytes(4, "little")
        return pefile.PE(data=bytes(image), fast_load=True)

    def imports(self):
        """{IAT slot RVA: "dll!name"}; none where the import directory cannot be read."""
        if self._imports is None:
            self._imports = {}
            try:
                pe = self.laid_out_pe()
                pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
                for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
                    dll = entry.dll.decode("ascii", "replace") if entry.dll else "?"
                    for imported in entry.imports:
                        name = imported.name.decode("ascii", "replace") if imported.name else f"#{imported.ordinal}"
                        self._imports[imported.address - pe.OPTIONAL_HEADER.ImageBase] = f"{dll}!{name}"
            except Exception:  # a broken import directory costs the evidence of imports, nothing else
                self._imports = {}
        return self._imports

    def section_of(self, rva):
        for section in self.sections:
            if section.rva <= rva < section.span_end:
                return section
        return None

    def place(self, rva):
        section = self.section_of(rva)
        if section is not None:
            return section.name
        return "the headers" if not self.sections or rva < self.sections[0].rva else "no section"

    def where(self, rva):
        """RVA, address, section and file offset, as the report gives them."""
        section = self.section_of(rva)
        if self.mapped:
            offset = f"dump offset 0x{rva:X}"
        elif section is None:
            offset = f"file offset 0x{rva:X}"
        elif rva - section.rva < section.raw_size:
            offset = f"file offset 0x{section.raw_offset + rva - section.rva:X}"
        else:
            offset = "not in the file (zero-filled)"
        return f"RVA 0x{rva:X} (0x{self.base + rva:X}) in {self.place(rva)}, {offset}"

    def describe(self, label):
        kind = "a module dump" if self.mapped else "a PE image on disk"
        return (f"{label}{self.path}: {kind}, image base 0x{self.base:X}, {len(self.sections)} sections, "
                f"{sum(s.code for s in self.sections)} of them code ({self.code_bytes() / 2**20:.2f} MiB)")


class Described(ctypes.Structure):
    """One image as the library reads it (SigcheckImage in image.h)."""
    _fields_ = [("bytes", ctypes.c_void_p), ("size", ctypes.c_uint64), ("bounds", ctypes.c_void_p),
                ("kinds", ctypes.c_void_p), ("regionCount", ctypes.c_uint64), ("base", ctypes.c_uint64),
                ("entry", ctypes.c_uint32), ("pdataRva", ctypes.c_uint32), ("pdataSize", ctypes.c_uint32),
                ("relocRva", ctypes.c_uint32), ("relocSize", ctypes.c_uint32), ("importSlots", ctypes.c_void_p),
                ("importNames", ctypes.c_void_p), ("importCount", ctypes.c_uint64)]


class Library:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        u64, i64, ptr, text = ctypes.c_uint64, ctypes.c_int64, ctypes.c_void_p, ctypes.c_char_p
        for name, restype, argtypes in [
                ("sigcheckOpen", ptr, [ctypes.POINTER(Described)]), ("sigcheckClose", None, [ptr]),
                ("sigcheckFree", None, [ptr]), ("sigcheckFindInCode", i64, [ptr, text, text, u64]),
                ("sigcheckFindAnywhere", i64, [ptr, text, text, u64]),
                ("sigcheckNearMisses", u64, [ptr, text, text, ctypes.c_uint, ptr, u64]),
                ("sigcheckCarry", ptr, [ptr, ptr, text, ctypes.c_double])]:
            function = getattr(self.lib, name)
            function.restype, function.argtypes = restype, argtypes


class Search:
    """The library's view of one image: the plug-in's search over it, and its analysis."""

    def __init__(self, library, image, with_imports):
        self.lib = library.lib
        self.image = image
        self._keep = []  # every buffer the library points into stays alive with this object

        def keep(value):
            self._keep.append(value)
            return ctypes.cast(value, ctypes.c_void_p)

        data = (ctypes.c_char * len(image.bytes)).from_buffer(image.bytes)  # no copy
        bounds = (ctypes.c_uint64 * (len(image.regions) + 1))(*[r[0] for r in image.regions], len(image.bytes))
        kinds = (ctypes.c_uint8 * len(image.regions))(*[r[2] for r in image.regions])
        imports = sorted(image.imports().items()) if with_imports else []
        slots = (ctypes.c_uint32 * max(1, len(imports)))(*[slot & 0xFFFFFFFF for slot, _ in imports])
        names = (ctypes.c_char_p * max(1, len(imports)))(*[name.encode() for _, name in imports])
        self.described = Described(keep(data), len(image.bytes), keep(bounds), keep(kinds), len(image.regions),
                                   image.base, image.entry, *image.exceptions, *image.relocations, keep(slots),
                                   keep(names), len(imports))
        self.handle = self.lib.sigcheckOpen(ctypes.byref(self.described))

    def close(self):
        self.lib.sigcheckClose(self.handle)

    def in_code(self, mask, pattern):
        found, at = [], 0
        while (hit := self.lib.sigcheckFindInCode(self.handle, mask, pattern, at)) >= 0:
            found.append(hit)
            at = hit + 1  # overlapping starts count
        return found

    def anywhere(self, mask, pattern):
        found, at = [], 0
        while (hit := self.lib.sigcheckFindAnywhere(self.handle, mask, pattern, at)) >= 0:
            found.append(hit)
            at = hit + 1
        return found

    def near_misses(self, mask, pattern, mismatches, limit):
        out = (ctypes.c_uint64 * limit)()
        count = self.lib.sigcheckNearMisses(self.handle, mask, pattern, mismatches, out, limit)
        return list(out[:count])


def signature_text(mask, pattern):
    return " ".join("??" if c == "?" else f"{b:02X}" for c, b in zip(mask, pattern))


def parse_bytes(words):
    """(mask, pattern) of disassembler-style bytes ("48 8B ?? 57"), or None."""
    mask, pattern = "", bytearray()
    for word in words:
        if word in ("?", "??"):
            mask, pattern = mask + "?", pattern + b"\0"
        elif re.fullmatch(r"[0-9A-Fa-f]{2}", word):
            mask, pattern = mask + "x", pattern + bytes([int(word, 16)])
        else:
            return None
    return (mask, bytes(pattern)) if mask else None


def header_signatures(path=HEADER):
    """(name, mask, pattern) of the plug-in's signatures, from the header that holds them."""
    found = [(name, *parse_bytes(text.split())) for name, text in HEADER_SIGNATURE.findall(path.read_text())]
    if not found:
        raise Unreadable(f"{path}: no signature(\"name\", \"bytes\") in it")
    return found


def file_signatures(path):
    """One signature a line: a name, then its bytes; '#' starts a comment."""
    found = []
    for number, line in enumerate(Path(path).read_text(errors="replace").splitlines(), 1):
        words = line.partition("#")[0].split()
        if not words:
            continue
        parsed = parse_bytes(words[1:])
        if parsed is None or parsed[0].strip("?") == "":
            raise Unreadable(f"line {number}: a name, then bytes as two hexadecimal digits or ?? each, one fixed "
                             "at least")
        found.append((words[0], *parsed))
    if not found:
        raise Unreadable("no signature in it")
    return found


def report(search, image, name, mask, pattern):
    """Prints one signature's findings; True when it has exactly one match in code."""
    m = mask.encode()
    code = search.in_code(m, pattern)
    print(f"{name}  {signature_text(mask, pattern)}")
    if code:
        first = code[0]
        wild = " ".join(f"{image.bytes[first + k]:02X}" for k, c in enumerate(mask) if c == "?")
        print(f"  the plug-in calls: {image.where(first)}; wildcard bytes {wild}")
    else:
        print("  the plug-in calls: nothing, no match in code")
    others = "" if len(code) < 2 else "; the plug-in calls the lowest, not " + ", ".join(f"RVA 0x{r:X}" for r in code[1:6])
    print(f"  matches in code: {len(code)}{others}")
    outside = sorted(set(search.anywhere(m, pattern)) - set(code))
    if outside:
        counts = {}
        for rva in outside:
            counts[image.place(rva)] = counts.get(image.place(rva), 0) + 1
        print(f"  copies outside code, passed over: {len(outside)} ("
              + ", ".join(f"{where} {n}" for where, n in counts.items()) + ")")
    else:
        print("  copies outside code, passed over: 0")
    if not code:
        fixed = [k for k, c in enumerate(mask) if c != "?"]
        shown = 0
        for mismatches in (1, 2):
            places = search.near_misses(m, pattern, mismatches, NEAR_MISSES - shown)
            if places:
                print(f"  near-misses, all fixed bytes but {'one' if mismatches == 1 else 'two'}:")
            for rva in places:
                differ = ", ".join(f"position {k} is {image.bytes[rva + k]:02X}, not {pattern[k]:02X}"
                                   for k in fixed if image.bytes[rva + k] != pattern[k])
                print(f"    {image.where(rva)}: {differ}")
            shown += len(places)
            if shown >= NEAR_MISSES:
                break
        if shown == 0:
            print("  near-misses: none with all fixed bytes but one or two")
    return len(code) == 1


def carried_well(result):
    return result["verdict"] == "kept" or (result["verdict"] == "replaced" and result["signature"] is not None)


def carry_report(old, new, result, signature):
    """The human report of one carried signature."""
    name, mask, pattern = signature
    print(f"{name}  {signature_text(mask, pattern)}")
    print(f"  verdict: {result['verdict']}")
    if result["old_rva"] is None:
        print(f"  old: {result['old_matches'] if result['old_matches'] < 3 else '3 or more'} matches in code")
    else:
        print(f"  old: {old.where(result['old_rva'])}")
    matches = result["new_matches"]
    shown = ", ".join(f"RVA 0x{rva:X}" for rva in matches[:5]) + (", ..." if len(matches) > 5 else "")
    print(f"  the old signature in the new build: {len(matches)} match{'es' if len(matches) != 1 else ''} in code"
          + (f" ({shown})" if matches else ""))
    if result["new_rva"] is not None:
        print(f"  new: {new.where(result['new_rva'])}")
    print(f"  evidence: {result['evidence']}")
    if result["signature"] is not None:
        notes = ["matches the old function alone in the old build too" if result["survives"]
                 else "does not match the old function alone in the old build"]
        notes.append("nearest near-miss: " + ("3 or more fixed bytes away" if result["margin"] >= 3
                                              else f"{result['margin']} fixed byte{'s' if result['margin'] > 1 else ''} away"))
        print(f"  signature: {result['signature']} ({'; '.join(notes)})")
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


def write_header(path, results, signatures):
    """The header's text with each signature that changed replaced, written to path."""
    text = HEADER.read_text()
    new = {r["name"]: r["signature"] for r in results if r["signature"] is not None}

    def replace(match):
        return f'signature("{match.group(1)}", "{new.get(match.group(1), match.group(2))}")'

    Path(path).write_text(HEADER_SIGNATURE.sub(replace, text))


def main():
    parser = argparse.ArgumentParser(prog="nozzles-sigcheck", description=__doc__.split("\n\n")[0])
    parser.add_argument("--mapped", action="store_true", help="the file is a dump of the module as mapped")
    parser.add_argument("--base", type=lambda text: int(text, 0), help="where the dumped module lay (default: "
                        "the ImageBase its headers give)")
    parser.add_argument("--old", metavar="OLD", help="the build the signatures were made for: carry them to FILE")
    parser.add_argument("--old-mapped", action="store_true", help="OLD is a dump of the module as mapped")
    parser.add_argument("--old-base", type=lambda text: int(text, 0), help="where the dumped OLD module lay")
    parser.add_argument("--signatures", metavar="FILE", help="signatures to carry, one a line: a name, then bytes "
                        "(default: the plug-in's, from src/memory/game_signatures.h)")
    parser.add_argument("--json", action="store_true", help="one JSON object on standard output, for scripts")
    parser.add_argument("--write-header", metavar="FILE", help="write game_signatures.h with the new signatures")
    parser.add_argument("--time-limit", type=float, default=300, metavar="SECONDS",
                        help="give up (exit 2) after this long (default 300)")
    parser.add_argument("--library", required=True, help=argparse.SUPPRESS)
    parser.add_argument("file")
    args = parser.parse_args()
    if args.base is not None and not args.mapped:
        parser.error("--base goes with --mapped")
    if args.old_base is not None and not args.old_mapped:
        parser.error("--old-base goes with --old-mapped")
    if args.old is None and (args.old_mapped or args.signatures or args.json or args.write_header):
        parser.error("--old-mapped, --signatures, --json and --write-header go with --old")
    if args.write_header and args.signatures:
        parser.error("--write-header writes the plug-in's own signatures: not with --signatures")

    def read(path, mapped, base):
        try:
            return Image(path, mapped, base)
        except Unreadable as error:
            raise Unreadable(f"{path}: {error}")
        except OSError as error:
            raise Unreadable(f"{path}: {error.strerror}")

    try:
        image = read(args.file, args.mapped, args.base)
        old = read(args.old, args.old_mapped, args.old_base) if args.old else None
        if args.signatures:
            try:
                signatures = file_signatures(args.signatures)
            except OSError as error:
                raise Unreadable(f"{args.signatures}: {error.strerror}")
            except Unreadable as error:
                raise Unreadable(f"{args.signatures}: {error}")
        else:
            signatures = header_signatures()
    except Unreadable as error:
        print(f"nozzles-sigcheck: {error}", file=sys.stderr)
        return 2
    library = Library(args.library)

    if old is None:
        print(image.describe(""))
        search = Search(library, image, with_imports=False)
        once = [report(search, image, *signature) for signature in signatures]
        print(f"{sum(once)} of {len(once)} signatures found exactly once in code")
        return 0 if all(once) else 1

    old_search, new_search = Search(library, old, True), Search(library, image, True)
    lines = "".join(f"{name}\t{mask}\t{pattern.hex()}\n" for name, mask, pattern in signatures)
    answer = library.lib.sigcheckCarry(old_search.handle, new_search.handle, lines.encode(), args.time_limit)
    outcome = json.loads(ctypes.string_at(answer).decode())
    library.lib.sigcheckFree(answer)
    if "error" in outcome:
        print(f"nozzles-sigcheck: {args.file}: {outcome['error']}", file=sys.stderr)
        return 2
    results = outcome["signatures"]
    good = all(carried_well(r) for r in results)
    if args.json:
        print(json.dumps({"signatures": [{key: r[key] for key in ("name", "verdict", "old_rva", "new_rva", "signature",
                                                                  "evidence", "changed_displacements")} |
                                         {"candidates": [{"rva": c["rva"], "score": c["score"]}
                                                         for c in r["candidates"]]} for r in results]}))
    else:
        print(old.describe("old: ") + f", {outcome['old_functions']} functions")
        print(image.describe("new: ") + f", {outcome['new_functions']} functions, "
              f"{outcome['paired']} paired with the old build's")
        for result, signature in zip(results, signatures):
            carry_report(old, image, result, signature)
        counts = {v: sum(r["verdict"] == v for r in results)
                  for v in ("kept", "replaced", "wrong-function", "not-found", "old-not-unique")}
        print(f"{sum(carried_well(r) for r in results)} of {len(results)} signatures carried: "
              + ", ".join(f"{n} {v}" for v, n in counts.items()))
    if args.write_header:
        # Written once every signature has one to use: kept, or new, a wrong
        # function's mended too; the exit status still asks for a person then.
        if all(r["signature"] is not None for r in results):
            write_header(args.write_header, results, signatures)
            print(f"wrote {args.write_header}", file=sys.stderr)
        else:
            print(f"nozzles-sigcheck: {args.write_header} not written: not every signature has one to use",
                  file=sys.stderr)
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
