#!/usr/bin/python3
"""Carrying signatures across real updates, judged against the truth, and timed.

    sigupdate_bench.py BUILD_DIR [--pair NAME [--old VERSION] [--new VERSION]] [--count N] [--seed S]
    sigupdate_bench.py BUILD_DIR --msvc-code FILE    (only the scanner benchmark's MSVC-built code, to FILE)

Without --pair, every pair below. Each is fetched with `npm pack` into
BUILD_DIR/sigupdate-pair when absent; one that cannot be had (no npm, no
network) is left out with one line. Tests never need them.

Judged pairs: DLLs whose exports name their functions in both builds, so the
right answer is known. The signatures are made as a maintainer makes them:
a function's first whole instructions, call and jump targets and
instruction-relative displacements open, grown until unique in the old
build. The tool reads copies with the exports wiped; the exports only judge
its answers. Printed: right, wrong and unanswered, beside the plain check's
(the old signature's unique match taken as the answer); proposed signatures
that are not unique at their answer; and the tool's time. An export that is
only a jump to the function answered counts as that function, and is counted.

The timed pair has no names to judge by: 100 and then 3 signatures made by the
same rule from its exception directory's functions, for the tool's time on
two executables larger than 70 MB.
"""
import argparse
import json
import random
import struct
import subprocess
import sys
import tarfile
import time
from pathlib import Path

import pefile

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "sigcheck"))
from sigcheck.binding import Library  # noqa: E402  (the tool's own image reading and search)
from sigcheck.layout import EXECUTE, REGION_CODE, LaidOutModule  # noqa: E402
from sigcheck.signatures import parse_bytes, proposed_set, signature_text  # noqa: E402

# name: (package, the file in it, old version, new version, what it is)
PAIRS = {
    "libvips": ("@img/sharp-win32-x64", "package/lib/libvips-42.dll", "0.33.5", "0.34.1",
                "C built by clang for MinGW"),
    "duckdb": ("@duckdb/node-bindings-win32-x64", "package/duckdb.dll", "1.1.3-alpha.10", "1.4.4-r.1",
               "C++ built by MSVC, a major update"),
}
# The next update, which the tool is never shown: signatures made on build 1,
# carried to build 2 (build 0 an older check), then resolved unaided in
# build 3 by the plug-in's own rule, as a player's plug-in finds its functions
# after the next update. name: (package, the file in it, builds 0 to 3, what it is)
TRIPLES = {
    "duckdb-major": ("@duckdb/node-bindings-win32-x64", "package/duckdb.dll",
                     ("1.1.3-alpha.10", "1.2.1-alpha.16", "1.4.1-r.4", "1.5.0-r.1"), "C++ built by MSVC, major steps"),
    "duckdb-minor": ("@duckdb/node-bindings-win32-x64", "package/duckdb.dll",
                     ("1.5.0-r.1", "1.5.2-r.1", "1.5.4-r.1", "1.5.5-r.5"), "C++ built by MSVC, minor steps"),
    "libvips": ("@img/sharp-win32-x64", "package/lib/libvips-42.dll", ("0.33.0", "0.33.5", "0.34.1", "0.35.6"),
                "C built by clang for MinGW"),
}
TIMED = ("@next/swc-win32-x64-msvc", "package/next-swc.win32-x64-msvc.node", "14.1.0", "14.2.0",
         "Rust built by MSVC")


def fetch(work, package, member, version):
    """The file of one version, fetched once; None when it cannot be had."""
    path = work / f"{Path(member).stem}-{version}{Path(member).suffix}"
    if path.exists():
        return path
    work.mkdir(parents=True, exist_ok=True)
    try:
        packed = subprocess.run(["npm", "pack", f"{package}@{version}", "--silent"], cwd=work, capture_output=True,
                                text=True, timeout=600)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if packed.returncode != 0 or not packed.stdout.strip():
        return None
    tarball = work / packed.stdout.strip().splitlines()[-1]
    with tarfile.open(tarball) as archive:
        path.write_bytes(archive.extractfile(member).read())
    tarball.unlink()
    return path


