"""Helpers for the tests of limits, hostile input and hostile surroundings.

The program runs either with standard output on a pipe and no terminal at all
(PipeRun: the exact bytes it writes, ended by a signal since no key can reach
it), or in a pseudo-terminal (pexpect, ended by a key). Anything the machine
may lack (user namespaces, namespace limits, mounting, an unprivileged user)
is probed once, and a test that needs it is skipped with the probe's reason.

Nothing here waits for a fixed time to decide an outcome, except `quiet`,
which gives a fault a grace period to show itself before a test concludes
that nothing more was printed."""

import fcntl
import functools
import grp
import os
import pwd
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

import pexpect
import pytest

TIMEOUT = 30        # seconds for any one expected line; far above need
GRACE = 1.0         # seconds given to a fault before "nothing more came" is believed

LABELS = {
    "added": b"FILE_ACTION_ADDED           ",
    "removed": b"FILE_ACTION_REMOVED         ",
    "modified": b"FILE_ACTION_MODIFIED        ",
    "old": b"FILE_ACTION_RENAMED_OLD_NAME",
    "new": b"FILE_ACTION_RENAMED_NEW_NAME",
}
OVERFLOW = b"Notified with 0 bytes.\n    Notification OVERFLOW. (Can be normal under extreme load.)\n"


def fsencode(path):
    return path if isinstance(path, bytes) else os.fsencode(str(path))


def record(kind, path, newline=b"\n"):
    """One report line as bytes, exactly as the program writes it to a pipe."""
    return b"    " + LABELS[kind] + b'    "' + fsencode(path) + b'"' + newline


def start_line(root, recursive=True, newline=b"\n"):
    return (b'Watching "' + fsencode(root) + b'/" (' + (b"" if recursive else b"non-") + b"recursive)" + newline
            + b"Push any key to exit." + newline)


def refused(root, code, newline=b"\n"):
    return b'ReadDirectoryChangesW failed on "' + fsencode(root) + b'/": ' + str(code).encode() + newline


def default_signals():
    """Python ignores SIGPIPE and its children would inherit that; a user's shell does not."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)


class PipeRun:
    """The program with standard output on a pipe, in a session of its own (so
    with no controlling terminal and no key ever seen). A thread gathers its
    output; `expect` waits for bytes to appear after what was seen before."""

    def __init__(self, argv, preexec_fn=default_signals, **kwargs):
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=preexec_fn, **kwargs)
        self.output = b""
        self.seen = 0
        self.closed = False
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            with self._changed:
                if not chunk:
                    self.closed = True
                else:
                    self.output += chunk
                self._changed.notify_all()
            if not chunk:
                return

    def expect(self, wanted, timeout=TIMEOUT):
        """Waits until `wanted` appears after the last match; returns the output
        from there up to and including it."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                at = self.output.find(wanted, self.seen)
                if at >= 0:
                    chunk = self.output[self.seen:at + len(wanted)]
                    self.seen = at + len(wanted)
                    return chunk
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    state = "the output ended" if self.closed else f"{timeout} s passed"
                    raise AssertionError(f"{state} without {wanted!r}; after the last match came:\n"
                                         f"{self.output[self.seen:][-4000:]!r}")
                self._changed.wait(left)

    def rest(self):
        """Everything after the last match."""
        with self._changed:
            return self.output[self.seen:]

    def quiet(self, grace=GRACE):
        """What arrives within the grace period after the last match (normally nothing)."""
        time.sleep(grace)
        return self.rest()

    def wait_exit(self, timeout=TIMEOUT):
        """The exit status (negative for a signal); fails if the program runs on."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program was still running after {timeout} s") from None

    def stop(self, signum=signal.SIGTERM):
        """Ends the run by a signal and returns its status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        status = self.wait_exit()
        self._reader.join(TIMEOUT)
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        # The pipe ends with the program; only then may it be closed under the reader.
        self._reader.join(TIMEOUT)
        if not self._reader.is_alive():
            self.proc.stdout.close()


@pytest.fixture
def pipe_run():
    """Starts PipeRuns; whatever is left running at the end is killed."""
    runs = []

    def start(argv, **kwargs):
        run = PipeRun([str(a) if not isinstance(a, bytes) else a for a in argv], **kwargs)
        runs.append(run)
        return run

    yield start
    for run in runs:
        run.kill()


def spawn_in_terminal(argv, preexec_fn=None, **kwargs):
    """The program in a pseudo-terminal, its output read as bytes; preexec_fn
    runs in the child after the usual signal settings."""
    # pexpect takes text only; the file system encoding gives the bytes back at exec.
    argv = [os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in argv]

    def prepare():
        default_signals()
        if preexec_fn is not None:
            preexec_fn()
    child = pexpect.spawn(argv[0], argv[1:], timeout=TIMEOUT, preexec_fn=prepare, **kwargs)
    child.logfile_read = sys.stdout.buffer  # shown by pytest when a test fails
    return child


@pytest.fixture
def terminal():
    """Starts programs in pseudo-terminals (spawn_in_terminal's arguments);
    whatever is left running at the end is killed."""
    children = []

    def start(argv, **kwargs):
        child = spawn_in_terminal(argv, **kwargs)
        children.append(child)
        return child

    yield start
    for child in children:
        if child.isalive() or not child.closed:
            child.close(force=True)


def press_key(child):
    """A key ends the run; returns (everything printed since the last expect, exit status)."""
    child.send(b"q")
    child.expect(pexpect.EOF)
    child.close()
    return child.before, child.exitstatus


