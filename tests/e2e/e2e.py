#!/usr/bin/env python3
"""End-to-end scenarios: the real plug-in DLL in the stand-in game under Wine.

Each test writes a scenario, plays it in a working directory of its own and
checks the bytes of "Nozzels.log" and the trace of what the plug-in asked the
host. Expected logs are written out here from the behaviour the plug-in must
have, never taken from a run.

    e2e.py --build BUILD_DIR --work WORK_ROOT TEST_NAME
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TESTS = {}


def test(function):
    TESTS[function.__name__] = function
    return function


class Failure(Exception):
    pass


class Skip(Exception):
    """The test cannot run here; ctest reports it as skipped (SKIP_RETURN_CODE)."""


SKIP_RETURN_CODE = 77


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


class Run:
    """One play of a scenario: the log bytes, the trace lines, the output."""

    def __init__(self, work, result, log_dir=None):
        self.work = work
        work = Path(log_dir or work)
        self.returncode = result.returncode
        self.output = result.stdout
        self.errors = result.stderr
        log = work / "Nozzels.log"
        self.log_bytes = log.read_bytes() if log.is_file() else None
        trace = self.work / "trace.txt"
        self.trace = trace.read_text().splitlines() if trace.exists() else []

    @property
    def log_lines(self):
        expect(self.log_bytes is not None, "no log file")
        text = self.log_bytes.decode("ascii")
        expect(text == "" or text.endswith("\r\n"), "log does not end with CR LF")
        lines = text.split("\r\n")[:-1]
        expect(all("\n" not in l and "\r" not in l for l in lines), "a bare line break in the log")
        return lines

    def calls(self, name=None):
        """Trace entries (without the frame tag) that are calls into the game."""
        found = []
        for line in self.trace:
            tag, _, rest = line.partition(" ")
            if rest.startswith(("log ", "note ", "tick ")):
                continue
            if name is None or rest.startswith(name):
                found.append(rest)
        return found

    def frames(self):
        """Frame number -> list of trace entries of that frame."""
        result = {}
        for line in self.trace:
            tag, _, rest = line.partition(" ")
            result.setdefault(int(tag[1:]), []).append(rest)
        return result

    def notes(self):
        return [line.partition(" note ")[2] for line in self.trace if " note " in line]


class Harness:
    def __init__(self, build, work_root, name):
        self.build = Path(build)
        self.work = Path(work_root) / name
        self.wineprefix = self.build / "wineprefix"

    def prepare(self, also=()):
        if self.work.exists():
            shutil.rmtree(self.work)
        self.work.mkdir(parents=True)
        for name in ("nozzles-game.exe", "ScriptHookV.dll", "Nozzles.asi", *also):
            shutil.copy(self.build / name, self.work / name)
        return self.work

    def windows_path(self, path):
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def start(self, scenario, cwd=None, extra=()):
        """Starts the game without waiting; the scenario and trace stay in the work directory."""
        (self.work / "scenario.txt").write_text(scenario)
        env = dict(os.environ, NOZZLES_WINEPREFIX=str(self.wineprefix))
        return subprocess.Popen(
            [str(ROOT / "tools" / "wine-run"), self.windows_path(self.work / "nozzles-game.exe"), "--quiet",
             "--trace", self.windows_path(self.work / "trace.txt"), *extra,
             self.windows_path(self.work / "scenario.txt")],
            cwd=cwd or self.work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def play(self, scenario, prepare=True, extra=(), timeout=600, game="nozzles-game.exe", quiet=True):
        """Plays the scenario text, or the game's built-in flight for None."""
        if prepare:
            self.prepare()
        if scenario is not None:
            (self.work / "scenario.txt").write_text(scenario)
        env = dict(os.environ, NOZZLES_WINEPREFIX=str(self.wineprefix))
        result = subprocess.run(
            [str(ROOT / "tools" / "wine-run"), game, *(["--quiet"] if quiet else []), "--trace", "trace.txt", *extra,
             *([] if scenario is None else ["scenario.txt"])],
            cwd=self.work, env=env, capture_output=True, text=True, timeout=timeout)
        run = Run(self.work, result)
        expect(result.returncode == 0, f"the game ended with {result.returncode}:\n{result.stdout}\n{result.stderr}")
        # The game keeps the plug-in's stdio output buffered until it flushes,
        # as Windows' C runtime does: every frame must end with nothing pending.
        expect("frames that ended with log output not yet flushed: 0" in run.notes(),
               f"output left unflushed: {[n for n in run.notes() if 'not yet flushed' in n]}")
        return run


def settings_lines(up, down, step_text):
    return ["before up control", f"control up {up}", "before down control", f"control down {down}",
            "before angle step", f"angle step {step_text}"]


def crlf(lines):
    return "".join(line + "\r\n" for line in lines).encode("ascii")


# --- the spine ---------------------------------------------------------------

WINESERVER = "/usr/lib/wine/wineserver64"


