#!/usr/bin/env python3
"""Packs the player's zip and its checksums:

    OUT_DIR/Nozzles-VERSION-win64.zip   Nozzles.asi, Nozzles.ini, README.txt,
                                        LICENSE.txt, CHANGES.txt
    OUT_DIR/Nozzles-VERSION-win64.pdb   the DLL's debug information, which
                                        the DLL names in its debug directory
    OUT_DIR/Nozzles-VERSION-win64.map   the linker map
    OUT_DIR/SHA256SUMS                  the SHA-256 of the zip, Nozzles.asi and
                                        the two symbol files, as sha256sum
                                        writes them

Both are reproducible: fixed order, time stamps and permissions; texts with
Windows line ends; the version (CMake's project version) put into README.txt.

    package.py --asi build/windows/Nozzles.asi --symbols PDB MAP --version 1.1.0 --out-dir dist
"""
import argparse
import hashlib
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def text(path, version):
    """A text of the package, with the version filled in and CR LF line ends."""
    return path.read_text(encoding="ascii").replace("@VERSION@", version).replace("\n", "\r\n").encode("ascii")


def contents(asi, version):
    return [
        ("Nozzles.asi", Path(asi).read_bytes()),
        ("Nozzles.ini", text(ROOT / "package" / "Nozzles.ini", version)),
        ("README.txt", text(ROOT / "package" / "README.txt", version)),
        ("LICENSE.txt", text(ROOT / "LICENSE", version)),
        ("CHANGES.txt", text(ROOT / "package" / "CHANGES.txt", version)),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--asi", required=True)
    parser.add_argument("--symbols", nargs=2, required=True, metavar=("PDB", "MAP"))
    parser.add_argument("--version", required=True)
    parser.add_argument("--out-dir", required=True)
    args = parser.parse_args()
    out = Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    files = contents(args.asi, args.version)
    archive_path = out / f"Nozzles-{args.version}-win64.zip"
    with zipfile.ZipFile(archive_path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    symbols = []
    for path in map(Path, args.symbols):
        (out / path.name).write_bytes(path.read_bytes())
        symbols.append(out / path.name)
    sums = [(hashlib.sha256(archive_path.read_bytes()).hexdigest(), archive_path.name),
            (hashlib.sha256(files[0][1]).hexdigest(), "Nozzles.asi")]
    sums += [(hashlib.sha256(path.read_bytes()).hexdigest(), path.name) for path in symbols]
    (out / "SHA256SUMS").write_text("".join(f"{digest}  {name}\n" for digest, name in sums))
    print(f"{archive_path}: {', '.join(name for name, _ in files)}")
    print(f"Nozzles.asi: {len(files[0][1]):,} bytes ({len(files[0][1]) / 1024:.1f} KiB)")
    for path in symbols:
        print(f"{path}: {path.stat().st_size:,} bytes, outside the zip")
    print(f"{out / 'SHA256SUMS'}:")
    for digest, name in sums:
        print(f"  {digest}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
