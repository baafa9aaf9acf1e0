#!/usr/bin/python3
"""Carrying signatures across a real update, judged against the truth.

    sigupdate_bench.py BUILD_DIR [--count N] [--old VERSION] [--new VERSION]

The pair: libvips-42.dll from the npm package @img/sharp-win32-x64, two
versions (0.33.5 and 0.34.1 unless told otherwise), fetched with `npm pack`
into BUILD_DIR/sigupdate-pair when absent; without them (no npm, no
network) the benchmark says so in one line and ends. Their exports name
every public function in both builds, so the right answer is known. The
signatures are made as a maintainer makes them: a function's first whole
instructions, call and jump targets and instruction-relative displacements
open, grown until unique in the old build. The tool reads copies with the
exports wiped; they only judge its answers. Printed: right, wrong and
unanswered, beside the plain check's (the old signature's unique match taken
as the answer), proposed signatures that are not unique at their answer,
and the tool's time.
"""
import argparse
import json
import random
import subprocess
import sys
import tarfile
import time
from pathlib import Path

import pefile

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "sigcheck"))
import sigcheck  # noqa: E402  (the tool's own image reading and search)

# (package, the DLL in it, old version, new version)
PAIRS = {
    "libvips": ("@img/sharp-win32-x64", "package/lib/libvips-42.dll", "0.33.5", "0.34.1"),
    "duckdb": ("@duckdb/node-bindings-win32-x64", "package/duckdb.dll", "1.1.3-alpha.10", "1.4.4-r.1"),
}


