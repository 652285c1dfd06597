"""Replaying the report: a seeded random churn of a watched tree, and the model
that turns the program's report back into a tree.

If the report can be trusted, applying it to the tree as it was at the start
gives the tree as it is at the end. `run_seed` checks exactly that for one
seed; the end-to-end test runs a few seeds and bench/replay_long.py many.

Rules of the replay (relative paths, no file/directory distinction needed):
  ADDED p            p exists, with any missing parents; already there: no change
  REMOVED p          p and everything below it are gone
  RENAMED_OLD_NAME p, then RENAMED_NEW_NAME q
                     the subtree at p now lives at q, replacing whatever was at q;
                     with nothing known at p, q exists (as ADDED q)
  REMOVED p, then ADDED q of the same base name in another directory (header
  lines between them do not count)
                     a move between directories: as a rename
  MODIFIED p         no change
Every generated name is unique for the run, so the last rule cannot mistake a
deletion followed by an unrelated creation for a move.
"""

import contextlib
import os
import random
import re
import shutil
import signal
import subprocess
import threading
import time
from dataclasses import dataclass, field

ADDED = "FILE_ACTION_ADDED"
REMOVED = "FILE_ACTION_REMOVED"
MODIFIED = "FILE_ACTION_MODIFIED"
OLD_NAME = "FILE_ACTION_RENAMED_OLD_NAME"
NEW_NAME = "FILE_ACTION_RENAMED_NEW_NAME"
LABELS = {ADDED, REMOVED, MODIFIED, OLD_NAME, NEW_NAME}

HEADER = re.compile(r"Notified with ([0-9]+) bytes\.")
OVERFLOW = "    Notification OVERFLOW. (Can be normal under extreme load.)"
READY = "Push any key to exit."


# ---------------------------------------------------------------------------
# The report


@dataclass
class Record:
    lineno: int   # 1-based, in the whole output
    action: str
    path: str     # relative to the watched directory
    delivery: int  # which "Notified with" header it came under


@dataclass
class Report:
    records: list = field(default_factory=list)
    problems: list = field(default_factory=list)  # (lineno, text) of lines that break the rules
    overflows: int = 0


def parse_report(lines, root):
    """Reads the program's output lines (without line ends). root is the
    watched directory as given on the command line, without a trailing '/'."""
    prefix = root + "/"
    report = Report()
    delivery = 0
    for lineno, line in enumerate(lines, 1):
        if HEADER.fullmatch(line):
            delivery += 1
            continue
        if line == OVERFLOW:
            report.overflows += 1
            report.problems.append((lineno, line))
            continue
        # Four spaces, a 28-column label, four spaces, then the quoted path.
        label = line[4:32].rstrip()
        if (line.startswith("    ") and label in LABELS and line[32:37] == '    "'
                and line.endswith('"') and len(line) >= 38):
            path = line[37:-1]
            if path.startswith(prefix) and len(path) > len(prefix):
                report.records.append(Record(lineno, label, path[len(prefix):], delivery))
                continue
        if lineno <= 2 and delivery == 0 and (line == READY or line.startswith('Watching "')):
            continue
        report.problems.append((lineno, line))
    return report


# ---------------------------------------------------------------------------
# The model: nested dicts, name -> children (files are empty dicts)


class Model:
    def __init__(self, paths=()):
        self.top = {}
        for path in paths:
            self.add(path)

    def _parent(self, path, create):
        node = self.top
        parts = path.split("/")
        for part in parts[:-1]:
            child = node.get(part)
            if child is None:
                if not create:
                    return None, parts[-1]
                child = node[part] = {}
            node = child
        return node, parts[-1]

    def add(self, path):
        parent, name = self._parent(path, True)
        parent.setdefault(name, {})

    def remove(self, path):
        """Takes the subtree at path out of the model; None when absent."""
        parent, name = self._parent(path, False)
        return parent.pop(name, None) if parent is not None else None

    def move(self, old, new):
        subtree = self.remove(old)
        if subtree is None:
            # Nothing was known at the old path (made and renamed before the
            # program saw it, say): all the rename tells is that new exists.
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


