"""Replaying the report: if it can be trusted, applying it to the tree as it
was at the start gives the tree as it is at the end. `watched_run` checks that
for any act on a watched tree, `run_seed` for one seeded churn.

Rules of the replay (relative paths, no file/directory distinction needed):
  added p            p exists, with any missing parents; already there: no change
  removed p          p and everything below it are gone
  old p, then new q  the subtree at p now lives at q, replacing whatever was at q;
                     with nothing known at p, q exists (as added q)
  removed p, then added q of the same base name in another directory (header
  lines between them do not count)
                     a move between directories: as a rename
  modified p         no change
The churn's names are unique for the run, so the last rule cannot mistake a
deletion followed by an unrelated creation for a move.

Every path printed must be one that existed, and a line that removes, renames
or modifies an entry must name one the report has given the reader.
"""

import os
import time
from dataclasses import dataclass
from pathlib import Path
from posixpath import basename, dirname

from . import report as output_format
from .churn import Churn
from .runner import TIMEOUT, PipeRun
from .trees import walk


class Model:
    """A tree as nested dicts, name -> children (files are empty dicts)."""

    def __init__(self, paths=()):
        self.top = {}
        for path in paths:
            self.add(path)

    def _parent(self, path, create):
        *parents, name = path.split("/")
        node = self.top
        for part in parents:
            if part not in node and not create:
                return None, name
            node = node.setdefault(part, {})
        return node, name

    def add(self, path):
        parent, name = self._parent(path, True)
        parent.setdefault(name, {})

    def has(self, path):
        parent, name = self._parent(path, False)
        return parent is not None and name in parent

    def remove(self, path):
        """The subtree taken out, or None."""
        parent, name = self._parent(path, False)
        return parent.pop(name, None) if parent is not None else None

    def move(self, old, new):
        subtree = self.remove(old)
        if subtree is None:
            # Nothing was known at the old path: all the rename tells is that new exists.
            self.add(new)
            return
        parent, name = self._parent(new, True)
        parent[name] = subtree

    def paths(self):
        result = set()
        stack = [("", self.top)]
        while stack:
            base, node = stack.pop()
            for name, child in node.items():
                path = base + name
                result.add(path)
                stack.append((path + "/", child))
        return result


def replay(start_paths, report, existed=None):
    """(paths, problems) after the report's records; existed, when given, tells whether a path ever existed."""
    model = Model(start_paths)
    problems = []
    records = report.records
    i = 0
    while i < len(records):
        record = records[i]
        following = records[i + 1] if i + 1 < len(records) else None
        if existed is not None and not existed(record.path):
            problems.append((record.lineno, "a path that never existed"))
        if record.kind in ("removed", "old", "modified") and not model.has(record.path):
            problems.append((record.lineno, f"{record.kind} names an entry the report never gave"))
        if record.kind == "added":
            model.add(record.path)
        elif record.kind == "removed":
            if (following is not None and following.kind == "added"
                    and basename(following.path) == basename(record.path)
                    and dirname(following.path) != dirname(record.path)):
                model.move(record.path, following.path)
                i += 1
            else:
                model.remove(record.path)
        elif record.kind == "old":
            if following is None or following.kind != "new":
                problems.append((record.lineno, "RENAMED_OLD_NAME without its RENAMED_NEW_NAME"))
                model.remove(record.path)
            else:
                if following.delivery != record.delivery:
                    problems.append((following.lineno, "the halves of a rename came in two deliveries"))
                if dirname(following.path) != dirname(record.path):
                    problems.append((following.lineno, "a rename between two directories"))
                model.move(record.path, following.path)
                i += 1
        elif record.kind == "new":
            problems.append((record.lineno, "RENAMED_NEW_NAME without a RENAMED_OLD_NAME before it"))
            model.add(record.path)
        i += 1
    return model.paths(), problems


@dataclass
class Run:
    """What one watched act left behind."""
    final: set
    lines: list      # the output's lines, bytes without line ends
    report: output_format.Report
    model: set
    problems: list   # (lineno, text) found while replaying, 0 for the run itself
    status: object   # the program's status if it ended before it was stopped, else None
    errors: bytes    # anything the program wrote to standard error

    @property
    def ok(self):
        return (self.model == self.final and not self.report.problems and not self.problems
                and self.status is None and not self.errors)


class Watch(PipeRun):
    """`sync()` waits until everything done before it has been seen."""

    def __init__(self, program, root, timeout):
        super().__init__(program.command(root), env=program.env)
        self.root = root
        self.timeout = timeout
        self.syncs = 0

    def sync(self):
        self.syncs += 1
        self.sentinel(self.root, f"sync {self.syncs}", self.timeout)