def fetch(work, package, member, version):
    """The DLL of one version, fetched once; None when it cannot be had."""
    dll = work / f"{Path(member).stem}-{version}.dll"
    if dll.exists():
        return dll
    work.mkdir(parents=True, exist_ok=True)
    try:
        packed = subprocess.run(["npm", "pack", f"{package}@{version}", "--silent"], cwd=work, capture_output=True,
                                text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if packed.returncode != 0 or not packed.stdout.strip():
        return None
    with tarfile.open(work / packed.stdout.strip().splitlines()[-1]) as archive:
        dll.write_bytes(archive.extractfile(member).read())
    return dll


def exports(path):
    """{name: RVA} of the functions it exports, and the file with its export directory wiped."""
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    code = [(s.VirtualAddress, s.VirtualAddress + s.Misc_VirtualSize) for s in pe.sections
            if s.Characteristics & sigcheck.EXECUTE]
    named = {e.name.decode(): e.address for e in pe.DIRECTORY_ENTRY_EXPORT.symbols
             if e.name and any(b <= e.address < end for b, end in code)}
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[0]
    data = bytearray(pe.__data__)
    start = pe.get_offset_from_rva(directory.VirtualAddress)
    data[start:start + directory.Size] = bytes(directory.Size)
    entry = directory.get_file_offset()
    data[entry:entry + 8] = bytes(8)
    wiped = path.with_suffix(".wiped.dll")
    wiped.write_bytes(data)
    return named, wiped


def jumps_to(image, rva):
    """Where the jump at rva goes, for a function that is only a jump (E9 rel32); None otherwise."""
    if image.bytes[rva] != 0xE9:
        return None
    return rva + 5 + int.from_bytes(image.bytes[rva + 1:rva + 5], "little", signed=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--pair", choices=sorted(PAIRS), default="libvips")
    parser.add_argument("--old")
    parser.add_argument("--new")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    work = build / "sigupdate-pair"
    package, member, old_version, new_version = PAIRS[args.pair]
    args.old, args.new = args.old or old_version, args.new or new_version
    old_dll, new_dll = fetch(work, package, member, args.old), fetch(work, package, member, args.new)
    if old_dll is None or new_dll is None:
        print(f"carrying signatures: left out, {package} {args.old} and {args.new} could not be fetched with npm")
        return 0
    old_names, old_wiped = exports(old_dll)
    new_names, new_wiped = exports(new_dll)
    library = sigcheck.Library(str(build / "libnozzles_sigcheck.so"))
    old_image, new_image = sigcheck.Image(old_wiped, False, None), sigcheck.Image(new_wiped, False, None)
    old_search, new_search = sigcheck.Search(library, old_image, False), sigcheck.Search(library, new_image, False)

    # Functions present in both builds, at one address each, drawn at random.
    at_old = {}
    for name, rva in old_names.items():
        at_old.setdefault(rva, []).append(name)
    names = sorted(n for n in old_names if n in new_names and len(at_old[old_names[n]]) == 1)
    random.Random(args.seed).shuffle(names)
    signatures = []
    for name in names:
        answer = library.lib.sigcheckHandMadeSignature(old_search.handle, old_names[name])
        text = sigcheck.ctypes.string_at(answer).decode()
        library.lib.sigcheckFree(answer)
        if text:
            signatures.append((name, text))
        if len(signatures) == args.count:
            break
    listing = work / f"signatures-{args.pair}-{args.old}-{args.new}-{args.seed}-{args.count}.txt"
    listing.write_text("".join(f"{name} {text}\n" for name, text in signatures))

    started = time.monotonic()
    run = subprocess.run([str(build / "nozzles-sigcheck"), str(new_wiped), "--old", str(old_wiped), "--signatures",
                          str(listing), "--json"], capture_output=True, text=True)
    seconds = time.monotonic() - started
    if run.returncode == 2:
        print(f"carrying signatures: the tool failed: {run.stderr.strip()}")
        return 1
    results = json.loads(run.stdout)["signatures"]

    tool = {"right": 0, "wrong": 0, "unanswered": 0}
    plain = dict(tool)
    not_unique = 0
    through_jumps = 0
    verdicts = {}
    wrong = []
    for (name, text), result in zip(signatures, results):
        truth = new_names[name]
        verdicts[result["verdict"]] = verdicts.get(result["verdict"], 0) + 1
        answer = result["new_rva"]
        # An export that is only a jump to the answer is the answer by another name.
        if answer is not None and answer != truth and jumps_to(new_image, truth) == answer:
            truth = answer
            through_jumps += 1
        tool["unanswered" if answer is None else "right" if answer == truth else "wrong"] += 1
        if answer is not None and answer != truth:
            wrong.append(f"{name}: answered RVA 0x{answer:X}, is at 0x{truth:X} ({result['verdict']})")
        mask, pattern = sigcheck.parse_bytes(text.split())
        matches = new_search.in_code(mask.encode(), pattern)
        plain["unanswered" if len(matches) != 1 else "right" if matches[0] == truth else "wrong"] += 1
        if result["signature"] is not None:
            proposed = sigcheck.parse_bytes(result["signature"].split())
            if new_search.in_code(proposed[0].encode(), proposed[1]) != [answer]:
                not_unique += 1
    count = len(results)

    def share(n):
        return f"{n:4d} ({100 * n / count:5.1f}%)"

    print(f"carrying signatures: {package} {args.old} -> {args.new}, {Path(member).name} "
          f"({old_image.code_bytes() / 2**20:.1f} and {new_image.code_bytes() / 2**20:.1f} MiB of code), "
          f"{count} signatures made by hand's rule from its exports")
    print(f"  {'':12} {'the tool':>14} {'the plain check':>16}")
    for key in ("right", "wrong", "unanswered"):
        print(f"  {key:12} {share(tool[key]):>14} {share(plain[key]):>16}")
    print(f"  right answers where the export is only a jump to the function answered: {through_jumps}")
    print(f"  verdicts: " + ", ".join(f"{v} {n}" for v, n in sorted(verdicts.items())))
    print(f"  proposed signatures not unique at their answer: {not_unique}")
    print(f"  the tool's time: {seconds:.1f} s for {count} signatures")
    for line in wrong:
        print(f"  wrong: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