def basename(path):
    return path.rpartition("/")[2]


def dirname(path):
    return path.rpartition("/")[0]


def replay(start_paths, report):
    """Applies the report's records to the starting tree. Returns (paths, problems)."""
    model = Model(start_paths)
    problems = []
    records = report.records
    i = 0
    while i < len(records):
        record = records[i]
        following = records[i + 1] if i + 1 < len(records) else None
        if record.action == ADDED:
            model.add(record.path)
        elif record.action == REMOVED:
            if (following is not None and following.action == ADDED
                    and basename(following.path) == basename(record.path)
                    and dirname(following.path) != dirname(record.path)):
                model.move(record.path, following.path)
                i += 1
            else:
                model.remove(record.path)
        elif record.action == OLD_NAME:
            if following is None or following.action != NEW_NAME:
                problems.append((record.lineno, "RENAMED_OLD_NAME without its RENAMED_NEW_NAME"))
                model.remove(record.path)
            else:
                if following.delivery != record.delivery:
                    problems.append((following.lineno, "the halves of a rename came in two deliveries"))
                if dirname(following.path) != dirname(record.path):
                    problems.append((following.lineno, "a rename between two directories"))
                model.move(record.path, following.path)
                i += 1
        elif record.action == NEW_NAME:
            problems.append((record.lineno, "RENAMED_NEW_NAME without a RENAMED_OLD_NAME before it"))
            model.add(record.path)
        i += 1
    return model.paths(), problems


def walk(root):
    """Every file and directory below root, relative to it (links not followed)."""
    result = set()

    def fail(error):
        raise error

    for top, dirs, files in os.walk(root, onerror=fail):
        base = os.path.relpath(top, root)
        base = "" if base == "." else base + "/"
        for name in dirs + files:
            result.add(base + name)
    return result


# ---------------------------------------------------------------------------
# The churn


class Node:
    __slots__ = ("name", "parent", "children", "slot")

    def __init__(self, name, parent, is_dir):
        self.name = name
        self.parent = parent
        self.children = {} if is_dir else None
        self.slot = -1  # position in its Pool

    @property
    def is_dir(self):
        return self.children is not None

    def path(self):
        parts = []
        node = self
        while node.parent is not None:
            parts.append(node.name)
            node = node.parent
        return "/".join(reversed(parts))

    def depth(self):
        depth, node = 0, self
        while node.parent is not None:
            depth, node = depth + 1, node.parent
        return depth

    def contains(self, other):
        while other is not None:
            if other is self:
                return True
            other = other.parent
        return False


class Pool:
    """Nodes with O(1) add, remove and uniform choice."""

    def __init__(self):
        self.items = []

    def __len__(self):
        return len(self.items)

    def add(self, node):
        node.slot = len(self.items)
        self.items.append(node)

    def remove(self, node):
        last = self.items.pop()
        if last is not node:
            self.items[node.slot] = last
            last.slot = node.slot
        node.slot = -1

    def choice(self, rng):
        return self.items[rng.randrange(len(self.items))] if self.items else None


# Names carry a space or a non-ASCII letter now and then: the report is
# parsed from the quoted path, which must survive both.
NAME_FLAVOURS = ["{}{}", "{}{}", "{}{}", "{} {}", "{}é{}"]


