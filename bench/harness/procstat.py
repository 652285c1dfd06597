"""What the kernel says about a running process, and plumbing for its output."""

import errno
import fcntl
import os
import signal
import subprocess
import threading
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PIPE_BYTES = 1 << 20


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def cpu_seconds(pid):
    """User plus system time of the whole process, dead threads included."""
    data = _read(f"/proc/{pid}/stat")
    if not data:
        return None
    fields = data[data.rindex(b")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def _per_thread(pid, name):
    """The /proc file `name` of each live thread (empty for one that just ended);
    None when the process is gone."""
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return None
    return [_read(f"/proc/{pid}/task/{task}/{name}") for task in tasks]


def cpu_ns_precise(pid):
    """Run time of the live threads in nanoseconds (schedstat), for short intervals."""
    files = _per_thread(pid, "schedstat")
    if files is None:
        return None
    return sum(int(data.split()[0]) for data in files if data)


def cpu_since(pid, before):
    """CPU seconds since `before` = cpu_sample(pid): the nanosecond count of the live
    threads, unless threads that ended took more than a tick with them."""
    after = cpu_sample(pid)
    coarse = after[0] - before[0]
    fine = (after[1] - before[1]) / 1e9
    return coarse if coarse - fine > 2.0 / CLOCK_TICKS else fine


def cpu_sample(pid):
    return cpu_seconds(pid) or 0.0, cpu_ns_precise(pid) or 0


def context_switches(pid):
    """Voluntary switches of all live threads: each one is a wake-up after a sleep."""
    files = _per_thread(pid, "status")
    if files is None:
        return None
    return sum(int(line.split()[1]) for data in files for line in data.splitlines()
               if line.startswith(b"voluntary_ctxt_switches:"))


def status_kib(pid, key):
    for line in _read(f"/proc/{pid}/status").splitlines():
        if line.startswith(key.encode() + b":"):
            return int(line.split()[1])
    return None


def peak_rss_kib(pid):
    return status_kib(pid, "VmHWM")


def inotify_watches(pid):
    """Watches held by the process, summed over its inotify descriptors."""
    total = 0
    try:
        fds = os.listdir(f"/proc/{pid}/fdinfo")
    except OSError:
        return None
    for fd in fds:
        total += _read(f"/proc/{pid}/fdinfo/{fd}").count(b"inotify wd:")
    return total


def widen_pipe(fd):
    # A 64 KiB pipe would make our own reader part of what is measured.
    try:
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    except OSError:
        pass


def stop(proc, timeout=5.0):
    """SIGTERM, then SIGKILL; returns the exit status. Continues a stopped process first."""
    if proc.poll() is None:
        for sig in (signal.SIGCONT, signal.SIGTERM):
            try:
                proc.send_signal(sig)
            except ProcessLookupError:
                pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


class Drain(threading.Thread):
    """Copies a pipe into a file as fast as it comes, noting when the copy last grew
    and when given markers first appeared."""

    def __init__(self, fd, path, preamble=b"", markers=()):
        super().__init__(daemon=True)
        self.fd = fd
        self.file = open(path, "wb")
        self.file.write(preamble)
        self.size = len(preamble)
        self.last_growth = time.monotonic()
        self.markers = {m: None for m in markers}
        self._tail = preamble[-256:]
        self.start()

    def run(self):
        while True:
            try:
                chunk = os.read(self.fd, PIPE_BYTES)
            except OSError as e:
                if e.errno == errno.EINTR:
                    continue
                break
            if not chunk:
                break
            now = time.monotonic()
            self.file.write(chunk)
            self.size += len(chunk)
            self.last_growth = now
            if any(t is None for t in self.markers.values()):
                window = self._tail + chunk
                for marker, seen in self.markers.items():
                    if seen is None and marker in window:
                        self.markers[marker] = now
                self._tail = window[-256:]
        self.file.close()

    def wait_marker(self, marker, timeout):
        deadline = time.monotonic() + timeout
        while self.markers.get(marker) is None and time.monotonic() < deadline and self.is_alive():
            time.sleep(0.001)
        return self.markers.get(marker)

    def finish(self, timeout=30):
        self.join(timeout)
        os.close(self.fd)
