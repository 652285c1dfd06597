"""The Windows program itself: what the cross build produced, and how it behaves under Wine.

Standard output is a pipe here, so the program writes UTF-8 with CRLF line
ends. Wine reports the exit status -1 (0xFFFFFFFF) as 255.
"""

import os
import re
import select
import time

import pytest

from pe_image import (MACHINE_AMD64, MACHINE_I386, MAGIC_PE32, MAGIC_PE32_PLUS,
                      SUBSYSTEM_WINDOWS_CUI, read_pe_image)

USAGE = (
    "\n"
    "Run without any arguments to monitor C:\\ recursively.\n"
    'Add the "NoRecurse" argument to monitor only the target and not sub-folders.\n'
    "Specify a folder path to monitor that instead of C:\\.\n"
    "Examples:\n"
    "    Pathwarden.exe D:\\Test\n"
    "    Pathwarden.exe C:\\ NoRecurse\n"
    '    Pathwarden.exe "C:\\Program Files"\n'
)
TOO_MANY = "\nToo many arguments. (Paths containing spaces must go in quotes.)\n"
EXIT_MINUS_ONE = 255

EXPECTED_FORMAT = {
    "i386": (MACHINE_I386, MAGIC_PE32),
    "amd64": (MACHINE_AMD64, MAGIC_PE32_PLUS),
}


def crlf(text):
    return text.replace("\n", "\r\n").encode("utf-8")


def windows_path(path):
    """The Wine name of a Linux path: drive Z: is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


class PipeReader:
    """Reads a running program's output and waits for patterns in it, in order."""

    def __init__(self, stream):
        self.stream = stream
        self.unread = b""
        self.seen = b""  # everything matched so far

    def expect(self, pattern, timeout=60):
        """Waits until the output not yet matched contains pattern; consumes it."""
        deadline = time.monotonic() + timeout
        while not (found := re.search(pattern, self.unread)):
            left = max(deadline - time.monotonic(), 0)
            ready = select.select([self.stream], [], [], left)[0]
            chunk = os.read(self.stream.fileno(), 65536) if ready else b""
            if not chunk:
                raise AssertionError(f"no {pattern!r} in {self.unread!r}")
            self.unread += chunk
        self.seen += self.unread[:found.end()]
        self.unread = self.unread[found.end():]


def notified(*lines):
    """Pattern of one report: its header and these record lines, CRLF-ended."""
    return rb"Notified with \d+ bytes\.\r\n" + b"".join(re.escape(crlf(f"    {line}\n")) for line in lines)


def test_exe_is_a_self_contained_console_program(windows_exe_path):
    image = read_pe_image(windows_exe_path)
    wanted = os.environ.get("PATHWARDEN_EXE_MACHINE", "i386")
    assert (image.machine, image.magic) == EXPECTED_FORMAT[wanted]
    assert image.subsystem == SUBSYSTEM_WINDOWS_CUI
    # mingw's runtime DLLs (libstdc++-6, libgcc_s_*, libwinpthread-1) are not
    # on a bare Windows; system DLLs never start with "lib".
    assert [dll for dll in image.imported_dlls if dll.lower().startswith("lib")] == []
    assert "KERNEL32.dll".lower() in (dll.lower() for dll in image.imported_dlls)


@pytest.mark.parametrize("args", [
    ["/?"], ["-h"], ["--help"], ["/-HELP"], ["?"], ["h"], ["help"],
    ["D:\\Test", "/?"],
    ["-h", "NoRecurse", "C:\\"],
])
def test_help_request_prints_usage(windows_exe, args):
    result = windows_exe.run(args)
    assert result.stdout == crlf(USAGE)
    assert result.returncode == EXIT_MINUS_ONE


@pytest.mark.parametrize("args, complaints", [
    (["D:\\Test", "C:\\Other"], 1),
    (["D:\\Test", "C:\\Other", "E:\\Third"], 2),
    # A dash or slash before the keyword makes it a path.
    (["D:\\Test", "-NoRecurse"], 1),
    (["C:\\Program", "Files"], 1),
    # The complaint comes when the extra path is met, the usage block once at the end.
    (["D:\\Test", "C:\\Other", "/?"], 1),
])
def test_too_many_paths(windows_exe, args, complaints):
    result = windows_exe.run(args)
    assert result.stdout == crlf(TOO_MANY * complaints + USAGE)
    assert result.returncode == EXIT_MINUS_ONE


@pytest.mark.parametrize("path, code", [
    ("C:\\missing-dir", 2),     # ERROR_FILE_NOT_FOUND: only the last part is missing
    ("C:\\no\\such\\dir", 3),  # ERROR_PATH_NOT_FOUND: a parent is missing too
])
def test_open_failure_names_the_path_and_the_system_code(windows_exe, path, code):
    result = windows_exe.run([path])
    assert result.stdout == crlf(f'Failed to open "{path}\\": {code}\nFailed.\n')
    assert result.returncode == EXIT_MINUS_ONE