@test
def wine_prefix(h):
    """Creates the private Wine prefix once, before the other tests run, and
    waits until its first start has settled: a game started while Wine still
    sets the prefix up can end early without a word. Then keeps one Wine
    server and its services running for the whole suite: started by a game,
    they would hold that game's output open for seconds after it ended."""
    # None of them may hold ctest's output open: it would wait for them.
    quiet = dict(env=dict(os.environ, WINEPREFIX=str(h.wineprefix), WINEDEBUG="-all"), stdin=subprocess.DEVNULL,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run([WINESERVER, "-k"], **quiet)  # one left by an interrupted run would never end
    fresh = not (h.wineprefix / "system.reg").exists()
    run = h.play("frames 1\n")
    expect(run.log_bytes is not None, "no log")
    # Wine's own set-up messages go to a log; a first run says one line about it.
    setup_log = Path(f"{h.wineprefix}-setup.log")
    if fresh:
        expect(run.errors.splitlines() == [f"first run: setting up Wine in {h.wineprefix} (its messages: {setup_log})"],
               f"the first run said: {run.errors!r}")
        expect("rundll32" in setup_log.read_text(), "Wine's set-up messages are not in its log")
    failed = subprocess.run([str(ROOT / "tools" / "wine-run"), "cmd"], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, NOZZLES_WINEPREFIX=str(ROOT / "README.md" / "prefix")))
    expect(failed.returncode != 0 and
           failed.stderr.endswith(f"setting up Wine failed: see {ROOT}/README.md/prefix-setup.log\n"),
           f"a failed set-up: {failed.returncode} {failed.stderr!r}")
    quiet["check"] = True
    subprocess.run([WINESERVER, "-w"], **quiet)
    subprocess.run([WINESERVER, "-p"], **quiet)
    quiet["env"]["NOZZLES_WINEPREFIX"] = str(h.wineprefix)
    subprocess.run([str(ROOT / "tools" / "wine-run"), "wineboot"], **quiet)


@test
def wine_server_stop(h):
    """Ends the Wine server that wine_prefix left running, after the last test."""
    subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=str(h.wineprefix)), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


@test
def earlier_log_is_truncated_and_lines_end_in_crlf(h):
    work = h.prepare()
    (work / "Nozzels.log").write_bytes(b"a line of an earlier run\r\n" * 100)
    run = h.play("# nothing to drive\nsettings none\nframes 20\n", prepare=False)
    expect_equal(run.log_bytes, crlf(settings_lines(0, 0, "0.100")), "log bytes")


@test
def registers_on_attach_and_unregisters_on_detach_only(h):
    run = h.play("frames 3\nthread\nframes 3\nthread\nframes 1\nunload\n")
    events = [c for c in run.calls() if c in ("scriptRegister", "scriptUnregister")]
    expect_equal(events, ["scriptRegister", "scriptUnregister"], "hook registration calls")
    expect_equal(run.notes().count("a game thread started and ended"), 2, "threads")
    # Nothing reached the hook while the threads came and went.
    frames = run.frames()
    thread_frames = [n for n, entries in frames.items() if "note a game thread started and ended" in entries]
    for n in thread_frames:
        expect(all(not e.startswith("scriptRegister") and not e.startswith("scriptUnregister") for e in frames[n]),
               f"hook called around the thread in frame {n}")


@test
def process_exit_unregisters_and_leaves_the_runtime_alone(h):
    # At process exit Windows has ended every other thread, and a runtime lock
    # one of them held ends the process at the plug-in's first wait on it:
    # there the plug-in unregisters and touches nothing else. FreeLibrary
    # still closes the log.
    run = h.play("settings 61 62 0.25\nvehicle 9 vtol class 1 position 0.0\nhold 61\nframes 2\nunload\nload\n"
                 "frames 2\n", extra=("--import-calls", "calls.txt"))
    calls = {}
    for phase, dll, name in re.findall(r"^(\S+) ([^!]+)!(.+)$", (h.work / "calls.txt").read_text(), re.M):
        calls.setdefault((phase, dll.lower()), []).append(name)
    unregister = ["?scriptUnregister@@YAXPEAUHINSTANCE__@@@Z"]
    expect_equal(calls.get(("FreeLibrary", "scripthookv.dll")), unregister, "hook calls while freed")
    expect("fclose" in calls.get(("FreeLibrary", "msvcrt.dll"), []), "FreeLibrary did not close the log")
    expect_equal(calls.get(("ExitProcess", "scripthookv.dll")), unregister, "hook calls at process exit")
    expect_equal(calls.get(("ExitProcess", "msvcrt.dll"), []), [], "C runtime calls at process exit")
    expect_equal(run.log_lines, settings_lines(61, 62, "0.250") + moved((0.5, 0.75), (0.75, 1.0)), "log after the reload")


@test
def log_can_be_opened_by_others_for_reading_and_writing_while_held(h):
    # The game opens the log itself, for reading and writing, while the
    # plug-in holds it: that only works when the plug-in shares it both ways.
    run = h.play("settings 61 62 0.1\nframes 2\nshare Nozzels.log\nframes 2\nunlock\n")
    expect(any(n == "the game holds Nozzels.log open, shared" for n in run.notes()), "the log could not be shared")
    expect_equal(run.log_lines, settings_lines(61, 62, "0.100"), "log")


# --- settings -----------------------------------------------------------------

SETTINGS_FILES = [
    # What Windows' C runtime decides in text mode (the grammar itself is the
    # host build's unit table): CR LF line ends, Ctrl-Z ending the input, and a
    # byte-order mark that the runtime does not strip. Text (scenario escapes),
    # then up, down and the step line; None where the field is not reached and
    # the setting keeps what the last start gave it.
    (r"61\r\n62\r\n0.05\r\n", 61, 62, "0.050"),
    (r"\xEF\xBB\xBF61 62 0.1", 0, None, None),
    (r"1 2\x1A 0.5", 1, 2, None),
    (r"3 \x1A4 0.5", 3, None, None),
]


