"""Limits, met for real: the program runs in a user namespace of its own whose
max_inotify_watches and max_inotify_instances are lowered, or with a low limit
on open descriptors of its own, so the machine's settings are never touched. A
watch that cannot cover the whole tree must say so (a refused first request, or
the OVERFLOW line later), never watch part of it in silence.

The codes: 1816 (ERROR_NOT_ENOUGH_QUOTA) is what inotify's watch limit
becomes, 4 (ERROR_TOO_MANY_OPEN_FILES) its instance limit."""

import os
import resource
import subprocess
import time

import pytest

from .support.isolation import with_inotify_limits
from .support.procfs import inotify_limit
from .support.report import OVERFLOW, crlf, record, refused, start_lines
from .support.runner import end, expect_shown, press_key, start
from .support.trees import make_dirs, write

pytestmark = pytest.mark.timeout(120)

ERROR_NOT_ENOUGH_QUOTA = 1816
ERROR_TOO_MANY_OPEN_FILES = 4


def limited(program, root, *extra, watches=None, instances=None):
    """The program on a directory in a pseudo-terminal, with inotify's limits lowered."""
    return program.terminal(root, *extra, via=with_inotify_limits([], watches=watches, instances=instances))


@pytest.mark.interface("inotify")
@pytest.mark.parametrize("tree, limits, code", [
    # Eleven directories against a limit of five: wherever the walk meets the
    # limit, the whole request is refused, and no start line claims a watch.
    ("flat", dict(watches=5), ERROR_NOT_ENOUGH_QUOTA),
    ("deep", dict(watches=5), ERROR_NOT_ENOUGH_QUOTA),
    ("flat", dict(instances=0), ERROR_TOO_MANY_OPEN_FILES),
], ids=["too-few-watches-flat", "too-few-watches-deep", "no-instance-left"])
def test_a_limit_met_at_the_start_refuses_the_first_request(program, tmp_path, tree, limits, code):
    root = tmp_path / "root"
    root.mkdir()
    if tree == "flat":
        make_dirs(root, 10)
    else:
        os.makedirs(root.joinpath(*[f"level{i}" for i in range(10)]))
    child = limited(program, root, **limits)
    expect_shown(child, refused(root, code))
    assert b"Watching" not in child.before
    # A refused first request leaves the program waiting for a key, as on Windows.
    write(root / "ignored")
    assert press_key(child) == (b"", 0)


@pytest.mark.interface("inotify")
def test_norecurse_needs_one_watch_only(program, tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    make_dirs(root, 10)
    child = limited(program, root, "NoRecurse", watches=1)
    expect_shown(child, start_lines(root, recursive=False))
    write(root / "seen")
    expect_shown(child, record("added", root / "seen"))
    assert press_key(child)[1] == 0


@pytest.mark.interface("inotify")
@pytest.mark.parametrize("arrival", ["made", "moved-in"])
def test_a_directory_beyond_the_watch_limit_gives_an_overflow(program, tmp_path, arrival):
    root = tmp_path / "root"
    root.mkdir()
    if arrival == "made":
        make_dirs(root, 3)
    # Made: four watches at the start, one left over, which the first new
    # directory takes. Moved in: three directories arrive at once and only one
    # more watch is left.
    child = limited(program, root, watches=5 if arrival == "made" else 2)
    expect_shown(child, start_lines(root))
    seen = b""
    if arrival == "made":
        os.mkdir(root / "fits")
        write(root / "fits" / "inner")
        seen += expect_shown(child, record("added", root / "fits" / "inner"))
        os.mkdir(root / "beyond")
        write(root / "beyond" / "lost")
    else:
        os.makedirs(tmp_path / "outside" / "a" / "b")
        os.rename(tmp_path / "outside", root / "moved")
    # What is made inside a directory that cannot be watched would be missed,
    # so the report must say that changes were lost; the watch goes on where it can.
    seen += expect_shown(child, OVERFLOW)
    write(root / "sentinel")
    seen += expect_shown(child, record("added", root / "sentinel"))
    assert b"ReadDirectoryChangesW failed" not in seen
    assert press_key(child)[1] == 0


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24))


