"""A whole watch session under valgrind: a few thousand changes, ended by a key,
must show no invalid access, no uninitialised read and no leak."""

import os
import pty
import select
import shutil
import subprocess
import time

import pytest

CHANGES = 2000


def _read_until(fd, marker, timeout):
    seen = b""
    deadline = time.monotonic() + timeout
    while marker not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"timed out waiting for {marker!r}; output so far: {seen[-2000:]!r}")
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                raise AssertionError(f"output ended before {marker!r}: {seen[-2000:]!r}")
            seen += chunk
    return seen


def _churn(root):
    os.makedirs(root / "a" / "b", exist_ok=True)
    for i in range(CHANGES // 4):
        path = root / "a" / "b" / f"f{i}"
        path.write_bytes(b"x")
        os.rename(path, root / "a" / f"g{i}")
        os.unlink(root / "a" / f"g{i}")
    (root / "sentinel").write_bytes(b"")


@pytest.mark.not_sanitized  # valgrind cannot run a program built with ASan
def test_session_is_clean_under_valgrind(pathwarden_bin, tmp_path):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        pytest.skip("valgrind is not installed")
    watched = tmp_path / "watched"
    watched.mkdir()
    log = tmp_path / "valgrind.log"
    command = [valgrind, "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
               "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=1",
               f"--log-file={log}", pathwarden_bin, str(watched)]
    # A pseudo-terminal is the program's keyboard, so a key ends the run the
    # normal way, through the release of everything it holds.
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(valgrind, command)
    try:
        _read_until(fd, b"Push any key to exit.", 120)
        _churn(watched)
        _read_until(fd, b'sentinel"', 120)
        os.write(fd, b"q")
        _, status = os.waitpid(pid, 0)
    finally:
        os.close(fd)
    assert os.WIFEXITED(status), log.read_text()
    assert os.WEXITSTATUS(status) == 0, log.read_text()
    assert "ERROR SUMMARY: 0 errors" in log.read_text()
