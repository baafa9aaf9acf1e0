#!/usr/bin/env python3
"""Checks the built plug-in file as the hook's loader and a player's machine see it.

    check_pe.py --objdump OBJDUMP PATH/Nozzles.asi
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
# DLLs that every Windows installation has; the C runtime of MinGW is msvcrt.dll.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll", "psapi.dll"}


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
        elif current and line.strip() == "":
            pass
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("file")
    args = parser.parse_args()
    path = Path(args.file)
    dump = subprocess.run([args.objdump, "-p", str(path)], capture_output=True, text=True, check=True).stdout
    failures = []

    if path.name != "Nozzles.asi":
        failures.append(f"file is named {path.name}, not Nozzles.asi")
    if not re.search(r"Characteristics 0x[0-9a-f]+", dump) or "DLL" not in dump:
        failures.append("not a DLL")
    imports = imports_by_dll(dump)
    hook = {name: names for name, names in imports.items() if name.lower() == "scripthookv.dll"}
    if len(hook) != 1:
        failures.append(f"imports from ScriptHookV.dll: {sorted(hook)}")
    else:
        names = next(iter(hook.values()))
        if names != HOOK_IMPORTS:
            failures.append(f"hook imports differ: missing {sorted(HOOK_IMPORTS - names)}, extra {sorted(names - HOOK_IMPORTS)}")
    others = {name for name in imports if name.lower() != "scripthookv.dll"}
    foreign = sorted(name for name in others if name.lower() not in SYSTEM_DLLS)
    if foreign:
        failures.append(f"depends on DLLs a player may not have: {foreign}")
    exported = re.search(r"Export Address Table\s+([0-9a-f]+)\s*\n\s*\[Name Pointer/Ordinal\] Table\s+([0-9a-f]+)", dump)
    if "The Export Tables" in dump and (exported is None or int(exported.group(1), 16) or int(exported.group(2), 16)):
        failures.append("the file exports functions")
    resources = re.findall(r"Entry: ID: 0x([0-9a-f]+)", dump)
    if not resources or int(resources[0], 16) != 24:
        failures.append(f"no manifest resource (type 24); resource entries: {resources}")

    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"{path.name}: imports {sorted(imports)}, the six hook functions by their decorated names, "
              "no exports, a manifest")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
