#!/usr/bin/env python3
"""Checks the player's package: exactly its three files, the plug-in as built,
the sample settings with their three values on the first line, and a README
that covers what a player needs.

    check_package.py --asi BUILD/Nozzles.asi --work DIR
"""
import argparse
import re
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def pack(asi, out):
    subprocess.run([sys.executable, str(ROOT / "tools" / "package.py"), "--asi", asi, "--out", str(out)],
                   check=True, capture_output=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--asi", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    out = Path(args.work) / "Nozzles-win64.zip"
    pack(args.asi, out)
    failures = []
    with zipfile.ZipFile(out) as archive:
        names = archive.namelist()
        if names != ["Nozzles.asi", "Nozzles.ini", "README.txt"]:
            failures.append(f"package holds {names}")
        else:
            if archive.read("Nozzles.asi") != Path(args.asi).read_bytes():
                failures.append("the packed plug-in differs from the built one")
            first = archive.read("Nozzles.ini").split(b"\r\n")[0].decode("ascii")
            if not re.fullmatch(r"-?\d+ -?\d+ \d*\.\d+", first):
                failures.append(f"sample settings' first line: {first!r}")
            readme = archive.read("README.txt").decode("ascii")
            for needed in ("ScriptHookV.dll", "Nozzles.asi", "Nozzles.ini", "Nozzels.log", "Uninstalling",
                           "getpropstate is null", "SHA-256"):
                if needed not in readme:
                    failures.append(f"README.txt does not mention {needed}")
            if "\r\n" not in readme:
                failures.append("README.txt lacks Windows line ends")
    # A second packing gives the same bytes.
    again = Path(args.work) / "again.zip"
    pack(args.asi, again)
    if again.read_bytes() != out.read_bytes():
        failures.append("packing twice gives different zips")
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("package: three files, the built plug-in, sample settings, README; reproducible")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
