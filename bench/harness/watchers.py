"""The watchers under test: how to start each, when it is ready, and how to read
what it reported."""

import contextlib
import dataclasses
import fcntl
import json
import os
import pathlib
import re
import shutil
import subprocess
import time

from tests.e2e.support import report as pathwarden_output
from tests.e2e.support.runner import Program, Reader, end, start

PROBE_NAME = ".ready-probe"
PIPE_BYTES = 1 << 20


def output_pipe(purpose):
    """(read end, write end); a 64 KiB pipe would make our own reader part of what is measured,
    so only the slow reader's is left ordinary."""
    out_r, out_w = os.pipe()
    if purpose != "slow":
        with contextlib.suppress(OSError):
            fcntl.fcntl(out_w, fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    return out_r, out_w


def relative(path, root):
    """A reported path relative to the watched root, separators normalised; None if outside."""
    path = re.sub(rb"/+", b"/", path.replace(b"\\", b"/"))
    if path == root:
        return b""
    return path[len(root) + 1:] if path.startswith(root + b"/") else None


@dataclasses.dataclass
class Report:
    """What one run printed, reduced to what the scenarios judge."""
    paths: set = dataclasses.field(default_factory=set)  # relative paths named by any line
    overflow: bool = False  # the watcher said that changes were lost
    deliveries: int = 0     # reports (pathwarden headers, watchman PDUs)
    anomalies: int = 0      # lines that do not have the promised shape
    created: int = None     # counted, not printed (the floor's count mode)


class Run:
    """One started watcher process (or set of processes)."""

    def __init__(self, watcher, root, workdir, procs, out_fd, err_fd, started, purpose):
        self.watcher = watcher
        self.root = root
        self.workdir = workdir
        self.procs = procs
        self.stat_pid = procs[0].pid
        self.out_fd = out_fd
        self.errors = Reader(err_fd)
        self.started = started
        self.purpose = purpose
        self.preamble = b""     # the output read up to ready
        self.readers = []
        self.out_path = None
        self.consumer = None    # a Reader copying the output to a file, or the slow reader's process

    def alive(self):
        return all(p.poll() is None for p in self.procs)

    def read_until(self, marker, timeout, poke=None):
        """The time marker came, or None; reads no further, so that the pipe can be handed on.
        poke, when given, is called every 2 ms meanwhile."""
        reader = Reader(self.out_fd, stop_after=marker)
        self.readers.append(reader)
        deadline = time.monotonic() + timeout
        while (at := reader.find(marker, 0, 0.002 if poke else timeout)) is None:
            if reader.ended or time.monotonic() > deadline:
                return None
            poke()
        self.preamble += bytes(reader.data)
        return reader.arrival(at)

    def wait_ready(self, timeout):
        """Seconds from start to ready, or None when it never got there."""
        at = self.watcher.wait_ready(self, timeout)
        return None if at is None else at - self.started

    def consume(self, path, tools=None, slow_rate=None):
        """Copies the output to path as it comes, or through the slow reader at slow_rate lines per second."""
        self.out_path = path
        copy = open(path, "wb")
        copy.write(self.preamble)
        if not slow_rate:
            self.consumer = Reader(self.out_fd, copy_to=copy)
            self.readers.append(self.consumer)
            return
        copy.close()
        self.consumer = subprocess.Popen([tools.bin("slowread"), str(slow_rate), path], stdin=self.out_fd,
                                         start_new_session=True)
        os.close(self.out_fd)
        self.out_fd = None

    def output_size(self):
        if isinstance(self.consumer, Reader):
            return self.consumer.size
        try:
            return os.path.getsize(self.out_path)
        except (OSError, TypeError):
            return 0

    def signal(self, sig):
        os.kill(self.stat_pid, sig)

    def stop(self):
        """Ends every process; returns the exit status of the main one."""
        statuses = [end(p, timeout=5) for p in reversed(self.procs)]
        if isinstance(self.consumer, subprocess.Popen):
            end(self.consumer, timeout=60)
        # The output's readers end with the watcher; only then may the pipe be closed under them.
        for reader in self.readers + [self.errors]:
            reader.close()
        if self.out_fd is not None:
            os.close(self.out_fd)
            self.out_fd = None
        os.close(self.errors.fd)
        return statuses[-1]

    def stderr_text(self):
        return self.errors.data.decode(errors="replace")

    def report(self):
        return self.watcher.parse(pathlib.Path(self.out_path).read_bytes(), self.root.encode(), self)


class Watcher:
    name = "?"
    installed = False      # a peer found on PATH under its name
    version_flag = "--version"
    marker = None          # printed once every directory is watched
    marker_on_stderr = False
    probe = False          # no ready line: poke a file until its change is reported
    stderr_overflow = None  # how it says on standard error that changes were lost

    def available(self):
        return (False, "not installed") if self.installed and not shutil.which(self.name) else (True, "")

    def version(self):
        if not self.installed:
            return ""
        out = subprocess.run([self.name, self.version_flag], capture_output=True, text=True).stdout
        return "".join(out.split("\n", 1)[0].split()[-1:])

    def command(self, root, purpose):
        raise NotImplementedError

    def start(self, root, workdir, purpose):
        """purpose: 'count' (only counting matters), 'print' (every change named) or
        'slow' (named, into an ordinary pipe that a slow reader will empty)."""
        if self.probe:
            open(os.path.join(root, PROBE_NAME), "a").close()
        (out_r, out_w), (err_r, err_w) = output_pipe(purpose), os.pipe()
        argv = self.command(root, purpose)
        started = time.monotonic()
        proc = start(argv, stdout=out_w, stderr=err_w)
        os.close(out_w)
        os.close(err_w)
        return Run(self, root, workdir, [proc], out_r, err_r, started, purpose)

    def wait_ready(self, run, timeout):
        if self.probe:
            probe = os.path.join(run.root, PROBE_NAME)
            return run.read_until(PROBE_NAME.encode(), timeout, poke=lambda: os.utime(probe))
        if self.marker_on_stderr:
            at = run.errors.find(self.marker, 0, timeout)
            return None if at is None else run.errors.arrival(at)
        return run.read_until(self.marker, timeout)

    def parse(self, data, root, run):
        """For a watcher printing a path and its events per line: self.split(line) -> (path, overflowed)."""
        report = Report()
        for line in data.split(b"\n"):
            path, overflowed = self.split(line)
            report.overflow |= overflowed
            if (rel := relative(path, root)) is not None:
                report.paths.add(rel)
        report.overflow |= bool(self.stderr_overflow) and self.stderr_overflow in run.stderr_text()
        return report


class Floor(Watcher):
    """The yardstick: walk and add watches, then read (and count or print) events."""
    marker = b"ready "

    def __init__(self, binary, list_new=False, always_print=False):
        self.binary = binary
        self.list_new = list_new
        self.always_print = always_print
        self.name = "floor+list" if list_new else "floor-print" if always_print else "floor"

    def command(self, root, purpose):
        printing = purpose != "count" or self.always_print
        flags = (["-p"] if printing else []) + (["-l"] if self.list_new else [])
        return [self.binary] + flags + [root]

    def split(self, line):
        return line[2:] if line[:2] in (b"A ", b"R ", b"M ", b"O ", b"N ") else b"", line == b"OVERFLOW"

    def parse(self, data, root, run):
        report = super().parse(data, root, run)
        # Its last words: "floor: dirs=N events=N created=N overflow=N".
        counts = dict(field.partition("=")[::2] for field in run.stderr_text().split())
        report.created = int(counts["created"]) if "created" in counts else None
        report.overflow |= int(counts.get("overflow", 0)) > 0
        return report


class Pathwarden(Watcher):
    """The program on one kernel interface: as root it chooses fanotify by
    itself; in a user namespace of its own it cannot, and uses inotify."""
    marker = pathwarden_output.READY
    NAMES = {"fanotify": "pathwarden", "inotify": "pathwarden-inotify"}

    def __init__(self, binary, interface="fanotify"):
        self.binary = binary
        self.interface = interface
        self.name = self.NAMES[interface]
        self.program = Program(binary, ["unshare", "-U", "-r"] if interface == "inotify" else [])

    def available(self):
        return (True, "") if os.access(self.binary, os.X_OK) else (False, f"no binary at {self.binary}")

    def command(self, root, purpose):
        return self.program.command(root)

    def parse(self, data, root, run):
        parsed = pathwarden_output.parse(data, root)
        return Report(paths={os.fsencode(record.path) for record in parsed.records}, overflow=parsed.overflows > 0,
                      deliveries=parsed.deliveries, anomalies=len(parsed.problems) - parsed.overflows)


class Inotifywait(Watcher):
    name = "inotifywait"
    installed = True
    version_flag = "--help"
    marker = b"Watches established."
    marker_on_stderr = True

    def command(self, root, purpose):
        return ["inotifywait", "-m", "-r", "-e", "create,delete,modify,attrib,move",
                "--format", "%e %w%f", root]

    def split(self, line):
        events, _, path = line.partition(b" ")
        return path, b"OVERFLOW" in events


class Fswatch(Watcher):
    name = "fswatch"
    installed = True
    probe = True
    # A lost kernel queue is announced only on standard error, and then fswatch exits.
    stderr_overflow = "Event queue overflow"

    def command(self, root, purpose):
        return ["fswatch", "-r", "-l", "0.1", "-x", root]

    def split(self, line):
        path, _, flags = line.partition(b" ")
        return path, b"Overflow" in flags or bool(not path and flags)


class Watchman(Watcher):
    """A daemon of our own per run (own socket and state), queried through a subscription."""
    name = "watchman"
    installed = True

    def _client(self, run, *args):
        return ["watchman", "--no-spawn", "--no-pretty", "-U", run.sock] + list(args)

    def start(self, root, workdir, purpose):
        state = os.path.join(workdir, "watchman-state")
        os.makedirs(state, exist_ok=True)
        sock = os.path.join(state, "sock")
        err_r, err_w = os.pipe()
        server = start(["watchman", "--foreground", "-U", sock, "-o", os.path.join(state, "log"),
                        "--pidfile", os.path.join(state, "pid"), "--statefile", os.path.join(state, "state"),
                        "-n"], stdout=err_w, stderr=err_w)
        os.close(err_w)
        deadline = time.monotonic() + 10
        while not os.path.exists(sock) and time.monotonic() < deadline:
            time.sleep(0.01)
        run = Run(self, root, workdir, [server], None, err_r, time.monotonic(), purpose)
        run.sock = sock
        return run

    def wait_ready(self, run, timeout):
        # The clock round trip with a sync waits for a cookie file that the
        # daemon only notices once its first crawl is over.
        run.started = time.monotonic()
        sync = json.dumps(["clock", run.root, {"sync_timeout": int(timeout * 1000)}])
        subprocess.run(self._client(run, "watch", run.root), capture_output=True, timeout=timeout)
        clock = subprocess.run(self._client(run, "-j"), input=sync.encode(), capture_output=True,
                               timeout=timeout)
        ready = time.monotonic()
        try:
            since = json.loads(clock.stdout)["clock"]
        except (ValueError, KeyError):
            return None
        out_r, out_w = output_pipe(run.purpose)
        command = json.dumps(["subscribe", run.root, "bench", {"fields": ["name"], "since": since}])
        client = subprocess.Popen(self._client(run, "-j", "-p"), stdin=subprocess.PIPE, stdout=out_w,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(out_w)
        client.stdin.write(command.encode() + b"\n")
        client.stdin.close()
        run.procs.append(client)
        run.out_fd = out_r
        return None if run.read_until(b'"subscribe"', timeout) is None else ready

    def parse(self, data, root, run):
        report = Report()
        for line in data.split(b"\n"):
            if not line.startswith(b"{"):
                continue
            try:
                pdu = json.loads(line)
            except ValueError:
                report.anomalies += 1
                continue
            if "files" not in pdu:
                continue
            report.deliveries += 1
            report.overflow |= bool(pdu.get("is_fresh_instance") or "recrawl" in str(pdu.get("warning", "")).lower())
            report.paths.update(name.encode() for name in pdu["files"])
        return report


def all_watchers(tools, pathwarden_binary):
    return [Floor(tools.bin("floor")), Pathwarden(pathwarden_binary), Pathwarden(pathwarden_binary, "inotify"),
            Inotifywait(), Fswatch(), Watchman()]
