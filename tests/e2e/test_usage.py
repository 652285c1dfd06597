"""The usage block and the too-many-arguments lines of the real program, in a
pseudo-terminal, byte for byte, with the exit status the shell sees."""

import pytest

from .support.report import TOO_MANY, usage
from .support.runner import ended

USAGE = usage("pathwarden", "/", "/srv/test", "/home/me/My Files")


@pytest.mark.parametrize("args, extra_paths", [
    *[(args, 0) for args in (["/?"], ["-h"], ["--help"], ["/-HELP"], ["?"], ["h"], ["help"], ["-/-/HeLp"],
                             ["/tmp", "-h"], ["--help", "/tmp"], ["/tmp", "NoRecurse", "?"], ["/nonexistent", "help"])],
    # Each extra path is reported, before one usage block.
    (["/tmp", "/var"], 1),
    (["/tmp", "/var", "/srv"], 2),
    (["/tmp", "-NoRecurse"], 1),
    (["/tmp", "/var", "help"], 1),
])
def test_help_or_extra_paths_print_usage_and_fail(program, args, extra_paths):
    output, status = ended(program.terminal(*args))
    assert (output.replace(b"\r\n", b"\n"), status) == (TOO_MANY * extra_paths + USAGE, 255)


def test_usage_reaches_a_pipe_unchanged(program):
    # Standard output is a pipe here: the same bytes, with plain line feeds.
    assert program.run("--help") == (USAGE, 255)
