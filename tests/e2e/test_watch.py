"""The real program watching real directories, driven in a pseudo-terminal as
a user would: start lines, report lines with their exact columns, the keyboard,
failures, and output reaching a pipe while the program runs.

Every wait for output has a time-out; nothing is asserted about timing."""

import os
import re
import sys

import pexpect
import pytest

TIMEOUT = 20

START = 'Watching "{}/" ({}recursive)\r\nPush any key to exit.\r\n'
LABELS = {
    "added": "FILE_ACTION_ADDED           ",
    "removed": "FILE_ACTION_REMOVED         ",
    "modified": "FILE_ACTION_MODIFIED        ",
    "old": "FILE_ACTION_RENAMED_OLD_NAME",
    "new": "FILE_ACTION_RENAMED_NEW_NAME",
}
HEADER = re.compile(r"Notified with [1-9][0-9]* bytes\.")


def record(kind, path):
    """One report line as the terminal shows it."""
    return '    {}    "{}"\r\n'.format(LABELS[kind], path)


def write(path, text="x"):
    with open(path, "w") as f:
        f.write(text)


def check_columns(output):
    """Every line is a header or a record whose opening quote is the 37th character."""
    for line in output.split("\r\n")[:-1]:
        if HEADER.fullmatch(line):
            continue
        assert line.startswith("    ") and line.index('"') == 36 and line.endswith('"'), line


def collect(child, until):
    """All output since the last expect, up to and including the text `until`."""
    child.expect_exact(until)
    return child.before + child.after


def finish(child):
    """Presses a key; returns (everything printed since the last expect, exit status)."""
    child.send("q")
    child.expect(pexpect.EOF)
    child.close()
    return child.before, child.exitstatus


def ended(child):
    """Waits for the program to end by itself; returns (its output, exit status)."""
    child.expect(pexpect.EOF)
    child.close()
    return child.before, child.exitstatus


class Runner:
    """Starts the program under test in a pseudo-terminal of its own."""

    def __init__(self, program):
        self.program = program

    def spawn(self, *args, via=None):
        command, argv = (via[0], [*via[1:], self.program, *args]) if via else (self.program, list(args))
        child = pexpect.spawn(command, argv, timeout=TIMEOUT, encoding="utf-8", codec_errors="replace")
        child.logfile_read = sys.stdout  # shown by pytest when a test fails
        return child

    def start(self, path, *extra, recursive=True):
        """Spawns the program and waits for its start line."""
        child = self.spawn(path, *extra)
        child.expect_exact(START.format(path, "" if recursive else "non-"))
        return child

    def spawn_after_key(self, *args):
        """Starts the program only once a key waits in the terminal's input."""
        waiter = "import os, select, sys; select.select([0], [], []); os.execv(sys.argv[1], sys.argv[1:])"
        child = self.spawn(*args, via=["/usr/bin/python3", "-c", waiter])
        child.send("k\r")
        return child


@pytest.fixture
def pw(pathwarden_bin):
    return Runner(pathwarden_bin)


@pytest.mark.parametrize("extra, recursive", [((), True), (("NoRecurse",), False), (("norecurse",), False)])
def test_start_line_and_a_key_ends_the_run(pw, tmp_path, extra, recursive):
    child = pw.start(str(tmp_path), *extra, recursive=recursive)
    assert finish(child) == ("", 0)


def test_each_kind_of_line_with_its_columns(pw, tmp_path):
    d = str(tmp_path)
    write(d + "/kept")
    child = pw.start(d)
    write(d + "/alpha")
    seen = collect(child, record("added", d + "/alpha"))
    write(d + "/kept", "more")
    seen += collect(child, record("modified", d + "/kept"))
    os.rename(d + "/alpha", d + "/beta")
    # The two halves of a rename arrive together, old name first.
    seen += collect(child, record("old", d + "/alpha") + record("new", d + "/beta"))
    os.remove(d + "/beta")
    seen += collect(child, record("removed", d + "/beta"))
    os.mkdir(d + "/dir")
    seen += collect(child, record("added", d + "/dir"))
    assert finish(child)[1] == 0
    assert HEADER.match(seen)
    check_columns(seen)


