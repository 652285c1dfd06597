"""An interactive shell in a pseudo-terminal of its own, in which the program
is started by typing a command line, as a user starts it."""

import os
import signal
import termios

from . import report
from .runner import eventually, terminal

class Shell:
    COMMANDS = {"bash": ["bash", "--norc", "--noprofile"], "dash": ["dash", "-i"]}

    def __init__(self, name, workdir):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(workdir), "PS1": "$ ",
               "TERM": "dumb", "INPUTRC": "/dev/null", "LC_ALL": "C"}
        self.child = terminal(self.COMMANDS[name], env=env, cwd=str(workdir), encoding="utf-8",
                              codec_errors="replace")
        self.marks = 0
        self.run("ulimit -c 0")  # the Ctrl-\ case must not leave a core file
        self.initial_settings = self.settings()

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
        """Starts the program in the foreground and waits until it reads single keys."""
        self.child.sendline(command)
        self.child.expect_exact(report.READY.decode() + "\r\n")
        self.program_switched()

    def shell_has_terminal(self):
        return os.tcgetpgrp(self.child.child_fd) == self.child.pid

    def program_switched(self):
        """Waits until the running program has switched the terminal to single keys."""
        eventually(lambda: not self.shell_has_terminal()
                   and not termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON, "switched to single-key input")

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
