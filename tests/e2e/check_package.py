#!/usr/bin/env python3
"""Checks the player's package as `make dist` writes it: the five files, the
plug-in as built, the bare settings line, one version everywhere (zip name,
README.txt, CHANGES.txt's newest entry, the DLL's version resource), the
licence as at the repository's root, and SHA256SUMS true of the files.

    check_package.py --asi BUILD/Nozzles.asi --windres WINDRES --version X.Y.Z --work DIR
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


def pack(asi, version, out):
    subprocess.run([sys.executable, str(ROOT / "tools" / "package.py"), "--asi", asi, "--version", version,
                    "--out-dir", str(out)], check=True, capture_output=True)
    return out / f"Nozzles-{version}-win64.zip"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--asi", required=True)
    parser.add_argument("--windres", required=True)
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
        if read["LICENSE.txt"] != (ROOT / "LICENSE").read_bytes().replace(b"\n", b"\r\n"):
            failures.append("LICENSE.txt differs from LICENSE")
    sums = (out / "SHA256SUMS").read_text()
    expected = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                       for name, data in ((zip_path.name, zip_path.read_bytes()), ("Nozzles.asi", read.get("Nozzles.asi", b""))))
    if sums != expected:
        failures.append(f"SHA256SUMS does not match the files:\n{sums}")
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"{zip_path.name}: {', '.join(FILES)}; version {args.version} throughout; SHA256SUMS true")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
