"""nozzles-sigcheck: the plug-in's three signatures in a game build, without running it.

    nozzles-sigcheck GAME.exe                 a PE image as it lies on disk
    nozzles-sigcheck --mapped [--base ADDR] DUMP
                                              the module as it lay mapped in a running process

The PE format is read by pefile; the search is the plug-in's own, reached
through a thin C entry (libnozzles_sigcheck.so), over the image laid out
as the loader lays it, with the executable sections as code. Exit status: 0
when every signature has exactly one match in code, 1 when one has none or
several, 2 for input that cannot be read.
"""
import argparse
import ctypes
import sys
from pathlib import Path

import pefile

EXECUTE, READ = 0x20000000, 0x40000000
NEAR_MISSES = 5


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
        # Code the plug-in would search: executable pages it may read.
        self.code = header.Characteristics & EXECUTE != 0 and header.Characteristics & READ != 0


class Image:
    """The module as the loader lays it out: bytes by RVA, sections, code regions."""

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

    def _regions(self):
        """(begin, end, code) covering the whole image: headers, sections, the gaps between."""
        regions, at = [], 0
        for index, section in enumerate(self.sections):
            following = self.sections[index + 1].rva if index + 1 < len(self.sections) else len(self.bytes)
            if section.rva > at:
                regions.append((at, section.rva, False))
            end = min(section.span_end, following)
            regions.append((section.rva, end, section.code))
            at = end
        if at < len(self.bytes):
            regions.append((at, len(self.bytes), False))
        return regions

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


class Search:
    """The C entry to the plug-in's search, over one image."""

    def __init__(self, library, image):
        self.lib = ctypes.CDLL(library)
        u64, i64, ptr = ctypes.c_uint64, ctypes.c_int64, ctypes.c_void_p
        self.lib.sigcheckFindInCode.restype = i64
        image_pointer = ctypes.POINTER(ctypes.c_char)
        self.lib.sigcheckFindInCode.argtypes = [image_pointer, ptr, ptr, u64, ctypes.c_char_p, ctypes.c_char_p, u64]
        self.lib.sigcheckFindAnywhere.restype = i64
        self.lib.sigcheckFindAnywhere.argtypes = [image_pointer, u64, ctypes.c_char_p, ctypes.c_char_p, u64]
        self.lib.sigcheckNearMisses.restype = u64
        self.lib.sigcheckNearMisses.argtypes = [image_pointer, ptr, ptr, u64, ctypes.c_char_p, ctypes.c_char_p,
                                                ctypes.c_uint, ptr, u64]
        self.lib.sigcheckSignature.restype = ctypes.c_bool
        self.lib.sigcheckSignature.argtypes = [ctypes.c_uint, ptr, ptr, ptr]
        self.image = image
        self.bytes = (ctypes.c_char * len(image.bytes)).from_buffer(image.bytes)  # no copy
        self.bounds = (u64 * (len(image.regions) + 1))(*[r[0] for r in image.regions], len(image.bytes))
        self.code = (ctypes.c_uint8 * len(image.regions))(*[r[2] for r in image.regions])

    def signatures(self):
        """(name, mask, pattern) of each of the plug-in's signatures, from the plug-in's own table."""
        found, index = [], 0
        name, mask, pattern = ctypes.c_char_p(), ctypes.c_char_p(), ctypes.POINTER(ctypes.c_uint8)()
        while self.lib.sigcheckSignature(index, ctypes.byref(name), ctypes.byref(mask), ctypes.byref(pattern)):
            text = mask.value.decode()
            found.append((name.value.decode(), text, bytes(pattern[:len(text)])))
            index += 1
        return found

    def in_code(self, mask, pattern):
        found, at = [], 0
        while (hit := self.lib.sigcheckFindInCode(self.bytes, self.bounds, self.code, len(self.code), mask, pattern,
                                                  at)) >= 0:
            found.append(hit)
            at = hit + 1  # overlapping starts count
        return found

    def anywhere(self, mask, pattern):
        found, at = [], 0
        while (hit := self.lib.sigcheckFindAnywhere(self.bytes, len(self.bytes), mask, pattern, at)) >= 0:
            found.append(hit)
            at = hit + 1
        return found

    def near_misses(self, mask, pattern, mismatches, limit):
        out = (ctypes.c_uint64 * limit)()
        count = self.lib.sigcheckNearMisses(self.bytes, self.bounds, self.code, len(self.code), mask, pattern,
                                            mismatches, out, limit)
        return list(out[:count])


def report(search, image, name, mask, pattern):
    """Prints one signature's findings; True when it has exactly one match in code."""
    m = mask.encode()
    code = search.in_code(m, pattern)
    print(f"{name}  {' '.join('??' if c == '?' else f'{b:02X}' for c, b in zip(mask, pattern))}")
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


def main():
    parser = argparse.ArgumentParser(prog="nozzles-sigcheck", description=__doc__.split("\n\n")[0])
    parser.add_argument("--mapped", action="store_true", help="the file is a dump of the module as mapped")
    parser.add_argument("--base", type=lambda text: int(text, 0), help="where the dumped module lay (default: "
                        "the ImageBase its headers give)")
    parser.add_argument("--library", required=True, help=argparse.SUPPRESS)
    parser.add_argument("file")
    args = parser.parse_args()
    if args.base is not None and not args.mapped:
        parser.error("--base goes with --mapped")
    try:
        image = Image(args.file, args.mapped, args.base)
    except Unreadable as error:
        print(f"nozzles-sigcheck: {args.file}: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"nozzles-sigcheck: {args.file}: {error.strerror}", file=sys.stderr)
        return 2
    code_bytes = sum(end - begin for begin, end, code in image.regions if code)
    kind = "a module dump" if args.mapped else "a PE image on disk"
    print(f"{args.file}: {kind}, image base 0x{image.base:X}, {len(image.sections)} sections, "
          f"{sum(s.code for s in image.sections)} of them code ({code_bytes / 2**20:.2f} MiB)")
    search = Search(args.library, image)
    once = [report(search, image, *signature) for signature in search.signatures()]
    print(f"{sum(once)} of {len(once)} signatures found exactly once in code")
    return 0 if all(once) else 1


if __name__ == "__main__":
    sys.exit(main())
