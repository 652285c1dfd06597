"""What /proc says about a running process, and about the machine: CPU time,
memory, wake-ups, descriptors and inotify watches, the state of each thread,
and the system's inotify limits. A process that has gone reads as None."""

import os
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def _each(directory, name=""):
    """The file `name` in each entry of directory, or each entry itself: a thread's, a descriptor's
    (empty for one that just went); None once the directory has gone with its process."""
    try:
        entries = os.listdir(directory)
    except OSError:
        return None
    return [_read(f"{directory}/{entry}/{name}".rstrip("/")) for entry in entries]


def _stat_fields(data):
    """The fields of a stat file after the command name, which may hold anything."""
    return data[data.rindex(b")") + 2:].split() if data else None


def cpu_seconds(pid):
    """User plus system time of the whole process, dead threads included."""
    fields = _stat_fields(_read(f"/proc/{pid}/stat"))
    return None if fields is None else (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def cpu_ns_precise(pid):
    """Run time of the live threads in nanoseconds (schedstat), for short intervals."""
    files = _each(f"/proc/{pid}/task", "schedstat")
    return None if files is None else sum(int(data.split()[0]) for data in files if data)


def cpu_sample(pid):
    return cpu_seconds(pid) or 0.0, cpu_ns_precise(pid) or 0


def cpu_since(pid, before):
    """CPU seconds since `before` = cpu_sample(pid): the nanosecond count of the live
    threads, unless threads that ended took more than a tick with them."""
    after = cpu_sample(pid)
    coarse = after[0] - before[0]
    fine = (after[1] - before[1]) / 1e9
    return coarse if coarse - fine > 2.0 / CLOCK_TICKS else fine


def context_switches(pid):
    """Voluntary switches of all live threads: each one is a wake-up after a sleep."""
    files = _each(f"/proc/{pid}/task", "status")
    return None if files is None else sum(int(line.split()[1]) for data in files for line in data.splitlines()
                                          if line.startswith(b"voluntary_ctxt_switches:"))


def status_kib(pid, key):
    """A memory figure of /proc/PID/status: VmHWM (peak RSS), VmRSS, ..."""
    return next((int(line.split()[1]) for line in _read(f"/proc/{pid}/status").splitlines()
                 if line.startswith(key.encode() + b":")), None)


def peak_rss_kib(pid):
    return status_kib(pid, "VmHWM")


def open_descriptors(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None


def inotify_watches(pid):
    """Watches held by the process, summed over its inotify descriptors."""
    files = _each(f"/proc/{pid}/fdinfo")
    return None if files is None else sum(info.count(b"inotify wd:") for info in files)


def kernel_interfaces(pid):
    """Which of fanotify and inotify the process has a descriptor of."""
    return {name for info in _each(f"/proc/{pid}/fdinfo") for name in ("fanotify", "inotify")
            if f"{name} ".encode() in info}


def watches_in_use():
    """Watches held by every process we may look at."""
    return sum(inotify_watches(pid) or 0 for pid in os.listdir("/proc") if pid.isdigit())


def main_thread_syscall(pid):
    """The number of the system call the main thread is in, or None."""
    fields = _read(f"/proc/{pid}/task/{pid}/syscall").split()
    return int(fields[0]) if fields and fields[0].lstrip(b"-").isdigit() else None


def wait_until_stopped(pid, timeout=10):
    """SIGSTOP takes effect when each thread next runs, which on a loaded machine may be a while."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        files = _each(f"/proc/{pid}/task", "stat")
        if files is None or all(_stat_fields(data)[0] in b"tTZX" for data in files if data):
            return  # stopped, or gone
        time.sleep(0.001)
    raise TimeoutError(f"process {pid} did not stop within {timeout} s")


def inotify_limit(name):
    """max_queued_events, max_user_watches or max_user_instances."""
    return int(_read(f"/proc/sys/fs/inotify/{name}"))


def load_average():
    return _read("/proc/loadavg").decode().split()[:3]


def machine():
    """The processor's model and the memory in GiB."""
    model = next((line.split(b":", 1)[1].strip().decode() for line in _read("/proc/cpuinfo").splitlines()
                  if line.startswith(b"model name")), "?")
    return model, int(_read("/proc/meminfo").split()[1]) / 1024 / 1024
