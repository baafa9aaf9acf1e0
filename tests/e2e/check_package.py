#!/usr/bin/env python3
"""Checks the player's package as `make dist` writes it: the five files, as
README.txt lists them, the plug-in as built, the bare settings line, one
version everywhere (zip name, README.txt, CHANGES.txt's newest entry, the
DLL's version resource), the licence as at the repository's root, SHA256SUMS
true of the files README.txt names, and the crash symbols: llvm-symbolizer,
given the zip's Nozzles.asi beside the PDB, names a function and its source
file from an offset into it that the map gives, and nothing only tests need
is in them.

    check_package.py --asi BUILD/Nozzles.asi --windres WINDRES --symbolizer LLVM_SYMBOLIZER --version X.Y.Z --work DIR
"""
import argparse
import hashlib
import re
import subprocess
import sys
import zipfile
from pathlib import Path

from check_pe import plugin_version

ROOT = Path(__file__).resolve().parents[2]
FILES = ["Nozzles.asi", "Nozzles.ini", "README.txt", "LICENSE.txt", "CHANGES.txt"]


def symbol_files(asi, version):
    return [Path(asi).parent / f"Nozzles-{version}-win64.{kind}" for kind in ("pdb", "map")]


def pack(asi, version, out):
    subprocess.run([sys.executable, str(ROOT / "tools" / "package.py"), "--asi", asi, "--symbols",
                    *map(str, symbol_files(asi, version)), "--version", version, "--out-dir", str(out)],
                   check=True, capture_output=True)
    return out / f"Nozzles-{version}-win64.zip"


def symbol_failures(asi, plugin, symbolizer, out, version):
    """A player's "Nozzles.asi+0xOFFSET", turned into a function and a line as
    docs/game-update.md shows: the DLL from the zip beside the PDB, the offset
    as an address relative to the image base. The offset is a few bytes into
    updateNozzles, where the map puts it."""
    pdb, map_file = (out / path.name for path in symbol_files(asi, version))
    text = map_file.read_text()
    function = re.search(r"^([0-9a-f]+) [0-9a-f]+\s+0\s+nozzle::updateNozzles\(\)$", text, re.M)
    if not function:
        return ["the map does not name updateNozzles"]
    offset = int(function.group(1), 16) + 5
    beside = out / "symbolize"
    beside.mkdir(exist_ok=True)
    (beside / "Nozzles.asi").write_bytes(plugin)
    (beside / pdb.name).write_bytes(pdb.read_bytes())
    named = subprocess.run([symbolizer, "--obj", str(beside / "Nozzles.asi"), "--relative-address", hex(offset)],
                           capture_output=True, text=True).stdout.splitlines()
    failures = []
    if len(named) < 2 or named[0] != "nozzle::updateNozzles()" or \
            not re.fullmatch(r"/nozzles/src/nozzle/controller\.cpp:\d+:\d+", named[1]):
        failures.append(f"llvm-symbolizer at Nozzles.asi+{offset:#x}: {named}")
    # What only tests need stays out of the DLL: the map names every function it holds.
    for test_only in ("resetProcessState", "MemorySource"):
        if test_only in text:
            failures.append(f"the DLL holds {test_only}, which only tests need")
    return failures


def names_under(readme, heading):
    """The file names of the first indented block under a heading of README.txt."""
    names = []
    for line in readme.split(heading, 1)[1].splitlines():
        if line.startswith("    "):
            names.append(line.split()[0])
        elif names:
            break
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--asi", required=True)
    parser.add_argument("--windres", required=True)
    parser.add_argument("--symbolizer", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    out = Path(args.work) / "package"
    zip_path = pack(args.asi, args.version, out)
    failures = []
    with zipfile.ZipFile(zip_path) as archive:
        names = archive.namelist()
        read = {name: archive.read(name) for name in names}
    if names != FILES:
        failures.append(f"package holds {names}")
    elif read["Nozzles.asi"] != Path(args.asi).read_bytes():
        failures.append("the packed plug-in differs from the built one")
    else:
        if not re.fullmatch(rb"-?\d+ -?\d+ \d*\.?\d+\r\n", read["Nozzles.ini"]):
            failures.append(f"Nozzles.ini is not three values on one line: {read['Nozzles.ini']!r}")
        readme = read["README.txt"].decode("ascii")
        versions = {"README.txt": re.findall(r"Nozzles (\d+\.\d+\.\d+)", readme)[:1],
                    "CHANGES.txt": re.findall(rb"^(\d+\.\d+\.\d+)\r$", read["CHANGES.txt"], re.M)[:1],
                    "the DLL's version resource": [plugin_version(args.windres, args.asi)]}
        for where, found in versions.items():
            found = [v.decode() if isinstance(v, bytes) else v for v in found]
            if found != [args.version]:
                failures.append(f"{where} gives version {found}, the zip's name {args.version}")
        if "@" in readme or "\r\n" not in readme or "\n" in readme.replace("\r\n", ""):
            failures.append("README.txt has a placeholder left or lines not ended in CR LF")
        if names_under(readme, "What is in the zip") != names:
            failures.append(f"README.txt lists {names_under(readme, 'What is in the zip')} in the zip, which holds {names}")
        if read["LICENSE.txt"] != (ROOT / "LICENSE").read_bytes().replace(b"\n", b"\r\n"):
            failures.append("LICENSE.txt differs from LICENSE")
    sums = (out / "SHA256SUMS").read_text()
    listed = [("Nozzles.asi", read.get("Nozzles.asi", b""))] + [(p.name, (out / p.name).read_bytes())
                                                              for p in symbol_files(args.asi, args.version)]
    expected = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                       for name, data in [(zip_path.name, zip_path.read_bytes())] + listed)
    if sums != expected:
        failures.append(f"SHA256SUMS does not match the files:\n{sums}")
    if "README.txt" in read:
        stated = names_under(read["README.txt"].decode("ascii"), "Checking your copy")
        if stated != [line.split()[1] for line in sums.splitlines()]:
            failures.append(f"README.txt says SHA256SUMS holds {stated}, it holds {sums}")
    failures += symbol_failures(args.asi, read.get("Nozzles.asi", b""), args.symbolizer, out, args.version)
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"{zip_path.name}: {', '.join(FILES)}; version {args.version} throughout; SHA256SUMS true of it and of the "
              "PDB and map beside it; llvm-symbolizer names updateNozzles and its line through the PDB")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
