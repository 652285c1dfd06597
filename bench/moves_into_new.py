"""Entries moved into a directory made a moment before: `mkdir d; mv m d/m`
back to back, in three shapes (a file from the tree, a directory from the tree,
a directory from outside it). The listing of each new directory and the events
of its new watch both see `d/m`; the report must still give each entry once.

    python3 -m bench.moves_into_new --bin build/linux-release/pathwarden [--rounds 100] [--runs 3]

Exits 1 if any entry came out ADDED once too often or not at all. With --interface
inotify the program runs in a user namespace of its own, where it cannot use fanotify.
"""

import argparse
import collections
import os
import shutil
import sys
import tempfile

from tests.e2e.support import report
from tests.e2e.support.runner import Program

SHAPES = ("file from the tree", "directory from the tree", "directory from outside")


def one_run(program, shape, rounds):
    work = tempfile.mkdtemp(prefix="pathwarden-moves-", dir="/var/tmp")
    try:
        root, outside = os.path.join(work, "watched"), os.path.join(work, "outside")
        os.mkdir(root)
        os.mkdir(outside)
        sources = []
        for i in range(rounds):
            source = os.path.join(outside if shape == SHAPES[2] else root, f"m{i}")
            if shape == SHAPES[0]:
                open(source, "w").close()
            else:
                os.mkdir(source)
                open(os.path.join(source, "f"), "w").close()
            sources.append(source)
        run = program.pipe(root)
        run.expect(report.READY)
        for i, source in enumerate(sources):
            made = os.path.join(root, f"d{i}")
            os.mkdir(made)
            os.rename(source, os.path.join(made, f"m{i}"))
        open(os.path.join(root, "end"), "w").close()
        run.expect(report.record("added", os.path.join(root, "end")))
        run.stop()
        added = collections.Counter(r.path for r in report.parse(run.output, root).records if r.kind == "added")
        # A directory moved within the tree keeps its name: the reader takes
        # what it knew of it along, so the file inside is not told again.
        # One from outside is new to the reader, file and all.
        inside = [f"d{i}/m{i}/f" for i in range(rounds)]
        told = [f"d{i}/m{i}" for i in range(rounds)] + (inside if shape == SHAPES[2] else [])
        carried = inside if shape == SHAPES[1] else []
        twice = sum(added[p] > 1 for p in told) + sum(added[p] > 0 for p in carried)
        return twice, sum(added[p] == 0 for p in told), len(told) + len(carried)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.environ.get("PATHWARDEN_BIN", "build/linux-release/pathwarden"))
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--interface", choices=["fanotify", "inotify"], default="fanotify")
    args = parser.parse_args()
    program = Program(args.bin, ["unshare", "-U", "-r"] if args.interface == "inotify" else [])
    bad = 0
    for shape in SHAPES:
        for run in range(args.runs):
            twice, never, entries = one_run(program, shape, args.rounds)
            bad += twice + never
            print(f"{args.interface}, {shape}, run {run + 1}: {entries} entries, "
                  f"{twice} told once too often, {never} never told", flush=True)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