def test_recursive_watch_names_files_in_subdirectories(pw, tmp_path):
    d = str(tmp_path)
    os.makedirs(d + "/sub/deeper")
    child = pw.start(d)
    write(d + "/sub/deeper/inner")
    collect(child, record("added", d + "/sub/deeper/inner"))
    assert finish(child)[1] == 0


def test_norecurse_hides_changes_inside_subdirectories(pw, tmp_path):
    d = str(tmp_path)
    os.mkdir(d + "/sub")
    child = pw.start(d, "NoRecurse", recursive=False)
    write(d + "/sub/inner")
    os.mkdir(d + "/newdir")
    write(d + "/marker")
    # Changes are reported in order: had the inner file been seen, it would
    # appear before the marker.
    output = collect(child, record("added", d + "/marker"))
    assert "inner" not in output
    assert record("added", d + "/newdir") in output
    assert finish(child)[1] == 0


def test_unopenable_path_fails_with_its_message(pw, tmp_path):
    missing = str(tmp_path) + "/missing"
    output, status = ended(pw.spawn(missing))
    assert re.fullmatch(r'Failed to open "{}/": [1-9][0-9]*\r\nFailed\.\r\n'.format(re.escape(missing)), output)
    assert status == 255


def test_a_file_is_not_a_directory(pw, tmp_path):
    path = str(tmp_path) + "/plain"
    write(path)
    assert ended(pw.spawn(path)) == ('Failed to open "{}/": 267\r\nFailed.\r\n'.format(path), 255)


@pytest.mark.parametrize("name, opens", [("", True), ("/missing", False)])
def test_key_typed_before_start_ends_the_run_quietly(pw, tmp_path, name, opens):
    output, status = ended(pw.spawn_after_key(str(tmp_path) + name))
    assert status == 0
    assert "Failed.\r\n" not in output
    assert ("Watching" in output) == opens
    assert ("Failed to open" in output) == (not opens)


def test_output_reaches_a_pipe_line_by_line(pw, tmp_path):
    d = str(tmp_path)
    # cat copies the pipe to the terminal as soon as it reads, so each line
    # shows here only if the program wrote it to the pipe while running.
    child = pw.spawn(d, via=["/bin/bash", "-c", '"$0" "$1" | cat; exit "${PIPESTATUS[0]}"'])
    child.expect_exact(START.format(d, ""))
    write(d + "/first")
    collect(child, record("added", d + "/first"))
    write(d + "/second")
    collect(child, record("added", d + "/second"))
    assert finish(child)[1] == 0


def test_a_burst_of_changes_is_reported_in_full_and_in_order(pw, tmp_path):
    d = str(tmp_path)
    child = pw.start(d)
    names = ["{}/f{:03}".format(d, i) for i in range(300)]
    for name in names:
        write(name)
    output = collect(child, record("added", names[-1]))
    assert finish(child)[1] == 0
    check_columns(output)
    added = [line for line in output.split("\r\n") if "FILE_ACTION_ADDED" in line]
    assert added == [record("added", name)[:-2] for name in names]


def test_after_a_refused_request_the_program_waits_for_a_key(pw, tmp_path):
    root = str(tmp_path) + "/root"
    os.mkdir(root)
    child = pw.start(root)
    os.rmdir(root)
    # The deleted root ends the outstanding request with nothing delivered,
    # and the request issued after its report is refused.
    collect(child, "Notified with 0 bytes.\r\n    Notification OVERFLOW. (Can be normal under extreme load.)\r\n"
                   'ReadDirectoryChangesW failed on "{}/": 5\r\n'.format(root))
    assert finish(child) == ("", 0)
