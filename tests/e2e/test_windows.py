"""The Windows program itself: what the cross build produced, and how it behaves
under Wine. Output to a pipe is UTF-8 with CRLF line ends."""

import os
import re

import pytest

from .support.pe_image import (MACHINE_AMD64, MACHINE_I386, MAGIC_PE32, MAGIC_PE32_PLUS,
                               SUBSYSTEM_WINDOWS_CUI, read_pe_image)
from .support.report import (READY, TOO_MANY, crlf, failed_to_open, parse, record, start_lines, unaccounted_bytes,
                             usage)
from .support.runner import eventually, redirected

USAGE = crlf(usage("Pathwarden.exe", "C:\\", "D:\\Test", "C:\\Program Files"))
EXIT_MINUS_ONE = 255  # as Wine reports -1
WINDOWS = b"\\"  # the separator, which also says that names are printed as they are

EXPECTED_FORMAT = {
    "i386": (MACHINE_I386, MAGIC_PE32),
    "amd64": (MACHINE_AMD64, MAGIC_PE32_PLUS),
}
TIMEOUT = 60  # seconds for any one expected output; Wine is slow to start


def windows_path(path):
    """The Wine name of a Linux path: drive Z: is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


def test_exe_is_a_self_contained_console_program(windows_exe_path):
    image = read_pe_image(windows_exe_path)
    wanted = os.environ.get("PATHWARDEN_EXE_MACHINE", "i386")
    assert (image.machine, image.magic) == EXPECTED_FORMAT[wanted]
    assert image.subsystem == SUBSYSTEM_WINDOWS_CUI
    # mingw's runtime DLLs (libstdc++-6, libgcc_s_*, libwinpthread-1) are not
    # on a bare Windows; system DLLs never start with "lib".
    assert [dll for dll in image.imported_dlls if dll.lower().startswith("lib")] == []
    assert "KERNEL32.dll".lower() in (dll.lower() for dll in image.imported_dlls)


@pytest.mark.parametrize("args, complaints", [
    *[(args, 0) for args in (["/?"], ["-h"], ["--help"], ["/-HELP"], ["?"], ["h"], ["help"], ["D:\\Test", "/?"],
                             ["-h", "NoRecurse", "C:\\"])],
    (["D:\\Test", "C:\\Other"], 1),
    (["D:\\Test", "C:\\Other", "E:\\Third"], 2),
    # A dash or slash before the keyword makes it a path.
    (["D:\\Test", "-NoRecurse"], 1),
    (["C:\\Program", "Files"], 1),
    # The complaint comes when the extra path is met, the usage block once at the end.
    (["D:\\Test", "C:\\Other", "/?"], 1),
])
def test_help_or_extra_paths_print_usage(windows_exe, args, complaints):
    assert windows_exe.run(*args) == (crlf(TOO_MANY) * complaints + USAGE, EXIT_MINUS_ONE)


@pytest.mark.parametrize("path, code", [
    ("C:\\missing-dir", 2),     # ERROR_FILE_NOT_FOUND: only the last part is missing
    ("C:\\no\\such\\dir", 3),  # ERROR_PATH_NOT_FOUND: a parent is missing too
])
def test_open_failure_names_the_path_and_the_system_code(windows_exe, path, code):
    assert windows_exe.run(path) == (crlf(failed_to_open(path, code, separator=WINDOWS)), EXIT_MINUS_ONE)


def test_changes_are_reported_as_they_happen(windows_exe, tmp_path):
    # A name beyond Latin-1 and beyond the BMP: the pipe must get its UTF-8,
    # surrogate pair joined.
    name = "na\u00efve \u2603 \U0001d11e.txt"
    root = windows_path(tmp_path)
    run = windows_exe.pipe(root)
    run.expect(crlf(start_lines(root, separator=WINDOWS)), TIMEOUT)
    (tmp_path / name).write_bytes(b"")
    added = crlf(record("added", f"{root}\\{name}", WINDOWS))
    assert re.search(rb"Notified with \d+ bytes\.\r\n" + re.escape(added) + b"$", run.expect(added, TIMEOUT))
    (tmp_path / name).rename(tmp_path / "renamed.txt")
    run.expect(crlf(record("old", f"{root}\\{name}", WINDOWS) + record("new", f"{root}\\renamed.txt", WINDOWS)),
               TIMEOUT)


def test_no_recurse_is_announced(windows_exe, tmp_path):
    root = windows_path(tmp_path)
    windows_exe.pipe(root, "noRECURSE").expect(crlf(start_lines(root, False, separator=WINDOWS)), TIMEOUT)


def added_and_more(windows_exe, directory, change, log=None):
    """Runs the exe on directory, its output to a pipe or to the file log,
    makes the change, then a last file, and returns the report once that
    file's line came."""
    root = windows_path(directory)
    if log is not None:
        log.write_bytes(b"")
    run = windows_exe.pipe(root, via=redirected(log, []) if log else ())
    output = log.read_bytes if log else (lambda: run.output)
    eventually(lambda: crlf(READY + b"\n") in output(), "started", TIMEOUT)
    change()
    (directory / "zz-last").write_bytes(b"")
    eventually(lambda: crlf(record("added", f"{root}\\zz-last", WINDOWS)) in output(), "reporting zz-last", TIMEOUT)
    run.kill()
    return parse(output(), root, separator=WINDOWS)


