#!/usr/bin/python3
"""nozzles-sigcheck on small PE images of this test's own making, one row per
image, each with the answer worked out here from where the bytes were put.

    sigcheck_test.py TOOL WORK_DIR
"""
import itertools
import random
import re
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "sigcheck"))
from sigcheck.signatures import HEADER, header_sets, signature_text  # noqa: E402  (the plug-in's header)


def header_entry(name):
    """(mask, pattern) of a function's entry signature in the plug-in's header."""
    return next((mask, pattern) for kind, _, mask, pattern in dict(header_sets())[name] if kind == "entry")


def header_text(name):
    """The plug-in's entry signature as its header spells it."""
    return signature_text(*header_entry(name))


def function_bytes(name, open_bytes):
    """The plug-in's signature as the game's code holds it: the open bytes filled in order."""
    mask, pattern = header_entry(name)
    filler = itertools.cycle(open_bytes)
    return bytes(next(filler) if c == "?" else b for c, b in zip(mask, pattern))


def hex_text(code):
    return " ".join(f"{b:02X}" for b in code)


HANDLE = function_bytes("handleToAddress", b"\x12\x34\x56\x78")
GET = function_bytes("getpropstate", b"\x07")
SET = function_bytes("setpropstate", b"\x07")
CODE, RDATA = 0x60000020, 0x40000040
BASE = 0x140000000


def text(*placed, size=0x400):
    """Section bytes: int3 filler with each (offset, bytes) put in place."""
    data = bytearray(b"\xCC" * size)
    for offset, code in placed:
        data[offset:offset + len(code)] = code
    return bytes(data)


def caller(at, function):
    """A function at `at` (in .text) that calls the one at `function`: push rbx; mov rcx, rdi; call; test eax, eax;
    sete al; pop rbx; ret (12 fixed bytes around the call, as few as a call signature may have)."""
    return b"\x53\x48\x8B\xCF\xE8" + struct.pack("<i", function - (at + 9)) + b"\x85\xC0\x0F\x94\xC0\x5B\xC3"


def functions(offset=0x10):
    return [(offset, HANDLE), (offset + 0x40, GET), (offset + 0x80, SET)]