def exports(path):
    """{name: RVA} of the functions it exports, and the file with its export directory wiped."""
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    code = [(s.VirtualAddress, s.VirtualAddress + s.Misc_VirtualSize) for s in pe.sections
            if s.Characteristics & EXECUTE]
    named = {e.name.decode(): e.address for e in pe.DIRECTORY_ENTRY_EXPORT.symbols
             if e.name and any(b <= e.address < end for b, end in code)}
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[0]
    data = bytearray(pe.__data__)
    start = pe.get_offset_from_rva(directory.VirtualAddress)
    data[start:start + directory.Size] = bytes(directory.Size)
    entry = directory.get_file_offset()
    data[entry:entry + 8] = bytes(8)
    wiped = path.with_suffix(".wiped" + path.suffix)
    wiped.write_bytes(data)
    return named, wiped


def jumps_to(image, rva):
    """Where the jump at rva goes, for a function that is only a jump (E9 rel32); None otherwise."""
    if image.bytes[rva] != 0xE9:
        return None
    return rva + 5 + int.from_bytes(image.bytes[rva + 1:rva + 5], "little", signed=True)


def hand_made(handle, starts, count):
    """(name, signature) for the first `count` starts a signature can be made for."""
    made = []
    for name, rva in starts:
        signature = handle.hand_made_signature(rva)
        if signature is not None:
            made.append((name, signature_text(*signature)))
        if len(made) == count:
            break
    return made


def carry(build, old, new, listing, signatures, older=()):
    """The tool's answers and its time."""
    listing.write_text("".join(f"{name} {text}\n" for name, text in signatures))
    started = time.monotonic()
    run = subprocess.run([str(build / "nozzles-sigcheck"), str(new), "--old", str(old),
                          *[argument for path in older for argument in ("--older", str(path))],
                          "--signatures", str(listing), "--json"], capture_output=True, text=True)
    seconds = time.monotonic() - started
    if run.returncode == 2:
        raise RuntimeError(run.stderr.strip())
    return json.loads(run.stdout)["signatures"], seconds


def fetch_pair(work, name, package, member, old_version, new_version):
    """Both files of a pair, or None with one line saying it is left out."""
    old_file, new_file = fetch(work, package, member, old_version), fetch(work, package, member, new_version)
    if old_file is None or new_file is None:
        print(f"carrying signatures, {name}: left out, {package} {old_version} and {new_version} could not be "
              "fetched with npm")
        return None
    return old_file, new_file


def judged(build, library, name, old_version, new_version, count, seed):
    package, member, default_old, default_new, what = PAIRS[name]
    old_version, new_version = old_version or default_old, new_version or default_new
    work = build / "sigupdate-pair"
    files = fetch_pair(work, name, package, member, old_version, new_version)
    if files is None:
        return
    old_file, new_file = files
    old_names, old_wiped = exports(old_file)
    new_names, new_wiped = exports(new_file)
    old_image, new_image = LaidOutModule(old_wiped, False, None), LaidOutModule(new_wiped, False, None)
    old_handle, new_handle = library.open(old_image, False), library.open(new_image, False)

    # Functions present in both builds, at one address each, drawn at random.
    at_old = {}
    for export, rva in old_names.items():
        at_old.setdefault(rva, []).append(export)
    names = sorted(n for n in old_names if n in new_names and len(at_old[old_names[n]]) == 1)
    random.Random(seed).shuffle(names)
    signatures = hand_made(old_handle, ((n, old_names[n]) for n in names), count)
    listing = work / f"signatures-{name}-{old_version}-{new_version}-{seed}-{count}.txt"
    results, seconds = carry(build, old_wiped, new_wiped, listing, signatures)

    tool = {"right": 0, "wrong": 0, "unanswered": 0}
    plain = dict(tool)
    not_unique = through_jumps = 0
    verdicts, wrong = {}, []
    for (export, text), result in zip(signatures, results):
        truth = new_names[export]
        verdicts[result["verdict"]] = verdicts.get(result["verdict"], 0) + 1
        answer = result["new_rva"]
        if answer is not None and answer != truth and jumps_to(new_image, truth) == answer:
            truth = answer
            through_jumps += 1
        tool["unanswered" if answer is None else "right" if answer == truth else "wrong"] += 1
        if answer is not None and answer != truth:
            wrong.append(f"{export}: answered RVA 0x{answer:X}, is at 0x{truth:X} ({result['verdict']})")
        mask, pattern = parse_bytes(text.split())
        matches = new_handle.in_code(mask.encode(), pattern)
        plain["unanswered" if len(matches) != 1 else "right" if matches[0] == new_names[export] else "wrong"] += 1
        if result["signature"] is not None:
            proposed = parse_bytes(result["signature"].split())
            if new_handle.in_code(proposed[0].encode(), proposed[1]) != [answer]:
                not_unique += 1
    total = len(results)

    def share(n):
        return f"{n:4d} ({100 * n / total:5.1f}%)"

    print(f"carrying signatures, {name}: {package} {old_version} -> {new_version}, {Path(member).name} ({what}; "
          f"{old_image.code_bytes() / 2**20:.1f} and {new_image.code_bytes() / 2**20:.1f} MiB of code), "
          f"{total} signatures made by the maintainer's rule from its exports")
    print(f"  {'':12} {'the tool':>14} {'the plain check':>16}")
    for key in ("right", "wrong", "unanswered"):
        print(f"  {key:12} {share(tool[key]):>14} {share(plain[key]):>16}")
    print(f"  right where the export is only a jump to the function answered: {through_jumps}")
    print("  verdicts: " + ", ".join(f"{v} {n}" for v, n in sorted(verdicts.items())))
    print(f"  proposed signatures not unique at their answer: {not_unique}")
    print(f"  the tool's time: {seconds:.1f} s for {total} signatures")
    for line in wrong:
        print(f"  wrong: {line}")