@pytest.mark.parametrize("what, change, wanted", [
    # Wine lays records end to end: a name of odd length puts the next record
    # off the 4-byte grid, and every record after it must still be printed.
    ("rename", lambda d: ((d / "a.txt").write_bytes(b""), (d / "a.txt").rename(d / "b.txt")),
     [("added", "a.txt"), ("old", "a.txt"), ("new", "b.txt")]),
    ("three odd names", lambda d: [(d / n).write_bytes(b"") for n in ("one.txt", "two.txt", "six.txt")],
     [("added", n) for n in ("one.txt", "two.txt", "six.txt")]),
    ("written at once", lambda d: (d / "abc").write_bytes(b"x"), [("added", "abc"), ("modified", "abc")]),
    # The smallest record: a one-character name, 14 bytes alone.
    ("one character", lambda d: (d / "q").write_bytes(b""), [("added", "q")]),
])
def test_every_record_of_a_delivery_is_printed(windows_exe, tmp_path, what, change, wanted):
    report = added_and_more(windows_exe, tmp_path, lambda: change(tmp_path))
    assert [(r.kind, r.path) for r in report.records if r.path != "zz-last"] == wanted


def test_a_burst_of_names_of_every_length_is_reported_whole(windows_exe, tmp_path):
    # Wine itself now and then loses a record of a burst on a loaded machine,
    # with no overflow: every delivery is checked to be printed whole, and a
    # burst with a record missing from all deliveries is tried again.
    names = [f"{'n' * (i % 9 + 1)}{i}" for i in range(500)]
    for attempt in range(3):
        directory = tmp_path / str(attempt)
        directory.mkdir()
        report = added_and_more(windows_exe, directory, lambda: [(directory / n).write_bytes(b"") for n in names])
        assert report.problems == [] and unaccounted_bytes(report) == []
        added = [r.path for r in report.records if r.kind == "added"]
        if sorted(added) == sorted(names + ["zz-last"]):
            return
    pytest.fail(f"three bursts each lost a record: {set(names) - set(added)} in the last")


def test_a_redirected_file_gets_utf8_names(windows_exe, tmp_path, watched):
    name = "caf\u00e9 \u6587 \U0001f600"
    report = added_and_more(windows_exe, watched, lambda: (watched / name).write_bytes(b""), log=tmp_path / "log.txt")
    assert ("added", name) in [(r.kind, r.path) for r in report.records]