@pytest.fixture
def shared_tmp():
    """A fresh directory every user can reach; pytest's own tmp_path lies below a
    directory that only its owner may enter, and so may TMPDIR."""
    path = tempfile.mkdtemp(prefix="pathwarden-hardening-", dir="/tmp")
    os.chmod(path, 0o755)
    yield path
    remove_tree(path)


def remove_tree(path):
    """Removes a tree whatever its modes; fd-relative, so depth is no problem."""
    if not os.path.lexists(path):
        return
    for dirpath, dirnames, _, dirfd in os.fwalk(path, topdown=True):
        for name in dirnames:
            try:
                os.chmod(name, 0o755, dir_fd=dirfd, follow_symlinks=False)
            except OSError:
                pass
    shutil.rmtree(path, ignore_errors=True)


def make_dirs(root, count, prefix="d"):
    """`count` sibling directories below root."""
    for i in range(count):
        os.mkdir(os.path.join(root, f"{prefix}{i:03}"))


def write(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


# ---------------------------------------------------------------------------
# What this machine can do


def _probe(argv):
    """(works, reason) for a command that sets up what a test needs."""
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        return False, str(error)
    text = (done.stdout + done.stderr).decode(errors="replace").strip()
    return done.returncode == 0, text


@functools.lru_cache(maxsize=None)
def _namespace_limits():
    if not shutil.which("unshare"):
        return "unshare is not installed"
    works, text = _probe(["unshare", "-U", "-r", "sh", "-c",
                          "echo 7 > /proc/sys/user/max_inotify_watches && "
                          "echo 3 > /proc/sys/user/max_inotify_instances && "
                          "cat /proc/sys/user/max_inotify_watches /proc/sys/user/max_inotify_instances"])
    if not works:
        return f"inotify limits cannot be lowered inside a user namespace here: {text}"
    if text.split() != ["7", "3"]:
        return f"inotify limits written in a user namespace do not stick (read back {text!r})"
    return None


def need_namespace_limits():
    reason = _namespace_limits()
    if reason:
        pytest.skip(reason)


def with_inotify_limits(argv, watches=None, instances=None):
    """argv run inside a new user namespace whose inotify limits are lowered;
    the machine's own settings are not touched."""
    need_namespace_limits()
    steps = []
    if watches is not None:
        steps.append(f"echo {int(watches)} > /proc/sys/user/max_inotify_watches")
    if instances is not None:
        steps.append(f"echo {int(instances)} > /proc/sys/user/max_inotify_instances")
    script = " && ".join(steps + ['exec "$0" "$@"'])
    return ["unshare", "-U", "-r", "sh", "-c", script, *argv]


@functools.lru_cache(maxsize=None)
def _mounting():
    if not shutil.which("unshare") or not shutil.which("nsenter"):
        return "unshare or nsenter is not installed"
    probe_dir = tempfile.mkdtemp(prefix="pathwarden-mount-probe-")
    try:
        works, text = _probe(["unshare", "-m", "--propagation", "private", "sh", "-c",
                              f"mount -t tmpfs pathwarden-probe {probe_dir} && "
                              f"mount --bind {probe_dir} {probe_dir} && umount -l {probe_dir}"])
    finally:
        os.rmdir(probe_dir)
    if not works:
        return f"cannot mount a tmpfs or bind mount in a private mount namespace here: {text}"
    return None


def need_mounting():
    reason = _mounting()
    if reason:
        pytest.skip(reason)


def in_mount_namespace(setup, argv):
    """argv run in a private mount namespace after the shell commands `setup`,
    so no mount is ever seen outside it; unshare and sh exec, so the process
    started is the program itself, and in_namespace_of(its pid) reaches it."""
    need_mounting()
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", f'{setup} && exec "$0" "$@"', *argv]


def in_namespace_of(pid, *command):
    """Runs a command in the mount namespace of process pid; fails if it fails."""
    done = subprocess.run(["nsenter", "-t", str(pid), "-m", *command], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr.decode(errors="replace")


@functools.lru_cache(maxsize=None)
def _unprivileged():
    if os.geteuid() != 0:
        return "the tests must run as root to act as another user"
    try:
        pwd.getpwnam("nobody")
        grp.getgrnam("nogroup")
    except KeyError:
        return "there is no user nobody or group nogroup"
    works, text = _probe(["/usr/bin/python3", "-c",
                          "import os; os.setgroups([]); os.setgid(65534); os.setuid(65534); "
                          "assert os.geteuid() == 65534; open('/proc/self/status').read()"])
    if not works:
        return f"cannot switch to the user nobody: {text}"
    return None


def nobody_ids():
    """(uid, gid) of the unprivileged user the tests act as; skips if there is none."""
    reason = _unprivileged()
    if reason:
        pytest.skip(reason)
    return pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid


def as_nobody():
    """A preexec_fn that makes the child the unprivileged user nobody."""
    uid, gid = nobody_ids()

    def become():
        default_signals()
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
    return become


def records(output):
    """The record lines of some output (bytes), without their line ends."""
    return [line.rstrip(b"\r") for line in output.split(b"\n") if line.startswith(b"    FILE_ACTION_")]


def count(output, line):
    """How many times a whole line occurs in output."""
    return records(output).count(line.rstrip(b"\r\n"))


def eventually(condition, what, timeout=TIMEOUT):
    """Polls `condition` until it holds; fails after the time-out."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"still not {what} after {timeout} s"
        time.sleep(0.01)


def fionread(fd):
    """Bytes waiting in a pipe."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def main_thread_syscall(pid):
    """The number of the system call the main thread of process pid is in, or None."""
    try:
        with open(f"/proc/{pid}/task/{pid}/syscall") as f:
            field = f.read().split()[0]
    except (OSError, IndexError):
        return None
    return int(field) if field.lstrip("-").isdigit() else None
