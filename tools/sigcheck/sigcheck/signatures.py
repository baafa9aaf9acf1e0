"""Signatures as text: the form disassemblers print ("48 8B ?? 57"), the
plug-in's header that holds a set for each of its three functions,
signature files, and the header written with new sets. A set here is
(name, [(kind, call_at, mask, pattern), ...]): kind "entry", "call" or
"inside"; call_at where a call signature's E8 or E9 stands; mask 'x' fixed,
'?' open; pattern bytes, 00 at open places."""
import re
from pathlib import Path

from .layout import Unreadable

ROOT = Path(__file__).resolve().parents[3]
HEADER = ROOT / "src" / "memory" / "game_signatures.h"
# signatures("name",\n    "bytes",\n    "call bytes [E8 ?? ?? ?? ??] bytes", ...): one function's set.
HEADER_SET = re.compile(r'signatures\("(\w+)",((?:\s*"[^"]*",?)+)\s*\)')
HEADER_TEXT = re.compile(r'"([^"]*)"')
KINDS = ("entry", "call", "inside")


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


def parse_set_signature(text):
    """(kind, call_at, mask, pattern) of one signature of a set, or None."""
    words = text.split()
    kind = words.pop(0) if words and words[0] in ("call", "inside") else "entry"
    opened = [k for k, word in enumerate(words) if word.startswith("[")]
    closed = [k for k, word in enumerate(words) if word.endswith("]")]
    if (kind == "call") != (len(opened) == 1) or len(closed) != len(opened) or \
            (opened and closed[0] - opened[0] != 4):
        return None
    parsed = parse_bytes([word.strip("[]") for word in words])
    if parsed is None:
        return None
    call_at = opened[0] if opened else 0
    return kind, call_at, *parsed


def header_sets(path=HEADER):
    """(name, [(kind, call_at, mask, pattern), ...]) of each function the plug-in's header holds."""
    found = []
    for name, texts in HEADER_SET.findall(Path(path).read_text()):
        found.append((name, [parse_set_signature(text) for text in HEADER_TEXT.findall(texts)]))
    if not found or any(None in signatures for _, signatures in found):
        raise Unreadable(f"{path}: no signatures(\"name\", \"bytes\", ...) in it, or one it cannot read")
    for name, signatures in found:
        if len(set(signatures)) != len(signatures):
            raise Unreadable(f"{path}: {name} holds the same signature twice; each gives one vote")
    return found


def file_sets(path):
    """One signature a line: a name, then its bytes, "call" or "inside" before them for
    those kinds; lines of one name make one set; '#' starts a comment."""
    found = {}
    for number, line in enumerate(Path(path).read_text(errors="replace").splitlines(), 1):
        words = line.partition("#")[0].split()
        if not words:
            continue
        parsed = parse_set_signature(" ".join(words[1:]))
        if parsed is None or parsed[2].strip("?") == "":
            raise Unreadable(f"line {number}: a name, then bytes as two hexadecimal digits or ?? each, one fixed "
                             "at least (a call's in brackets)")
        # One signature, one vote: a copy would outvote the rest of its set.
        if parsed in found.get(words[0], {}):
            raise Unreadable(f"line {number}: the same signature as line {found[words[0]][parsed]} for {words[0]}")
        found.setdefault(words[0], {})[parsed] = number
    if not found:
        raise Unreadable("no signature in it")
    return [(name, list(signatures)) for name, signatures in found.items()]


def set_signature_text(kind, call_at, mask, pattern):
    """One signature of a set as the header and the reports write it."""
    words = signature_text(mask, pattern).split()
    if kind == "call":
        words[call_at], words[call_at + 4] = "[" + words[call_at], words[call_at + 4] + "]"
    return ("" if kind == "entry" else kind + " ") + " ".join(words)


def set_text(name, signatures):
    """A set as the header holds it, one signature to a line."""
    lines = [f'    "{set_signature_text(*signature)}"' for signature in signatures]
    return f'signatures("{name}",\n' + ",\n".join(lines) + ")"


def proposed_set(result):
    """The set a carry proposed, as (kind, call_at, mask, pattern) tuples (from --json too,
    where only a call signature has its call_at)."""
    return [(s["kind"], s.get("call_at", 0), *parse_bytes(s["signature"].split())) for s in result["set"]]


def write_header(path, results):
    """The header's text with each function's set replaced by its new one, written to path."""
    new = {r["name"]: proposed_set(r) for r in results if r["set"]}

    def replace(match):
        return set_text(match.group(1), new[match.group(1)]) if match.group(1) in new else match.group(0)

    Path(path).write_text(HEADER_SET.sub(replace, HEADER.read_text()))