@pytest.mark.parametrize("made", ["before-start", "while-watched"])
def test_a_low_descriptor_limit_never_leaves_part_of_the_tree_unwatched_in_silence(program, tmp_path, made):
    # 24 descriptors and a tree 40 levels deep: a walk that keeps a descriptor
    # per level runs out. Refusing, or saying that changes were lost, is
    # honest; watching only the upper levels is not.
    root = tmp_path / "root"
    chain = [f"level{i}" for i in range(40)]
    bottom = root.joinpath(*chain)
    if made == "before-start":
        bottom.mkdir(parents=True)
    else:
        root.mkdir()
    child = program.terminal(root, preexec_fn=few_descriptors)
    if child.expect_exact([crlf(refused(root, ERROR_TOO_MANY_OPEN_FILES)), crlf(start_lines(root))]) == 0:
        assert made == "before-start", "a refused start with nothing to walk"
        assert press_key(child)[1] == 0
        return
    if made == "while-watched":
        bottom.mkdir(parents=True)
    write(bottom / "at-the-bottom")
    write(root / "sentinel")
    seen = expect_shown(child, record("added", root / "sentinel"))
    assert crlf(record("added", bottom / "at-the-bottom")) in seen or crlf(OVERFLOW) in seen
    assert press_key(child)[1] == 0


def test_a_stopped_program_loses_nothing_or_says_so(program, interface, tmp_path):
    # Stopped, the program cannot read the kernel's queue. inotify's holds
    # max_queued_events (16384 by default): more changes than that must give
    # the OVERFLOW line, and every directory, old and new, must be watched
    # afterwards. fanotify's queue has no limit: every change is reported.
    queued = inotify_limit("max_queued_events")
    if queued > 100_000:
        pytest.skip(f"max_queued_events is {queued}: too many files to make for an overflow")
    root = tmp_path / "root"
    for name in ("busy", "old/deeper"):
        (root / name).mkdir(parents=True)
    run = program.pipe(root)
    run.expect_start(root)
    names = [f"f{i}" for i in range(queued + 2000)]
    with run.paused():
        for name in names:
            write(root / "busy" / name)
        (root / "new").mkdir()
    if interface == "inotify":
        run.expect(OVERFLOW)
    for changed in (root / "old" / "deeper" / "after", root / "busy" / "after", root / "new" / "after"):
        write(changed)
        run.expect(record("added", changed))
    if interface == "fanotify":
        assert OVERFLOW not in run.output
        reported = {line for line in run.output.split(b"\n") if line.startswith(b"    FILE_ACTION_ADDED")}
        assert {record("added", root / "busy" / name).rstrip(b"\n") for name in names} <= reported
    run.stop()


@pytest.mark.interface("fanotify")
@pytest.mark.timeout(900)
def test_a_tree_larger_than_the_watch_limit_is_watched_whole(program, tmp_path):
    # One mark covers the file system: no watch per directory, so no limit
    # on them applies, and nothing is walked before the start lines.
    count = max(300_000, inotify_limit("max_user_watches") * 3 // 2)
    root = tmp_path / "root"
    root.mkdir()
    for i in range(count // 1000):
        os.mkdir(root / f"{i}")
        for j in range(1000):
            os.mkdir(root / f"{i}" / f"{j}")
    try:
        run = program.pipe(root)
        run.expect_start(root)
        deepest = root / f"{count // 1000 - 1}" / "999" / "deep"
        write(deepest)
        run.expect(record("added", deepest))
        run.stop()
    finally:
        subprocess.run(["rm", "-rf", str(root)], check=True)


def test_changes_are_gathered_while_nobody_reads_the_output(program, tmp_path):
    # Nobody reads the output, so the program soon sits in a blocked write;
    # the kernel's queue must be read meanwhile, or it overflows. More changes
    # than it holds are made, slowly enough that any thread that reads at all
    # keeps up on a loaded machine; then every one of them must be reported.
    queued = inotify_limit("max_queued_events")
    if queued > 100_000:
        pytest.skip(f"max_queued_events is {queued}: too many files to make")
    root = tmp_path / "root"
    root.mkdir()
    proc = start(program.command(root), stdout=subprocess.PIPE, env=program.env)
    try:
        assert proc.stdout.readline() + proc.stdout.readline() == start_lines(root)
        names = [f"f{i}" for i in range(queued + 2000)]
        for i, name in enumerate(names):
            write(root / name)
            if i % 500 == 499:
                time.sleep(0.25)
        write(root / "last")
        last = record("added", root / "last")
        reported = set()
        for line in proc.stdout:
            assert b"OVERFLOW" not in line
            if line == last:
                break
            if b"FILE_ACTION_ADDED" in line:
                reported.add(line)
        assert reported == {record("added", root / name) for name in names}
    finally:
        end(proc)
        proc.stdout.close()