def watched_run(program, workdir, act, timeout=TIMEOUT, existed=None):
    """Starts the program on workdir/watched, which the caller made; act(watch)
    changes the tree, and may sync or pause the program (`with watch.paused():`)
    to bring out the races between a change and a look at the disk, which a fast
    machine rarely shows. Then syncs once more and replays the report."""
    root = os.path.join(workdir, "watched")
    start = walk(root)
    watch = Watch(program, root, timeout)
    problems = []
    try:
        watch.expect(output_format.READY, timeout)
        act(watch)
        # Twice: a directory whose path was stale when its move was read is
        # listed once the queue has run empty, which may be after the first
        # sentinel's line; the second comes after that listing.
        watch.sync()
        watch.sync()
    except AssertionError as error:
        problems.append((0, str(error)))
    finally:
        final = walk(root)
        status = watch.proc.poll()
        watch.kill()
    lines = [line.removesuffix(b"\r") for line in watch.output.split(b"\n")]
    report = output_format.parse(watch.output, root)
    model, replay_problems = replay(start, report, existed)
    return Run(final, lines, report, model, problems + replay_problems, status, watch.errors)


def explain(run, title, log=(), describe=str, limit=40):
    """A failure report that can be debugged without running again."""
    missing = sorted(run.final - run.model)
    extra = sorted(run.model - run.final)
    out = [f"{title}: {len(run.report.records)} records"]
    for paths, where in ((missing, "on disk but not in the replayed report"),
                         (extra, "in the replayed report but not on disk")):
        if paths:
            out += [f"{where} ({len(paths)}):"] + ["    " + p for p in paths[:limit]]
    if run.report.overflows:
        out.append(f"{run.report.overflows} OVERFLOW line(s)")
    if run.status is not None:
        out.append(f"the program ended by itself, status {run.status}")
    if run.errors:
        out.append("standard error: " + run.errors.decode("utf-8", "replace")[:2000])
    for lineno, text in (run.report.problems + run.problems)[:limit]:
        out.append(f"line {lineno}: {text}")
        if 0 < lineno <= len(run.lines):
            out.append(f"    {run.lines[lineno - 1]!r}")
    # Only the shallowest differences are followed: a lost directory explains
    # everything below it. Names are unique, so a name finds all about its entry.
    differing = set(missing) | set(extra)
    roots = sorted(p for p in differing if dirname(p) not in differing)
    # Each one's name, then its directory's, which may never have been watched.
    names = dict.fromkeys(name for root in roots[:5] for name in (basename(root), basename(dirname(root))) if name)
    for name in names:
        out.append(f"about {name!r} (report lines, then operations):")
        shown = [f"  line {r.lineno:6}: {r.kind} {r.path}" for r in run.report.records if name in r.path.split("/")]
        done = [f"  operation #{n}: {describe(e)}" for n, e in enumerate(log, 1)
                if any(name in p.split("/") for p in e[1:])]
        for lines, what in ((shown, "report lines"), (done, "operations")):
            out += lines[:limit] + ([f"  ... {len(lines) - limit} more {what}"] if len(lines) > limit else [])
    return "\n".join(out)


@dataclass
class Outcome:
    seed: int
    operations: int
    ok: bool
    message: str = ""
    records: int = 0
    seconds: float = 0.0


def run_seed(program, workdir, seed, operations, max_entries=400, timeout=120, keep=None):
    """Runs one seeded churn, the program now and then stopped for a few dozen
    operations, in workdir, which must be empty; on failure the report and the
    operation log are written to keep, when given."""
    began = time.monotonic()
    root = os.path.join(workdir, "watched")
    outside = os.path.join(workdir, "outside")
    os.mkdir(root)
    os.mkdir(outside)
    churn = Churn(seed, root, outside, max_entries)
    churn.populate(60)

    def act(watch):
        done = 0
        while done < operations:
            if churn.rng.randrange(40) == 0:
                stretch = min(operations - done, churn.rng.randint(1, 60))
                with watch.paused():
                    for _ in range(stretch):
                        churn.step()
                done += stretch
            else:
                churn.step()
                done += 1

    # The churn knows every path it made; the only others are the syncs'.
    run = watched_run(program, workdir, act, timeout,
                      lambda path: path in churn.existed or path.startswith("sync "))
    outcome = Outcome(seed, operations, run.ok, records=len(run.report.records),
                      seconds=time.monotonic() - began)
    if not run.ok:
        outcome.message = explain(run, f"replay failed for seed {seed} ({operations} operations)",
                                  churn.log, churn.describe)
        if keep is not None:
            os.makedirs(keep, exist_ok=True)
            Path(keep, f"report-{seed}.txt").write_bytes(b"".join(line + b"\n" for line in run.lines))
            Path(keep, f"operations-{seed}.txt").write_text("".join(churn.describe(e) + "\n" for e in churn.log))
            outcome.message += f"\nfull report and operation log in {keep}"
    return outcome
