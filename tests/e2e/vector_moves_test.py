#!/usr/bin/env python3
"""check_pe.py's rule on wide vector moves, on an object assembled here that
holds each form: every aligned and non-temporal move on a ymm or zmm register
is found, and the unaligned and 16-byte ones are left alone.

    vector_moves_test.py --as AS --objdump OBJDUMP WORK_DIR
"""
import argparse
import subprocess
import sys
from pathlib import Path

from check_pe import wide_aligned_moves

FLAGGED = ["vmovdqa %ymm0, (%rsp)", "vmovaps (%rcx), %ymm1", "vmovapd %ymm2, %ymm3", "vmovntdq %ymm4, (%rcx)",
           "vmovntps %ymm5, (%rcx)", "vmovntpd %ymm6, (%rcx)", "vmovntdqa (%rcx), %ymm7",
           "vmovdqa32 %zmm0, (%rsp)", "vmovdqa64 (%rcx), %zmm1", "vmovaps %zmm2, (%rcx)", "vmovntdq %zmm3, (%rcx)"]
LEFT_ALONE = ["vmovdqu %ymm0, (%rsp)", "vmovups (%rcx), %ymm1", "vmovdqu64 %zmm2, (%rcx)", "vmovdqa %xmm3, (%rsp)",
              "movaps %xmm4, (%rcx)", "vmovntdq %xmm5, (%rcx)", "movntdq %xmm6, (%rcx)"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--as", dest="assembler", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("work")
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    source, obj = work / "vector-moves.s", work / "vector-moves.o"
    # A nop before each: the mnemonics stand in order, one instruction each.
    source.write_text("".join(f"nop\n{line}\n" for line in FLAGGED + LEFT_ALONE))
    subprocess.run([args.assembler, "-o", str(obj), str(source)], check=True)
    found = [mnemonic for _, mnemonic in wide_aligned_moves(subprocess.run(
        [args.objdump, "-d", str(obj)], capture_output=True, text=True, check=True).stdout)]
    expected = [line.split()[0] for line in FLAGGED]
    if found != expected:
        print(f"FAILED: found {found}, expected {expected}")
        return 1
    print(f"all {len(FLAGGED)} aligned or non-temporal wide moves found, none of {len(LEFT_ALONE)} others")
    return 0


if __name__ == "__main__":
    sys.exit(main())
