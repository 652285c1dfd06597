"""The real program against a hostile tree and hostile surroundings: unreadable
directories, untrustworthy names, shapes that trap a naive recursive walk, and
output, root or terminal going away. What must not be reported is checked with
a sentinel made afterwards: reports come in order."""

import contextlib
import fcntl
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import termios
import time

import pexpect
import pytest

from .support.isolation import in_mount_namespace, in_namespace_of, nobody_ids, with_inotify_limits
from .support.procfs import main_thread_syscall, open_descriptors, status_kib
from .support.report import (OVERFLOW, count, fsencode, parse, quote, record, record_lines, refused, start_lines,
                             unaccounted_bytes)
from .support.runner import (GRACE, TIMEOUT, Reader, end, eventually, expect_shown, press_key, redirected, start,
                             switched_to_single_keys)
from .support.trees import write

pytestmark = pytest.mark.timeout(180)

ERROR_TOO_MANY_OPEN_FILES = 4
ERROR_ACCESS_DENIED = 5


def added(run, path):
    write(path)
    return run.expect(record("added", path))


def assert_records(seen, *expected):
    """Exactly these change lines, in this order."""
    assert record_lines(seen) == record_lines(b"".join(expected))


# --- Directories the user may not read


@pytest.mark.parametrize("made", ["before-start", "while-watched"])
@pytest.mark.parametrize("opened_by", ["chmod", "chown"])
def test_an_unreadable_directory_is_skipped_then_watched_once_readable(shared_tmp, watch_as_nobody, made, opened_by):
    root = os.path.join(shared_tmp, "root")
    locked = os.path.join(root, "locked")
    os.makedirs(os.path.join(root, "open"))

    def lock_up():
        os.mkdir(locked, 0o700)  # root's own, so the user nobody can neither list nor enter it
        os.mkdir(os.path.join(locked, "inner"))
        write(os.path.join(locked, "inner", "old"))

    if made == "before-start":
        lock_up()
    run = watch_as_nobody(root)
    if made == "while-watched":
        lock_up()
        run.expect(record("added", locked))
    # Nothing is said about the directory it cannot read, and the rest is watched.
    assert_records(run.sentinel(os.path.join(root, "open")), record("added", os.path.join(root, "open", "sentinel")))
    if opened_by == "chmod":
        os.chmod(locked, 0o755)
    else:
        os.chown(locked, *nobody_ids())
    run.expect(record("modified", locked))
    # What was made in it meanwhile is news to the reader: listed, as in a new directory.
    inner = os.path.join(locked, "inner")
    run.expect(record("added", inner) + record("added", os.path.join(inner, "old")))
    added(run, os.path.join(locked, "new"))
    added(run, os.path.join(locked, "inner", "deeper"))
    assert b"failed" not in run.output and b"OVERFLOW" not in run.output
    run.stop()


def test_a_listable_but_closed_directory_opens_up_on_chmod(shared_tmp, watch_as_nobody):
    # Mode 744, root's own: the user nobody may list it, so it is watched, but
    # may not enter it, so what lies below is not.
    root = os.path.join(shared_tmp, "root")
    half = os.path.join(root, "half")
    os.makedirs(os.path.join(half, "sub"))
    os.chmod(half, 0o744)
    run = watch_as_nobody(root)
    added(run, os.path.join(half, "direct"))
    os.chmod(half, 0o755)
    run.expect(record("modified", half))
    write(os.path.join(half, "sub", "below"))
    # Reports come in order, so the line is there by the sentinel's, or never.
    assert record("added", os.path.join(half, "sub", "below")) in run.sentinel(root)
    run.stop()


@pytest.mark.parametrize("target", ["sub", ""], ids=["sub-directory", "root"])
def test_an_attribute_change_of_a_watched_directory_is_reported_by_its_parent_only(watched, watch, target):
    (watched / "sub").mkdir()
    run = watch(watched)
    os.chmod(watched / target, 0o700)
    seen = run.sentinel(watched)
    assert_records(seen, record("modified", watched / "sub") if target else b"", record("added", watched / "sentinel"))
    assert b"INVALID" not in seen
    run.stop()


