"""Fixtures for the end-to-end tests: the Linux program and the Windows exe under Wine.

ctest passes the programs in through the environment:
  PATHWARDEN_BIN          the Linux program
  PATHWARDEN_EXE          Pathwarden.exe from a Windows cross build
  PATHWARDEN_EXE_MACHINE  i386 or amd64, what that build was meant to produce
  PATHWARDEN_WINEPREFIX   a private Wine prefix, created on first use
  PATHWARDEN_WINE         optional: the Wine loader to use
  PATHWARDEN_SANITIZED    1 when the Linux program carries ASan/UBSan
A test whose program is missing is skipped with the reason, except under CI,
where the install step guarantees everything and a skip would hide a fault.
Tests in test_windows*.py, and any test using the Wine fixtures, carry the
"wine" mark; the Linux build runs -m "not wine", the Windows builds -m wine.
Tests marked "not_sanitized" (valgrind, for one, cannot run a sanitized
program) are skipped in the sanitizer build.
"""

import contextlib
import errno
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from pe_image import MACHINE_AMD64, read_pe_image

WINE_START_TIMEOUT = 300  # seconds; the first start builds the prefix
RUN_TIMEOUT = 120


def pytest_configure(config):
    config.addinivalue_line("markers", "wine: runs the Windows exe under Wine")
    config.addinivalue_line("markers", "not_sanitized: needs a program built without sanitizers")


def pytest_collection_modifyitems(items):
    sanitized = os.environ.get("PATHWARDEN_SANITIZED") == "1"
    for item in items:
        wants_wine = {"windows_exe", "windows_exe_path"} & set(item.fixturenames)
        if item.path.name.startswith("test_windows") or wants_wine:
            item.add_marker(pytest.mark.wine)
        if sanitized and item.get_closest_marker("not_sanitized"):
            item.add_marker(pytest.mark.skip(reason="the program is built with sanitizers"))


def _unavailable(reason):
    if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
        pytest.fail(f"{reason} (CI installs everything the tests need)")
    pytest.skip(reason)


def _program_from_env(variable):
    value = os.environ.get(variable)
    if not value:
        _unavailable(f"{variable} is not set (run the tests through ctest)")
    path = Path(value)
    if not path.is_file():
        _unavailable(f"{path} is not built")
    return path


@pytest.fixture(scope="session")
def pathwarden_bin():
    """Path of the Linux program."""
    return str(_program_from_env("PATHWARDEN_BIN"))


@pytest.fixture(scope="session")
def windows_exe_path():
    """Path of Pathwarden.exe, without starting Wine."""
    return _program_from_env("PATHWARDEN_EXE")


class WineProgram:
    """Pathwarden.exe run by one Wine loader in a private prefix."""

    def __init__(self, exe, loader, server, prefix, arch):
        self.exe = exe
        self.loader = loader
        self.server = server
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=str(prefix),
            WINEARCH=arch,
            WINEDEBUG="-all",
            # No Mono or Gecko install prompts while the prefix is created,
            # and no desktop menu entries written into the user's home.
            WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
        )
        # A console program needs no display; with one, wineboot shows dialogs.
        for variable in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(variable, None)

    def run(self, args, timeout=RUN_TIMEOUT):
        """Runs the exe with stdout and stderr as pipes; returns CompletedProcess (bytes)."""
        return subprocess.run([self.loader, str(self.exe), *args], env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)

    @contextlib.contextmanager
    def started(self, args, stdout=None):
        """Runs the exe for the length of a with-block, its stdout a pipe
        unless a file is given.

        Standard input is not a console, so no key can end the run: it is
        killed when the block ends.
        """
        process = subprocess.Popen([self.loader, str(self.exe), *args], env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=stdout or subprocess.PIPE)
        try:
            yield process
        finally:
            process.kill()
            process.wait(timeout=RUN_TIMEOUT)
            if process.stdout:
                process.stdout.close()

    def server_command(self, *flags, timeout=WINE_START_TIMEOUT):
        subprocess.run([self.server, *flags], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)


def _wine_tools(machine):
    """(loader, wineserver) for an exe of this machine; Debian keeps both kinds in /usr/lib/wine."""
    if os.environ.get("PATHWARDEN_WINE"):
        loader = os.environ["PATHWARDEN_WINE"]
    else:
        name = "wine64" if machine == MACHINE_AMD64 else "wine"
        loader = f"/usr/lib/wine/{name}"
        if not os.access(loader, os.X_OK):
            loader = shutil.which(name) or shutil.which("wine")
    server = "/usr/lib/wine/wineserver64"
    if not os.access(server, os.X_OK):
        server = shutil.which("wineserver")
    if not loader or not server:
        _unavailable("Wine is not installed")
    return loader, server


def _check_loader_starts(loader):
    try:
        subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=RUN_TIMEOUT, check=True)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            # Not a missing install: some kernels are built without 32-bit
            # support, and 32-bit Wine is itself a 32-bit Linux program.
            pytest.skip(f"this kernel cannot start {loader} (32-bit Linux programs are not supported here)")
        _unavailable(f"{loader} does not start: {error}")
    except subprocess.CalledProcessError as error:
        _unavailable(f"{loader} --version failed: {error.stderr.decode(errors='replace')}")


def _start_prefix(program):
    """Creates the prefix once and starts one wineserver for the whole session.

    The first program of a new wineserver also starts Wine's own background
    processes (winedevice.exe and others), which inherit that program's
    standard handles and outlive it: had that been a test's captured run, the
    capture would wait for them until the time-out. So a persistent server is
    started here and warmed up by a run whose output is discarded; the
    session's end stops it all.
    """
    prefix = Path(program.env["WINEPREFIX"])
    if not (prefix / "system.reg").exists():
        prefix.parent.mkdir(parents=True, exist_ok=True)
        log = prefix.parent / "wineboot.log"
        with open(log, "wb") as output:
            status = subprocess.run([program.loader, "wineboot", "-i"], env=program.env,
                                    stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                    timeout=WINE_START_TIMEOUT).returncode
        if status != 0:
            pytest.fail(f"wineboot -i failed with status {status}; see {log}")
        # Let the server that wineboot started write the registry and leave.
        program.server_command("-w")
    program.server_command("-p")
    subprocess.run([program.loader, "cmd", "/c", "exit"], env=program.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=WINE_START_TIMEOUT)


@pytest.fixture(scope="session")
def windows_exe(windows_exe_path):
    """The exe under Wine, ready to run (see WineProgram)."""
    image = read_pe_image(windows_exe_path)
    loader, server = _wine_tools(image.machine)
    _check_loader_starts(loader)
    prefix = os.environ.get("PATHWARDEN_WINEPREFIX") or str(windows_exe_path.parent / "wineprefix")
    arch = "win64" if image.machine == MACHINE_AMD64 else "win32"
    program = WineProgram(windows_exe_path, loader, server, prefix, arch)
    _start_prefix(program)
    yield program
    program.server_command("-k")