@test
def settings_files_through_the_windows_runtime(h):
    # One process: the hook starts the script again for each file, and the
    # log, kept open, gathers the six lines of every start (each second start
    # keeps the log and reads the settings again).
    scenario = ""
    expected = []
    state = [0, 0, "0.100"]
    for i, (text, *values) in enumerate(SETTINGS_FILES):
        scenario += f"settings {text}\n" + ("restart\n" if i else "") + "frames 1\n"
        state = [old if new is None else new for old, new in zip(state, values)]
        expected += settings_lines(*state)
    run = h.play(scenario)
    expect_equal(run.log_lines, expected, "log")


@test
def settings_file_locked_keeps_the_defaults(h):
    run = h.play("settings 5 6 0.5\nlock Nozzles.ini\nframes 2\nunlock\n")
    expect_equal(run.log_lines, settings_lines(0, 0, "0.100"), "locked file")


@test
def settings_file_can_be_read_and_written_while_loaded(h):
    # The game holds the file open for writing with full sharing while the
    # plug-in reads it: the plug-in's own opening must allow that.
    run = h.play("settings 7 8 0.5\nshare Nozzles.ini\nframes 2\nunlock\n")
    expect_equal(run.log_lines, settings_lines(7, 8, "0.500"), "log")


# --- controller ---------------------------------------------------------------

def angle(value):
    return f"{value:7.3f}"


def moved(*steps):
    """The two lines of each position adjustment (before, after), in order."""
    return [line for before, after in steps
            for line in (f"current nozzle angle {angle(before)}", f"set nozzle angle {angle(after)}")]


@test
def mod_walks_with_its_fifty_millisecond_pauses(h):
    # The walk itself is the host build's table; here the pause, on the hook's fibers.
    scenario = ("step 10\nsettings 61 62 0.1\nvehicle 9 vtol class 1 mods 2 fitted 0 position 0.5\n"
                "hold 87\nframes 40\nrelease\nframes 40\n")
    run = h.play(scenario)
    expect_equal(len(run.calls("scriptWait(50)")), 4, "pauses")
    # Every fit is followed by its pause before anything else reaches the game.
    calls = run.calls()
    for i, c in enumerate(calls):
        if c.startswith("fitMod"):
            expect_equal(calls[i + 1], "scriptWait(50)", "call after a fit")
    # The clock runs on during each pause: the next accepted run comes at least 50 ms later.
    ticks = {}
    for line in run.trace:
        tag, _, rest = line.partition(" ")
        if rest.startswith("tick ") and rest.endswith("accepted"):
            ticks[int(tag[1:])] = int(rest.split()[1])
    frames = run.frames()
    fit_frames = sorted(n for n, e in frames.items() if any(x.startswith("fitMod") for x in e))
    for n in fit_frames:
        later = [t for f, t in ticks.items() if f > n]
        expect(not later or min(later) >= frames_tick(frames, n) + 50, f"run within the pause after frame {n}")


def frames_tick(frames, n):
    for e in frames[n]:
        if e.startswith("tick "):
            return int(e.split()[1])
    raise Failure(f"no tick in frame {n}")


# --- prop state ---------------------------------------------------------------

def object_address(run, handle):
    for note in run.notes():
        m = re.match(rf"vehicle {handle} has its game object at ([0-9A-F]{{16}})$", note)
        if m:
            return m.group(1)
    raise Failure("no object address noted")


@test
def what_is_not_code_in_the_image_is_ruled_out(h):
    # A page that cannot be read, a guard page, a page of data, and copies of
    # each function's first bytes in read-only data below the functions:
    # calling into those copies would crash the game.
    for change in ("protect noaccess", "protect guard", "protect data", "copies"):
        run = h.play(f"settings 61 62 0.1\nvehicle 100 zr72 class 0 position 0.7\nprop 100 1\n{change}\n"
                     "frames 2\n")
        a = object_address(run, 100)
        expect_equal(run.log_lines, settings_lines(61, 62, "0.100") +
                     ["before init memory", "before looking for getpropstate", "after looking for getpropstate",
                      "before call getpropstate", f"getpropstate vehicle 100 address {a} index 2 state 1",
                      "before looking for setpropstate", "after looking for setpropstate",
                      f"setpropstate vehicle 100 address {a} index 2 state disabled",
                      "before call getpropstate", f"getpropstate vehicle 100 address {a} index 2 state 0"],
                     f"log after '{change}'")
        c = counters(run)
        expect_equal((c["handleToAddress"], c["getpropstate"], c["setpropstate"]), ("3", "4", "1"),
                     f"calls into the game's functions after '{change}'")


@test
def signature_check_finds_the_functions_where_the_running_game_has_them(h):
    tool = ROOT / "build" / "host" / "nozzles-sigcheck"  # the host build's, which make test builds first
    run = h.play("frames 1\n")
    note = next(n for n in run.notes() if n.startswith("the game's functions at RVA "))
    running = dict(zip(note.split()[5::2], note.split()[6::2]))
    result = subprocess.run([str(tool), str(h.work / "nozzles-game.exe")], capture_output=True, text=True, timeout=60)
    expect_equal(result.returncode, 0, f"the check's exit status:\n{result.stdout}{result.stderr}")
    found = dict(re.findall(r"^(\w+) .*\n  the plug-in calls: RVA (0x[0-9A-F]+)", result.stdout, re.M))
    expect_equal(found, running, "RVAs in the file, and in the running game")


