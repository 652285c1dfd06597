"""Pathwarden.exe under Wine: the loader for its machine, a private prefix made on
first use (PATHWARDEN_WINEPREFIX), and one wineserver for the whole session.
PATHWARDEN_WINE, when set, is the loader to use."""

import errno
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from .isolation import unavailable
from .pe_image import MACHINE_AMD64, read_pe_image
from .runner import Program

START_TIMEOUT = 300  # seconds; the first start builds the prefix


def _tools(machine):
    """(loader, wineserver) for an exe of this machine; Debian keeps both kinds in /usr/lib/wine."""
    loader = os.environ.get("PATHWARDEN_WINE")
    if not loader:
        name = "wine64" if machine == MACHINE_AMD64 else "wine"
        loader = f"/usr/lib/wine/{name}"
        if not os.access(loader, os.X_OK):
            loader = shutil.which(name) or shutil.which("wine")
    server = "/usr/lib/wine/wineserver64"
    if not os.access(server, os.X_OK):
        server = shutil.which("wineserver")
    if not loader or not server:
        unavailable("Wine is not installed")
    if machine != MACHINE_AMD64 and os.environ.get("PATHWARDEN_WINE32_UNAVAILABLE") and \
            not os.access("/usr/lib/wine/wine", os.X_OK):
        pytest.skip(os.environ["PATHWARDEN_WINE32_UNAVAILABLE"])
    return loader, server


def _quietly(argv, env, output=subprocess.DEVNULL):
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                          timeout=START_TIMEOUT).returncode


def _check_loader_starts(loader):
    try:
        subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=START_TIMEOUT, check=True)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            # Not a missing install: some kernels are built without 32-bit
            # support, and 32-bit Wine is itself a 32-bit Linux program.
            pytest.skip(f"this kernel cannot start {loader} (32-bit Linux programs are not supported here)")
        unavailable(f"{loader} does not start: {error}")
    except subprocess.CalledProcessError as error:
        unavailable(f"{loader} --version failed: {error.stderr.decode(errors='replace')}")


class Wine:
    """Runs `with Wine(exe) as program:` for a session; program is a runner.Program."""

    def __init__(self, exe):
        machine = read_pe_image(exe).machine
        self.loader, self.server = _tools(machine)
        _check_loader_starts(self.loader)
        prefix = Path(os.environ.get("PATHWARDEN_WINEPREFIX") or Path(exe).parent / "wineprefix")
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEARCH="win64" if machine == MACHINE_AMD64 else "win32",
                        WINEDEBUG="-all",
                        # No Mono or Gecko install prompts while the prefix is created,
                        # and no desktop menu entries written into the user's home.
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        # A console program needs no display; with one, wineboot shows dialogs.
        for variable in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(variable, None)
        self.program = Program(exe, launcher=[self.loader], env=self.env)

    def __enter__(self):
        """The first program of a new wineserver starts Wine's background
        processes, which inherit its standard handles and outlive it: a captured
        run would wait for them. So a persistent server is warmed up here."""
        prefix = Path(self.env["WINEPREFIX"])
        if not (prefix / "system.reg").exists():
            prefix.parent.mkdir(parents=True, exist_ok=True)
            log = prefix.parent / "wineboot.log"
            with open(log, "wb") as output:
                status = _quietly([self.loader, "wineboot", "-i"], self.env, output)
            if status != 0:
                pytest.fail(f"wineboot -i failed with status {status}; see {log}")
            # Let the server that wineboot started write the registry and leave.
            _quietly([self.server, "-w"], self.env)
        _quietly([self.server, "-p"], self.env)
        _quietly([self.loader, "cmd", "/c", "exit"], self.env)
        return self.program

    def __exit__(self, *exc):
        _quietly([self.server, "-k"], self.env)