def truth_of(names, image, export, answer):
    """Where the export is, or the answer where the export is only a jump to it."""
    truth = names[export]
    return answer if answer is not None and answer != truth and jumps_to(image, truth) == answer else truth


def triple(build, library, name, count, seed):
    package, member, versions, what = TRIPLES[name]
    work = build / "sigupdate-pair"
    files = [fetch(work, package, member, version) for version in versions]
    if None in files:
        print(f"signature sets, {name}: left out, {package} {', '.join(versions)} could not all be fetched with npm")
        return
    named, wiped = zip(*(exports(path) for path in files))
    images = [LaidOutModule(path, False, None) for path in wiped]
    handles = [library.open(image, False) for image in images]
    # Functions in all four builds, at one address each, drawn at random; made on build 1.
    at_one = {}
    for export, rva in named[1].items():
        at_one.setdefault(rva, []).append(export)
    names = sorted(n for n in named[1] if all(n in names_of for names_of in named) and len(at_one[named[1][n]]) == 1)
    random.Random(seed).shuffle(names)
    signatures = hand_made(handles[1], ((n, named[1][n]) for n in names), count)
    listing = work / f"signatures-{name}-{seed}-{count}.txt"
    results, seconds = carry(build, wiped[1], wiped[2], listing, signatures, older=[wiped[0]])
    without_older, _ = carry(build, wiped[1], wiped[2], listing, signatures)

    # Among the functions the tool carried right to build 2: what its set,
    # made with build 0 and without it, and what the single entry signature
    # shipped today, find in build 3.
    columns = {"the set": {}, "the set without build 0": {}, "one entry signature": {}}
    for tally in columns.values():
        tally.update({"right": 0, "wrong": 0, "none": 0})
    carried, sizes, wrong = 0, [], []

    def judge(tally, export, signatures_of_set, label):
        found = library.resolve(handles[3], export, signatures_of_set)["address"] if signatures_of_set else None
        truth = truth_of(named[3], images[3], export, found)
        tally["none" if found is None else "right" if found == truth else "wrong"] += 1
        if found is not None and found != truth:
            wrong.append(f"{export} ({label}): RVA 0x{found:X}, is at 0x{truth:X}")

    for (export, _), result, other in zip(signatures, results, without_older):
        answer = result["new_rva"]
        if answer is None or answer != truth_of(named[2], images[2], export, answer):
            continue
        carried += 1
        sizes.append(len(result["set"]))
        judge(columns["the set"], export, proposed_set(result), "set")
        judge(columns["the set without build 0"], export, proposed_set(other), "set without build 0")
        entry = [("entry", 0, *parse_bytes(result["signature"].split()))] if result["signature"] else []
        judge(columns["one entry signature"], export, entry, "single entry")

    def share(n):
        return f"{n:4d} ({100 * n / max(1, carried):5.1f}%)"

    print(f"signature sets, {name}: {package} {' -> '.join(versions)}, {Path(member).name} ({what}); "
          f"{len(signatures)} signatures made on build 1 from its exports, sets made from builds 1 and 2 "
          f"(build 0 a check) in {seconds:.1f} s; {carried} functions carried right to build 2")
    print("  found unaided in build 3 " + "".join(f"{column:>26}" for column in columns))
    for key in ("right", "wrong", "none"):
        print(f"  {key:24} " + "".join(f"{share(tally[key]):>26}" for tally in columns.values()))
    print(f"  signatures in a set: {sum(sizes) / max(1, len(sizes)):.1f} on average; without one: "
          f"{sum(1 for n in sizes if n == 0)}")
    for line in wrong:
        print(f"  wrong: {line}")