def test_changes_are_reported_as_they_happen(windows_exe, tmp_path):
    # A name beyond Latin-1 and beyond the BMP: the pipe must get its UTF-8,
    # surrogate pair joined.
    name = "na\u00efve \u2603 \U0001d11e.txt"
    watched = windows_path(tmp_path) + "\\"
    with windows_exe.started([windows_path(tmp_path)]) as program:
        output = PipeReader(program.stdout)
        output.expect(re.escape(crlf(f'Watching "{watched}" (recursive)\nPush any key to exit.\n')))
        (tmp_path / name).write_bytes(b"")
        output.expect(notified(f'FILE_ACTION_ADDED               "{watched}{name}"'))
        (tmp_path / name).rename(tmp_path / "renamed.txt")
        output.expect(re.escape(crlf(
            f'    FILE_ACTION_RENAMED_OLD_NAME    "{watched}{name}"\n'
            f'    FILE_ACTION_RENAMED_NEW_NAME    "{watched}renamed.txt"\n')))


def test_no_recurse_is_announced(windows_exe, tmp_path):
    with windows_exe.started([windows_path(tmp_path), "noRECURSE"]) as program:
        watched = windows_path(tmp_path) + "\\"
        PipeReader(program.stdout).expect(re.escape(crlf(f'Watching "{watched}" (non-recursive)\n')))


def added_and_more(windows_exe, tmp_path, change, stdout=None):
    """Runs the exe on tmp_path, makes the change, then a last file, and
    returns the record lines up to that file's, CRLF-ended lines as text."""
    watched = windows_path(tmp_path) + "\\"
    with windows_exe.started([windows_path(tmp_path)], stdout=stdout) as program:
        output = PipeReader(program.stdout) if stdout is None else None
        if output is not None:
            output.expect(rb"Push any key to exit\.\r\n")
        else:
            wait_for_file(stdout.name, b"Push any key to exit.\r\n")
        change()
        (tmp_path / "zz-last").write_bytes(b"")
        last = crlf(f'    FILE_ACTION_ADDED               "{watched}zz-last"\n')
        if output is not None:
            output.expect(re.escape(last))
            text = output.seen
        else:
            text = wait_for_file(stdout.name, last)
    lines = text.decode("utf-8").split("\r\n")
    return [line[4:].replace(watched, "") for line in lines if line.startswith("    FILE_ACTION_")]


def wait_for_file(path, wanted, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, "rb") as f:
            data = f.read()
        if wanted in data:
            return data
        time.sleep(0.05)
    raise AssertionError(f"no {wanted!r} in {data!r}")


def label(action, name):
    return f'{action:<28}    "{name}"'


@pytest.mark.parametrize("what, change, wanted", [
    # Wine lays records end to end: a name of odd length puts the next record
    # off the 4-byte grid, and every record after it must still be printed.
    ("rename", lambda d: ((d / "a.txt").write_bytes(b""), (d / "a.txt").rename(d / "b.txt")),
     [label("FILE_ACTION_ADDED", "a.txt"), label("FILE_ACTION_RENAMED_OLD_NAME", "a.txt"),
      label("FILE_ACTION_RENAMED_NEW_NAME", "b.txt")]),
    ("three odd names", lambda d: [(d / n).write_bytes(b"") for n in ("one.txt", "two.txt", "six.txt")],
     [label("FILE_ACTION_ADDED", n) for n in ("one.txt", "two.txt", "six.txt")]),
    ("written at once", lambda d: (d / "abc").write_bytes(b"x"),
     [label("FILE_ACTION_ADDED", "abc"), label("FILE_ACTION_MODIFIED", "abc")]),
    # The smallest record: a one-character name, 14 bytes alone.
    ("one character", lambda d: (d / "q").write_bytes(b""), [label("FILE_ACTION_ADDED", "q")]),
])
def test_every_record_of_a_delivery_is_printed(windows_exe, tmp_path, what, change, wanted):
    got = added_and_more(windows_exe, tmp_path, lambda: change(tmp_path))
    assert [line for line in got if "zz-last" not in line] == wanted


def test_a_burst_of_names_of_every_length_is_reported_whole(windows_exe, tmp_path):
    names = [f"{'n' * (i % 9 + 1)}{i}" for i in range(500)]
    got = added_and_more(windows_exe, tmp_path, lambda: [(tmp_path / n).write_bytes(b"") for n in names])
    added = [line for line in got if line.startswith("FILE_ACTION_ADDED ")]
    missing = {label("FILE_ACTION_ADDED", n) for n in names} - set(added)
    assert not missing, f"{len(missing)} missing, {len(got)} records in all: {got}"
    assert len(added) == len(names) + 1


def test_a_redirected_file_gets_utf8_names(windows_exe, tmp_path):
    watched = tmp_path / "watched"
    watched.mkdir()
    name = "caf\u00e9 \u6587 \U0001f600"
    with open(tmp_path / "log.txt", "wb") as log:
        got = added_and_more(windows_exe, watched, lambda: (watched / name).write_bytes(b""), stdout=log)
    assert label("FILE_ACTION_ADDED", name) in got