# --- Names


NOT_UTF8 = [
    b"caf\xe9",                  # Latin-1
    b"\xff\xfe",                 # never valid anywhere
    b"\xed\xa0\x80-surrogate",   # an encoded surrogate
    b"\xed\xb2\x80-low",        # encoded U+DC80, the very unit that stands for the byte 0x80
    b"\xc0\xaf-overlong",        # an overlong '/'
    b"cut-\xe2\x82",             # a sequence cut short
    b"\xf4\x90\x80\x80-beyond",  # above U+10FFFF
    b"mixed-\xc3\xa9-\xe9",      # valid and invalid side by side
    b"\xef\xbf\xbd-real",        # a real U+FFFD, which must not swallow the others
]


# A name that, printed as it is, ends its record and forges a second one.
FORGING = b'evil"\n    FILE_ACTION_REMOVED             "\\etc\\passwd'

CONTROL_NAMES = [
    # (name on disk, as printed between the quotes: on a terminal, in a pipe, in a file)
    (b"line\nbreak", b"line\\nbreak"),
    (b"cr\rreturn", b"cr\\rreturn"),
    (b"\x1b[31mred\x1b[0m", b"\\033[31mred\\033[0m"),
    (b"\x1b]0;title\x07", b"\\033]0;title\\a"),
    (b"tab\there", b"tab\\there"),
    (b"del\x7f", b"del\\177"),
    (b"c1-\xc2\x9b-csi", b"c1-\\302\\233-csi"),          # U+009B, CSI in UTF-8
    (b"raw-\x9b-csi", b"raw-\\233-csi"),                 # the byte 0x9B, CSI to an 8-bit terminal
    (b"raw-\xe9-latin1", b"raw-\\351-latin1"),           # any byte that is not UTF-8
    (b"para-\xe2\x80\xa9-sep", b"para-\\342\\200\\251-sep"),  # U+2029, a line break to some readers
    (b'quote-"-back-\\', b'quote-\\"-back-\\\\'),
    (FORGING, b'evil\\"\\n    FILE_ACTION_REMOVED             \\"\\\\etc\\\\passwd'),
    ("caf\u00e9 \u2603 \U0001f600".encode(), "caf\u00e9 \u2603 \U0001f600".encode()),  # as a Windows name: unchanged
]


def assert_reports_exactly(output, root, names, others=()):
    """Each line of output is one the program writes, the paths decode to the
    names made (and maybe others), and each delivery's count is that of the
    real names' records."""
    report = parse(output, root)
    assert report.problems == []
    assert set(names) <= {os.fsencode(r.path) for r in report.records} <= set(names) | set(others)
    assert unaccounted_bytes(report) == []


def test_a_terminal_shows_names_escaped_as_a_pipe_gets_them(program, tmp_path):
    root = os.path.join(fsencode(tmp_path), b"root\x1b[2J")
    os.mkdir(root)
    child = program.terminal(root)
    seen = expect_shown(child, start_lines(root))
    assert b'"' + os.path.join(fsencode(tmp_path), b"root\\033[2J/") + b'"' in seen
    for name, shown in CONTROL_NAMES:
        assert quote(name) == shown
        write(os.path.join(root, name))
        seen += expect_shown(child, record("added", os.path.join(root, name)))
    output, status = press_key(child)
    assert status == 0
    assert_reports_exactly((seen + output).replace(b"\r\n", b"\n"), root, [name for name, _ in CONTROL_NAMES])


LONG_NAMES = [
    b"n" * 255,
    "\u20ac".encode() * 85,                       # 255 bytes, 85 UTF-16 units
    "\U0001F600".encode() * 63 + b"abc",          # 255 bytes, surrogate pairs
    b"\xff" * 255,                                # 255 bytes that are not UTF-8
]


