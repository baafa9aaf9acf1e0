#!/usr/bin/env python3
"""What a missing function costs a frame: the plug-in in the stand-in game
under Wine, where its walk over the game's image runs for real, with neither
getpropstate nor setpropstate findable and a listed model below half travel,
so that every frame's run searches the whole image twice. Played in the
game as built and in its large build (128 MiB more of code); the difference
in time per frame is the cost of 2 x 128 MiB of passes.

    missing_function_cost.py BUILD_DIR [FRAMES]
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXTRA_MIB = 128
SCENARIO = """step 16
settings 61 62 0.1
vehicle 100 zr72 class 0 position 0.2
unfindable getpropstate
unfindable setpropstate
tracing off
frames 200
memory
frames {frames}
memory
"""


def microseconds_per_frame(build, game, frames):
    work = build / "bench-missing-function" / game
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    for name in (game, "ScriptHookV.dll", "Nozzles.asi"):
        shutil.copy(build / name, work / name)
    (work / "scenario.txt").write_text(SCENARIO.format(frames=frames))
    env = dict(os.environ, NOZZLES_WINEPREFIX=str(build / "wineprefix"))
    subprocess.run([str(ROOT / "tools" / "wine-run"), game, "--quiet", "--trace", "trace.txt", "scenario.txt"],
                   cwd=work, env=env, check=True, capture_output=True, timeout=1800)
    marks = re.findall(r"([\d.]+) us per frame since the last mark", (work / "trace.txt").read_text())
    return float(marks[-1])


def main():
    build = Path(sys.argv[1]).resolve()
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    small = microseconds_per_frame(build, "nozzles-game.exe", frames)
    large = microseconds_per_frame(build, "nozzles-game-large.exe", frames)
    per_mib = (large - small) / 2 / EXTRA_MIB  # two passes per frame
    print(f"{frames} frames, two full passes in each: {small:.0f} us per frame in the stand-in game, "
          f"{large:.0f} us with {EXTRA_MIB} MiB more code")
    print(f"one pass: {per_mib:.1f} us per MiB of code ({1000 / per_mib:.0f} MiB per ms, "
          f"{1048.576 / per_mib:.1f} GB/s); {EXTRA_MIB} MiB: {per_mib * EXTRA_MIB / 1000:.1f} ms; "
          f"per 64 MiB {per_mib * 64 / 1000:.1f} ms a pass, {per_mib * 128 / 1000:.1f} ms a frame below half travel")
    return 0


if __name__ == "__main__":
    sys.exit(main())
