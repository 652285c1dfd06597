"""Limits, met for real in a user namespace with lowered inotify limits, or
under a low descriptor limit, so the machine's settings are never touched. A
watch that cannot cover the whole tree must say so (a refused first request,
or the OVERFLOW line later), never watch part of it in silence."""

import os
import resource
import subprocess
import time

import pytest

from .support.isolation import with_inotify_limits
from .support.procfs import inotify_limit
from .support.report import OVERFLOW, crlf, record, record_lines, refused, start_lines
from .support.runner import end, expect_shown, press_key, start
from .support.trees import make_dirs, write

pytestmark = pytest.mark.timeout(120)

ERROR_NOT_ENOUGH_QUOTA = 1816    # inotify's watch limit
ERROR_TOO_MANY_OPEN_FILES = 4   # its instance limit


def limited(program, root, *extra, watches=None, instances=None):
    return program.terminal(root, *extra, via=with_inotify_limits([], watches=watches, instances=instances))


@pytest.mark.interface("inotify")
@pytest.mark.parametrize("tree, limits, code", [
    # Eleven directories against a limit of five: wherever the walk meets the
    # limit, the whole request is refused, and no start line claims a watch.
    ("flat", dict(watches=5), ERROR_NOT_ENOUGH_QUOTA),
    ("deep", dict(watches=5), ERROR_NOT_ENOUGH_QUOTA),
    ("flat", dict(instances=0), ERROR_TOO_MANY_OPEN_FILES),
], ids=["too-few-watches-flat", "too-few-watches-deep", "no-instance-left"])
def test_a_limit_met_at_the_start_refuses_the_first_request(program, watched, tree, limits, code):
    if tree == "flat":
        make_dirs(watched, 10)
    else:
        os.makedirs(watched.joinpath(*[f"level{i}" for i in range(10)]))
    child = limited(program, watched, **limits)
    expect_shown(child, refused(watched, code))
    assert b"Watching" not in child.before
    # A refused first request leaves the program waiting for a key, as on Windows.
    write(watched / "ignored")
    assert press_key(child) == (b"", 0)


@pytest.mark.interface("inotify")
def test_norecurse_needs_one_watch_only(program, watched):
    make_dirs(watched, 10)
    child = limited(program, watched, "NoRecurse", watches=1)
    expect_shown(child, start_lines(watched, recursive=False))
    write(watched / "seen")
    expect_shown(child, record("added", watched / "seen"))
    assert press_key(child)[1] == 0


@pytest.mark.interface("inotify")
@pytest.mark.parametrize("arrival", ["made", "moved-in"])
def test_a_directory_beyond_the_watch_limit_gives_an_overflow(program, tmp_path, watched, arrival):
    if arrival == "made":
        make_dirs(watched, 3)
    # Made: one watch is left over, for the first new directory. Moved in:
    # three directories arrive at once, and one watch is left.
    child = limited(program, watched, watches=5 if arrival == "made" else 2)
    expect_shown(child, start_lines(watched))
    seen = b""
    if arrival == "made":
        os.mkdir(watched / "fits")
        write(watched / "fits" / "inner")
        seen += expect_shown(child, record("added", watched / "fits" / "inner"))
        os.mkdir(watched / "beyond")
        write(watched / "beyond" / "lost")
    else:
        os.makedirs(tmp_path / "outside" / "a" / "b")
        os.rename(tmp_path / "outside", watched / "moved")
    # Changes inside a directory that cannot be watched would be missed: the
    # report must say so, and the watch goes on where it can.
    seen += expect_shown(child, OVERFLOW)
    write(watched / "sentinel")
    seen += expect_shown(child, record("added", watched / "sentinel"))
    assert b"ReadDirectoryChangesW failed" not in seen
    assert press_key(child)[1] == 0