def timed(build, library):
    package, member, old_version, new_version, what = TIMED
    work = build / "sigupdate-pair"
    files = fetch_pair(work, "timed", package, member, old_version, new_version)
    if files is None:
        return
    old_file, new_file = files
    old_image = LaidOutModule(old_file, False, None)
    old_handle = library.open(old_image, False)
    rva, size = old_image.exceptions
    starts = sorted({struct.unpack_from("<I", old_image.bytes, rva + 12 * k)[0] for k in range(size // 12)})
    random.Random(2026).shuffle(starts)
    signatures = hand_made(old_handle, ((f"f{s:X}", s) for s in starts), 100)
    sizes = f"{old_file.stat().st_size / 1e6:.0f} and {new_file.stat().st_size / 1e6:.0f} MB"
    print(f"carrying signatures, timed: {package} {old_version} -> {new_version} ({what}; {sizes})")
    for count in (100, 3):
        results, seconds = carry(build, old_file, new_file, work / f"signatures-timed-{count}.txt",
                                 signatures[:count])
        answered = sum(r["new_rva"] is not None for r in results)
        print(f"  {count:3d} signatures: {seconds:.1f} s ({answered} answered)")


def msvc_code(build, out):
    """The executable sections of the newest MSVC-built duckdb above, written to
    `out` for the scanner benchmark's msvc-code image; one line when it cannot
    be had, and no file."""
    package, member, versions, _ = TRIPLES["duckdb-minor"]
    path = fetch(build / "sigupdate-pair", package, member, versions[-1])
    if path is None:
        print(f"msvc-code: {package} {versions[-1]} could not be fetched with npm: that image is left out")
        Path(out).unlink(missing_ok=True)
        return
    # The code regions as the signature tool lays the module out.
    image = LaidOutModule(path, False, None)
    code = b"".join(image.bytes[begin:end] for begin, end, kind in image.regions if kind == REGION_CODE)
    Path(out).write_bytes(code)
    print(f"{out}: {len(code)} bytes of code from {path.name}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--msvc-code", metavar="FILE", help="only write an MSVC-built program's code to FILE")
    parser.add_argument("--pair", choices=sorted(PAIRS))
    parser.add_argument("--triple", choices=sorted(TRIPLES))
    parser.add_argument("--old")
    parser.add_argument("--new")
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    if args.msvc_code:
        msvc_code(build, args.msvc_code)
        return 0
    library = Library(str(build / "libnozzles_sigcheck.so"))
    try:
        if not args.triple:
            for name in [args.pair] if args.pair else sorted(PAIRS):
                judged(build, library, name, args.old, args.new, args.count, args.seed)
        if not args.pair:
            for name in [args.triple] if args.triple else sorted(TRIPLES):
                triple(build, library, name, args.count, args.seed)
        if not args.pair and not args.triple:
            timed(build, library)
    except RuntimeError as error:
        print(f"carrying signatures: the tool failed: {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