class Churn:
    """Changes a directory tree at random, and knows at every moment what it holds.

    outside is a directory next to the tree on the same file system: the
    source of moves in and the destination of moves out."""

    MAX_DEPTH = 7

    def __init__(self, seed, root, outside, max_entries=400):
        self.rng = random.Random(seed)
        self.root_path = root
        self.outside = outside
        self.max_entries = max_entries
        self.top = Node("", None, True)
        self.files = Pool()
        self.dirs = Pool()  # without the top
        self.counter = 0
        self.log = []  # one line per operation, with the paths it touched
        self.operations = [
            (16, self.create_file), (12, self.append_file), (8, self.delete_file),
            (8, self.rename_file), (3, self.rename_file_over_file), (8, self.move_file),
            (7, self.make_chain), (5, self.rename_dir), (2, self.rename_dir_over_empty_dir),
            (5, self.move_dir), (3, self.remove_tree), (4, self.move_out), (5, self.move_in),
        ]
        self.shrinking = [(8, self.delete_file), (3, self.remove_tree), (4, self.move_out)]
        self.counts = {}

    # -- bookkeeping

    def fresh(self, kind):
        self.counter += 1
        flavour = NAME_FLAVOURS[self.rng.randrange(len(NAME_FLAVOURS))]
        return flavour.format(kind, self.counter)

    def full(self, node_or_path):
        rel = node_or_path if isinstance(node_or_path, str) else node_or_path.path()
        return os.path.join(self.root_path, rel) if rel else self.root_path

    def attach(self, node):
        node.parent.children[node.name] = node
        (self.dirs if node.is_dir else self.files).add(node)

    def detach(self, node):
        """Takes a subtree out of the tree's bookkeeping."""
        del node.parent.children[node.name]
        stack = [node]
        while stack:
            current = stack.pop()
            if current.is_dir:
                self.dirs.remove(current)
                stack.extend(current.children.values())
            else:
                self.files.remove(current)

    def relocate(self, node, parent, name):
        del node.parent.children[node.name]
        replaced = parent.children.get(name)
        if replaced is not None:
            self.detach(replaced)
        node.parent, node.name = parent, name
        parent.children[name] = node

    def some_dir(self, shallow=False):
        """Any directory, the top included."""
        for _ in range(4):
            if self.rng.randrange(len(self.dirs) + 1) == 0:
                return self.top
            node = self.dirs.choice(self.rng)
            if not shallow or node.depth() < self.MAX_DEPTH - 3:
                return node
        return self.top

    def entries(self):
        return len(self.files) + len(self.dirs)

    def note(self, verb, *paths):
        self.log.append((verb,) + paths)

    @staticmethod
    def describe(entry):
        return entry[0] + " " + " -> ".join(repr(p) for p in entry[1:])

    # -- operations: each returns False when the tree offers nothing to do it on

    def create_file(self, parent=None):
        parent = parent or self.some_dir()
        node = Node(self.fresh("f"), parent, False)
        fd = os.open(self.full(node), os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        try:
            os.write(fd, b"x" * self.rng.randrange(1, 64))
        finally:
            os.close(fd)
        self.attach(node)
        self.note("create", node.path())
        return True

    def append_file(self):
        node = self.files.choice(self.rng)
        if node is None:
            return False
        fd = os.open(self.full(node), os.O_WRONLY | os.O_APPEND)
        try:
            os.write(fd, b"y" * self.rng.randrange(1, 64))
        finally:
            os.close(fd)
        self.note("append", node.path())
        return True

    def delete_file(self):
        node = self.files.choice(self.rng)
        if node is None:
            return False
        os.unlink(self.full(node))
        self.note("delete", node.path())
        self.detach(node)
        return True

    def _rename(self, node, parent, name, verb):
        old = node.path()
        new = (parent.path() + "/" + name) if parent.parent is not None else name
        os.rename(self.full(old), self.full(new))
        self.relocate(node, parent, name)
        self.note(verb, old, new)

    def rename_file(self):
        node = self.files.choice(self.rng)
        if node is None:
            return False
        self._rename(node, node.parent, self.fresh("f"), "rename")
        return True

    def rename_file_over_file(self):
        node = self.files.choice(self.rng)
        if node is None:
            return False
        targets = [n for n in node.parent.children.values() if not n.is_dir and n is not node]
        if not targets:
            return False
        target = targets[self.rng.randrange(len(targets))]
        self._rename(node, node.parent, target.name, "rename-over")
        return True

    def move_file(self):
        node = self.files.choice(self.rng)
        target = self.some_dir()
        if node is None or target is node.parent:
            return False
        self._rename(node, target, node.name, "move")
        return True

    def make_chain(self):
        """mkdir -p of one to four new levels, with files made in them at once."""
        parent = self.some_dir(shallow=True)
        chain = []
        node = parent
        for _ in range(self.rng.randint(1, 4)):
            node = Node(self.fresh("d"), node, True)
            chain.append(node)
        os.makedirs(self.full(chain[-1]))
        for node in chain:
            self.attach(node)
        self.note("mkdir -p", chain[-1].path())
        for node in chain:
            for _ in range(self.rng.choice((0, 0, 1, 2, 3))):
                self.create_file(node)
        return True

    def rename_dir(self):
        node = self.dirs.choice(self.rng)
        if node is None:
            return False
        self._rename(node, node.parent, self.fresh("d"), "rename")
        return True

    def rename_dir_over_empty_dir(self):
        node = self.dirs.choice(self.rng)
        if node is None:
            return False
        targets = [n for n in node.parent.children.values() if n.is_dir and not n.children and n is not node]
        if not targets:
            return False
        target = targets[self.rng.randrange(len(targets))]
        self._rename(node, node.parent, target.name, "rename-over")
        return True

    def move_dir(self):
        node = self.dirs.choice(self.rng)
        target = self.some_dir()
        if node is None or target is node.parent or node.contains(target):
            return False
        if target.depth() + self.height(node) > self.MAX_DEPTH + 2:
            return False
        self._rename(node, target, node.name, "move")
        return True

    def height(self, node):
        if not node.is_dir or not node.children:
            return 1
        return 1 + max(self.height(child) for child in node.children.values())

    def remove_tree(self):
        node = self.dirs.choice(self.rng)
        if node is None:
            return False
        shutil.rmtree(self.full(node))
        self.note("rm -rf", node.path())
        self.detach(node)
        return True

    def move_out(self):
        pool = self.dirs if self.rng.randrange(3) == 0 else self.files
        node = pool.choice(self.rng)
        if node is None:
            return False
        os.rename(self.full(node), os.path.join(self.outside, node.name))
        self.note("move out", node.path())
        self.detach(node)
        return True

    def move_in(self):
        is_dir = self.rng.randrange(3) == 0
        name = self.fresh("d" if is_dir else "f")
        source = os.path.join(self.outside, name)
        if is_dir:
            os.mkdir(source)
        else:
            with open(source, "wb") as f:
                f.write(b"z")
        parent = self.some_dir()
        node = Node(name, parent, is_dir)
        os.rename(source, self.full(node))
        self.attach(node)
        self.note("move in", node.path())
        return True

    # -- driving

    def populate(self, entries):
        """Builds a starting tree before anything watches it."""
        while self.entries() < entries:
            (self.make_chain if self.rng.randrange(3) == 0 else self.create_file)()
        self.log.clear()

    def step(self):
        menu = self.shrinking if self.entries() > self.max_entries else self.operations
        total = sum(weight for weight, _ in menu)
        while True:
            pick = self.rng.randrange(total)
            for weight, operation in menu:
                pick -= weight
                if pick < 0:
                    break
            if operation():
                self.counts[operation.__name__] = self.counts.get(operation.__name__, 0) + 1
                return

    def paths(self):
        result = set()
        stack = [self.top]
        while stack:
            node = stack.pop()
            for child in node.children.values():
                result.add(child.path())
                if child.is_dir:
                    stack.append(child)
        return result


# ---------------------------------------------------------------------------
# The program


class Watcher:
    """The program watching one directory recursively, its output read as it comes."""

    def __init__(self, program, root):
        self.lines = []
        self.cond = threading.Condition()
        self.ended = False
        # A session of its own: no controlling terminal, so no key can end it.
        self.process = subprocess.Popen([program, root], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)
        self.errors = b""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.error_reader = threading.Thread(target=self._read_errors, daemon=True)
        self.error_reader.start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "surrogateescape").rstrip("\n")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.ended = True
            self.cond.notify_all()

    def _read_errors(self):
        self.errors = self.process.stderr.read()

    def wait_for(self, line, timeout):
        """True when a line equal to `line` has been printed."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self.cond:
            while True:
                if line in self.lines[seen:]:
                    return True
                seen = len(self.lines)
                remaining = deadline - time.monotonic()
                if self.ended or remaining <= 0:
                    return False
                self.cond.wait(remaining)

    def stop(self, timeout=30):
        """Ends the program; returns its status as subprocess gives it (-15 after SIGTERM)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait(timeout)
        self.reader.join(timeout)
        self.error_reader.join(timeout)
        return status