def flight(h, game, plugin):
    """The built-in flight: its log (the object's address as OBJECT), its frames and the call counters."""
    h.prepare(also=("nozzles-game-next.exe", "nozzles-game-third.exe", plugin))
    run = h.play(None, prepare=False, game=game, quiet=False, extra=("--plugin", plugin))
    address = object_address(run, 100)
    frames = [line for line in run.output.splitlines() if re.match(r"^ +\d+ +\d+ ", line)]
    log = [line.replace(address, "OBJECT") for line in run.log_lines]
    return log, frames, counters(run)


def header_sets(text):
    """{name: the set's text} of a header of the plug-in's form, and the text outside the sets."""
    pattern = re.compile(r'signatures\("(\w+)",((?:\s*"[^"]*",?)+)\s*\)')
    return dict(pattern.findall(text)), pattern.sub("SET", text)


def build_plugin(h, variant, header_text):
    header = h.build / f"{variant}-signatures" / "memory" / "game_signatures.h"
    header.parent.mkdir(parents=True, exist_ok=True)
    header.write_text(header_text)
    build = subprocess.run(["cmake", "--build", str(h.build), "--target", f"Nozzles-{variant}"], capture_output=True,
                           text=True, timeout=600)
    expect(build.returncode == 0, f"the plug-in with the {variant} header did not build:\n{build.stdout}{build.stderr}")


@test
def signatures_carried_to_the_next_version_fly_the_version_after_it_as_today(h):
    # The maintainer's update, end to end: make sigupdate on today's game and
    # its next version writes the header, a set for each function; the
    # plug-in built with it flies the built-in flight in the next version,
    # and in the version after it, which the tool never saw, as today's
    # plug-in does in today's game.
    written = h.build / "next-signatures-written.h"  # outside the work directory, which each flight empties
    written.unlink(missing_ok=True)
    old, new = h.build / "nozzles-game.exe", h.build / "nozzles-game-next.exe"
    quiet_make = {k: v for k, v in os.environ.items() if not k.startswith("MAKE") and k != "MFLAGS"}
    update = subprocess.run(["make", "-s", "-C", str(ROOT), "sigupdate", f"OLD={old}", f"NEW={new}",
                             f"SIGUPDATE_FLAGS=--write-header {written}"], capture_output=True, text=True,
                            timeout=600, env=quiet_make)
    report = update.stdout
    verdicts = dict(re.findall(r"^(\w+)  .*\n  verdict: (\S+)", report, re.M))
    # What each verdict must be, from where the next version's functions
    # really are (the running game says) and where the header's signatures
    # match in it (the tool's check): kept where one matches there alone, a
    # wrong function where one matches elsewhere alone (the decoy takes
    # setpropstate's), replaced otherwise. A wrong function, mended, still
    # asks for a person (the tool's 1, which make reports).
    h.prepare(also=("nozzles-game-next.exe",))
    note = next(n for n in h.play("frames 1\n", prepare=False, game="nozzles-game-next.exe").notes()
                if n.startswith("the game's functions at RVA "))
    truth = dict(zip(note.split()[5::2], note.split()[6::2]))
    check = subprocess.run([str(ROOT / "build" / "host" / "nozzles-sigcheck"), str(new)], capture_output=True,
                           text=True, timeout=60).stdout
    expected = {}
    for name, first, count in re.findall(r"^(\w+) .*\n  the plug-in calls: (?:RVA (0x[0-9A-F]+)|nothing).*\n"
                                         r"  matches in code: (\d+)", check, re.M):
        expected[name] = "replaced" if count != "1" else "kept" if first == truth[name] else "wrong-function"
    expect_equal(sorted(expected), sorted(truth), f"the check of the next version:\n{check}")
    needs_a_person = any(v not in ("kept", "replaced") for v in expected.values())
    expect_equal((update.returncode != 0, "sigupdate] Error 1" in update.stderr, verdicts),
                 (needs_a_person, needs_a_person, expected),
                 f"the update's exit status and verdicts:\n{report}{update.stderr}")
    expect("wrong-function" in expected.values(), "the next version's decoy takes no signature")
    expect("+0xF: mov rax, qword ptr [r9+8h] -> mov rax, qword ptr [r9+10h]" in report,
           f"the changed displacement is not reported:\n{report}")
    # Only the sets changed, each function's that was not kept, and each
    # set holds more than an entry signature.
    today_sets, today_rest = header_sets((ROOT / "src" / "memory" / "game_signatures.h").read_text())
    written_sets, written_rest = header_sets(written.read_text())
    expect_equal((written_rest, sorted(written_sets)), (today_rest, sorted(today_sets)), "the header outside its sets")
    expect(all((written_sets[n] != today_sets[n]) == (expected[n] != "kept") and written_sets[n].count('"') > 2
               for n in today_sets), f"the sets written: {written_sets}")

    build_plugin(h, "next", written.read_text())
    today_log, today_frames, today_counts = flight(h, "nozzles-game.exe", "Nozzles.asi")
    expect(any("getpropstate vehicle 100" in line for line in today_log), "today's flight reads no prop state")
    for game in ("nozzles-game-next.exe", "nozzles-game-third.exe"):
        log, frames, counts = flight(h, game, "Nozzles-next.asi")
        expect_equal(log, today_log, f"the log in {game}")
        expect_equal(frames, today_frames, f"the frames (position, mod, prop state, calls) in {game}")
        expect_equal(counts, today_counts, f"calls into the game's functions and natives in {game}")
    # In the version after, the entry signature written for handleToAddress
    # finds a decoy alone: outvoted, as the check shows.
    entry = re.match(r'\s*"([0-9A-F? ]+)"', written_sets.get("handleToAddress", ""))
    expect(entry is not None, f"the header written has no entry signature first for handleToAddress: {written_sets}")
    third = subprocess.run([str(ROOT / "build" / "host" / "nozzles-sigcheck"), str(h.build / "nozzles-game-third.exe"),
                            "--header", str(written)], capture_output=True, text=True, timeout=60)
    expect(third.returncode == 1 and entry is not None and
           re.search(rf"handleToAddress  \(a set of \d+\)\n  {re.escape(entry.group(1))}[^\n]*\n"
                     r"    1 match in code[^\n]*; gives RVA (0x[0-9A-F]+)\n", third.stdout)
           and "the plug-in calls: nothing" not in third.stdout, f"the check of the version after:\n{third.stdout}")

    # A function whose code the next version holds twice has no answer.
    listing = h.work / "fourth.txt"
    listing.write_text("countLiveEntities 4C 8B 0D ?? ?? ?? ?? 41 8B 09 49 8B 51 08  # ends with the pool's entities\n")
    fourth = subprocess.run([str(ROOT / "build" / "host" / "nozzles-sigcheck"), str(new), "--old", str(old),
                             "--signatures", str(listing), "--json"], capture_output=True, text=True, timeout=300)
    result = json.loads(fourth.stdout)["signatures"][0]
    expect_equal((fourth.returncode, result["verdict"], result["new_rva"], len(result["candidates"])),
                 (1, "not-found", None, 2), f"the doubled function: {result}")


