"""Running the program with less than the machine gives it: lowered inotify
limits in a user namespace, a private mount namespace, the user nobody. Each
is probed once; a test that needs what the machine cannot do is skipped."""

import functools
import grp
import os
import pwd
import shutil
import subprocess
import tempfile

import pytest

TIMEOUT = 30


def unavailable(reason):
    """Skips the test, or fails it under CI, where a skip would hide a fault."""
    if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
        pytest.fail(f"{reason} (CI installs everything the tests need)")
    pytest.skip(reason)


def _probe(argv):
    """(works, what it printed)"""
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        return False, str(error)
    return done.returncode == 0, (done.stdout + done.stderr).decode(errors="replace").strip()


def _need(probe):
    reason = probe()
    if reason:
        pytest.skip(reason)


@functools.lru_cache(maxsize=None)
def user_namespaces():
    return bool(shutil.which("unshare")) and _probe(["unshare", "-U", "-r", "true"])[0]


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


def with_inotify_limits(argv, watches=None, instances=None):
    """argv run in a new user namespace whose inotify limits are lowered."""
    _need(_namespace_limits)
    steps = [f"echo {int(value)} > /proc/sys/user/max_inotify_{name}"
             for name, value in (("watches", watches), ("instances", instances)) if value is not None]
    return ["unshare", "-U", "-r", "sh", "-c", " && ".join(steps + ['exec "$0" "$@"']), *argv]


@functools.lru_cache(maxsize=None)
def _mounting():
    if not shutil.which("unshare") or not shutil.which("nsenter"):
        return "unshare or nsenter is not installed"
    with tempfile.TemporaryDirectory(prefix="pathwarden-mount-probe-") as probe_dir:
        works, text = _probe(["unshare", "-m", "--propagation", "private", "sh", "-c",
                              f"mount -t tmpfs pathwarden-probe {probe_dir} && "
                              f"mount --bind {probe_dir} {probe_dir} && umount -l {probe_dir}"])
    return None if works else f"cannot mount a tmpfs or bind mount in a private mount namespace here: {text}"


def in_mount_namespace(setup, argv):
    """argv run in a private mount namespace after the shell commands `setup`;
    unshare and sh exec, so in_namespace_of(the pid started) reaches it."""
    _need(_mounting)
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", f'{setup} && exec "$0" "$@"', *argv]


def in_namespace_of(pid, *command):
    works, text = _probe(["nsenter", "-t", str(pid), "-m", *command])
    assert works, text


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
    return None if works else f"cannot switch to the user nobody: {text}"


def nobody_ids():
    _need(_unprivileged)
    return pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid


def as_nobody():
    """Popen arguments that make the child the user nobody."""
    uid, gid = nobody_ids()
    return dict(user=uid, group=gid, extra_groups=[])
