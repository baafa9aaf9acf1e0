#!/usr/bin/env python3
"""Checks the built plug-in file as the hook's loader and a player's machine see it.

    check_pe.py --objdump OBJDUMP --version X.Y.Z PATH/Nozzles.asi
"""
import argparse
import re
import struct
import subprocess
import sys
from pathlib import Path

HOOK_IMPORTS = {
    "?scriptRegister@@YAXPEAUHINSTANCE__@@P6AXXZ@Z",
    "?scriptUnregister@@YAXPEAUHINSTANCE__@@@Z",
    "?scriptWait@@YAXK@Z",
    "?nativeInit@@YAX_K@Z",
    "?nativePush64@@YAX_K@Z",
    "?nativeCall@@YAPEA_KXZ",
}
# The hook, the system and the C runtime that every Windows installation has.
ALLOWED_DLLS = {"scripthookv.dll", "kernel32.dll", "msvcrt.dll"}
# A guest starts no thread, handles no exception of anyone else's, touches no
# thread's context, and carries no exception runtime of its own.
FORBIDDEN_IMPORTS = {
    "AddVectoredExceptionHandler", "AddVectoredContinueHandler", "SetUnhandledExceptionFilter",
    "CreateThread", "_beginthreadex", "SetThreadContext", "RaiseException", "RtlUnwindEx",
}
DLL_CHARACTERISTICS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
RT_VERSION = 16
RT_MANIFEST = 24


class Image:
    """The headers, sections and resources of a PE32+ file."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        _, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a 64-bit image")
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii")
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            flags = struct.unpack_from("<I", data, at + 36)[0]
            self.sections.append((name, rva, max(size, raw_size), raw, flags))

    def offset(self, rva):
        for _, start, size, raw, _ in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} in no section")

    def resources(self):
        """{type id: bytes of its first resource}."""
        rva = self.directories[2][0]
        if rva == 0:
            return {}
        root = self.offset(rva)

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            return [struct.unpack_from("<II", self.data, at + 16 + 8 * i) for i in range(named + numbered)]

        def first_leaf(value):
            while value & 0x80000000:
                value = entries(root + (value & 0x7FFFFFFF))[0][1]
            data_rva, size = struct.unpack_from("<II", self.data, root + value)
            return self.data[self.offset(data_rva):self.offset(data_rva) + size]

        return {name: first_leaf(value) for name, value in entries(root)}


def version_info(data):
    """The string values and the fixed version numbers of a VS_VERSIONINFO block."""
    strings = {}
    fixed = None

    def node(at, end_of_parent):
        nonlocal fixed
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        end = min(at + length, end_of_parent)
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        if key == "VS_VERSION_INFO":
            signature, _, ms, ls = struct.unpack_from("<IIII", data, value_at)
            if signature == 0xFEEF04BD:
                fixed = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if kind == 1 and value_length:
            text = data[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
            strings[key] = text
            value_size = 2 * value_length
        else:
            value_size = value_length
        child = (value_at + value_size + 3) & ~3
        while child + 6 <= end:
            child_length = struct.unpack_from("<H", data, child)[0]
            if child_length == 0:
                break
            node(child, end)
            child = (child + child_length + 3) & ~3

    node(0, len(data))
    return strings, fixed


def plugin_version(path):
    """The version a player sees in the file's properties, or None."""
    resource = Image(Path(path).read_bytes()).resources().get(RT_VERSION)
    return version_info(resource)[0].get("ProductVersion") if resource else None


def imports_by_dll(dump):
    result = {}
    current = None
    for line in dump.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = m.group(1)
            result[current] = set()
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if current and m:
            result[current].add(m.group(1))
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("file")
    args = parser.parse_args()
    path = Path(args.file)
    dump = subprocess.run([args.objdump, "-p", str(path)], capture_output=True, text=True, check=True).stdout
    image = Image(path.read_bytes())
    failures = []

    if path.name != "Nozzles.asi":
        failures.append(f"file is named {path.name}, not Nozzles.asi")
    if not image.characteristics & 0x2000:
        failures.append("not a DLL")
    imports = imports_by_dll(dump)
    hook = {name: names for name, names in imports.items() if name.lower() == "scripthookv.dll"}
    if len(hook) != 1:
        failures.append(f"imports from ScriptHookV.dll: {sorted(hook)}")
    elif next(iter(hook.values())) != HOOK_IMPORTS:
        names = next(iter(hook.values()))
        failures.append(f"hook imports differ: missing {sorted(HOOK_IMPORTS - names)}, extra {sorted(names - HOOK_IMPORTS)}")
    foreign = sorted(name for name in imports if name.lower() not in ALLOWED_DLLS)
    if foreign:
        failures.append(f"imports from DLLs beyond the hook, KERNEL32 and msvcrt: {foreign}")
    forbidden = sorted(set().union(*imports.values()) & FORBIDDEN_IMPORTS) if imports else []
    if forbidden:
        failures.append(f"imports what a guest must not use: {forbidden}")
    exported = re.search(r"Export Address Table\s+([0-9a-f]+)\s*\n\s*\[Name Pointer/Ordinal\] Table\s+([0-9a-f]+)", dump)
    if "The Export Tables" in dump and (exported is None or int(exported.group(1), 16) or int(exported.group(2), 16)):
        failures.append("the file exports functions")
    for flag, bit in DLL_CHARACTERISTICS.items():
        if not image.dll_characteristics & bit:
            failures.append(f"DllCharacteristics lacks {flag}")
    for name, _, _, _, flags in image.sections:
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            failures.append(f"section {name} is both writable and executable")
    resources = image.resources()
    if sorted(resources) != [RT_VERSION, RT_MANIFEST]:
        failures.append(f"resource types {sorted(resources)}, not a version and a manifest")
    else:
        strings, fixed = version_info(resources[RT_VERSION])
        expected = {"FileVersion": args.version, "ProductVersion": args.version, "ProductName": "Nozzles",
                    "OriginalFilename": "Nozzles.asi"}
        for key, value in expected.items():
            if strings.get(key) != value:
                failures.append(f"version resource {key} is {strings.get(key)!r}, not {value!r}")
        if not strings.get("FileDescription"):
            failures.append("version resource has no FileDescription")
        numbers = tuple(int(part) for part in args.version.split(".")) + (0,)
        if fixed != numbers:
            failures.append(f"fixed file version {fixed}, not {numbers}")

    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"{path.name}: {path.stat().st_size} bytes; imports {sorted(imports)}, the six hook functions by their "
              f"decorated names, none of {sorted(FORBIDDEN_IMPORTS)}; no exports; ASLR (high entropy) and NX; no "
              f"writable code; a manifest and version {args.version}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
