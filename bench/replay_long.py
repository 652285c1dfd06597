"""The replay property at length: for each of many seeds the program watches a
fresh tree that a seeded random churn changes as fast as Python can; the report,
replayed onto the starting tree, must give the final tree, with no OVERFLOW line.

    python3 -m bench.replay_long --bin build/linux-release/pathwarden --seeds 40 --operations 20000

Exits 1 when any seed failed, keeping its report and operation log so that it can be studied
without running again (operation names for --skip: support/churn.py).
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

from tests.e2e.support import replay
from tests.e2e.support.churn import Churn
from tests.e2e.support.runner import Program


def parse_args():
    repo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.environ.get("PATHWARDEN_BIN")
                        or os.path.join(repo, "build", "linux-release", "pathwarden"), help="the program to run")
    parser.add_argument("--seeds", type=int, default=40, help="how many seeds")
    parser.add_argument("--first-seed", type=int, default=1000)
    parser.add_argument("--operations", type=int, default=20000, help="operations per seed")
    parser.add_argument("--max-entries", type=int, default=600, help="the churn shrinks the tree above this")
    parser.add_argument("--skip", default="", help="comma-separated operations to leave out")
    parser.add_argument("--workdir", default=None, help="where the trees are made (default: a temporary directory)")
    parser.add_argument("--keep", default="replay-failures", help="where failed seeds leave their evidence")
    parser.add_argument("--verbose", action="store_true", help="print each failure's explanation")
    parser.add_argument("--interface", choices=["fanotify", "inotify"], default="fanotify",
                        help="inotify runs the program in a user namespace of its own (as root, the program "
                             "chooses fanotify by itself)")
    return parser.parse_args()


def leave_out(names):
    """Makes every Churn drop the named operations from its menus."""
    if not names:
        return
    known = {operation.__name__ for _, operation in Churn(0, "", "").operations}
    if unknown := names - known:
        sys.exit(f"unknown operations: {', '.join(sorted(unknown))} (known: {', '.join(sorted(known))})")
    plain_init = Churn.__init__

    def init(self, *args, **kwargs):
        plain_init(self, *args, **kwargs)
        self.operations = [(w, op) for w, op in self.operations if op.__name__ not in names]
        self.shrinking = [(w, op) for w, op in self.shrinking if op.__name__ not in names] or self.shrinking

    Churn.__init__ = init


def main():
    args = parse_args()
    if not os.access(args.bin, os.X_OK):
        sys.exit(f"{args.bin} is not an executable program (build it, or pass --bin)")
    skipped = {name for name in args.skip.split(",") if name}
    leave_out(skipped)
    base = tempfile.mkdtemp(prefix="replay-long-", dir=args.workdir)
    keep = os.path.abspath(args.keep)
    launcher = ["unshare", "-U", "-r"] if args.interface == "inotify" else []
    print(f"program {args.bin} ({args.interface}); seeds {args.first_seed}..{args.first_seed + args.seeds - 1}; "
          f"{args.operations} operations each; at most {args.max_entries} entries"
          + (f"; without {', '.join(sorted(skipped))}" if skipped else ""), flush=True)

    began = time.monotonic()
    failures = []
    operations = records = 0
    for seed in range(args.first_seed, args.first_seed + args.seeds):
        workdir = os.path.join(base, str(seed))
        os.mkdir(workdir)
        outcome = replay.run_seed(Program(args.bin, launcher), workdir, seed, args.operations,
                                  max_entries=args.max_entries, keep=keep)
        operations += outcome.operations
        records += outcome.records
        first = outcome.message.split("\n")[1] if not outcome.ok else ""
        print(f"seed {seed}: {'ok' if outcome.ok else 'FAILED'}, {outcome.records} records, "
              f"{outcome.seconds:.1f} s{'; ' + first.strip() if first else ''}", flush=True)
        if not outcome.ok:
            failures.append(seed)
            if args.verbose:
                print(outcome.message, flush=True)
        shutil.rmtree(workdir, ignore_errors=True)
    shutil.rmtree(base, ignore_errors=True)

    elapsed = time.monotonic() - began
    print(f"seeds run: {args.seeds}; operations: {operations}; report records: {records}; "
          f"failures: {len(failures)}; time: {elapsed:.0f} s")
    if failures:
        print(f"failed seeds: {' '.join(map(str, failures))}; evidence in {keep}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