def pe(sections, mapped=False):
    """A PE32+ image of (name, rva, data, flags) sections, their raw data after
    the headers in order; or, mapped, laid out by RVA."""
    raw = [data.ljust(-(-len(data) // 0x200) * 0x200, b"\0") for _, _, data, _ in sections]
    offsets = [0x200 + sum(map(len, raw[:i])) for i in range(len(sections))]
    size_of_image = -(-max(rva + len(data) for _, rva, data, _ in sections) // 0x1000) * 0x1000
    header = (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0"
              + struct.pack("<HHIIIHH", 0x8664, len(sections), 0, 0, 0, 240, 0x22)
              + struct.pack("<HBBIIIII", 0x20B, 2, 40, 0, 0, 0, 0x1000, 0x1000)
              + struct.pack("<QIIHHHHHHIIIIHHQQQQII", BASE, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, size_of_image, 0x200,
                            0, 3, 0x160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16) + bytes(128)
              + b"".join(struct.pack("<8sIIIIIIHHI", name.encode(), len(data), rva, len(data), offset, 0, 0, 0, 0, flags)
                         for (name, rva, data, flags), offset in zip(sections, offsets))).ljust(0x200, b"\0")
    if not mapped:
        return header + b"".join(raw)
    image = bytearray(header.ljust(size_of_image, b"\0"))
    for _, rva, data, _ in sections:
        image[rva:rva + len(data)] = data
    return bytes(image)


def patched(image, offset, fmt, value):
    data = bytearray(image)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


GOOD = pe([(".text", 0x1000, text(*functions()), CODE)])
# Where the first section header starts: after the DOS header, PE signature, file header and optional header.
SECTION = 0x40 + 4 + 20 + 240
# setpropstate with its last fixed byte changed, then its first as well.
SET_FIXED = [k for k, c in enumerate(header_entry("setpropstate")[0]) if c == "x"]
LAST, FIRST = SET_FIXED[-1], SET_FIXED[0]
near = bytearray(SET)
near[LAST] ^= 0x3F
nearer = bytearray(near)
nearer[FIRST] ^= 0x04


def wildcards(name, open_bytes):
    """The report's "wildcard bytes" of a function as function_bytes filled them."""
    mask, _ = header_entry(name)
    code = function_bytes(name, open_bytes)
    return "wildcard bytes " + " ".join(f"{code[k]:02X}" for k, c in enumerate(mask) if c == "?")

DIRECTORIES = 0x40 + 4 + 20 + 112  # the optional header's data directories


def with_directory(image, index, rva, size):
    return patched(patched(image, DIRECTORIES + 8 * index, "<I", rva), DIRECTORIES + 8 * index + 4, "<I", size)


def entries(*rows):
    """Exception directory entries (begin, end, unwind data RVA)."""
    return b"".join(struct.pack("<III", *row) for row in rows)


UNWIND = bytes([0x01, 0x04, 0x01, 0x00, 0x04, 0x42, 0x00, 0x00])  # version 1, a 4-byte prologue: sub rsp, 28h
INSIDE = bytes.fromhex("418B448010")  # the inside signature the INSIDE and DISAGREEING headers give getpropstate


def chained_to(begin, end, unwind):
    """Unwind information that says its record is part of the function of the record (begin, end, unwind)."""
    return bytes([0x21, 0, 0, 0]) + struct.pack("<III", begin, end, unwind)


def with_pdata(text_bytes, records, unwind=UNWIND):
    """An image of .text and a .pdata at 0x2000 holding the records, then at 0x2040 the unwind information."""
    pdata = entries(*records).ljust(0x40, b"\0") + unwind
    return with_directory(pe([(".text", 0x1000, text_bytes, CODE), (".pdata", 0x2000, pdata, RDATA)]), 3, 0x2000,
                          12 * len(records))


# name, file bytes, flags, exit status, lines the report must hold (regular expressions)
ROWS = [
    ("each function once", GOOD, [], 0,
     [r"the plug-in calls: RVA 0x1010 \(0x140001010\) in \.text, file offset 0x210; "
      + wildcards("handleToAddress", b"\x12\x34\x56\x78") + "\n",
      r"the plug-in calls: RVA 0x1050 .*" + wildcards("getpropstate", b"\x07") + "\n", r"3 of 3 functions found"]),
    ("a second, lower copy in code",
     pe([(".text", 0x1000, text((0x8, GET), *functions(0x100)), CODE)]), [], 1,
     [r"getpropstate .*\n  the plug-in calls: RVA 0x1008 .*\n  matches in code: 2;.* RVA 0x1140",
      r"2 of 3 functions found"]),
    ("a copy in read-only data below the function",
     pe([(".rdata", 0x1000, text((0x20, GET), (0x60, GET)), RDATA), (".text", 0x2000, text(*functions()), CODE)]),
     [], 0, [r"getpropstate .*\n  the plug-in calls: RVA 0x2050 .* in \.text.*\n  matches in code: 1\n"
             r"  copies outside code, ruled out: 2 \(\.rdata 2\)"]),
    ("near-misses with one byte changed, then two",
     pe([(".text", 0x1000, text((0x10, HANDLE), (0x50, GET), (0x90, bytes(nearer)), (0x200, bytes(near))), CODE)]),
     [], 1, [r"setpropstate .*\n  the plug-in calls: nothing",
             r"near-misses, all fixed bytes but one:\n    RVA 0x1200 .* file offset 0x400: "
             rf"position {LAST} is {near[LAST]:02X}, not {SET[LAST]:02X}\n"
             r"  near-misses, all fixed bytes but two:\n    RVA 0x1090 .*: "
             rf"position {FIRST} is {nearer[FIRST]:02X}, not {SET[FIRST]:02X}, position {LAST} is {near[LAST]:02X}"]),
    ("a signature across two adjacent executable sections",
     pe([(".text", 0x1000, text((0x10, HANDLE), (0x50, GET), (0xFFC, SET[:4]), size=0x1000), CODE),
         (".text2", 0x2000, text((0, SET[4:])), CODE)]), [], 0,
     [r"setpropstate .*\n  the plug-in calls: RVA 0x1FFC \(0x140001FFC\) in \.text"]),
    ("a mapped dump with its base",
     pe([(".rdata", 0x1000, text((0x20, SET)), RDATA), (".text", 0x2000, text(*functions()), CODE)], mapped=True),
     ["--mapped", "--base", "0x7FF600000000"], 0,
     [r"a module dump, image base 0x7FF600000000",
      r"setpropstate .*\n  the plug-in calls: RVA 0x2090 \(0x7FF600002090\) in \.text, dump offset 0x2090; "
      + wildcards("setpropstate", b"\x07") + "\n"
      r"  matches in code: 1\n  copies outside code, ruled out: 1 \(\.rdata 1\)"]),
    # Input that cannot be read: exit 2 and one line naming the file and the fault.
    ("an empty file", b"", [], 2, [r"empty file"]),
    ("not a PE file", b"#!/bin/sh\necho a script, not a game\n" * 4, [], 2, [r"not a PE file"]),
    ("a truncated file", GOOD[:0x300], [], 2, [r"truncated: section \.text's raw data ends at file offset 0x600"]),
    ("a section header pointing outside the file", patched(GOOD, SECTION + 20, "<I", 0x100000), [], 2,
     [r"section \.text's raw data at file offset 0x100000 lies outside the file"]),
    ("overlapping sections",
     pe([(".text", 0x1000, text(*functions()), CODE), (".data", 0x1200, text(), RDATA)]), [], 2,
     [r"sections \.text and \.data overlap at RVA 0x1200"]),
    ("a size that would overflow", patched(GOOD, SECTION + 8, "<I", 0xFFFFF800), [], 2,
     [r"section \.text: VirtualAddress 0x1000 \+ size 0xFFFFF800 overflows 32 bits"]),
    ("a section table past the end of the file", patched(GOOD, 0x40 + 6, "<H", 40), [], 2,
     [r"the section table \(40 headers at 0x148\) runs past the end of the file"]),
    ("a truncated dump", pe([(".text", 0x1000, text(*functions()), CODE)], mapped=True)[:0x1200], ["--mapped"], 2,
     [r"truncated dump: section \.text ends at 0x1400, the dump at 0x1200"]),
    ("a build for another processor", patched(GOOD, 0x40 + 4, "<H", 0xAA64), [], 2,
     [r"built for machine 0xAA64 \(ARM64\), not x86-64"]),
    # Sets, from a header of the plug-in's form: what each signature gives, and the function they agree on.
    ("a set whose entry and call agree", pe([(".text", 0x1000, text(*functions(), (0x200, caller(0x200, 0x50))), CODE)]),
     ["--header", "AGREEING"], 0,
     [r"getpropstate  \(a set of 2\)\n  " + re.escape(header_text("getpropstate"))
      + r"\n    1 match in code, the lowest at RVA 0x1050; gives "
      r"RVA 0x1050\n  call 48 8B CF \[E8 \?\? \?\? \?\? \?\?\] 85 C0\n    1 match in code, the lowest at RVA 0x1201; gives "
      r"RVA 0x1050\n  the plug-in calls: RVA 0x1050 .*; 2 of 2 signatures give it"]),
    # Matches, and what they give, that lie strictly inside a function the exception directory knows.
    ("a lower copy inside a function the exception directory knows",
     with_pdata(text((0x20, GET), *functions(0x100)), [(0x1010, 0x1040, 0x2040)]), [], 0,
     [r"getpropstate .*\n  the plug-in calls: RVA 0x1140 .*\n  matches in code: 2\n"
      r"  ruled out: RVA 0x1020 lies 0x10 bytes into the function at RVA 0x1010\n", r"3 of 3 functions found"]),
    ("its only match inside a known function",
     with_pdata(text((0x10, HANDLE), (0x105, GET), (0x90, SET)), [(0x1100, 0x1140, 0x2040)]), [], 1,
     [r"getpropstate .*\n  the plug-in calls: nothing, every match in code is ruled out\n  matches in code: 1\n"
      r"  ruled out: RVA 0x1105 lies 0x5 bytes into the function at RVA 0x1100\n"]),
    ("a set whose signatures disagree: the majority is called, and the check fails",
     with_pdata(text(*functions(), (0x60, INSIDE), (0x200, caller(0x200, 0x90))), [(0x1050, 0x1080, 0x2040)]),
     ["--header", "DISAGREEING"], 1,
     [r"gives RVA 0x1050\n  call .*\n    1 match in code, the lowest at RVA 0x1201; gives RVA 0x1090\n"
      r"  inside .*\n    1 match in code, the lowest at RVA 0x1060; gives RVA 0x1050\n"
      r"  the plug-in calls: RVA 0x1050 .*; 2 of 3 signatures give it\n"
      r"  signatures disagree: RVA 0x1050, RVA 0x1090"]),
    ("a set whose entry lies inside a known function: ruled out, the call decides",
     with_pdata(text((0x10, HANDLE), (0x28, GET), (0x90, SET), (0x200, caller(0x200, 0x140))),
                [(0x1020, 0x1060, 0x2040)]),
     ["--header", "AGREEING"], 0,
     [r"getpropstate  \(a set of 2\)\n  .*\n    1 match in code, the lowest at RVA 0x1028; ruled out: RVA "
      r"0x1028 lies 0x8 bytes into the function at RVA 0x1020\n.*\n.*gives RVA 0x1140\n"
      r"  the plug-in calls: RVA 0x1140 .*; 1 of 2 signatures give it"]),
    # A directory that lies: what the plug-in would have called is the middle of a function.
    ("a chain whose root is no record's start",
     with_pdata(text(*functions(), (0x210, INSIDE)), [(0x1100, 0x1180, 0x2040), (0x1200, 0x1240, 0x2048)],
                UNWIND + chained_to(0x1108, 0x1180, 0x2040)), ["--header", "INSIDE"], 1,
     [r"inside 41 8B 44 80 10\n    1 match in code, the lowest at RVA 0x1210; gives nothing: the exception "
      r"directory's chain for its match names a start where no record begins\n"
      r"  the plug-in calls: nothing, no signature gives an address"]),
    ("overlapping records, the later one 4 bytes into a function",
     with_pdata(text(*functions(), (0x110, INSIDE)), [(0x1100, 0x1180, 0x2040), (0x1104, 0x1140, 0x2040)]),
     ["--header", "INSIDE"], 1,
     [r"gives nothing: the exception directory's records are out of order, overlap or lie outside the image",
      r"getpropstate .*\n.*\n.*\n  the plug-in calls: nothing, no signature gives an address"]),
    ("a set whose call finds another function: a tie, nothing called",
     pe([(".text", 0x1000, text(*functions(), (0x200, caller(0x200, 0x90))), CODE)]), ["--header", "AGREEING"], 1,
     [r"    1 match in code, the lowest at RVA 0x1201; gives RVA 0x1090\n"
      r"  the plug-in calls: nothing, a tie between RVA 0x1050, RVA 0x1090", r"2 of 3 functions found"]),
]


# Carrying across an update, on images broken in the ways a game file can be.
# (The rules for each byte of a new signature are the C++ analysis test's.)
LOOPED = pe([(".text", 0x1000, text(*functions()), CODE),
             (".pdata", 0x2000, entries((0x1010, 0x1030, 0x2000 + 12 + 1), (0x1050, 0x1070, 0x2000 + 1)), RDATA)])
UNWOUND = pe([(".text", 0x1000, text(*functions()), CODE),
              (".pdata", 0x2000, entries((0x1010, 0x1040, 0x2040), (0x1050, 0x1080, 0x7FFF0000)) + bytes(40) + UNWIND,
               RDATA)])
RELOCATED = pe([(".text", 0x1000, text(*functions()), CODE),
                (".reloc", 0x2000, struct.pack("<IIHH", 0x1000, 12, 0xA012, 0xA000) +
                 struct.pack("<IIHH", 0x7FFFF000, 12, 0xAFF8, 0) + struct.pack("<II", 0x1000, 0xFFFFFF00), RDATA)])
# The functions at the end of their section, nothing but no-ops after them.
TO_THE_END = pe([(".text", 0x1000, text((0x3A0, HANDLE), (0x3C0, GET), (0x3E0, SET)).replace(b"\xCC", b"\x90"), CODE),
                 (".data", 0x2000, text(), RDATA)])
NOISE = bytes(random.Random(25).getrandbits(8) for _ in range(0x10000))
RANDOM_CODE = pe([(".text", 0x1000, bytes(a if a != 0xCC else b for a, b in
                                          zip(text((0x4000, HANDLE), (0x8000, GET), (0xC000, SET), size=0x10000),
                                              NOISE)), CODE)])
CARRIED = r"3 of 3 signatures carried: 3 kept"
# A function whose first 71 bytes (longer than any signature) a function new in the next build begins with.
PREFIX = bytes.fromhex("4C8BC1") + bytes.fromhex("4883C001") * 17
LONG = PREFIX + bytes.fromhex("4883C201") * 4 + b"\xC3"
SHARED = PREFIX + bytes.fromhex("4883C102") * 40 + b"\xC3"

# name, old file bytes, new file bytes, flags, exit status, report lines (regular expressions)
UPDATE_ROWS = [
    ("an exception directory outside the image", with_directory(GOOD, 3, 0x7FFF0000, 0x1000), GOOD, [], 0, [CARRIED]),
    ("chained entries in a loop", with_directory(LOOPED, 3, 0x2000, 24), GOOD, [], 0, [CARRIED]),
    ("unwind data outside the image", with_directory(UNWOUND, 3, 0x2000, 24), GOOD, [], 0, [CARRIED]),
    ("relocations past the end", with_directory(RELOCATED, 5, 0x2000, 32), with_directory(RELOCATED, 5, 0x2000, 32),
     [], 0, [CARRIED]),
    ("functions running to the end of their section", TO_THE_END, TO_THE_END, [], 0, [CARRIED]),
    ("random bytes around the functions", RANDOM_CODE, RANDOM_CODE, [], 0, [CARRIED]),
    ("both builds as mapped dumps", pe([(".text", 0x1000, text(*functions()), CODE)], mapped=True),
     pe([(".text", 0x1000, text(*functions(0x20)), CODE)], mapped=True),
     ["--mapped", "--base", "0x7FF600000000", "--old-mapped", "--old-base", "0x7FF700000000"], 0,
     [CARRIED, r"new: RVA 0x1060 \(0x7FF600001060\) in \.text, dump offset 0x1060"]),
    ("an older build as a mapped dump too, read as one", pe([(".text", 0x1000, text(*functions()), CODE)], mapped=True),
     pe([(".text", 0x1000, text(*functions(0x20)), CODE)], mapped=True),
     ["--mapped", "--old-mapped", "--old-base", "0x7FF700000000", "--older", "OLD", "--old-base", "0x7FF500000000"], 0,
     [CARRIED, r"getpropstate .*\n(  .*\n)*  older build \S+-old\.bin: RVA 0x1050\n"]),
    ("a signature the old build holds twice", pe([(".text", 0x1000, text((0x8, GET), *functions(0x100)), CODE)]),
     GOOD, [], 1, [r"getpropstate .*\n  verdict: old-not-unique\n  old: 2 matches in code"]),
    ("a set that gives no address in the old build", GOOD, GOOD, ["--signatures", "LOST"], 1,
     [r"getpropstate .*\n    inside .*\n  verdict: old-not-unique\n  old: the set finds no function\n",
      r"evidence: the old set gives no address in the old build's code"]),
    ("moved, with an instruction more: its new entry signature holds in the new build only, a call in both",
     pe([(".text", 0x1000, text(*functions(), (0x200, caller(0x200, 0x50))), CODE)]),
     pe([(".text", 0x1000, text((0x30, HANDLE), (0x70, GET[:3] + b"\x31\xC0" + GET[3:]), (0xB0, SET),
                                (0x200, caller(0x200, 0x70))), CODE)]),
     ["--json"], 0,
     [r'"name": "getpropstate", "verdict": "replaced", "old_rva": 4176, "new_rva": 4208, "signature": "'
      + hex_text(GET[:3] + b"\x31\xC0") + " [^}]*\"survives\": false, \"margin\": 3, \"set\": "
      r'\[\{"kind": "call", "signature": "53 48 8B CF E8 \?\? \?\? \?\? \?\? 85 C0 0F 94 C0 5B C3", "call_at": 4\}\]']),
    ("a signature file's bad line", GOOD, GOOD, ["--signatures", "SIGNATURES"], 2, [r"line 2: a name, then bytes"]),
    ("a signature file with one signature twice in a set", GOOD, GOOD, ["--signatures", "TWICE"], 2,
     [r"line 3: the same signature as line 1 for getpropstate"]),
    ("a signature file's comments, blank lines and single ?", GOOD, GOOD, ["--signatures", "LISTING"], 0,
     [rf"getpropstate  {re.escape(header_text('getpropstate'))}\n  verdict: kept", r"1 of 1 signatures carried"]),
    ("found, with no signature of its own: the new build holds its first 71 bytes twice",
     pe([(".text", 0x1000, text((0x10, LONG)), CODE)]), pe([(".text", 0x1000, text((0x10, SHARED), (0x200, LONG)), CODE)]),
     ["--signatures", "PREFIXED"], 1,
     [r"long  .*\n  verdict: found-no-signature\n", r"new: RVA 0x1200 ", r"no entry signature of whole instructions",
      r"0 of 1 signatures carried: 0 kept, 0 replaced, 1 found-no-signature"]),
    ("no header written while a signature has none to use",
     pe([(".text", 0x1000, text((0x8, GET), *functions(0x100)), CODE)]), GOOD, ["--write-header", "HEADER"], 1,
     [r"HEADER not written: not every function has a set to use"]),
    ("a time limit that has passed", GOOD, GOOD, ["--time-limit", "0"], 2, [r"ran past its time limit of 0\.000 s"]),
    ("an unreadable old build", b"MZ", GOOD, [], 2, [r"not a PE file"]),
]


# The signature files the rows name: one with a bad second line; the plug-in's
# getpropstate as a maintainer might type it; the long function's first bytes;
# a set for getpropstate whose two signatures match nothing.
FILES = {
    "SIGNATURES": "first 90 90\nsecond 90 xx\n",
    "LISTING": "# the plug-in's getpropstate\n\n  getpropstate "
               + header_text("getpropstate").lower().replace("??", "?") + "  # as typed\n",
    "PREFIXED": "long " + hex_text(PREFIX[:7]) + "\n",
    "LOST": "getpropstate 90 91 92 93 94 95 96 97\ngetpropstate inside 90 91 92 93 94 95 96 98\n",
    "TWICE": f"getpropstate {header_text('getpropstate')}\ngetpropstate inside 41 8B\n"
             f"getpropstate {header_text('getpropstate').lower()}\n",
}


def check(name, command, status, patterns, one_line):
    """Runs one row; 1 when it failed (and says why), 0 otherwise. `one_line`: the
    message an unreadable input must be, alone on standard error."""
    result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    output = result.stdout + result.stderr
    problems = [] if result.returncode == status else [f"exit {result.returncode}, not {status}"]
    problems += [f"no {p!r}" for p in patterns if not re.search(p, output)]
    if status == 2 and not re.fullmatch(one_line, result.stderr):
        problems.append("not one line naming the file")
    for problem in problems:
        print(f"FAILED {name}: {problem}")
    if problems:
        print(output)
    return 1 if problems else 0


def main():
    tool, work = sys.argv[1], Path(sys.argv[2])
    work.mkdir(parents=True, exist_ok=True)
    failures = 0
    # getpropstate's set: its entry signature and a call at a caller (the other two as the plug-in's header has them).
    # getpropstate as an inside signature alone, and as an entry, a call and an inside signature.
    headers = {"AGREEING": (True, ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"']), "INSIDE": (False, ['"inside 41 8B 44 80 10"']),
               "DISAGREEING": (True, ['"call 48 8B CF [E8 ?? ?? ?? ??] 85 C0"', '"inside 41 8B 44 80 10"'])}
    for flag, (entry, added) in headers.items():
        headers[flag] = work / f"{flag.lower()}.h"
        headers[flag].write_text(re.sub(r'signatures\("getpropstate",\s*("[^"]+")', lambda m: 'signatures("getpropstate", '
                                        + ", ".join(([m.group(1)] if entry else []) + added), HEADER.read_text()))
    for name, data, flags, status, patterns in ROWS:
        path = work / (re.sub(r"\W+", "-", name).strip("-") + ".bin")
        path.write_bytes(data)
        flags = [str(headers.get(flag, flag)) for flag in flags]
        failures += check(name, [tool, *flags, str(path)], status, patterns,
                          rf"nozzles-sigcheck: {re.escape(str(path))}: [^\n]+\n")
    for name, old, new, flags, status, patterns in UPDATE_ROWS:
        stem = work / re.sub(r"\W+", "-", name).strip("-")
        old_path, new_path, header = Path(f"{stem}-old.bin"), Path(f"{stem}-new.bin"), Path(f"{stem}-header.h")
        old_path.write_bytes(old)
        new_path.write_bytes(new)
        header.unlink(missing_ok=True)
        named = {"HEADER": header, "OLD": old_path}
        for flag, content in FILES.items():
            named[flag] = Path(f"{stem}-{flag.lower()}.txt")
            named[flag].write_text(content)
        flags = [str(named.get(flag, flag)) for flag in flags]
        patterns = [p.replace("HEADER", re.escape(str(header))) for p in patterns]
        failed = check(name, [tool, str(new_path), "--old", str(old_path), *flags], status, patterns,
                       r"nozzles-sigcheck: \S+: [^\n]+\n")
        if not failed and "--write-header" in flags and status != 0 and header.exists():
            print(f"FAILED {name}: a header was written")
            failed = 1
        failures += failed
    total = len(ROWS) + len(UPDATE_ROWS)
    print(f"{total - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
