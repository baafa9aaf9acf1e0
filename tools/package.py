#!/usr/bin/env python3
"""Packs the player's zip: Nozzles.asi, the sample Nozzles.ini and README.txt.

The zip is reproducible too: fixed order, fixed time stamps and permissions.

    package.py --asi build/windows/Nozzles.asi --out dist/Nozzles-win64.zip
"""
import argparse
import hashlib
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--asi", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    files = [
        ("Nozzles.asi", Path(args.asi).read_bytes()),
        ("Nozzles.ini", (ROOT / "package" / "Nozzles.ini").read_bytes()),
        ("README.txt", (ROOT / "package" / "README.txt").read_text().replace("\n", "\r\n").encode("ascii")),
    ]
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    print(f"{out}: {', '.join(name for name, _ in files)}")
    print(f"Nozzles.asi: {len(files[0][1]):,} bytes ({len(files[0][1]) / 1024:.1f} KiB)")
    print(f"SHA-256 of Nozzles.asi: {hashlib.sha256(files[0][1]).hexdigest()}")
    print(f"SHA-256 of {out.name}: {hashlib.sha256(out.read_bytes()).hexdigest()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