@test
def a_set_whose_signatures_disagree_calls_nothing(h):
    # getpropstate's set: its own entry signature, and a call signature at a
    # caller of setpropstate (the tool's, for today's game and the next):
    # one vote each, a tie, so the plug-in finds nothing and calls nothing.
    h.work.mkdir(parents=True, exist_ok=True)
    listing = h.work / "setpropstate.txt"
    entry = re.search(r'kSetPropStateSignatures = signatures\("setpropstate",\s*"([^"]+)"',
                      (ROOT / "src" / "memory" / "game_signatures.h").read_text()).group(1)
    listing.write_text(f"setpropstate {entry}\n")
    carried = subprocess.run([str(ROOT / "build" / "host" / "nozzles-sigcheck"), str(h.build / "nozzles-game-next.exe"),
                              "--old", str(h.build / "nozzles-game.exe"), "--signatures", str(listing), "--json"],
                             capture_output=True, text=True, timeout=300)
    calls = [s for s in json.loads(carried.stdout)["signatures"][0]["set"] if s["kind"] == "call"]
    expect(calls, f"no call signature for setpropstate: {carried.stdout}")
    words = calls[0]["signature"].split()
    at = calls[0]["call_at"]
    words[at], words[at + 4] = "[" + words[at], words[at + 4] + "]"
    text = (ROOT / "src" / "memory" / "game_signatures.h").read_text()
    text = re.sub(r'(kGetPropStateSignatures = signatures\("getpropstate",\s*"[^"]+")',
                  lambda m: m.group(1) + f',\n    "call {" ".join(words)}"', text)
    build_plugin(h, "tie", text)
    h.prepare(also=("Nozzles-tie.asi",))
    run = h.play(None, prepare=False, quiet=False, extra=("--plugin", "Nozzles-tie.asi"))
    expect("getpropstate is null" in run.log_lines and not any(line.startswith("getpropstate vehicle")
                                                               for line in run.log_lines),
           f"the log with a tie: {run.log_lines[:40]}")
    expect_equal(counters(run)["getpropstate"], "0", "calls into getpropstate with a tie")


# One line for each scenario command, in an order the game can play them in.
EVERY_COMMAND = {
    "step": "step 16", "tick": "tick 15.625", "settings": "settings 61 62 0.1",
    "vehicle": "vehicle 100 zr72 class 1 mods 2 fitted 0 position 0.2", "class": "class zr72 1",
    "position": "position 0.3", "fitted": "fitted 1", "exists": "exists 1", "hold": "hold 61", "hold2": "hold2 62",
    "frames": "frames 2", "release": "release", "pause": "pause 1", "prop": "prop 100 1",
    "unfindable": "unfindable getpropstate", "findable": "findable getpropstate", "protect": "protect code",
    "copies": "copies", "lock": "lock Nozzles.ini", "share": "share Nozzels.log", "unlock": "unlock",
    "thread": "thread", "restart": "restart", "tracing": "tracing off", "memory": "memory", "leave": "leave",
    "noobject": "noobject 100", "unload": "unload", "load": "load",
}


def readme_table(text, heading):
    """The first words of the backticked names in the first column of the table under a heading."""
    section = text.split(heading, 1)[1].split("\n## ", 1)[0]
    rows = [line.split("|")[1] for line in section.splitlines() if line.startswith("| `")]
    return {name.split()[0] for row in rows for name in re.findall(r"`([^`]+)`", row)}


