"""The real program watching real directories in a pseudo-terminal, as a user
would: start lines, report lines in their exact columns, the keyboard,
failures, and output reaching a pipe while the program runs."""

import os
import re

import pytest

from .support import procfs
from .support.report import OVERFLOW, crlf, parse, record, refused, start_lines
from .support.runner import ended, expect_shown, press_key
from .support.trees import write


def start(program, path, *extra, recursive=True):
    child = program.terminal(path, *extra)
    expect_shown(child, start_lines(path, recursive))
    return child


def check_columns(output, root):
    """Every line heads a delivery with something in it, or is a change below root in the promised columns."""
    assert parse(output, root).problems == [] and b"Notified with 0 " not in output, output


@pytest.mark.parametrize("extra, recursive", [((), True), (("NoRecurse",), False), (("norecurse",), False)])
def test_start_line_and_a_key_ends_the_run(program, tmp_path, extra, recursive):
    child = start(program, tmp_path, *extra, recursive=recursive)
    assert press_key(child) == (b"", 0)


def test_each_kind_of_line_with_its_columns(program, tmp_path):
    write(tmp_path / "kept")
    child = start(program, tmp_path)
    write(tmp_path / "alpha")
    seen = expect_shown(child, record("added", tmp_path / "alpha"))
    write(tmp_path / "kept", b"more")
    seen += expect_shown(child, record("modified", tmp_path / "kept"))
    os.rename(tmp_path / "alpha", tmp_path / "beta")
    # The two halves of a rename arrive together, old name first.
    seen += expect_shown(child, record("old", tmp_path / "alpha"), record("new", tmp_path / "beta"))
    os.remove(tmp_path / "beta")
    seen += expect_shown(child, record("removed", tmp_path / "beta"))
    os.mkdir(tmp_path / "dir")
    seen += expect_shown(child, record("added", tmp_path / "dir"))
    assert press_key(child)[1] == 0
    assert re.match(rb"Notified with [1-9][0-9]* bytes\.\r\n", seen)
    check_columns(seen, tmp_path)


@pytest.mark.parametrize("extra", [(), ("NoRecurse",)], ids=["recursive", "norecurse"])
def test_changes_inside_subdirectories_are_reported_only_when_recursive(program, tmp_path, extra):
    os.makedirs(tmp_path / "sub" / "deeper")
    child = start(program, tmp_path, *extra, recursive=not extra)
    write(tmp_path / "sub" / "inner")
    write(tmp_path / "sub" / "deeper" / "inner")
    os.mkdir(tmp_path / "newdir")
    # Changes are reported in order: what is not there by newdir's line never will be.
    output = expect_shown(child, record("added", tmp_path / "newdir"))
    if extra:
        assert b"inner" not in output
    else:
        assert all(crlf(record("added", tmp_path / path)) in output for path in ("sub/inner", "sub/deeper/inner"))
    assert press_key(child)[1] == 0


@pytest.mark.parametrize("name, code", [("missing", rb"[1-9][0-9]*"), ("plain-file", b"267")])
def test_a_path_that_cannot_be_watched_fails_with_its_message(program, tmp_path, name, code):
    path = str(tmp_path / name)
    if name == "plain-file":
        write(path)
    output, status = ended(program.terminal(path))
    assert re.fullmatch(rb'Failed to open "' + re.escape(path.encode()) + rb'/": ' + code + rb'\r\nFailed\.\r\n', output)
    assert status == 255


@pytest.mark.parametrize("name, opens", [("", True), ("/missing", False)])
def test_key_typed_before_start_ends_the_run_quietly(program, tmp_path, name, opens):
    # The program is started only once a key waits in the terminal's input.
    waiter = "import os, select, sys; select.select([0], [], []); os.execvp(sys.argv[1], sys.argv[1:])"
    child = program.terminal(str(tmp_path) + name, via=["/usr/bin/python3", "-c", waiter])
    child.send(b"k\r")
    output, status = ended(child)
    assert status == 0
    assert b"Failed.\r\n" not in output
    assert (b"Watching" in output) == opens
    assert (b"Failed to open" in output) == (not opens)


def test_output_reaches_a_pipe_line_by_line(program, tmp_path):
    # cat copies the pipe to the terminal as soon as it reads, so each line
    # shows here only if the program wrote it to the pipe while running.
    child = program.terminal(tmp_path, via=["/bin/bash", "-c", '"$0" "$@" | cat; exit "${PIPESTATUS[0]}"'])
    expect_shown(child, start_lines(tmp_path))
    for name in ("first", "second"):
        write(tmp_path / name)
        expect_shown(child, record("added", tmp_path / name))
    assert press_key(child)[1] == 0


def test_a_burst_of_changes_is_reported_in_full_and_in_order(program, tmp_path):
    child = start(program, tmp_path)
    names = [tmp_path / f"f{i:03}" for i in range(300)]
    for name in names:
        write(name)
    output = expect_shown(child, record("added", names[-1]))
    assert press_key(child)[1] == 0
    check_columns(output, tmp_path)
    assert [r.path for r in parse(output, tmp_path).records if r.kind == "added"] == [name.name for name in names]


def test_after_a_refused_request_the_program_waits_for_a_key(program, watched):
    child = start(program, watched)
    os.rmdir(watched)
    # The deleted watched ends the outstanding request with nothing delivered,
    # and the request issued after its report is refused.
    expect_shown(child, OVERFLOW, refused(watched, 5))
    assert press_key(child) == (b"", 0)


def test_the_kernel_interface_is_the_one_the_process_may_have(program, interface, tmp_path):
    # As root a recursive watch marks the whole file system; in a user
    # namespace it cannot, and falls back to inotify without a word. A
    # watch that is not recursive needs one inotify watch, whoever runs it.
    for extra, expected in (((), interface), (("NoRecurse",), "inotify")):
        run = program.pipe(tmp_path, *extra)
        run.expect_start(tmp_path, recursive=not extra)
        assert procfs.kernel_interfaces(run.proc.pid) == {expected}, extra
        write(tmp_path / "seen")
        run.expect(record("added", tmp_path / "seen"))
        os.remove(tmp_path / "seen")
        assert run.errors == b""
        run.stop()
