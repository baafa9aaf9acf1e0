#!/usr/bin/env python3
"""What a missing function costs a frame: the plug-in in the stand-in game
under Wine, where its walk over the game's image runs for real, with neither
getpropstate nor setpropstate findable and a listed model below half travel,
so that every frame's run searches the whole image twice. Played in the
game as built and in its large build (128 MiB more of code); the difference
in time per frame is the cost of 2 x 128 MiB of passes. Measured for the
plug-in as shipped (one entry signature a function), and for one built with
sets of seven signatures for both functions, as an update may bring, that
find nothing. Then package/README.txt's figures are checked against both.

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
# Sets of seven for getpropstate and setpropstate, of the shapes the
# signature tool writes, each signature a byte away from the stand-in's code
# so that none matches.
MISSING_SETS = {
    "getpropstate": ["4C 8B C1 83 FA ?? 77 1A", "call 89 DA [E8 ?? ?? ?? ??] EB 04 83 C8 FF",
                     "call 89 FA [E8 ?? ?? ?? ??] 45 31 C0 85 C1", "call 48 8B CF [E8 ?? ?? ?? ??] 85 C0 5B C2",
                     "inside 77 18 48 FF 05 ?? ?? ?? ?? 89 D0 41 8B 44 80 11", "inside 41 8B 44 80 11 C3 31 C1",
                     "inside 48 FF 05 ?? ?? ?? ?? 89 D1 41 8B 44"],
    "setpropstate": ["4C 8B C9 83 FA ?? 77 1F 8B CB", "call [E8 ?? ?? ?? ??] 48 83 C4 28 5E 5B C2",
                     "call [E8 ?? ?? ?? ??] 48 83 C4 28 5F 5B C2", "call [E8 ?? ?? ?? ??] FF C3 83 FB 08 72 ED",
                     "inside 83 FA 07 77 1F 8B CA 48 FF 05 ?? ?? ?? ?? 41 0F B6 C1",
                     "inside 41 89 44 89 10 C3 31 C1", "inside 8B CA 48 FF 05 ?? ?? ?? ?? 41 0F B7"],
}


def build_missing_sets_plugin(build):
    """Nozzles-sets.asi: the plug-in with the sets above for the two functions; its header."""
    text = (ROOT / "src" / "memory" / "game_signatures.h").read_text()
    for name, signatures in MISSING_SETS.items():
        body = ",\n".join(f'    "{signature}"' for signature in signatures)
        text = re.sub(rf'signatures\("{name}",(?:\s*"[^"]*",?)+\s*\)',
                      lambda _, name=name, body=body: f'signatures("{name}",\n{body})', text)
    header = build / "sets-signatures" / "memory" / "game_signatures.h"
    header.parent.mkdir(parents=True, exist_ok=True)
    header.write_text(text)
    subprocess.run(["cmake", "--build", str(build), "--target", "Nozzles-sets"], check=True, capture_output=True,
                   timeout=600)
    return header


def microseconds_per_frame(build, game, frames, plugin):
    work = build / "bench-missing-function" / f"{game}-{plugin}"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    for name in (game, "ScriptHookV.dll", plugin):
        shutil.copy(build / name, work / name)
    (work / "scenario.txt").write_text(SCENARIO.format(frames=frames))
    env = dict(os.environ, NOZZLES_WINEPREFIX=str(build / "wineprefix"))
    subprocess.run([str(ROOT / "tools" / "wine-run"), game, "--quiet", "--trace", "trace.txt", "--plugin", plugin,
                    "scenario.txt"], cwd=work, env=env, check=True, capture_output=True, timeout=1800)
    marks = re.findall(r"([\d.]+) us per frame since the last mark", (work / "trace.txt").read_text())
    return float(marks[-1])


def per_mib(build, frames, plugin):
    """One pass's cost per MiB of code, in us, with the figures behind it printed."""
    small = microseconds_per_frame(build, "nozzles-game.exe", frames, plugin)
    large = microseconds_per_frame(build, "nozzles-game-large.exe", frames, plugin)
    cost = (large - small) / 2 / EXTRA_MIB  # two passes per frame
    print(f"{plugin}, {frames} frames, two full passes in each: {small:.0f} us per frame in the stand-in game, "
          f"{large:.0f} us with {EXTRA_MIB} MiB more code")
    print(f"  one pass: {cost:.1f} us per MiB of code ({1000 / cost:.0f} MiB per ms, {1048.576 / cost:.1f} GB/s); "
          f"{EXTRA_MIB} MiB: {cost * EXTRA_MIB / 1000:.1f} ms; per 64 MiB {cost * 64 / 1000:.1f} ms a pass, "
          f"{cost * 128 / 1000:.1f} ms a frame below half travel")
    return cost


def check_player_readme(shipped, sets):
    """package/README.txt's frame costs hold: each a range, from a PC with fast
    memory to one with slow, that holds what was measured (its low end "about"
    it, at most a quarter above; its high end at least it, as a slower machine
    pays more), no wider than four times; below half travel, twice."""
    readme = " ".join((ROOT / "package" / "README.txt").read_text().split())
    number = r"(\d+(?:\.\d+)?)"
    stated = re.search(rf"for each 64 MB of game code about {number} to {number} ms of every frame, and about "
                       rf"{number} to {number} ms while .*? up to about {number} to {number} and {number} to "
                       rf"{number} ms", readme)
    if stated is None:
        print("package/README.txt: its frame-cost sentences are not found")
        return 1
    figures = [float(value) for value in stated.groups()]
    holds = True
    for (low, high, frame_low, frame_high), cost in zip((figures[:4], figures[4:]), (shipped, sets)):
        measured = cost * 64 / 1000
        holds = (holds and low <= 1.25 * measured and measured <= high and high <= 4 * low
                 and (frame_low, frame_high) == (2 * low, 2 * high))
    print(f"package/README.txt says {figures[0]:g} to {figures[1]:g} ms a pass per 64 MB, with sets "
          f"{figures[4]:g} to {figures[5]:g} ms: " + ("holds" if holds else
                                                      f"does not hold (measured {shipped * 64 / 1000:.1f} and "
                                                      f"{sets * 64 / 1000:.1f} ms a pass)"))
    return 0 if holds else 1


def main():
    build = Path(sys.argv[1]).resolve()
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    header = build_missing_sets_plugin(build)
    # The large build's extra code is random bytes the game writes at start, not in its file.
    check = subprocess.run([str(ROOT / "build" / "host" / "nozzles-sigcheck"), str(build / "nozzles-game.exe"),
                            "--header", str(header)], capture_output=True, text=True)
    if check.stdout.count("the plug-in calls: nothing, no signature gives an address") != 2:
        print(f"the sets meant to find nothing find something in the game:\n{check.stdout}{check.stderr}")
        return 1
    shipped = per_mib(build, frames, "Nozzles.asi")
    sets = per_mib(build, frames, "Nozzles-sets.asi")
    print(f"sets of seven against one entry signature: {sets / shipped:.2f}x a pass")
    return check_player_readme(shipped, sets)


if __name__ == "__main__":
    sys.exit(main())
