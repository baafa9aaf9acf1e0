#!/usr/bin/env python3
"""check_pe.py's rule on wide vector moves, on a DLL assembled and linked
here whose functions hold each case: every aligned and non-temporal move on
a ymm or zmm register that may meet an address not aligned to its size is
found, and the unaligned, 16-byte, register-only, aligned-constant and
realigned-stack ones are left alone.

    vector_moves_test.py --as AS --ld LD --objdump OBJDUMP WORK_DIR
"""
import argparse
import subprocess
import sys
from pathlib import Path

from check_pe import functions, wide_aligned_moves

# Each function: its instructions, and for each the part of the reason the
# rule must give (None: the move is left alone).
FUNCTIONS = {
    # GCC's frame on Win64: the stack is aligned to 16 only.
    "not_realigned": [
        ("vmovdqa %ymm0, (%rsp)", "does not realign rsp to 32"),
        ("vmovaps %ymm1, 0x40(%rsp)", "does not realign rsp to 32"),
        ("vmovdqa32 %zmm0, (%rsp)", "does not realign rsp to 64"),
        ("vmovntdq %ymm4, 0x20(%rsp)", "does not realign rsp to 32"),
        ("vmovdqu %ymm0, (%rsp)", None),
        ("vmovdqa %xmm3, (%rsp)", None),
        ("movaps %xmm4, 0x10(%rsp)", None),
    ],
    # clang's: rbp keeps the frame, rsp is realigned to 32.
    "realigned_32": [
        ("vmovdqa %ymm2, (%rsp)", "does not realign rsp to 32"),  # before the realignment
        ("push %rbp", None),
        ("mov %rsp, %rbp", None),
        ("and $-32, %rsp", None),
        ("vmovdqa %ymm0, 0x40(%rsp)", None),
        ("vmovaps 0x20(%rsp), %ymm1", None),
        ("vmovdqa %ymm0, 0x10(%rsp)", "offset of 0x10"),
        ("vmovdqa64 %zmm0, 0x40(%rsp)", "does not realign rsp to 64"),
        ("vmovaps %ymm0, 0x20(%rbp)", "through %rbp"),
        ("vmovdqa %ymm0, (%rsp,%rax,1)", "through %rsp"),
        ("mov %rbp, %rsp", None),
        ("pop %rbp", None),
    ],
    "realigned_64": [
        ("and $-64, %rsp", None),
        ("vmovdqa64 %zmm1, 0x40(%rsp)", None),
        ("vmovdqa %ymm1, 0x20(%rsp)", None),
    ],
    # Data the code is given: its alignment is the caller's business, which nothing here can check.
    "through_pointers": [
        ("vmovaps (%rcx), %ymm1", "through %rcx"),
        ("vmovdqa64 (%rcx), %zmm1", "through %rcx"),
        ("vmovntdqa (%rcx), %ymm7", "through %rcx"),
        ("vmovntps %ymm5, (%rcx)", "through %rcx"),
        ("vmovntpd %ymm6, 0x40(%rdx)", "through %rdx"),
        ("vmovups (%rcx), %ymm1", None),
        ("vmovdqu64 %zmm2, (%rcx)", None),
        ("vmovntdq %xmm5, (%rcx)", None),
        ("movntdq %xmm6, (%rcx)", None),
    ],
    # No memory, or the image's own constants, which the linker placed.
    "registers_and_constants": [
        ("vmovapd %ymm2, %ymm3", None),
        ("vmovdqa64 %zmm2, %zmm3", None),
        ("vmovdqa aligned_32(%rip), %ymm1", None),
        ("vmovdqa64 aligned_64(%rip), %zmm1", None),
        ("vmovdqa off_by_16(%rip), %ymm1", "not aligned to 32"),
        ("vmovdqa32 aligned_32(%rip), %zmm1", "not aligned to 64"),
    ],
}
# Outside every function the exception directory knows.
LOOSE = [("vmovdqa %ymm0, 0x40(%rsp)", "outside every function")]


def source():
    lines = ["    .text"]
    for name, body in FUNCTIONS.items():
        lines += [f"    .globl {name}", f"    .seh_proc {name}", f"{name}:", "    .seh_endprologue"]
        # A nop before each: the mnemonics stand in order, one instruction each.
        lines += [f"    nop\n    {instruction}" for instruction, _ in body]
        lines += ["    ret", "    .seh_endproc"]
    lines += [f"    nop\n    {instruction}" for instruction, _ in LOOSE]
    lines += ['    .section .rdata,"dr"', "    .balign 64", "aligned_64: .zero 32", "aligned_32: .zero 16",
              "off_by_16: .zero 48"]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--as", dest="assembler", required=True)
    parser.add_argument("--ld", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("work")
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    asm, obj, dll = work / "vector-moves.s", work / "vector-moves.o", work / "vector-moves.dll"
    asm.write_text(source())
    subprocess.run([args.assembler, "-o", str(obj), str(asm)], check=True)
    subprocess.run([args.ld, "--dll", "--entry=not_realigned", "-o", str(dll), str(obj)], check=True)

    def dump(flag):
        return subprocess.run([args.objdump, flag, str(dll)], capture_output=True, text=True, check=True).stdout

    found = [(mnemonic, why) for _, mnemonic, why in wide_aligned_moves(dump("-d"), functions(dump("-p")))]
    cases = [case for body in FUNCTIONS.values() for case in body] + LOOSE
    expected = [(instruction.split()[0], reason) for instruction, reason in cases if reason]
    failures = [f"{mnemonic}: expected a reason with {reason!r}, got {why!r}"
                for (mnemonic, why), (_, reason) in zip(found, expected) if reason not in why]
    if [m for m, _ in found] != [m for m, _ in expected]:
        failures.append(f"found {found}, expected {expected}")
    for failure in failures:
        print("FAILED:", failure)
    if failures:
        return 1
    print(f"all {len(expected)} wide aligned moves that may fault found with their reasons, "
          f"none of the {len(cases) - len(expected)} other instructions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
