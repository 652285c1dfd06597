"""The terminal around a run. However the program ends, the terminal's settings
are exactly what they were (`stty -g` in the same terminal, before and after);
the key that ended the run is still there for the shell; a background job
leaves the terminal alone; a terminal that goes away ends the program.

The program runs inside an interactive shell in a pseudo-terminal, as a user
runs it. bash puts its own saved settings back after a job that was killed or
stopped, which would hide a program that forgot to; dash does not. So every
case runs under both.

Every wait has a time-out; nothing is asserted about timing."""

import os
import pty
import select
import signal
import sys
import termios
import time

import pexpect
import pytest

TIMEOUT = 20        # seconds for any one expected event
TEST_LIMIT = 120    # seconds for a whole test
START = "Push any key to exit.\r\n"


@pytest.fixture(autouse=True)
def time_limit():
    def expire(signum, frame):
        raise TimeoutError(f"the test ran longer than {TEST_LIMIT} s")
    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TEST_LIMIT)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def eventually(condition, what):
    """Polls `condition` until it holds; fails after TIMEOUT seconds."""
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline, f"still not {what} after {TIMEOUT} s"
        time.sleep(0.01)


def default_signals():
    """Python ignores SIGPIPE and its children would inherit that; a user's shell does not."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)


class Shell:
    """An interactive shell in a pseudo-terminal of its own."""

    COMMANDS = {"bash": ["bash", "--norc", "--noprofile"], "dash": ["dash", "-i"]}

    def __init__(self, name, workdir):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(workdir), "PS1": "$ ",
               "TERM": "dumb", "INPUTRC": "/dev/null", "LC_ALL": "C"}
        command = self.COMMANDS[name]
        self.child = pexpect.spawn(command[0], command[1:], env=env, cwd=str(workdir), timeout=TIMEOUT,
                                   encoding="utf-8", codec_errors="replace", preexec_fn=default_signals)
        self.child.logfile_read = sys.stdout  # shown by pytest when a test fails
        self.marks = 0
        self.run("ulimit -c 0")  # the Ctrl-\ case must not leave a core file

    def run(self, command):
        """Runs a command line; returns what it printed."""
        self.marks += 1
        # The quotes split the mark, so the echo of the typed line never matches it.
        self.child.sendline(f'{command}; echo "mark-""{self.marks}"')
        self.child.expect_exact(f"mark-{self.marks}\r\n")
        return self.child.before

    def settings(self):
        """The terminal settings as `stty -g` prints them."""
        self.child.sendline('echo "settings=$(stty -g)."')
        self.child.expect(r"settings=([0-9a-f:]+)\.")
        return self.child.match.group(1)

    def status(self, typed="echo"):
        """The exit status of the last command. `typed` is what to type before the
        rest of the line, less whatever the terminal already holds."""
        self.child.send(f'{typed} "status=$?"\r')
        self.child.expect(r"status=(\d+)")
        return int(self.child.match.group(1))

    def start(self, command):
        """Starts the program in the foreground and waits for its start line."""
        self.child.sendline(command)
        self.child.expect_exact(START)

    def single_key_input(self):
        return not termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON

    def shell_has_terminal(self):
        return os.tcgetpgrp(self.child.child_fd) == self.child.pid

    def program_switched(self):
        """Waits until the running program has switched the terminal to single keys."""
        eventually(lambda: not self.shell_has_terminal() and self.single_key_input(),
                   "switched to single-key input")

    def back_at_prompt(self):
        """Waits until the job has ended or stopped, so that typing reaches the shell."""
        eventually(self.shell_has_terminal, "back at the shell")

    def close(self):
        """Ends the shell, and first any job a failed test left in the foreground."""
        try:
            if not self.shell_has_terminal():
                os.killpg(os.tcgetpgrp(self.child.child_fd), signal.SIGKILL)
        except OSError:
            pass
        self.child.close(force=True)


@pytest.fixture(params=["bash", "dash"])
def shell(request, tmp_path):
    running = Shell(request.param, tmp_path)
    yield running
    running.close()


@pytest.fixture
def watched(tmp_path):
    directory = tmp_path / "watched"
    directory.mkdir()
    return directory


def test_a_key_ends_the_run_and_is_left_for_the_shell(shell, pathwarden_bin, watched):
    before = shell.settings()
    shell.start(f"{pathwarden_bin} {watched}")
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
def test_a_signal_ends_the_run_and_the_settings_come_back(shell, pathwarden_bin, watched, ending, status):
    before = shell.settings()
    shell.start(f"{pathwarden_bin} {watched}")
    shell.program_switched()
    if isinstance(ending, str):
        shell.child.send(ending)
    else:
        os.kill(os.tcgetpgrp(shell.child.child_fd), ending)
    shell.back_at_prompt()
    assert shell.status() == status
    assert shell.settings() == before


def test_a_failed_start_gives_the_settings_back(shell, pathwarden_bin, tmp_path):
    before = shell.settings()
    output = shell.run(f"{pathwarden_bin} {tmp_path / 'missing'}; echo \"status=$?\"")
    assert "Failed.\r\n" in output
    assert "status=255" in output
    assert shell.settings() == before


@pytest.mark.parametrize("sigpipe", ["default", "ignored"])
def test_output_closed_early_ends_the_run(shell, pathwarden_bin, watched, sigpipe):
    before = shell.settings()
    # trap '' PIPE ignores the signal for the programs the shell starts, as some launchers do.
    prefix = "trap '' PIPE; " if sigpipe == "ignored" else ""
    shell.child.sendline(f"{prefix}{pathwarden_bin} {watched} | head -1")
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


def test_ctrl_z_gives_the_terminal_back_and_fg_takes_it_again(shell, pathwarden_bin, watched):
    before = shell.settings()
    shell.start(f"{pathwarden_bin} {watched}")
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


def test_a_background_job_leaves_the_terminal_alone(shell, pathwarden_bin, watched):
    before = shell.settings()
    shell.child.sendline(f"{pathwarden_bin} {watched} &")
    shell.child.expect_exact(START)
    # A report comes out of a wait, and the first keyboard check comes before it.
    (watched / "seen").write_text("x")
    shell.child.expect_exact(f'"{watched}/seen"')
    # Touching the settings from the background would have stopped the job (SIGTTOU),
    # and a key for the shell is no key for it.
    assert "Running" in shell.run("jobs")
    assert "Running" in shell.run("jobs")
    assert shell.settings() == before
    shell.run("kill %1; wait")


def test_a_terminal_that_goes_away_ends_the_run(pathwarden_bin, watched):
    pid, terminal = pty.fork()
    if pid == 0:
        default_signals()
        os.execv(pathwarden_bin, [pathwarden_bin, str(watched)])
    ended = []
    try:
        seen = b""
        while START.encode() not in seen:
            assert select.select([terminal], [], [], TIMEOUT)[0], "no start line"
            seen += os.read(terminal, 4096)
        eventually(lambda: not termios.tcgetattr(terminal)[3] & termios.ICANON, "switched to single-key input")
        os.close(terminal)  # hangs the terminal up: SIGHUP for the program, which leads its session
        terminal = None
        eventually(lambda: ended.append(os.waitpid(pid, os.WNOHANG)) or ended[-1][0] == pid, "ended")
    finally:
        if terminal is not None:
            os.close(terminal)
        if not ended or ended[-1][0] != pid:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    status = ended[-1][1]
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGHUP, status
