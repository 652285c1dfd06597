"""The program's output, the contract that scripts read. The builders give the
exact bytes written to a pipe or a file (`crlf` gives what a terminal, or
Windows, shows); `parse` reads a whole output back. Paths may be str, bytes or
Path: names that are not UTF-8 travel as the same bytes. On Linux (separator
/) a path is printed between its quotes with C-style escapes (`quote`), the
same on a terminal, in a pipe and in a file; Windows names need none."""

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


# What a Linux path escapes: with a letter where C has one, else each of its
# UTF-8 bytes in octal; a byte that is not UTF-8 (os.fsdecode's U+DC80..U+DCFF)
# as itself in octal.
LETTERS = dict(zip('\a\b\t\n\v\f\r"\\', 'abtnvfr"\\'))
UNLETTERS = {letter.encode(): char.encode() for char, letter in LETTERS.items()}
ESCAPED = re.compile('[\x00-\x1f\x7f-\x9f"\\\\\u2028\u2029\udc80-\udcff]')
ESCAPE = re.compile(rb'\\([0-7]{3}|[abtnvfr"\\])')


def _escape(match):
    char = match[0]
    if char in LETTERS:
        return "\\" + LETTERS[char]
    raw = bytes([ord(char) - 0xDC00]) if char >= "\udc80" else char.encode()
    return "".join(f"\\{byte:03o}" for byte in raw)


def quote(path, separator=b"/"):
    """The path as printed between its quotes on the system of that separator.
    Written from the rules, not from the program's code, so that each checks the other."""
    if separator != b"/":
        return fsencode(path)
    return ESCAPED.sub(_escape, fsencode(path).decode("utf-8", "surrogateescape")).encode()


def unquote(text, separator=b"/"):
    """The bytes of a path printed between quotes, as a script decodes them."""
    if separator != b"/":
        return text
    return ESCAPE.sub(lambda match: bytes([int(match[1], 8)]) if len(match[1]) == 3 else UNLETTERS[match[1]], text)


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def record(kind, path, separator=b"/"):
    return b"    " + LABELS[kind].ljust(28) + b'    "' + quote(path, separator) + b'"\n'


def start_lines(root, recursive=True, separator=b"/"):
    return (b'Watching "' + quote(fsencode(root) + separator, separator) + b'" ('
            + (b"" if recursive else b"non-") + b"recursive)\n" + READY + b"\n")


def refused(root, code):
    """What a request the system refused prints; the program then waits for a key."""
    return b'ReadDirectoryChangesW failed on "' + quote(fsencode(root) + b"/") + b'": ' + str(code).encode() + b"\n"


def failed_to_open(path, code, separator=b"/"):
    return (b'Failed to open "' + quote(fsencode(path) + separator, separator) + b'": ' + str(code).encode()
            + b"\nFailed.\n")


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
            path = unquote(shape[2], separator)
            # Only the one way the program writes a path counts: a stray quote
            # or backslash is a line it did not write.
            if quote(path, separator) == shape[2] and path.startswith(prefix) and len(path) > len(prefix):
                report.records.append(Record(lineno, KINDS[shape[1]], os.fsdecode(path[len(prefix):]),
                                             report.deliveries))
                continue
        if lineno <= 2 and report.deliveries == 0 and (line == READY or line.startswith(b'Watching "')):
            continue
        report.problems.append((lineno, line))
    return report


def unaccounted_bytes(report):
    """(count, bytes printed) of each delivery whose count its records do not
    fill, as a record the walk dropped leaves them. Records may lie on the
    4-byte grid or end to end, as Wine lays them. A byte of a Linux name that
    is not UTF-8 takes one code unit, as os.fsdecode's lone surrogate does."""
    lengths = [[] for _ in report.sizes]
    for each in report.records:
        lengths[each.delivery - 1].append(len(each.path.encode("utf-16-le", "surrogatepass")) // 2)
    wrong = []
    for size, names in zip(report.sizes, lengths):
        packed = sum(12 + 2 * n for n in names)
        padded = sum(-(-(12 + 2 * n) // 4) * 4 for n in names[:-1]) + 12 + 2 * names[-1] if names else 0
        if size not in (packed, padded):
            wrong.append((size, packed))
    return wrong
