"""Fixtures for the end-to-end tests. ctest passes the programs in through
PATHWARDEN_BIN (the Linux program), PATHWARDEN_EXE (Pathwarden.exe, for
Wine), PATHWARDEN_EXE_MACHINE (i386 or amd64, what that build was meant to
produce) and PATHWARDEN_SANITIZED (1 when the Linux program carries
ASan/UBSan). The Linux build runs -m "not wine", the Windows builds -m wine."""

import os
import shutil
import tempfile
from pathlib import Path

import pytest

from .support import isolation, runner
from .support.shell import Shell
from .support.trees import remove_tree
from .support.wine import Wine


# How a test gets each kernel interface: fanotify as root; inotify in a user
# namespace of its own, where no whole file system can be marked.
INTERFACES = {"fanotify": (), "inotify": ("unshare", "-U", "-r")}
SUITES_ON_BOTH = {"test_watch", "test_hostile", "test_limits", "test_replay"}


def pytest_configure(config):
    config.addinivalue_line("markers", "wine: runs the Windows exe under Wine")
    config.addinivalue_line("markers", "not_sanitized: needs a program built without sanitizers")
    config.addinivalue_line("markers", "interface(name): runs only on that kernel interface")


def pytest_generate_tests(metafunc):
    if "program" not in metafunc.fixturenames or metafunc.module.__name__.rpartition(".")[2] not in SUITES_ON_BOTH:
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
        isolation.unavailable(f"{variable} is not set (run the tests through ctest)")
    path = Path(value)
    if not path.is_file():
        isolation.unavailable(f"{path} is not built")
    return path


@pytest.fixture(scope="session")
def program(request):
    """The Linux program (a runner.Program), once for each interface in SUITES_ON_BOTH."""
    path = _program_from_env("PATHWARDEN_BIN")
    interface = getattr(request, "param", None)
    if interface == "fanotify" and os.geteuid() != 0:
        pytest.skip("fanotify needs root")
    if interface == "inotify" and not isolation.user_namespaces():
        isolation.unavailable("no user namespace can be made here, so inotify cannot be chosen as root")
    return runner.Program(path, INTERFACES.get(interface, ()))


@pytest.fixture
def interface(program):
    """The kernel interface the program should choose for a recursive watch."""
    return "inotify" if program.launcher or os.geteuid() != 0 else "fanotify"


@pytest.fixture(scope="session")
def windows_exe_path():
    return _program_from_env("PATHWARDEN_EXE")


@pytest.fixture(scope="session")
def windows_exe(windows_exe_path):
    """The exe under Wine (a runner.Program)."""
    with Wine(windows_exe_path) as exe:
        yield exe


@pytest.fixture(autouse=True)
def end_what_is_left():
    yield
    runner.end_all()


@pytest.fixture
def watch(program):
    """Starts the program (or another Program) on a directory, output to a
    pipe, and waits for its start lines, which must come first."""
    def start(root, started=program, **kwargs):
        run = started.pipe(root, **kwargs)
        run.expect_start(root)
        return run
    return start


@pytest.fixture
def watch_as_nobody(watch, program, shared_tmp):
    """watch, as the user nobody, of a copy of the program that nobody can start: the build may lie below /root."""
    copy = runner.Program(shutil.copy2(program.path, shared_tmp), program.launcher, program.env)
    return lambda root: watch(root, copy, **isolation.as_nobody())


@pytest.fixture
def shared_tmp():
    """A fresh directory every user can reach, unlike pytest's tmp_path and maybe TMPDIR; removed however deep."""
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
    """An interactive shell in a terminal. bash puts its own saved settings back
    after a job was killed or stopped, which would hide a program that forgot
    to; dash does not."""
    running = Shell(request.param, tmp_path)
    yield running
    running.close()