@test
def sim_readme_lists_what_the_game_takes(h):
    h.prepare()
    env = dict(os.environ, NOZZLES_WINEPREFIX=str(h.wineprefix))
    usage = subprocess.run([str(ROOT / "tools" / "wine-run"), "nozzles-game.exe", "--help"], cwd=h.work, env=env,
                           capture_output=True, text=True, timeout=120).stdout
    options = set(re.findall(r"^  (--\S+)", usage, re.M))
    commands = set(re.search(r"^scenario commands: (.*)$", usage, re.M).group(1).split())
    readme = (ROOT / "sim" / "README.md").read_text()
    expect_equal(readme_table(readme, "## The game's options"), options, "the options in sim/README.md and --help")
    expect_equal(readme_table(readme, "## Scenarios"), commands, "the commands in sim/README.md and --help")
    expect_equal(set(EVERY_COMMAND), commands, "the commands this test plays")
    # The game takes each (it ends with an error at the first it cannot do).
    run = h.play("".join(f"{line}\n" for line in EVERY_COMMAND.values()) + "frames 1\n")
    expect(run.log_lines[:2] == ["before up control", "control up 61"], "the flight did not start")


# --- faults, long runs and the player's view -------------------------------------

def counters(run):
    for note in run.notes():
        if note.startswith("counters "):
            return dict(item.split("=") for item in note.split()[1:])
    raise Failure("no counters noted")


def run_notes(work):
    trace = Path(work) / "trace.txt"
    return [line.partition(" note ")[2] for line in trace.read_text().splitlines() if " note " in line]


def accepted_runs(run):
    return sum(1 for line in run.trace if line.endswith(" accepted"))


@test
def log_held_without_sharing_when_the_script_starts(h):
    flight = "settings 61 62 0.1\nvehicle 9 vtol class 1 mods 2 fitted 0 position 0.2\nhold 61\nframes 12\n"
    reference = h.play(flight)
    run = h.play("lock Nozzels.log\n" + flight + "unlock\n")
    expect_equal(run.log_bytes, b"", "log held by another program")
    expect_equal(run.calls(), reference.calls(), "calls into the game, with and without a log")


def bouncing_flight(blocks, frames_each=4):
    scenario = "step 16\nsettings 61 62 0.25\nvehicle 9 vtol class 1 position 0.0\n"
    scenario += f"hold 61\nframes {frames_each}\nhold 62\nframes {frames_each}\n" * blocks
    return scenario


def bouncing_lines(blocks, frames_each=4):
    """The log of bouncing_flight, worked out from the controller's rules."""
    lines = settings_lines(61, 62, "0.250")
    position = 0.0
    for _ in range(blocks):
        for up in (True, False):
            for _ in range(frames_each):
                lines.append(f"current nozzle angle {angle(position)}")
                if up and position < 1.0:
                    position = min(position + 0.25, 1.0)
                elif not up and position > 0.0:
                    position = max(position - 0.25, 0.0)
                else:
                    continue
                lines.append(f"set nozzle angle {angle(position)}")
    return lines


@test
def disk_full_keeps_the_plugin_running(h):
    # Nozzels.log leads to /dev/full: the log opens, and every write fails as
    # on a full disk, root or not.
    work = h.prepare()
    (work / "Nozzels.log").symlink_to("/dev/full")
    blocks = 60
    run = h.play(bouncing_flight(blocks), prepare=False)
    expect((work / "Nozzels.log").resolve() == Path("/dev/full"), "the log's link was replaced")
    # The plug-in went on exactly as with room to write.
    expect_equal(accepted_runs(run), blocks * 8, "accepted runs")
    writes = sum(1 for line in bouncing_lines(blocks) if line.startswith("set nozzle angle"))
    expect_equal(len(run.calls("setNozzlePosition")), writes, "positions written")


@test
def another_program_reads_complete_lines_while_the_plugin_writes(h):
    h.prepare()
    blocks = 600
    expected = crlf(bouncing_lines(blocks))
    process = h.start(bouncing_flight(blocks))
    log = h.work / "Nozzels.log"
    reads = 0
    unfinished = 0  # reads that met a line while its write was in progress
    while process.poll() is None:
        time.sleep(0.001)  # another program polling, not spinning beside the game
        if not log.exists():
            continue
        with open(log, "rb") as reader:  # a second process, opening the file while it is written
            data = reader.read()
        reads += 1
        # Each read holds only bytes of the final log, in their place; the
        # last line may be cut only where a read overlapped its one write.
        expect(expected.startswith(data), f"read {reads} saw bytes that the final log does not hold there")
        unfinished += 1 if data and not data.endswith(b"\r\n") else 0
    process.communicate()
    expect_equal(log.read_bytes(), expected, "final log")
    expect(reads >= 100, f"only {reads} reads overlapped the run")
    # The game reads the log after every frame, when the plug-in's writes
    # have returned: there no line may be unfinished.
    own = [n for n in run_notes(h.work) if n.startswith(("reads of the log", "frames that ended"))]
    expect_equal(own, [f"reads of the log at the end of a frame: {blocks * 8}, 0 ended inside a line",
                       "frames that ended with log output not yet flushed: 0"], "the game's own reads")
    print(f"{reads} reads during the run, {unfinished} of them while a write was in progress; {own[0]}")


