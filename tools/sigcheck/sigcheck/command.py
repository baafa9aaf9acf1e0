"""nozzles-sigcheck: the plug-in's signatures in a game build, without running it,
and carried across a game update.

    nozzles-sigcheck GAME.exe                 each signature's matches in a PE image on disk
    nozzles-sigcheck --mapped [--base ADDR] DUMP
                                              the module as it lay mapped in a running process
    nozzles-sigcheck NEW.exe --old OLD.exe [--older OLDER.exe ...] [--signatures FILE] [--json]
                     [--write-header FILE]
                                              each function found in the old build by its
                                              signatures, located in the new one, and a set of
                                              signatures for it there that holds in every build

Exit status, checking: 0 when every single signature has exactly one match in
code and every set finds a function without a disagreeing signature; 1
otherwise. Carrying: 0 when every function is kept or replaced (with a set);
1 otherwise. Both: 2 for input that cannot be read, with one line.
"""
import argparse
import sys

from .binding import Library, TimeLimitPassed
from .carry_report import carried_well, report_in_words, report_json
from .check_report import report, report_set
from .layout import LaidOutModule, Unreadable
from .signatures import file_sets, header_sets, write_header


def arguments():
    parser = argparse.ArgumentParser(prog="nozzles-sigcheck", description=__doc__.split("\n\n")[0])
    parser.add_argument("--mapped", action="store_true", help="the file is a dump of the module as mapped")
    parser.add_argument("--base", type=lambda text: int(text, 0), help="where the dumped module lay (default: "
                        "the ImageBase its headers give)")
    parser.add_argument("--old", metavar="OLD", action="append", help="the build the signatures were made for: "
                        "carry them to FILE (given again, the same as --older, as scripts may give it)")
    parser.add_argument("--older", metavar="OLDER", action="append", default=[], help="a build older than OLD "
                        "that the new sets must hold in too; given again, another")
    parser.add_argument("--old-mapped", action="store_true", help="OLD, and every OLDER, is a dump of the "
                        "module as mapped")
    parser.add_argument("--old-base", type=lambda text: int(text, 0), action="append", help="where the dumped OLD "
                        "module lay; given again, where each OLDER did, in their order")
    parser.add_argument("--signatures", metavar="FILE", help="signatures to carry, one a line: a name, then bytes "
                        "(default: the plug-in's, from src/memory/game_signatures.h)")
    parser.add_argument("--header", metavar="FILE", help="the sets of a header of the plug-in's form "
                        "(default: src/memory/game_signatures.h)")
    parser.add_argument("--json", action="store_true", help="one JSON object on standard output, for scripts")
    parser.add_argument("--write-header", metavar="FILE", help="write game_signatures.h with the new signatures")
    parser.add_argument("--time-limit", type=float, default=300, metavar="SECONDS",
                        help="give up (exit 2) after this long (default 300)")
    parser.add_argument("--library", required=True, help=argparse.SUPPRESS)
    parser.add_argument("file")
    args = parser.parse_args()
    if args.base is not None and not args.mapped:
        parser.error("--base goes with --mapped")
    if args.old_base is not None and not args.old_mapped:
        parser.error("--old-base goes with --old-mapped")
    if args.old is None and (args.older or args.old_mapped or args.signatures or args.json or args.write_header):
        parser.error("--older, --old-mapped, --signatures, --json and --write-header go with --old")
    # OLD first, then every older build, as they were given.
    args.builds = (args.old or []) + args.older
    if args.old_base is not None and len(args.old_base) > len(args.builds):
        parser.error("--old-base given more often than OLD and the OLDER builds")
    if args.write_header and args.signatures:
        parser.error("--write-header writes the plug-in's own signatures: not with --signatures")
    if args.header and args.signatures:
        parser.error("--header and --signatures are two sources of signatures: one of them")
    return args


def read(path, mapped, base):
    try:
        return LaidOutModule(path, mapped, base)
    except Unreadable as error:
        raise Unreadable(f"{path}: {error}")
    except OSError as error:
        raise Unreadable(f"{path}: {error.strerror}")


def check(library, module, sets):
    print(module.describe(""))
    handle = library.open(module, with_imports=False)
    good = []
    for name, signatures in sets:
        if len(signatures) == 1 and signatures[0][0] == "entry":
            good.append(report(handle, module, name, *signatures[0][2:]))
        else:
            good.append(report_set(library, handle, module, name, signatures))
    print(f"{sum(good)} of {len(good)} functions found, by one match in code or a set that agrees")
    return 0 if all(good) else 1


def carry(library, old, new, older, sets, args):
    try:
        outcome = library.carry(library.open(old, True), library.open(new, True), sets, args.time_limit,
                                [library.open(module, True) for module in older])
    except TimeLimitPassed as error:
        print(f"nozzles-sigcheck: {args.file}: {error}", file=sys.stderr)
        return 2
    results = outcome["signatures"]
    if args.json:
        report_json(outcome)
    else:
        report_in_words(old, new, outcome, sets, library.verdicts, [module.path for module in older])
    if args.write_header:
        # Written once every function has a set to use: kept, or new, a wrong
        # function's mended too; the exit status still asks for a person then.
        if all(r["set"] for r in results):
            write_header(args.write_header, results)
            print(f"wrote {args.write_header}", file=sys.stderr)
        else:
            print(f"nozzles-sigcheck: {args.write_header} not written: not every function has a set to use",
                  file=sys.stderr)
    return 0 if all(carried_well(r) for r in results) else 1


def main():
    args = arguments()
    try:
        module = read(args.file, args.mapped, args.base)
        bases = (args.old_base or []) + [None] * len(args.builds)
        olds = [read(path, args.old_mapped, base) for path, base in zip(args.builds, bases)]
        old, older = (olds[0] if olds else None), olds[1:]
        if args.signatures:
            try:
                sets = file_sets(args.signatures)
            except OSError as error:
                raise Unreadable(f"{args.signatures}: {error.strerror}")
            except Unreadable as error:
                raise Unreadable(f"{args.signatures}: {error}")
        else:
            try:
                sets = header_sets(args.header) if args.header else header_sets()
            except OSError as error:
                raise Unreadable(f"{args.header}: {error.strerror}")
    except Unreadable as error:
        print(f"nozzles-sigcheck: {error}", file=sys.stderr)
        return 2
    library = Library(args.library)
    return check(library, module, sets) if old is None else carry(library, old, module, older, sets, args)
