"""Signatures as text: the form disassemblers print ("48 8B ?? 57"), the
plug-in's header that holds its three, signature files, and the header
written with new signatures. A signature here is (name, mask, pattern):
mask 'x' fixed, '?' open; pattern bytes, 00 at open places."""
import re
from pathlib import Path

from .layout import Unreadable

ROOT = Path(__file__).resolve().parents[3]
HEADER = ROOT / "src" / "memory" / "game_signatures.h"
HEADER_SIGNATURE = re.compile(r'signature\("(\w+)", "([0-9A-F? ]+)"\)')


def signature_text(mask, pattern):
    return " ".join("??" if c == "?" else f"{b:02X}" for c, b in zip(mask, pattern))


def parse_bytes(words):
    """(mask, pattern) of disassembler-style bytes ("48 8B ?? 57"), or None."""
    mask, pattern = "", bytearray()
    for word in words:
        if word in ("?", "??"):
            mask, pattern = mask + "?", pattern + b"\0"
        elif re.fullmatch(r"[0-9A-Fa-f]{2}", word):
            mask, pattern = mask + "x", pattern + bytes([int(word, 16)])
        else:
            return None
    return (mask, bytes(pattern)) if mask else None


def header_signatures(path=HEADER):
    """(name, mask, pattern) of the plug-in's signatures, from the header that holds them."""
    found = [(name, *parse_bytes(text.split())) for name, text in HEADER_SIGNATURE.findall(Path(path).read_text())]
    if not found:
        raise Unreadable(f"{path}: no signature(\"name\", \"bytes\") in it")
    return found


def file_signatures(path):
    """One signature a line: a name, then its bytes; '#' starts a comment."""
    found = []
    for number, line in enumerate(Path(path).read_text(errors="replace").splitlines(), 1):
        words = line.partition("#")[0].split()
        if not words:
            continue
        parsed = parse_bytes(words[1:])
        if parsed is None or parsed[0].strip("?") == "":
            raise Unreadable(f"line {number}: a name, then bytes as two hexadecimal digits or ?? each, one fixed "
                             "at least")
        found.append((words[0], *parsed))
    if not found:
        raise Unreadable("no signature in it")
    return found


def write_header(path, results):
    """The header's text with each signature that has a new one replaced, written to path."""
    new = {r["name"]: r["signature"] for r in results if r["signature"] is not None}

    def replace(match):
        return f'signature("{match.group(1)}", "{new.get(match.group(1), match.group(2))}")'

    Path(path).write_text(HEADER_SIGNATURE.sub(replace, HEADER.read_text()))
