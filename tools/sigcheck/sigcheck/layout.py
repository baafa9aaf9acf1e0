"""A game build read from a file, or from a dump of the module as it lay
mapped, with pefile, and laid out as the loader lays it: bytes by RVA,
sections, regions, the directories the library reads. Input it cannot read
raises Unreadable, which the command turns into one line and exit 2."""
from pathlib import Path

import pefile

from .binding import REGION_CODE, REGION_OTHER, REGION_READ_ONLY

EXECUTE, READ, WRITE = 0x20000000, 0x40000000, 0x80000000
MACHINE_AMD64 = 0x8664


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
        self.kind = REGION_CODE if self.code else \
            REGION_READ_ONLY if flags & READ and not flags & WRITE else REGION_OTHER


def machine_name(machine):
    name = pefile.MACHINE_TYPE.get(machine)
    return name.replace("IMAGE_FILE_MACHINE_", "") if isinstance(name, str) else "unknown"


class LaidOutModule:
    """The module as the loader lays it out: bytes by RVA, sections, regions, and
    the directories the library reads."""

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
        machine = pe.FILE_HEADER.Machine
        if machine != MACHINE_AMD64:
            # Another processor's code decoded as x86-64 would answer as if it were a game build.
            raise Unreadable(f"built for machine 0x{machine:04X} ({machine_name(machine)}), not x86-64 "
                             "(the game is x86-64)")
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
        self.entry_point = pe.OPTIONAL_HEADER.AddressOfEntryPoint
        directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
        # Where the library finds the tables it reads itself.
        self.exceptions = (directories[3].VirtualAddress, directories[3].Size) if len(directories) > 3 else (0, 0)
        self.relocations = (directories[5].VirtualAddress, directories[5].Size) if len(directories) > 5 else (0, 0)
        self._imports = None

    def _regions(self):
        """(begin, end, kind) covering the whole image: headers, sections, the gaps between."""
        regions, at = [], 0
        for index, section in enumerate(self.sections):
            following = self.sections[index + 1].rva if index + 1 < len(self.sections) else len(self.bytes)
            if section.rva > at:
                regions.append((at, section.rva, REGION_OTHER))
            end = min(section.span_end, following)
            regions.append((section.rva, end, section.kind))
            at = end
        if at < len(self.bytes):
            regions.append((at, len(self.bytes), REGION_OTHER))
        return regions

    def code_bytes(self):
        return sum(end - begin for begin, end, kind in self.regions if kind == REGION_CODE)

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
