"""The terminal around a run. However the program ends, the terminal's settings
are exactly what they were (`stty -g` in the same terminal, before and after);
the key that ended the run is still there for the shell; a background job
leaves the terminal alone; a terminal that goes away ends the program.

The program runs inside an interactive shell in a pseudo-terminal, as a user
runs it, under bash and under dash (the `shell` fixture).

Every wait has a time-out; nothing is asserted about timing."""

import os
import shlex
import signal
import termios
import time

import pytest

from .support.report import READY
from .support.runner import TIMEOUT, eventually

pytestmark = pytest.mark.timeout(120)


def test_a_key_ends_the_run_and_is_left_for_the_shell(shell, program, watched):
    before = shell.settings()
    shell.start(shlex.join(program.command(watched)))
    shell.program_switched()
    shell.child.send("e")  # one key, no Enter
    shell.back_at_prompt()
    # The shell reads the "e" the program saw, so "cho" completes an echo command.
    assert shell.status(typed="cho") == 0
    assert shell.settings() == before


@pytest.mark.parametrize("ending, status", [
    ("\x03", 128 + signal.SIGINT),    # Ctrl-C
    ("\x1c", 128 + signal.SIGQUIT),   # Ctrl-\
    (signal.SIGTERM, 128 + signal.SIGTERM),
    (signal.SIGHUP, 128 + signal.SIGHUP),
], ids=["ctrl-c", "ctrl-backslash", "sigterm", "sighup"])
def test_a_signal_ends_the_run_and_the_settings_come_back(shell, program, watched, ending, status):
    before = shell.settings()
    shell.start(shlex.join(program.command(watched)))
    shell.program_switched()
    if isinstance(ending, str):
        shell.child.send(ending)
    else:
        os.kill(os.tcgetpgrp(shell.child.child_fd), ending)
    shell.back_at_prompt()
    assert shell.status() == status
    assert shell.settings() == before


def test_a_failed_start_gives_the_settings_back(shell, program, tmp_path):
    before = shell.settings()
    output = shell.run(f"{shlex.join(program.command(tmp_path / 'missing'))}; echo \"status=$?\"")
    assert "Failed.\r\n" in output
    assert "status=255" in output
    assert shell.settings() == before


@pytest.mark.parametrize("sigpipe", ["default", "ignored"])
def test_output_closed_early_ends_the_run(shell, program, watched, sigpipe):
    before = shell.settings()
    # trap '' PIPE ignores the signal for the programs the shell starts, as some launchers do.
    prefix = "trap '' PIPE; " if sigpipe == "ignored" else ""
    shell.child.sendline(f"{prefix}{shlex.join(program.command(watched))} | head -1")
    shell.child.expect_exact(f'Watching "{watched}/"')
    # The program learns that nobody reads any more at its next line of output.
    deadline = time.monotonic() + TIMEOUT
    for number in range(1_000_000):
        if shell.shell_has_terminal() or time.monotonic() > deadline:
            break
        (watched / f"file-{number}").write_text("x")
        time.sleep(0.05)
    assert shell.shell_has_terminal(), "the program still runs with nobody reading its output"
    assert shell.settings() == before


def test_ctrl_z_gives_the_terminal_back_and_fg_takes_it_again(shell, program, watched):
    before = shell.settings()
    shell.start(shlex.join(program.command(watched)))
    shell.program_switched()
    shell.child.send("\x1a")
    shell.back_at_prompt()
    shell.child.expect("Stopped")
    assert shell.settings() == before
    shell.child.sendline("fg")
    shell.program_switched()
    shell.child.send("e")
    shell.back_at_prompt()
    assert shell.status(typed="cho") == 0
    assert shell.settings() == before


def test_a_background_job_leaves_the_terminal_alone(shell, program, watched):
    before = shell.settings()
    shell.child.sendline(f"{shlex.join(program.command(watched))} &")
    shell.child.expect_exact(READY.decode())
    # A report comes out of a wait, and the first keyboard check comes before it.
    (watched / "seen").write_text("x")
    shell.child.expect_exact(f'"{watched}/seen"')
    # Touching the settings from the background would have stopped the job (SIGTTOU),
    # and a key for the shell is no key for it.
    assert "Running" in shell.run("jobs")
    assert "Running" in shell.run("jobs")
    assert shell.settings() == before
    shell.run("kill %1; wait")


def test_a_terminal_that_goes_away_ends_the_run(program, watched):
    child = program.terminal(watched)
    child.expect_exact(READY)
    eventually(lambda: not termios.tcgetattr(child.child_fd)[3] & termios.ICANON, "switched to single-key input")
    child.ptyproc.fileobj.close()  # hangs the terminal up: SIGHUP for the program, which leads its session
    eventually(lambda: not child.isalive(), "ended")
    assert child.signalstatus == signal.SIGHUP, child.status
