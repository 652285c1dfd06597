"""The program's output, the contract that scripts read. The builders give the
exact bytes written to a pipe or a file (`crlf` gives what a terminal, or
Windows, shows); `parse` reads a whole output back. Paths may be str, bytes or
Path: names that are not UTF-8 travel as the same bytes."""

import os
import re
from dataclasses import dataclass, field

LABELS = {
    "added": b"FILE_ACTION_ADDED",
    "removed": b"FILE_ACTION_REMOVED",
    "modified": b"FILE_ACTION_MODIFIED",
    "old": b"FILE_ACTION_RENAMED_OLD_NAME",
    "new": b"FILE_ACTION_RENAMED_NEW_NAME",
}
KINDS = {label: kind for kind, label in LABELS.items()}
READY = b"Push any key to exit."
OVERFLOW = b"Notified with 0 bytes.\n    Notification OVERFLOW. (Can be normal under extreme load.)\n"
HEADER = re.compile(rb"Notified with ([0-9]+) bytes\.")
# Four spaces, the label padded to 28 columns, four spaces, the quoted path from column 37.
RECORD = re.compile(rb'    (FILE_ACTION_[A-Z_]+) *    "(.*)"')


def fsencode(path):
    return path if isinstance(path, bytes) else os.fsencode(str(path))


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def record(kind, path):
    return b"    " + LABELS[kind].ljust(28) + b'    "' + fsencode(path) + b'"\n'


def start_lines(root, recursive=True, separator=b"/"):
    return (b'Watching "' + fsencode(root) + separator + b'" (' + (b"" if recursive else b"non-")
            + b"recursive)\n" + READY + b"\n")


def refused(root, code):
    """What a request the system refused prints; the program then waits for a key."""
    return b'ReadDirectoryChangesW failed on "' + fsencode(root) + b'/": ' + str(code).encode() + b"\n"


def failed_to_open(path, code, separator=b"/"):
    return b'Failed to open "' + fsencode(path) + separator + b'": ' + str(code).encode() + b"\nFailed.\n"


TOO_MANY = b"\nToo many arguments. (Paths containing spaces must go in quotes.)\n"


def usage(program, root, example, spaced):
    """The usage block, for the program as it names itself, its default root,
    and the directories of its examples (one with a space)."""
    return (f"\nRun without any arguments to monitor {root} recursively.\n"
            'Add the "NoRecurse" argument to monitor only the target and not sub-folders.\n'
            f"Specify a folder path to monitor that instead of {root}.\n"
            f'Examples:\n    {program} {example}\n    {program} {root} NoRecurse\n    {program} "{spaced}"\n').encode()


def record_lines(output):
    """The change lines, without their line ends."""
    return [line.rstrip(b"\r") for line in output.split(b"\n") if line.startswith(b"    FILE_ACTION_")]


def count(output, line):
    return record_lines(output).count(line.rstrip(b"\r\n"))


@dataclass
class Record:
    lineno: int    # 1-based, in the whole output
    kind: str      # a key of LABELS
    path: str      # relative to the watched directory (os.fsdecode of the bytes)
    delivery: int  # which "Notified with" header it came under


@dataclass
class Report:
    records: list = field(default_factory=list)
    problems: list = field(default_factory=list)  # (lineno, line) that break the format, OVERFLOW included
    overflows: int = 0
    deliveries: int = 0
    sizes: list = field(default_factory=list)  # the byte count each delivery's header gives


def parse(output, root, separator=b"/"):
    """Reads a whole output (bytes, LF or CRLF) of a watch on root, given
    without a trailing separator; every change must name a path below it."""
    prefix = fsencode(root) + separator
    report = Report()
    lines = output.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    for lineno, line in enumerate(lines, 1):
        line = line.removesuffix(b"\r")
        if header := HEADER.fullmatch(line):
            report.deliveries += 1
            report.sizes.append(int(header[1]))
            continue
        if line == OVERFLOW.split(b"\n")[1]:
            report.overflows += 1
            report.problems.append((lineno, line))
            continue
        shape = RECORD.fullmatch(line)
        if shape and shape[1] in KINDS and line[32:37] == b'    "':
            path = shape[2]
            if path.startswith(prefix) and len(path) > len(prefix):
                report.records.append(Record(lineno, KINDS[shape[1]], os.fsdecode(path[len(prefix):]),
                                             report.deliveries))
                continue
        if lineno <= 2 and report.deliveries == 0 and (line == READY or line.startswith(b'Watching "')):
            continue
        report.problems.append((lineno, line))
    return report