@pytest.mark.parametrize("root_name, sub_name, names, renamed", [
    (b"root-\xe9", b"sub-\x80\xff", NOT_UTF8, b"caf\xe8"),
    (b"root\x1b[2J", b"sub\x1b[0m", [name for name, _ in CONTROL_NAMES], b"line\nbreak\x07"),
    (b"root", b"d" * 255, LONG_NAMES, b"m" * 255),
], ids=["not-utf8", "control-characters", "255-bytes"])
def test_names_reach_a_pipe_escaped_and_decode_exactly(tmp_path, watch, root_name, sub_name, names, renamed):
    root = os.path.join(fsencode(tmp_path), root_name)
    sub = os.path.join(root, sub_name)
    os.makedirs(sub)
    run = watch(root)
    for directory in (root, sub):
        for name in names:
            added(run, os.path.join(directory, name))
    old, new = os.path.join(sub, names[0]), os.path.join(sub, renamed)
    os.rename(old, new)
    run.expect(record("old", old) + record("new", new))
    run.stop()
    assert_reports_exactly(run.output, root, names + [os.path.join(sub_name, name) for name in names + [renamed]],
                           [sub_name])


# --- Shapes


def descend(top, names, new=0, siblings=()):
    """A descriptor for top/names..., reached one level at a time since the whole
    path may be longer than any one call takes; the last `new` levels are made on
    the way, each beside the siblings named."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    for level, name in enumerate(names):
        try:
            for made in (*siblings, name) if level >= len(names) - new else ():
                os.mkdir(made, dir_fd=fd)
            below = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        finally:
            os.close(fd)
        fd = below
    return fd


def write_at(top, names, file_name):
    fd = descend(top, names)
    try:
        os.close(os.open(file_name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
    finally:
        os.close(fd)


def test_a_tree_deeper_than_path_max(shared_tmp, watch):
    # 100 levels of 100-byte names: 10,000 bytes below the root, beyond
    # PATH_MAX, and deeper than a walk can hold one descriptor per level.
    # Every level has a sibling, so the walk must climb back up to reach it.
    root = shared_tmp
    names = [f"{i:03}".ljust(100, "x") for i in range(100)]
    os.close(descend(root, names, len(names), ["side"]))
    assert len(os.path.join(root, *names)) > os.pathconf(root, "PC_PATH_MAX")
    run = watch(root)
    write_at(root, names, "bottom")
    run.expect(record("added", os.path.join(root, *names, "bottom")))
    for level in (0, 1, 50, 63, 64, 65, 98, 99):
        write_at(root, names[:level] + ["side"], "beside")
        run.expect(record("added", os.path.join(root, *names[:level], "side", "beside")))
    # Deeper still, made while watched: every new level is watched from its
    # parent's path, which no single open can take any more.
    more = [f"new{i:03}".ljust(200, "y") for i in range(20)]
    os.close(descend(root, names + more, len(more)))
    write_at(root, names + more, "deepest")
    path = os.path.join(root, *names, *more, "deepest")
    run.expect(record("added", path))
    run.sentinel(root)
    assert count(run.output, record("added", path)) == 1
    # A directory high up renamed: the long paths below follow at once.
    names[10:11] = ["renamed"]
    os.rename(os.path.join(root, *names[:10], "010".ljust(100, "x")), os.path.join(root, *names[:11]))
    write_at(root, names + more, "after-rename")
    run.expect(record("added", os.path.join(root, *names, *more, "after-rename")))
    assert b"OVERFLOW" not in run.output
    run.stop()


def test_a_path_too_long_for_the_buffer_is_announced_as_an_overflow(shared_tmp, watch):
    # 170 levels of 100 bytes: a name of over 17,000 UTF-16 units, which no
    # record in the 32 KB change buffer can hold. It cannot be reported, but
    # its loss must be.
    root = shared_tmp
    names = [f"{i:03}".ljust(100, "z") for i in range(170)]
    os.close(descend(root, names, len(names)))
    run = watch(root)
    write_at(root, names, "unreportable")
    seen = run.sentinel(root)
    assert OVERFLOW in seen
    assert b"unreportable" not in seen
    run.stop()


def test_symbolic_link_loops_are_reported_but_never_followed(tmp_path, watched, watch):
    outside = os.path.join(str(tmp_path), "outside")
    os.makedirs(os.path.join(watched, "sub"))
    os.mkdir(outside)
    # "self" resolves to itself: ELOOP.
    for target, name in ((".", "dot"), ("..", "sub/up"), ("self", "self"), ("ping", "pong"), ("pong", "ping"),
                         (watched, "absolute"), (outside, "out")):
        os.symlink(target, os.path.join(watched, name))
    run = watch(watched)
    added(run, os.path.join(watched, "sub", "f"))
    write(os.path.join(outside, "g"))
    os.symlink("../..", os.path.join(watched, "sub", "upup"))
    run.expect(record("added", os.path.join(watched, "sub", "upup")))
    write(os.path.join(watched, "sub", "upup", "h"))   # lands outside the tree
    os.symlink("new-loop", os.path.join(watched, "new-loop"))
    run.expect(record("added", os.path.join(watched, "new-loop")))
    run.sentinel(watched)
    output = run.output
    assert count(output, record("added", os.path.join(watched, "sub", "f"))) == 1
    for followed in (b"/dot/", b"/up/", b"/upup/", b"/absolute/", b"/out/", b"/g\"", b"/h\"", b"loop/"):
        assert followed not in output
    run.stop()


@pytest.mark.parametrize("setup", ["mount -t tmpfs pathwarden-test {inside}", "mount --bind {outside} {inside}", None],
                         ids=["tmpfs", "bind-mount-from-outside", "tmpfs-mounted-while-watched"])
def test_mounts_inside_the_tree_are_not_crossed(watch, tmp_path, watched, setup):
    outside = os.path.join(str(tmp_path), "outside")
    inside = os.path.join(watched, "mounted")
    os.makedirs(inside)
    os.mkdir(outside)
    run = watch(watched, via=in_mount_namespace(setup.format(inside=inside, outside=outside) if setup else "true", []))
    pid = run.proc.pid  # unshare and sh exec, so this is the program, in the namespace
    if setup is None:
        in_namespace_of(pid, "mount", "-t", "tmpfs", "pathwarden-test", inside)
    in_namespace_of(pid, "mkdir", f"{inside}/dir")
    in_namespace_of(pid, "touch", f"{inside}/file", f"{inside}/dir/file")
    run.sentinel(watched)
    assert b"/mounted/" not in run.output
    run.stop()


def test_the_root_bound_inside_itself_is_watched_once(watch, watched):
    cycle = watched / "cycle"
    cycle.mkdir()
    run = watch(watched, via=in_mount_namespace(f"mount --bind {watched} {cycle}", []))
    in_namespace_of(run.proc.pid, "touch", f"{cycle}/via-cycle")
    run.expect(record("added", watched / "via-cycle"))
    run.sentinel(watched)
    assert count(run.output, record("added", watched / "via-cycle")) == 1
    assert b"/cycle/" not in run.output
    run.stop()


def test_proc_is_watched_though_fanotify_cannot_mark_it(program, watch):
    # /proc gives no file handles, so inotify it is; its directories come and
    # go with processes, some of them while they are listed.
    churn = start(["sh", "-c", "while :; do sh -c 'true & true & wait'; done"], stdout=subprocess.DEVNULL)
    try:
        for _ in range(3):
            watch("/proc").stop()
    finally:
        end(churn)


def test_special_files_are_reported_but_never_opened(watched, watch):
    # Opening a FIFO that nobody writes to would block for ever.
    os.mkfifo(watched / "old-fifo")
    with socket.socket(socket.AF_UNIX) as bound:
        bound.bind(str(watched / "socket"))
        run = watch(watched)
        os.mkfifo(watched / "new-fifo")
        run.expect(record("added", watched / "new-fifo"))
        os.chmod(watched / "old-fifo", 0o600)
        run.expect(record("modified", watched / "old-fifo"))
        run.sentinel(watched)
        run.stop()


def test_a_directory_replaced_by_a_file_of_the_same_name(watched, watch):
    x, a, y = watched / "x", watched / "a", watched / "y"
    x.mkdir()
    write(x / "f")
    run = watch(watched)
    os.remove(x / "f")
    os.rmdir(x)
    write(x)
    assert_records(run.expect(record("modified", x)),
                   record("removed", x / "f"), record("removed", x), record("added", x), record("modified", x))
    # And back: the new directory is watched, not confused with the file.
    os.remove(x)
    os.mkdir(x)
    assert_records(added(run, x / "inner"), record("removed", x), record("added", x), record("added", x / "inner"))
    # A directory renamed over an empty one takes its place, and its own
    # changes are reported under the name it took.
    a.mkdir()
    y.mkdir()
    run.expect(record("added", y))
    os.rename(a, y)
    run.expect(record("old", a) + record("new", y))
    assert_records(added(run, y / "g"), record("added", y / "g"))
    run.stop()


def test_a_directory_in_place_of_another_of_its_name_is_told_afresh(tmp_path, watched, watch):
    # Stopped, the program reads late: on inotify the second move's path is
    # stale by then, so the newcomer cannot be told from the x that left. It
    # is told as come in and listed once its path is current; nothing is lost.
    outside = tmp_path / "outside"
    for made in (watched / "q" / "x", watched / "b", outside / "other" / "x"):
        made.mkdir(parents=True)
    run = watch(watched)
    with run.paused():
        os.rename(watched / "q" / "x", outside / "x")
        os.rename(outside / "other" / "x", watched / "b" / "x")
        os.rename(watched / "b", watched / "b2")
    added(run, watched / "b2" / "x" / "after")
    write(outside / "x" / "unseen")
    run.sentinel(watched)
    assert b"unseen" not in run.output and OVERFLOW not in run.output
    run.stop()


def test_directories_that_vanish_before_they_are_watched(tmp_path, watched, watch):
    outside = str(tmp_path / "outside")
    os.mkdir(outside)
    write(os.path.join(outside, "beyond"))
    run = watch(watched)
    d, e, g, h, s, p = (os.path.join(watched, name) for name in ("d", "e", "g", "h", "s", "p"))
    # Far fewer events than the kernel queues (max_queued_events is 16384 by
    # default), so that no overflow is legitimate here.
    for _ in range(300):
        os.mkdir(d)
        os.mkdir(os.path.join(d, "e"))
        write(os.path.join(d, "e", "f"))
        os.remove(os.path.join(d, "e", "f"))
        os.rmdir(os.path.join(d, "e"))
        os.rmdir(d)
        os.mkdir(h)       # renamed away before its watch is made
        os.rename(h, e)
        os.rmdir(e)
        # A directory, and at once a file (ENOTDIR), a link out of the tree, or
        # a FIFO that nobody will ever write to, of the same name.
        for path, make in ((g, write), (s, lambda link: os.symlink(outside, link)), (p, os.mkfifo)):
            os.mkdir(path)
            os.rmdir(path)
            make(path)
            os.remove(path)
    run.sentinel(watched)
    assert run.proc.poll() is None
    assert b"failed" not in run.output and b"OVERFLOW" not in run.output
    assert b"beyond" not in run.output
    run.stop()


# --- Surroundings


@pytest.mark.parametrize("sigpipe", ["default", "ignored"])
def test_output_closed_early_ends_the_run_without_a_terminal(program, watched, sigpipe):
    reading, writing = os.pipe()
    head = subprocess.Popen(["head", "-1"], stdin=reading, stdout=subprocess.PIPE)
    ignore = dict(preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)) if sigpipe == "ignored" else {}
    process = start(program.command(watched), stdout=writing, env=program.env, **ignore)
    os.close(reading)
    os.close(writing)
    try:
        first = head.communicate(timeout=TIMEOUT)[0]
        assert first == start_lines(watched).split(b"\n")[0] + b"\n"
        # The program learns that nobody reads any more at its next output.
        for number in range(200):
            write(os.path.join(watched, f"file-{number}"))
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(0.1)
                break
        assert process.poll() is not None, "still running after its output was closed"
        # Killed by SIGPIPE as any program whose reader left; with the signal
        # ignored on purpose, the status of a failed run.
        assert process.returncode == (-signal.SIGPIPE if sigpipe == "default" else 255)
    finally:
        end(process)


def test_its_own_log_in_the_tree_is_not_reported_as_modified(program, watched):
    # Each write would be a change to report, and its report a write: the log
    # holds its own renames and the other changes only.
    log, renamed = watched / "log", watched / "renamed"
    run = program.pipe(watched, via=redirected(log, []))
    eventually(lambda: log.exists() and start_lines(watched) in log.read_bytes(), "started")
    os.rename(log, renamed)
    (watched / "sentinel").touch()
    eventually(lambda: record("added", watched / "sentinel") in renamed.read_bytes(), "reporting")
    assert_records(renamed.read_bytes(),
                   record("old", log), record("new", renamed), record("added", watched / "sentinel"))
    run.stop()


def test_a_full_disk_holds_the_log_back_and_tears_no_line(program, tmp_path, watched):
    # The log on a file system of 64 KiB, filled up while 200 directories are
    # made: their lines wait, and come whole once there is room again.
    small = tmp_path / "small"
    small.mkdir()
    run = program.pipe(watched, via=in_mount_namespace(f"mount -t tmpfs -o size=64k pathwarden-test {small}",
                                                       redirected(small / "log", [])))
    inside = f"/proc/{run.proc.pid}/root{small}"  # the program's own mount namespace

    def log():
        with contextlib.suppress(FileNotFoundError), open(f"{inside}/log", "rb") as f:
            return f.read()
        return b""  # not made yet

    eventually(lambda: start_lines(watched) in log(), "started")
    filler = os.open(f"{inside}/filler", os.O_WRONLY | os.O_CREAT)
    with contextlib.suppress(OSError):  # ENOSPC
        while True:
            os.write(filler, b"x" * 4096)
    os.close(filler)
    names = [f"during-{i:03}" for i in range(200)]
    for name in names:
        os.mkdir(watched / name)
    eventually(lambda: record("added", watched / names[0]) in log(), "reporting")
    time.sleep(GRACE)
    assert record("added", watched / names[-1]) not in log(), "the disk never filled up"
    os.remove(f"{inside}/filler")
    (watched / "sentinel").touch()
    eventually(lambda: record("added", watched / "sentinel") in log(), "reporting again")
    report = parse(log(), watched)
    assert report.problems == []  # no torn line, and no OVERFLOW: nothing was lost
    assert set(names) <= {each.path for each in report.records if each.kind == "added"}
    run.stop()


@pytest.mark.not_sanitized  # the sanitizers reserve more address space than any limit leaves
def test_memory_running_out_while_nobody_reads_is_an_overflow(program, tmp_path, watched):
    # Nobody reads the output, so the changes wait in the backlog, until the
    # address space left over runs out: the loss is told, and the watch goes on.
    fifo = tmp_path / "output"
    os.mkfifo(fifo)
    reading = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    run = program.pipe(watched, via=redirected(fifo, []))
    try:
        first = bytearray()

        def started():
            with contextlib.suppress(BlockingIOError):
                first.extend(os.read(reading, 4096))
            return start_lines(watched) in first

        eventually(started, "started")
        room = (status_kib(run.proc.pid, "VmSize") + 2048) * 1024
        resource.prlimit(run.proc.pid, resource.RLIMIT_AS, (room, resource.RLIM_INFINITY))
        for number in range(15000):  # 6 MB of records
            (watched / f"{number:05}-{'x' * 200}").touch()
        os.set_blocking(reading, True)
        output = Reader(reading)
        # A change made while the loss is still being recovered from is part
        # of that loss; one made after it is told.
        for number in range(TIMEOUT):
            (watched / f"sentinel-{number}").touch()
            if output.find(record("added", watched / f"sentinel-{number}"), timeout=1) is not None:
                break
        else:
            pytest.fail(f"nothing told after the loss; exit {run.proc.poll()}, output ends {bytes(output.data[-300:])}")
        assert OVERFLOW in output.data
        # Each walk memory cut short closed what it had opened.
        assert open_descriptors(run.proc.pid) < 20
        assert run.stop() == -signal.SIGTERM
    finally:
        os.close(reading)


@pytest.mark.parametrize("how", ["deleted", "moved-away-then-deleted"])
def test_a_deleted_root_ends_the_reports_with_an_overflow(tmp_path, watch, how):
    root, elsewhere = tmp_path / "root", tmp_path / "elsewhere"
    (root / "sub").mkdir(parents=True)
    write(root / "sub" / "f")
    run = watch(root)
    if how == "deleted":
        shutil.rmtree(root)
    else:
        os.rename(root, elsewhere)
        # Still watched, and named by the path it was opened with.
        write(elsewhere / "moved-note")
        run.expect(record("added", root / "moved-note"))
        shutil.rmtree(elsewhere)
    seen = run.expect(OVERFLOW + refused(root, ERROR_ACCESS_DENIED))
    # What happened before the root went is reported before the overflow.
    assert record("removed", os.path.join(root, "sub", "f")) in seen
    # Nothing later is reported, even at the same path; with a terminal the
    # program would wait for a key, as on Windows, but no key can come here.
    os.makedirs(os.path.join(root, "sub"))
    write(os.path.join(root, "sub", "again"))
    write(os.path.join(root, "again"))
    run.proc.wait(TIMEOUT)
    assert run.stop() == 255
    assert run.rest() == b""


def test_an_unmounted_root_is_announced_like_a_deleted_one(watch, watched):
    run = watch(watched, via=in_mount_namespace(f"mount -t tmpfs pathwarden-test {watched}", []))
    in_namespace_of(run.proc.pid, "touch", f"{watched}/on-tmpfs")
    run.expect(record("added", os.path.join(watched, "on-tmpfs")))
    # The program holds the watched open, so only a lazy unmount can take it away.
    in_namespace_of(run.proc.pid, "umount", "-l", watched)
    run.expect(OVERFLOW + refused(watched, ERROR_ACCESS_DENIED))
    run.proc.wait(TIMEOUT)
    assert run.stop() == 255


def test_a_directory_left_bare_by_an_unmount_is_watched(watch, watched):
    # What the mount showed is gone from the reader's view, and what lies
    # beneath is reported from then on.
    mnt = watched / "mnt"
    mnt.mkdir()
    run = watch(watched, via=in_mount_namespace(f"mount -t tmpfs pathwarden-test {mnt} && touch {mnt}/shown", []))
    in_namespace_of(run.proc.pid, "umount", "-l", str(mnt))
    write(mnt / "after")
    assert record("added", mnt / "after") in run.expect(record("added", mnt / "after"))
    run.stop()


@pytest.mark.interface("inotify")
def test_a_refused_start_without_a_terminal_ends_the_run(program, watched):
    # No key can ever come, and the watch will never deliver anything: a run
    # that waited would only look like a watch to the script that started it.
    run = program.pipe(watched, via=with_inotify_limits([], instances=0))
    run.proc.wait(TIMEOUT)
    assert run.stop() == 255
    assert run.output == refused(watched, ERROR_TOO_MANY_OPEN_FILES)


def test_sighup_ends_the_run_without_a_terminal(watched, watch):
    run = watch(watched)
    run.sentinel(watched)
    assert run.stop(signal.SIGHUP) == -signal.SIGHUP


@pytest.mark.parametrize("signum, core", [
    (signal.SIGUSR1, False), (signal.SIGUSR2, False), (signal.SIGALRM, False), (signal.SIGRTMIN + 1, False),
    pytest.param(signal.SIGSEGV, True, marks=pytest.mark.not_sanitized),  # the sanitizers handle it themselves
], ids=["usr1", "usr2", "alrm", "rtmin+1", "segv"])
def test_any_signal_that_ends_the_run_gives_the_terminal_back_first(program, tmp_path, watched, signum, core):
    def allow_cores():
        hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
        resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))

    child = program.terminal(watched, cwd=tmp_path, preexec_fn=allow_cores)
    switched_to_single_keys(child)
    os.kill(child.pid, signum)
    child.expect(pexpect.EOF)
    restored = termios.tcgetattr(child.child_fd)[3]
    child.close()
    assert restored & termios.ICANON and restored & termios.ECHO
    # Ended by that signal, as without the terminal to give back: a core where it makes one.
    assert child.signalstatus == signum
    assert bool(os.WCOREDUMP(child.status)) == core
    for dump in tmp_path.glob("core*"):
        dump.unlink()


def test_sighup_ends_the_run_while_output_is_stuck(program, tmp_path, watched):
    # Standard output is a pipe nobody reads, so once it is full the program
    # sits in write(2); a hangup must still end it and give the terminal back.
    fifo = str(tmp_path / "output")
    os.mkfifo(fifo)
    reading = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    child = program.terminal(watched, via=redirected(fifo, []))
    try:
        switched_to_single_keys(child)
        # On x86-64, /proc tells when the main thread sits in write(2) (number 1);
        # elsewhere a pipe with over half its room taken and a large surplus of
        # changes must do.
        in_write = (lambda: main_thread_syscall(child.pid) == 1) if os.uname().machine == "x86_64" else None
        stuck = False
        for number in range(20000):
            write(os.path.join(watched, f"{number:05}-{'x' * 200}"))
            waiting = number % 100 == 99 and struct.unpack("i", fcntl.ioctl(reading, termios.FIONREAD, b"\0" * 4))[0]
            if waiting > 32768:
                stuck = in_write() if in_write else number >= 5000
                if stuck:
                    break
        assert stuck, "the output never got stuck"
        os.kill(child.pid, signal.SIGHUP)
        child.expect(pexpect.EOF)
        restored = termios.tcgetattr(child.child_fd)[3]
        child.close()
        assert child.signalstatus == signal.SIGHUP
        assert restored & termios.ICANON and restored & termios.ECHO
    finally:
        os.close(reading)


def test_under_nohup_a_terminal_that_goes_away_leaves_the_watch_running(program, tmp_path, watched):
    log = tmp_path / "nohup.out"
    write(log, b"")
    child = program.terminal(watched, via=["sh", "-c", 'trap "" HUP; exec "$@" > "$0"', log])  # what nohup does
    eventually(lambda: start_lines(watched) in log.read_bytes(), "started")
    switched_to_single_keys(child)
    child.ptyproc.fileobj.close()  # the hangup
    # A hung-up terminal is no key press: the watch goes on.
    write(os.path.join(watched, "after-the-hangup"))
    eventually(lambda: record("added", os.path.join(watched, "after-the-hangup")) in log.read_bytes(),
               "reporting after the hangup")
    assert child.isalive()
