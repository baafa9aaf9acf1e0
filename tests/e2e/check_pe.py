#!/usr/bin/env python3
"""Checks the built plug-in file as the hook's loader and a player's machine
see it, through binutils' own reading of the image (objdump, windres) and
the linker's map of it: its name and size; a DLL whose entry point is the
plug-in's own pluginEntry; imports from the hook (its six functions by their
decorated names), KERNEL32 and msvcrt only, and none of those a guest must
not use; no exports; ASLR with high-entropy addresses and no-execute; no
section both writable and executable; no aligned or non-temporal vector
move on a 32- or 64-byte register; no stream library, threads runtime or
exception runtime linked in; a manifest and the version resource.

    check_pe.py --objdump OBJDUMP --windres WINDRES --version X.Y.Z --map MAP PATH/Nozzles.asi
"""
import argparse
import re
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
# One self-contained file that carries only what it uses.
LARGEST = 64 * 1024
# What the map may not name: the C++ stream library, a threads runtime, the exception runtime.
NOT_LINKED = {"the stream library": r"ios_base|basic_[io]stream|basic_streambuf|locale",
              "a threads runtime": r"winpthread|pthread_",
              "the exception runtime": r"__cxa_throw|_Unwind_RaiseException|__gxx_personality"}
# The Win64 stack is aligned to 16 bytes only: an aligned 32- or 64-byte
# move of a local faults on Windows, though Wine's stack layout can hide it.
# The assembler's flag turns the aligned moves into unaligned ones, but leaves
# the non-temporal ones, which need alignment too, as they are.
WIDE_ALIGNED_MOVE = re.compile(r"^\s*([0-9a-f]+):.*\s(v?mova\S*|v?movdqa\S*|v?movnt\S*)\s.*%[yz]mm", re.M)


def wide_aligned_moves(disassembly):
    """(address, mnemonic) of every aligned or non-temporal vector move on a ymm or zmm register."""
    return WIDE_ALIGNED_MOVE.findall(disassembly)


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def resources(windres, path):
    """The image's resources as resource-script text."""
    return run(windres, "-i", str(path), "-O", "rc")


def plugin_version(windres, path):
    """The version a player sees in the file's properties, or None."""
    found = re.search(r'VALUE "ProductVersion", "([^"]*)"', resources(windres, path))
    return found.group(1) if found else None


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
    parser.add_argument("--windres", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("file")
    args = parser.parse_args()
    path = Path(args.file)
    dump = run(args.objdump, "-p", str(path))
    failures = []

    if path.name != "Nozzles.asi":
        failures.append(f"file is named {path.name}, not Nozzles.asi")
    if path.stat().st_size > LARGEST:
        failures.append(f"{path.stat().st_size} bytes, more than {LARGEST}")
    linked = Path(args.map).read_text().split("Linker script and memory map", 1)[-1]
    base = re.search(r"^\s+(0x[0-9a-f]+)\s+__image_base__ = ", linked, re.M)
    entry = re.search(r"^\s+(0x[0-9a-f]+)\s+pluginEntry$", linked, re.M)
    stated = re.search(r"AddressOfEntryPoint\s+([0-9a-f]+)", dump)
    if not (base and entry and stated) or int(entry.group(1), 16) - int(base.group(1), 16) != int(stated.group(1), 16):
        failures.append("the entry point is not pluginEntry")
    failures += [f"links {what} in" for what, pattern in NOT_LINKED.items() if re.search(pattern, linked)]
    if not re.search(r"Characteristics 0x[0-9a-f]+", dump) or "DLL" not in dump:
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
    characteristics = int(re.search(r"DllCharacteristics\s+([0-9a-f]+)", dump).group(1), 16)
    failures += [f"DllCharacteristics lacks {flag}" for flag, bit in DLL_CHARACTERISTICS.items()
                 if not characteristics & bit]
    # objdump marks executable sections CODE and those that cannot be written READONLY.
    for name, flags in re.findall(r"^\s*\d+ (\S+) .*\n\s+(.*)$", run(args.objdump, "-h", str(path)), re.M):
        if "CODE" in flags and "READONLY" not in flags:
            failures.append(f"section {name} is both writable and executable")
    aligned = wide_aligned_moves(run(args.objdump, "-d", str(path)))
    if aligned:
        failures.append(f"aligned or non-temporal wide vector moves at {', '.join(a for a, _ in aligned[:5])}")
    script = resources(args.windres, path)
    types = re.findall(r"^/\* Type: (\S+)", script, re.M)
    if sorted(types) != ["24", "version"]:
        failures.append(f"resource types {types}, not a version and a manifest")
    numbers = ", ".join(args.version.split(".")) + ", 0"
    expected = {"FileVersion": args.version, "ProductVersion": args.version, "ProductName": "Nozzles",
                "OriginalFilename": "Nozzles.asi", "FileDescription": r"[^\"]+"}
    for key, value in expected.items():
        if not re.search(rf'VALUE "{key}", "{value}"', script):
            failures.append(f"version resource lacks {key} {value!r}")
    if f"FILEVERSION {numbers}\n PRODUCTVERSION {numbers}\n" not in script:
        failures.append(f"fixed file and product version are not {numbers}")

    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"{path.name}: {path.stat().st_size} bytes; entry pluginEntry; imports {sorted(imports)}, the six hook "
              f"functions by their decorated names, none of {sorted(FORBIDDEN_IMPORTS)}; no exports; ASLR (high "
              f"entropy) and NX; no writable code; no wide aligned moves; nothing of {sorted(NOT_LINKED)}; a manifest "
              f"and version {args.version}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
