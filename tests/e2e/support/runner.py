"""Starting the program and reading what it prints, for every suite and the
benchmarks. Everything starts it through `Program.command`, so a suite runs
under another launcher (a user namespace, Wine) by being handed another
Program. Without a terminal (`PipeRun`) no key can reach it and a signal ends
it; in one (`terminal`) it runs as a user runs it. Every wait has a time-out."""

import contextlib
import os
import signal
import subprocess
import sys
import termios
import threading
import time
from bisect import bisect_left

from . import procfs
from .report import crlf, fsencode, record, start_lines

TIMEOUT = 30   # seconds for any one expected output; far above need
GRACE = 1.0    # seconds given to a fault before "nothing more came" is believed

_running = []  # PipeRuns and terminals started and not yet ended, for end_all


class Program:
    """The program's path, the command it runs under (launcher), and its environment."""

    def __init__(self, path, launcher=(), env=None):
        self.path = str(path)
        self.launcher = list(launcher)
        self.env = env

    def command(self, *args):
        return [*self.launcher, self.path, *(a if isinstance(a, bytes) else str(a) for a in args)]

    def pipe(self, *args, via=(), **kwargs):
        """A PipeRun of the command through `via`, a command that ends by running its arguments."""
        return PipeRun([*via, *self.command(*args)], env=self.env, **kwargs)

    def terminal(self, *args, via=(), **kwargs):
        return terminal([*via, *self.command(*args)], env=self.env, **kwargs)

    def run(self, *args, timeout=120):
        """Runs to the end with standard output on a pipe; returns (output, exit status)."""
        process = start(self.command(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        try:
            return process.communicate(timeout=timeout)[0], process.returncode
        finally:
            end(process)


def start(argv, stdout, stderr=None, **kwargs):
    """A process with no standard input and no controlling terminal, so no key ever reaches it (Popen
    gives back the default actions of the signals Python ignores, SIGPIPE among them)."""
    return subprocess.Popen([a if isinstance(a, bytes) else str(a) for a in argv], stdin=subprocess.DEVNULL,
                            stdout=stdout, stderr=stderr, start_new_session=True, **kwargs)


def end(process, timeout=TIMEOUT):
    """Ends a process, stopped or not: SIGTERM, then SIGKILL. Returns its status."""
    if process.poll() is None:
        for signum in (signal.SIGCONT, signal.SIGTERM):
            with contextlib.suppress(ProcessLookupError):
                process.send_signal(signum)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


def redirected(path, argv):
    """argv with standard output sent to the file (or FIFO) at path; sh execs it."""
    return ["sh", "-c", 'exec "$@" > "$0"', path, *argv]


def end_all():
    while _running:
        started = _running.pop()
        if isinstance(started, PipeRun):
            started.kill()
        else:
            started.close(force=True)


def eventually(condition, what, timeout=TIMEOUT):
    """Polls `condition` until it holds; fails after the time-out."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"still not {what} after {timeout} s"
        time.sleep(0.01)


class Reader:
    """Reads a pipe on a thread of its own, so that the program never waits for
    us: keeps what came, or copies it to a file when it may be too large to
    hold. With `stop_after`, stops once those bytes have come, so that the
    descriptor can be handed on."""

    CHUNK = 1 << 20

    def __init__(self, fd, copy_to=None, stop_after=None):
        self.fd = fd
        self.data = bytearray()
        self.size = 0
        self.last_growth = time.monotonic()
        self.ended = False
        self._file = copy_to
        self._stop_after = stop_after
        self._arrivals = []  # (size of data after a read, when that read returned)
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            try:
                chunk = os.read(self.fd, self.CHUNK)
            except OSError:
                chunk = b""
            now = time.monotonic()
            with self._changed:
                if not chunk:
                    self.ended = True
                elif self._file:
                    self._file.write(chunk)
                else:
                    self.data += chunk
                    self._arrivals.append((len(self.data), now))
                self.size += len(chunk)
                self.last_growth = now if chunk else self.last_growth
                self._changed.notify_all()
            stop = self._stop_after
            if not chunk or (stop and stop in self.data[-len(chunk) - len(stop):]):
                return

    def find(self, wanted, start=0, timeout=TIMEOUT):
        """The offset just after `wanted` at or after `start`, or None once the output ended or the time ran out."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while (at := self.data.find(wanted, start)) < 0:
                left = deadline - time.monotonic()
                if self.ended or left <= 0:
                    return None
                self._changed.wait(left)
            return at + len(wanted)

    def arrival(self, offset):
        """When the bytes up to offset had all come."""
        with self._changed:
            return self._arrivals[bisect_left(self._arrivals, (offset,))][1]

    def close(self, timeout=TIMEOUT):
        """Waits for the end of the output (the writer must have gone)."""
        self._thread.join(timeout)
        if self._file and not self._thread.is_alive():
            self._file.close()
        return not self._thread.is_alive()


class PipeRun:
    """The program with standard output and standard error on pipes and no terminal."""

    def __init__(self, argv, **kwargs):
        self.proc = start(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
        self.out = Reader(self.proc.stdout.fileno())
        self.err = Reader(self.proc.stderr.fileno())
        self.seen = 0
        _running.append(self)

    @property
    def output(self):
        return bytes(self.out.data)

    @property
    def errors(self):
        return bytes(self.err.data)

    def expect(self, wanted, timeout=TIMEOUT):
        """Waits for `wanted` after the last match; returns the output from there up to and including it."""
        end_at = self.out.find(wanted, self.seen, timeout)
        if end_at is None:
            state = "the output ended" if self.out.ended else f"{timeout} s passed"
            raise AssertionError(f"{state} without {wanted!r}; after the last match came:\n"
                                 f"{self.rest()[-4000:]!r}\nstandard error: {self.errors[-2000:]!r}")
        chunk, self.seen = bytes(self.out.data[self.seen:end_at]), end_at
        return chunk

    def expect_start(self, root, **kwargs):
        wanted = start_lines(root, **kwargs)
        assert self.expect(wanted) == wanted

    def sentinel(self, directory, name=b"sentinel", timeout=TIMEOUT):
        """Makes a file and waits for its line; returns the output up to there.
        Changes are reported in order: whatever was to come before it has."""
        path = os.path.join(fsencode(directory), fsencode(name))
        with open(path, "wb"):
            pass
        return self.expect(record("added", path), timeout)

    def rest(self):
        return bytes(self.out.data[self.seen:])

    def quiet(self, grace=GRACE):
        """What arrives within the grace period after the last match (normally nothing)."""
        time.sleep(grace)
        return self.rest()

    @contextlib.contextmanager
    def paused(self):
        """Stops the program for the block, so that its changes reach it all at once and late."""
        self.proc.send_signal(signal.SIGSTOP)
        try:
            procfs.wait_until_stopped(self.proc.pid)
            yield
        finally:
            self.proc.send_signal(signal.SIGCONT)

    def stop(self, signum=signal.SIGTERM):
        """Ends the run by a signal and returns its status. The program never
        writes to standard error: anything there is a sanitizer's or a crash's."""
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            status = self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program was still running after {TIMEOUT} s") from None
        self.close()
        assert self.errors == b"", self.errors.decode(errors="replace")
        return status

    def kill(self):
        end(self.proc)
        self.close()

    def close(self):
        if self in _running:
            _running.remove(self)
        # The pipes end with the program; only then may they be closed under the readers.
        for reader, pipe in ((self.out, self.proc.stdout), (self.err, self.proc.stderr)):
            if reader.close():
                pipe.close()


def terminal(argv, preexec_fn=None, encoding=None, **kwargs):
    """A program in a pseudo-terminal of its own, read as bytes unless an
    encoding is given; preexec_fn runs in the child."""
    import pexpect  # here, so that the benchmarks run on an interpreter without it

    def prepare():
        # Python ignores these, and a child it forks without Popen inherits that; a user's shell does not.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        if preexec_fn is not None:
            preexec_fn()
    # pexpect takes text only; the file system encoding gives the bytes back at exec.
    argv = [os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in argv]
    child = pexpect.spawn(argv[0], argv[1:], timeout=TIMEOUT, preexec_fn=prepare, encoding=encoding,
                          **kwargs)
    child.logfile_read = sys.stdout if encoding else sys.stdout.buffer  # shown by pytest when a test fails
    _running.append(child)
    return child


def expect_shown(child, *pieces):
    """Waits for these bytes as a terminal shows them; returns the output since the last expect, up to them."""
    child.expect_exact(crlf(b"".join(pieces)))
    return child.before + child.after


def switched_to_single_keys(child):
    eventually(lambda: not termios.tcgetattr(child.child_fd)[3] & termios.ICANON, "switched to single-key input")


def press_key(child):
    child.send(b"q")
    return ended(child)


def ended(child):
    """Waits for a program in a terminal to end; returns (its output since the last expect, exit status)."""
    import pexpect
    child.expect(pexpect.EOF)
    child.close()
    if child in _running:
        _running.remove(child)
    return child.before, child.exitstatus