@pytest.mark.parametrize("made", ["before-start", "while-watched"])
def test_a_low_descriptor_limit_never_leaves_part_of_the_tree_unwatched_in_silence(program, watched, made):
    # 24 descriptors and 40 levels: a walk holding a descriptor per level runs
    # out. Refusing, or saying that changes were lost, is honest; watching only
    # the upper levels is not.
    bottom = watched.joinpath(*[f"level{i}" for i in range(40)])
    if made == "before-start":
        bottom.mkdir(parents=True)
    child = program.terminal(watched, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24)))
    if child.expect_exact([crlf(refused(watched, ERROR_TOO_MANY_OPEN_FILES)), crlf(start_lines(watched))]) == 0:
        assert made == "before-start", "a refused start with nothing to walk"
        assert press_key(child)[1] == 0
        return
    if made == "while-watched":
        bottom.mkdir(parents=True)
    write(bottom / "at-the-bottom")
    write(watched / "sentinel")
    seen = expect_shown(child, record("added", watched / "sentinel"))
    assert crlf(record("added", bottom / "at-the-bottom")) in seen or crlf(OVERFLOW) in seen
    assert press_key(child)[1] == 0


def test_a_stopped_program_loses_nothing_or_says_so(watch, interface, watched):
    # Stopped, the program cannot read the kernel's queue: more changes than
    # inotify's holds must give the OVERFLOW line, and every directory, old and
    # new, be watched afterwards. fanotify's has no limit: all are reported.
    queued = inotify_limit("max_queued_events")
    if queued > 100_000:
        pytest.skip(f"max_queued_events is {queued}: too many files to make for an overflow")
    for name in ("busy", "old/deeper"):
        (watched / name).mkdir(parents=True)
    run = watch(watched)
    names = [f"f{i}" for i in range(queued + 2000)]
    with run.paused():
        for name in names:
            write(watched / "busy" / name)
        (watched / "new").mkdir()
    if interface == "inotify":
        run.expect(OVERFLOW)
    for changed in (watched / "old" / "deeper" / "after", watched / "busy" / "after", watched / "new" / "after"):
        write(changed)
        run.expect(record("added", changed))
    if interface == "fanotify":
        assert OVERFLOW not in run.output
        added = {record("added", watched / "busy" / name).rstrip(b"\n") for name in names}
        assert added <= set(record_lines(run.output))
    run.stop()


@pytest.mark.interface("fanotify")
@pytest.mark.timeout(900)
def test_a_tree_larger_than_the_watch_limit_is_watched_whole(program, watch, watched):
    # One mark covers the file system: no limit on watches applies, and nothing is walked before the start lines.
    count = max(300_000, inotify_limit("max_user_watches") * 3 // 2)
    for i in range(count // 1000):
        os.mkdir(watched / f"{i}")
        make_dirs(watched / f"{i}", 1000)
    try:
        run = watch(watched)
        deepest = watched / f"{count // 1000 - 1}" / "d999" / "deep"
        write(deepest)
        run.expect(record("added", deepest))
        run.stop()
    finally:
        subprocess.run(["rm", "-rf", str(watched)], check=True)


def test_changes_are_gathered_while_nobody_reads_the_output(program, watched):
    # The program soon sits in a blocked write; the kernel's queue must be read
    # meanwhile, or it overflows. The changes come slowly enough that any
    # thread that reads at all keeps up on a loaded machine.
    queued = inotify_limit("max_queued_events")
    if queued > 100_000:
        pytest.skip(f"max_queued_events is {queued}: too many files to make")
    proc = start(program.command(watched), stdout=subprocess.PIPE, env=program.env)
    try:
        assert proc.stdout.readline() + proc.stdout.readline() == start_lines(watched)
        names = [f"f{i}" for i in range(queued + 2000)]
        for i, name in enumerate(names):
            write(watched / name)
            if i % 500 == 499:
                time.sleep(0.25)
        write(watched / "last")
        last = record("added", watched / "last")
        reported = set()
        for line in proc.stdout:
            assert b"OVERFLOW" not in line
            if line == last:
                break
            if b"FILE_ACTION_ADDED" in line:
                reported.add(line)
        assert reported == {record("added", watched / name) for name in names}
    finally:
        end(proc)
        proc.stdout.close()
