"""The terminal around a run, in an interactive shell as a user runs it. However
the program ends, the terminal's settings are what they were (`stty -g`); the
key that ended the run is left for the shell; a background job leaves the
terminal alone; a terminal that goes away ends the program."""

import os
import shlex
import signal
import time

import pytest

from .support.report import READY
from .support.runner import TIMEOUT, eventually, switched_to_single_keys

pytestmark = pytest.mark.timeout(120)


@pytest.mark.parametrize("ending, status", [
    ("e", 0),                         # one key, no Enter
    ("\x03", 128 + signal.SIGINT),    # Ctrl-C
    ("\x1c", 128 + signal.SIGQUIT),   # Ctrl-\
    (signal.SIGTERM, 128 + signal.SIGTERM),
    (signal.SIGHUP, 128 + signal.SIGHUP),
], ids=["key", "ctrl-c", "ctrl-backslash", "sigterm", "sighup"])
def test_a_key_or_signal_ends_the_run_and_the_settings_come_back(shell, program, watched, ending, status):
    shell.start(shlex.join(program.command(watched)))
    if isinstance(ending, str):
        shell.child.send(ending)
    else:
        os.kill(os.tcgetpgrp(shell.child.child_fd), ending)
    shell.back_at_prompt()
    # The shell reads the key the program saw, so "cho" completes an echo command.
    assert shell.status(typed="cho" if ending == "e" else "echo") == status
    assert shell.settings() == shell.initial_settings


def test_a_failed_start_gives_the_settings_back(shell, program, tmp_path):
    output = shell.run(f"{shlex.join(program.command(tmp_path / 'missing'))}; echo \"status=$?\"")
    assert "Failed.\r\n" in output
    assert "status=255" in output
    assert shell.settings() == shell.initial_settings


@pytest.mark.parametrize("sigpipe", ["default", "ignored"])
def test_output_closed_early_ends_the_run(shell, program, watched, sigpipe):
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
    assert shell.settings() == shell.initial_settings


def test_ctrl_z_gives_the_terminal_back_and_fg_takes_it_again(shell, program, watched):
    shell.start(shlex.join(program.command(watched)))
    shell.child.send("\x1a")
    shell.back_at_prompt()
    shell.child.expect("Stopped")
    assert shell.settings() == shell.initial_settings
    shell.child.sendline("fg")
    shell.program_switched()
    shell.child.send("e")
    shell.back_at_prompt()
    assert shell.status(typed="cho") == 0
    assert shell.settings() == shell.initial_settings


def test_a_background_job_leaves_the_terminal_alone(shell, program, watched):
    shell.child.sendline(f"{shlex.join(program.command(watched))} &")
    shell.child.expect_exact(READY.decode())
    # A report comes out of a wait, and the first keyboard check comes before it.
    (watched / "seen").write_text("x")
    shell.child.expect_exact(f'"{watched}/seen"')
    # Touching the settings from the background would have stopped the job (SIGTTOU),
    # and a key for the shell is no key for it.
    assert "Running" in shell.run("jobs")
    assert "Running" in shell.run("jobs")
    assert shell.settings() == shell.initial_settings
    shell.run("kill %1; wait")


def test_a_terminal_that_goes_away_ends_the_run(program, watched):
    child = program.terminal(watched)
    child.expect_exact(READY)
    switched_to_single_keys(child)
    child.ptyproc.fileobj.close()  # hangs the terminal up: SIGHUP for the program, which leads its session
    eventually(lambda: not child.isalive(), "ended")
    assert child.signalstatus == signal.SIGHUP, child.status