@test
def hook_pausing_the_script_resumes_it_where_it_was(h):
    run = h.play("step 16\nsettings 61 62 0.25\nvehicle 9 vtol class 1 position 0.0\nhold 61\n"
                 "frames 2\npause 20\nframes 2\n")
    frames = run.frames()
    paused = range(3, 23)
    for n in paused:
        expect_equal([e for e in frames[n] if not e.startswith(("tick", "note"))], [], f"paused frame {n}")
    expect_equal(run.log_lines, settings_lines(61, 62, "0.250") +
                 moved(*((a, a + 0.25) for a in (0.0, 0.25, 0.5, 0.75))), "log")


@test
def plugin_freed_mid_flight_and_loaded_again(h):
    run = h.play("step 16\nsettings 61 62 0.25\nvehicle 100 zr72 class 1 position 0.25\nprop 100 0\nhold 61\n"
                 "frames 2\nunload\nframes 3\nsettings 61 62 0.125\nload\nframes 2\n")
    a = object_address(run, 100)
    # The reloaded library starts with fresh state: a new log (the file
    # truncated), the settings read anew, a new search.
    expect_equal(run.log_lines, settings_lines(61, 62, "0.125") + moved((0.75, 0.875)) + [
        "before init memory", "before looking for getpropstate", "after looking for getpropstate",
        "before call getpropstate", f"getpropstate vehicle 100 address {a} index 2 state 0"] + moved((0.875, 1.0)) +
        ["before call getpropstate", f"getpropstate vehicle 100 address {a} index 2 state 0"], "log after the reload")
    frames = run.frames()
    for n in (3, 4, 5):
        expect(not any(e.startswith("playerCharacter") for e in frames[n]), f"a script ran while unloaded ({n})")
    events = [c for c in run.calls() if c in ("scriptRegister", "scriptUnregister")]
    expect_equal(events, ["scriptRegister", "scriptUnregister", "scriptRegister"], "registration")
    # Unloading closed the log: the library holds no file once it is gone.
    expect_equal([n for n in run.notes() if n.startswith("freed")],
                 ["freed the plug-in, 0 script(s) registered, 0 file(s) it opened still open"], "after the unload")


@test
def long_run_under_wine_keeps_memory_and_log_flat(h):
    frames = 100_000
    each = 25
    blocks = frames // (2 * each)
    scenario = bouncing_flight(0) + "tracing off\nframes 1000\nmemory\n"
    scenario = scenario.replace("vehicle 9 vtol", "vehicle 100 zr72") + "prop 100 1\n"
    body = f"hold 61\nframes {each}\nhold 62\nframes {each}\n" * blocks
    run = h.play(scenario + body + "memory\n" + body + "memory\n")
    frames *= 2
    lines = run.log_lines
    expect_equal(len(run.log_bytes), sum(len(l) + 2 for l in lines), "log size")
    # Every frame ran: a control is held in each, so each logs its angle (the
    # other lines' counts against the world's counters are the soak's).
    expect_equal(sum(1 for line in lines if line.startswith("current nozzle")), frames, "current angle lines")
    memory = [n for n in run.notes() if n.startswith("memory ")]
    heaps = [tuple(int(x) for x in re.search(r"heap (\d+) bytes in (\d+) blocks \((\d+) of 256", n).groups())
             for n in memory]
    expect(len(heaps) == 3, f"memory notes: {memory}")
    print(f"{frames + 1000} frames, {len(lines)} log lines")
    for note in memory:
        print("  " + note)
    # Over the last 100,000 frames the heap gains exactly one block: the text
    # of the earlier mark's note, which the game keeps. The plug-in adds
    # nothing, and the 256-byte blocks (its message block among them) stay put.
    before, after = heaps[1], heaps[2]
    expect_equal(after[1] - before[1], 1, "blocks gained over the last 100,000 frames")
    expect(0 < after[0] - before[0] <= 512, f"bytes gained: {after[0] - before[0]}")
    expect_equal(after[2], before[2], "256-byte blocks")
    expect_equal(heaps[1][2], heaps[0][2], "256-byte blocks over the first 100,000 frames")


@test
def timeline_picture_shows_every_accepted_run(h):
    import xml.etree.ElementTree as ET
    run = h.play((ROOT / "scenarios" / "mod-walk.txt").read_text(), extra=("--svg", "timeline.svg"))
    tree = ET.parse(h.work / "timeline.svg")
    ns = "{http://www.w3.org/2000/svg}"
    circles = [c for c in tree.iter(ns + "circle") if c.get("class") == "accepted"]
    ticks = [l for l in tree.iter(ns + "line") if l.get("class") == "throttled"]
    expect_equal(len(circles), accepted_runs(run), "accepted samples in the picture")
    expect(len(circles) + len(ticks) <= len(run.frames()), "more samples than frames")
    expect(len(ticks) > 0, "no throttled frames shown")


def throttled(frames, frame_us, timer_us=15625):
    """The frames (from 1) whose run passes the 10 ms throttle when the tick
    moves in whole timer steps, as on Windows; the last run at first at 0."""
    accepted, last = [], 0
    for n in range(1, frames + 1):
        tick = n * frame_us // timer_us * timer_us // 1000
        if last + 10 < tick:
            accepted, last = accepted + [n], tick
    return accepted


