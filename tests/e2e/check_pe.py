#!/usr/bin/env python3
"""Checks the built plug-in file as the hook's loader and a player's machine
see it, through binutils' own reading of the image (objdump, windres) and
the linker's map of it: its name and size; a DLL whose entry point is the
plug-in's own pluginEntryPoint; imports from the hook (its six functions by
their decorated names), KERNEL32 and msvcrt only, and none of those a guest
must not use; no exports; ASLR with high-entropy addresses and no-execute;
no section both writable and executable; no aligned or non-temporal vector
move on a 32- or 64-byte register that may meet an address not aligned to
its size; no stream library, threads runtime or exception runtime linked
in; a manifest and the version resource; one CodeView record in the debug
directory that names the PDB beside it by its file name alone, with the
PDB's own GUID and age (llvm-pdbutil's reading).

    check_pe.py --objdump OBJDUMP --windres WINDRES --pdbutil PDBUTIL --version X.Y.Z --map MAP --pdb PDB PATH/Nozzles.asi
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
# move of a local faults on Windows, though Wine's stack layout can hide it,
# unless the function first realigned its stack (clang does, with an `and`
# of rsp; GCC on Win64 cannot). The non-temporal moves need alignment too.
# So every such move must read or write a register, a constant the image
# holds at an aligned address, or rsp in a function that realigned rsp far
# enough before it, at an offset of the vector's size; any other address is
# one whose alignment nothing here can know.
WIDE_ALIGNED_MOVE = re.compile(
    r"^\s*([0-9a-f]+):\t[^\t]*\t(v?mova\S*|v?movdqa\S*|v?movnt\S*)\s+(\S*%([yz])mm\S*)(?:\s+# (?:0x)?([0-9a-f]+))?", re.M)
MEMORY = re.compile(r"(-?0x[0-9a-f]+|-?\d+)?\((%\w+)?(,%\w+,\d)?\)")
REALIGN = re.compile(r"^\s*([0-9a-f]+):\t[^\t]*\tand\s+\$0x([0-9a-f]+),%rsp$", re.M)
FUNCTION = re.compile(r"^\s*[0-9a-f]+:\s+([0-9a-f]+) ([0-9a-f]+) [0-9a-f]+$", re.M)


def functions(private_headers):
    """(begin, end) of each function in the image's exception directory, as objdump -p reads it."""
    table = private_headers.split("The Function Table", 1)[-1] if "The Function Table" in private_headers else ""
    return [(int(begin, 16), int(end, 16)) for begin, end in FUNCTION.findall(table)]


def wide_aligned_moves(disassembly, function_ranges):
    """(address, mnemonic, why) of every aligned or non-temporal vector move on a
    ymm or zmm register that may meet an address not aligned to its size."""
    realigned = []
    for address, immediate in REALIGN.findall(disassembly):
        value = int(immediate, 16) - (1 << 64 if len(immediate) == 16 and immediate[0] in "89abcdef" else 0)
        if value < 0 and (-value & (-value - 1)) == 0:
            realigned.append((int(address, 16), -value))
    found = []
    for address, mnemonic, operands, kind, target in WIDE_ALIGNED_MOVE.findall(disassembly):
        at, size = int(address, 16), 32 if kind == "y" else 64
        memory = MEMORY.search(operands)
        if memory is None:
            continue
        offset, base, index = memory.groups()
        if base == "%rip":
            if target and int(target, 16) % size == 0:
                continue
            why = f"a constant at {'0x' + target if target else 'an unknown address'}, not aligned to {size}"
        elif base == "%rsp" and not index:
            function = next(((b, e) for b, e in function_ranges if b <= at < e), None)
            if function is None:
                why = "the stack, outside every function the exception directory knows"
            elif not any(function[0] <= where < at and alignment >= size for where, alignment in realigned):
                why = f"the stack, in the function at {function[0]:#x}, which does not realign rsp to {size} first"
            elif int(offset or "0", 0) % size:
                why = f"the stack at an offset of {offset}, not a multiple of {size}"
            else:
                continue
        else:
            why = f"an address through {base or 'an index'}, whose alignment is not known"
        found.append((address, mnemonic, why))
    return found


# objdump -p's reading of a CodeView record, and llvm-pdbutil's of the PDB's own identity.
CODEVIEW = re.compile(r"^\s*2\s+CodeView .*\n\(format RSDS signature ([0-9a-f]{32}) age (\d+) pdb (.*)\)$", re.M)
PDB_IDENTITY = re.compile(r"^\s*Age: (\d+)\n\s*GUID: \{([0-9A-F-]{36})\}$", re.M)


def pdb_failures(dump, pdb, pdbutil):
    """What keeps a debugger from finding and trusting the PDB for this DLL."""
    records = CODEVIEW.findall(dump)
    if len(records) != 1 or dump.count("CodeView") != 1:
        return [f"{len(records)} CodeView records in the debug directory, not one"]
    guid, age, name = records[0]
    failures = []
    if name != Path(pdb).name:
        failures.append(f"the CodeView record names the PDB {name!r}, not {Path(pdb).name!r}")
    identity = PDB_IDENTITY.search(run(pdbutil, "dump", "--summary", str(pdb)))
    if not identity or (identity.group(2).replace("-", "").lower(), identity.group(1)) != (guid, age):
        failures.append(f"the PDB is not the one the DLL names: GUID {guid} age {age} in the DLL, "
                        f"{identity.groups() if identity else 'none'} in the PDB")
    return failures


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
    parser.add_argument("--pdb", required=True)
    parser.add_argument("--pdbutil", required=True)
    parser.add_argument("file")
    args = parser.parse_args()
    path = Path(args.file)
    dump = run(args.objdump, "-p", str(path))
    failures = []

    if path.name != "Nozzles.asi":
        failures.append(f"file is named {path.name}, not Nozzles.asi")
    if path.stat().st_size > LARGEST:
        failures.append(f"{path.stat().st_size} bytes, more than {LARGEST}")
    # lld's map: RVA, size, alignment, then the output section, the input section or the symbol.
    linked = Path(args.map).read_text()
    entry = re.search(r"^([0-9a-f]+) 0+\s+0\s+pluginEntryPoint$", linked, re.M)
    stated = re.search(r"AddressOfEntryPoint\s+([0-9a-f]+)", dump)
    if not (entry and stated) or int(entry.group(1), 16) != int(stated.group(1), 16):
        failures.append("the entry point is not pluginEntryPoint")
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
    failures += [f"{mnemonic} at {address} may meet {why}"
                 for address, mnemonic, why in wide_aligned_moves(run(args.objdump, "-d", str(path)), functions(dump))]
    failures += pdb_failures(dump, args.pdb, args.pdbutil)
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
        print(f"{path.name}: {path.stat().st_size} bytes; entry pluginEntryPoint; imports {sorted(imports)}, the six hook "
              f"functions by their decorated names, none of {sorted(FORBIDDEN_IMPORTS)}; no exports; ASLR (high "
              f"entropy) and NX; no writable code; no wide aligned move that may fault; nothing of {sorted(NOT_LINKED)}; a manifest "
              f"and version {args.version}; names {Path(args.pdb).name}, whose GUID and age it holds")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