# ---------------------------------------------------------------------------
# One run


@dataclass
class Run:
    """What one watched churn left behind."""
    root: str
    start: set
    final: set
    lines: list
    report: Report
    model: set
    problems: list   # (lineno, text) found while replaying, 0 for the run itself
    status: object   # the program's status if it ended before it was stopped, else None
    errors: bytes    # anything the program wrote to standard error

    @property
    def ok(self):
        return (self.model == self.final and not self.report.problems and not self.problems
                and self.status is None and not self.errors)


def wait_until_stopped(pid, timeout=10):
    """SIGSTOP takes effect when each thread next runs; on a loaded machine a
    thread may go on for a while. Waits until every one of them has stopped."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        states = []
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except FileNotFoundError:
            return
        for task in tasks:
            try:
                with open(f"/proc/{pid}/task/{task}/stat") as f:
                    states.append(f.read().rpartition(")")[2].split()[0])
            except FileNotFoundError:
                pass
        if all(state in "tTZX" for state in states):  # stopped, or gone
            return
        time.sleep(0.001)
    raise TimeoutError(f"process {pid} did not stop within {timeout} s")


def record_line(action, path):
    return f'    {action:<28}    "{path}"'


def watched_run(program, workdir, act, timeout=120):
    """Starts the program on workdir/watched (made by the caller, with its
    starting tree), calls act(sync, paused), creates a last file and waits for
    its line, then replays the report. sync() makes a file at the top and waits
    until its ADDED line is printed: everything done before it has been seen.
    `with paused():` stops the program for the block's changes, so they reach
    it all at once and long after they happened: the races between a change
    and the program looking at the disk, which a fast machine rarely shows."""
    root = os.path.join(workdir, "watched")
    start = walk(root)
    watcher = Watcher(program, root)
    problems = []
    markers = iter(range(1, 1 << 30))

    def sync():
        marker = os.path.join(root, f"sync {next(markers)}")
        with open(marker, "wb"):
            pass
        if not watcher.wait_for(record_line(ADDED, marker), timeout):
            raise TimeoutError(f"no ADDED line for {marker!r} within {timeout} s")

    @contextlib.contextmanager
    def paused():
        watcher.process.send_signal(signal.SIGSTOP)
        wait_until_stopped(watcher.process.pid)
        try:
            yield
        finally:
            watcher.process.send_signal(signal.SIGCONT)

    try:
        if not watcher.wait_for(READY, timeout):
            problems.append((0, f"the program printed no {READY!r} within {timeout} s"))
        else:
            act(sync, paused)
            try:
                sync()
            except TimeoutError as error:
                problems.append((0, str(error)))
        final = walk(root)
        status = watcher.process.poll()
    finally:
        watcher.stop()
    lines = list(watcher.lines)
    report = parse_report(lines, root)
    model, replay_problems = replay(start, report)
    return Run(root, start, final, lines, report, model, problems + replay_problems, status, watcher.errors)


def explain(run, title, log=(), describe=str, limit=40):
    """A failure report that can be debugged without running again: the
    differences, the lines that break the rules, and for the shallowest
    differences every report line and operation about them."""
    missing = sorted(run.final - run.model)
    extra = sorted(run.model - run.final)
    out = [f"{title}: {len(run.report.records)} records"]
    if missing:
        out.append(f"on disk but not in the replayed report ({len(missing)}):")
        out += ["    " + p for p in missing[:limit]]
    if extra:
        out.append(f"in the replayed report but not on disk ({len(extra)}):")
        out += ["    " + p for p in extra[:limit]]
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
    # A lost directory explains the loss of everything below it, so only the
    # shallowest differences are followed. Names are unique for the run: a
    # name finds every report line and operation about that entry.
    differing = set(missing) | set(extra)
    roots = sorted(p for p in differing if dirname(p) not in differing)
    followed = set()
    for root in roots[:5]:
        # The entry, then its directory: a directory that was never watched
        # explains entries lost inside it.
        for name in (basename(root), basename(dirname(root))):
            if not name or name in followed:
                continue
            followed.add(name)
            out.append(f"about {name!r} (report lines, then operations):")
            shown = [r for r in run.report.records if name in r.path.split("/")]
            for record in shown[:limit]:
                out.append(f"  line {record.lineno:6}: {record.action[12:]} {record.path}")
            if len(shown) > limit:
                out.append(f"  ... {len(shown) - limit} more report lines")
            done = [(n, e) for n, e in enumerate(log, 1) if any(name in p.split("/") for p in e[1:])]
            for number, entry in done[:limit]:
                out.append(f"  operation #{number}: {describe(entry)}")
            if len(done) > limit:
                out.append(f"  ... {len(done) - limit} more operations")
    return "\n".join(out)


@dataclass
class Outcome:
    seed: int
    operations: int
    ok: bool
    message: str = ""
    records: int = 0
    seconds: float = 0.0


def run_seed(program, workdir, seed, operations, max_entries=400, start_entries=60, timeout=120, keep=None,
             pauses=True):
    """Runs one seeded churn under the program and replays its report. With
    pauses, the program is stopped now and then for a few dozen operations.

    workdir must exist and be empty; the watched tree and the outside
    directory are made inside it. keep, when given, is a directory where the
    report and the operation log are written on failure."""
    began = time.monotonic()
    root = os.path.join(workdir, "watched")
    outside = os.path.join(workdir, "outside")
    os.mkdir(root)
    os.mkdir(outside)
    churn = Churn(seed, root, outside, max_entries)
    churn.populate(start_entries)

    def act(sync, paused):
        done = 0
        while done < operations:
            if pauses and churn.rng.randrange(40) == 0:
                stretch = min(operations - done, churn.rng.randint(1, 60))
                with paused():
                    for _ in range(stretch):
                        churn.step()
                done += stretch
            else:
                churn.step()
                done += 1

    run = watched_run(program, workdir, act, timeout)
    outcome = Outcome(seed, operations, run.ok, records=len(run.report.records),
                      seconds=time.monotonic() - began)
    if not run.ok:
        outcome.message = explain(run, f"replay failed for seed {seed} ({operations} operations)",
                                  churn.log, churn.describe)
        if keep is not None:
            os.makedirs(keep, exist_ok=True)
            with open(os.path.join(keep, f"report-{seed}.txt"), "w", errors="surrogateescape") as f:
                f.write("".join(line + "\n" for line in run.lines))
            with open(os.path.join(keep, f"operations-{seed}.txt"), "w") as f:
                f.write("".join(churn.describe(entry) + "\n" for entry in churn.log))
            outcome.message += f"\nfull report and operation log in {keep}"
    return outcome