@test
def figures_stated_in_the_players_readme_hold(h):
    # The built-in flight on the exact clock, as it has always played.
    summary = re.search(r"^(\d+) frames, (\d+) accepted runs, (\d+) log lines", h.play(None).output, re.M)
    expect_equal(summary and summary.groups(), ("220", "92", "368"), "the built-in flight")
    # Measured as README.txt says, on Windows' stepped tick and on the exact
    # clock: a listed model, the built-in flight's settings, at 60 and at 144
    # frames a second (at 60 every frame's run passes on either clock).
    readme = " ".join((ROOT / "package" / "README.txt").read_text().split())
    stated = [int(mb) for mb in re.findall(r"about (\d+) MB per hour", readme)]
    growth = []
    for frame_ms, tick, per_swing in (("16.667", "15.625", 16), ("6.944", "15.625", 36), ("16.667", "exact", 16)):
        start = (f"step {frame_ms}\ntick {tick}\nsettings 61 62 0.0625\\r\\n\n"
                 "vehicle 100 zr72 class 1 mods 3 fitted 0 position 0.0\nframes 60\n")
        settled = len(h.play(start).log_bytes)
        swings = 3600 // (2 * per_swing)
        for body, frames in (("frames 3600\n", 3600),
                             (f"hold 61\nframes {per_swing}\nhold 62\nframes {per_swing}\n" * swings, 2 * per_swing * swings)):
            grown = len(h.play(start + body).log_bytes) - settled
            growth.append(grown / (frames * float(frame_ms) / 1000) * 3600 / 1e6)
    expect_equal(stated + stated[:2], [round(mb) for mb in growth], f"MB per hour sitting still and moving ({growth})")

    # Which runs the timer lets through, the speed of travel with the shipped
    # step, and the runs a second, on Windows' usual 15.625 ms timer and on a
    # 10 ms one (10.0144 ms), where the throttle lets only every other step through.
    step = (ROOT / "package" / "Nozzles.ini").read_text().split()[2]
    seconds, runs = {}, {}
    for timer in ("15.625", "10.0144"):
        for frame_ms in ("16.667", "6.944"):
            run = h.play(f"step {frame_ms}\ntick {timer}\nsettings 61 62 {step}\nvehicle 9 vtol class 1 position 0.0\n"
                         "hold 61\nframes 400\n")
            accepted = sorted(n for n, entries in run.frames().items() if any(e.endswith(" accepted") for e in entries))
            expect_equal(accepted, throttled(400, round(float(frame_ms) * 1000), round(float(timer) * 1000)),
                         f"runs at {frame_ms} ms a frame on a {timer} ms timer")
            top = next(n for n, entries in sorted(run.frames().items())
                       if any(e.startswith("setNozzlePosition") and e.split(", ")[1].startswith("1)") for e in entries))
            seconds[timer, frame_ms] = top * float(frame_ms) / 1000
            runs[timer, frame_ms] = len(accepted) / (400 * float(frame_ms) / 1000)
    print("runs a second and seconds from down to up: " +
          ", ".join(f"{t} ms timer at {f} ms a frame {runs[t, f]:.1f} and {seconds[t, f]:.2f}" for t, f in runs))
    travel = re.search(r"with ([\d.]+), from fully down to fully up takes about ([\d.]+) seconds", readme)
    expect(travel is not None and travel.group(1) == step, f"README.txt's travel sentence, with the step {step}")
    expect_equal([round(seconds["15.625", f], 1) for f in ("16.667", "6.944")], [float(travel.group(2))] * 2,
                 f"seconds of travel ({seconds})")
    expect_equal(int(re.search(r"up to about (\d+) steps a second", readme).group(1)), round(runs["15.625", "6.944"]),
                 "steps a second at 144 frames a second")
    ten = re.search(r"about (\d+) steps a second at 60 frames per second and at most (\d+) at any frame rate: up to "
                    r"about ([\d.]+) times slower nozzle travel where Windows' timer runs at 10 ms", readme)
    expect(ten is not None, "README.txt's sentence on a 10 ms timer")
    expect_equal([int(ten.group(1)), int(ten.group(2)), float(ten.group(3))],
                 [round(runs["10.0144", "16.667"]), round(runs["10.0144", "6.944"]),
                  round(runs["15.625", "16.667"] / runs["10.0144", "16.667"], 1)],
                 "steps a second on a 10 ms timer at 60 and 144 frames a second, and how much slower the nozzles go")


def play_scenario_file(h, path):
    """A scenario of the repository plays to its end, its log made of whole lines."""
    run = h.play(path.read_text())
    expect(run.log_lines[:1] == ["before up control"], "the log does not start with the settings")
    expect(re.search(r"^\d+ frames, \d+ accepted runs", run.output, re.M), "no summary at the end")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("name", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(TESTS))
        return 0
    harness = Harness(args.build, args.work, args.name.replace("/", "_").replace(":", "_"))
    try:
        if args.name.startswith("scenario:"):
            play_scenario_file(harness, ROOT / args.name.partition(":")[2])
        else:
            TESTS[args.name](harness)
    except Failure as failure:
        print(f"FAILED {args.name}: {failure}")
        return 1
    except Skip as skip:
        print(f"skipped {args.name}: {skip}")
        return SKIP_RETURN_CODE
    print(f"passed {args.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
