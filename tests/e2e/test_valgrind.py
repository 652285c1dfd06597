"""A whole watch session under valgrind: a few thousand changes, ended by a key,
must show no invalid access, no uninitialised read and no leak."""

import os
import shutil

import pytest

from .support.report import READY
from .support.runner import press_key

CHANGES = 2000


@pytest.mark.not_sanitized  # valgrind cannot run a program built with ASan
def test_session_is_clean_under_valgrind(program, watched, tmp_path):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        pytest.skip("valgrind is not installed")
    log = tmp_path / "valgrind.log"
    # A pseudo-terminal is the program's keyboard, so a key ends the run the
    # normal way, through the release of everything it holds.
    child = program.terminal(watched, via=[
        valgrind, "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
        "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=1", f"--log-file={log}"])
    child.expect_exact(READY, timeout=120)
    os.makedirs(watched / "a" / "b")
    for i in range(CHANGES // 4):
        (watched / "a" / "b" / f"f{i}").write_bytes(b"x")
        os.rename(watched / "a" / "b" / f"f{i}", watched / "a" / f"g{i}")
        os.unlink(watched / "a" / f"g{i}")
    (watched / "sentinel").write_bytes(b"")
    child.expect_exact(b'sentinel"', timeout=120)
    assert press_key(child)[1] == 0, log.read_text()
    assert "ERROR SUMMARY: 0 errors" in log.read_text()
