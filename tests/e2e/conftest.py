"""Fixtures for the end-to-end tests: the Linux program and the Windows exe under Wine.

ctest passes the programs in through the environment:
  PATHWARDEN_BIN          the Linux program
  PATHWARDEN_EXE          Pathwarden.exe from a Windows cross build
  PATHWARDEN_EXE_MACHINE  i386 or amd64, what that build was meant to produce
  PATHWARDEN_SANITIZED    1 when the Linux program carries ASan/UBSan
(and support/wine.py reads its own). A test whose program is missing is
skipped with the reason, except under CI, where the install step guarantees
everything and a skip would hide a fault. Tests in test_windows*.py, and any
test using the Wine fixtures, carry the "wine" mark; the Linux build runs
-m "not wine", the Windows builds -m wine. Tests marked "not_sanitized"
(valgrind, for one, cannot run a sanitized program) are skipped in the
sanitizer build.
"""

import os
import shutil
import tempfile
from pathlib import Path

import pytest

from .support import runner
from .support import isolation
from .support.isolation import unavailable
from .support.shell import Shell
from .support.trees import remove_tree
from .support.wine import Wine


# The kernel interfaces a recursive watch may have, and how a test gets each:
# fanotify where the program runs as root; inotify in a user namespace of its
# own, where no whole file system can be marked. The suites below run on both.
INTERFACES = {"fanotify": (), "inotify": ("unshare", "-U", "-r")}
SUITES_ON_BOTH = {"test_watch", "test_hostile", "test_limits", "test_replay"}


def pytest_configure(config):
    config.addinivalue_line("markers", "wine: runs the Windows exe under Wine")
    config.addinivalue_line("markers", "not_sanitized: needs a program built without sanitizers")
    config.addinivalue_line("markers", "interface(name): runs only on that kernel interface")


def pytest_generate_tests(metafunc):
    if "program" not in metafunc.fixturenames:
        return
    if metafunc.module.__name__.rpartition(".")[2] not in SUITES_ON_BOTH:
        return
    only = metafunc.definition.get_closest_marker("interface")
    names = [only.args[0]] if only else list(INTERFACES)
    metafunc.parametrize("program", names, indirect=True, scope="session")


def pytest_collection_modifyitems(items):
    sanitized = os.environ.get("PATHWARDEN_SANITIZED") == "1"
    for item in items:
        wants_wine = {"windows_exe", "windows_exe_path"} & set(item.fixturenames)
        if item.path.name.startswith("test_windows") or wants_wine:
            item.add_marker(pytest.mark.wine)
        if sanitized and item.get_closest_marker("not_sanitized"):
            item.add_marker(pytest.mark.skip(reason="the program is built with sanitizers"))


def _program_from_env(variable):
    value = os.environ.get(variable)
    if not value:
        unavailable(f"{variable} is not set (run the tests through ctest)")
    path = Path(value)
    if not path.is_file():
        unavailable(f"{path} is not built")
    return path


@pytest.fixture(scope="session")
def program(request):
    """The Linux program (a runner.Program). Every suite starts it through
    this fixture; in the suites on both interfaces it comes once for each."""
    path = _program_from_env("PATHWARDEN_BIN")
    interface = getattr(request, "param", None)
    if interface == "fanotify" and os.geteuid() != 0:
        pytest.skip("fanotify needs root")
    if interface == "inotify" and not isolation.user_namespaces():
        unavailable("no user namespace can be made here, so inotify cannot be chosen as root")
    return runner.Program(path, INTERFACES.get(interface, ()))


@pytest.fixture
def interface(program):
    """The kernel interface the program is expected to choose for a recursive watch."""
    return "inotify" if program.launcher or os.geteuid() != 0 else "fanotify"


@pytest.fixture(scope="session")
def windows_exe_path():
    """Path of Pathwarden.exe, without starting Wine."""
    return _program_from_env("PATHWARDEN_EXE")


@pytest.fixture(scope="session")
def windows_exe(windows_exe_path):
    """The exe under Wine, ready to run (a runner.Program)."""
    with Wine(windows_exe_path) as exe:
        yield exe


@pytest.fixture(autouse=True)
def end_what_is_left():
    """Whatever a test started and left running is ended when the test ends."""
    yield
    runner.end_all()


@pytest.fixture
def watch(program):
    """Starts the program (or another Program) on a directory, output to a
    pipe, and waits for its start lines, which must be the first thing it
    prints."""
    def start(root, started=program, **kwargs):
        run = started.pipe(root, **kwargs)
        run.expect_start(root)
        return run
    return start


@pytest.fixture
def program_for_nobody(program, shared_tmp):
    """The program as the user nobody can start it: a copy in a directory
    every user can reach, since the build may lie below one that only root
    may enter (/root, on a fresh machine)."""
    copy = shutil.copy2(program.path, shared_tmp)
    return runner.Program(copy, program.launcher, program.env)


@pytest.fixture
def shared_tmp():
    """A fresh directory every user can reach; pytest's own tmp_path lies below a
    directory that only its owner may enter, and so may TMPDIR."""
    path = tempfile.mkdtemp(prefix="pathwarden-e2e-", dir="/tmp")
    os.chmod(path, 0o755)
    yield path
    remove_tree(path)


@pytest.fixture
def watched(tmp_path):
    directory = tmp_path / "watched"
    directory.mkdir()
    return directory


@pytest.fixture(params=["bash", "dash"])
def shell(request, tmp_path):
    """An interactive shell in a terminal. bash puts its own saved settings
    back after a job that was killed or stopped, which would hide a program
    that forgot to; dash does not. So every case runs under both."""
    running = Shell(request.param, tmp_path)
    yield running
    running.close()
