"""The usage block and the too-many-arguments lines of the real program, in a
pseudo-terminal, byte for byte, with the exit status the shell sees."""

import pytest

from .support.report import TOO_MANY, usage
from .support.runner import ended

USAGE = usage("pathwarden", "/", "/srv/test", "/home/me/My Files")


def run(program, args):
    """Runs the program to its end in a terminal; returns (output with the
    terminal's CR LF turned back into LF, exit status)."""
    output, status = ended(program.terminal(*args))
    return output.replace(b"\r\n", b"\n"), status


@pytest.mark.parametrize("args", [
    ["/?"], ["-h"], ["--help"], ["/-HELP"], ["?"], ["h"], ["help"], ["-/-/HeLp"],
    ["/tmp", "-h"], ["--help", "/tmp"], ["/tmp", "NoRecurse", "?"], ["/nonexistent", "help"],
])
def test_help_prints_usage_and_fails(program, args):
    assert run(program, args) == (USAGE, 255)


@pytest.mark.parametrize("args, lines", [
    (["/tmp", "/var"], 1),
    (["/tmp", "/var", "/srv"], 2),
    (["/tmp", "-NoRecurse"], 1),
    (["/tmp", "/var", "help"], 1),
])
def test_extra_paths_are_each_reported_before_one_usage_block(program, args, lines):
    assert run(program, args) == (TOO_MANY * lines + USAGE, 255)


def test_usage_reaches_a_pipe_unchanged(program):
    # Standard output is a pipe here: the same bytes, with plain line feeds.
    assert program.run("--help") == (USAGE, 255)
