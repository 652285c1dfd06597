"""The C helpers from bench/helpers, which CMake builds into build/PRESET/bench/
(next to the pathwarden binary), run as small subprocesses."""

import os
import subprocess

HELPERS = ("floor", "gen", "slowread", "latency")


class Tools:
    def __init__(self, build_dir):
        self.build_dir = build_dir

    def missing(self):
        return [name for name in HELPERS if not os.access(self.bin(name), os.X_OK)]

    def bin(self, name):
        return os.path.join(self.build_dir, name)

    def gen(self, *args):
        """Runs the generator; returns (entries made, seconds, entries per second)."""
        out = subprocess.run([self.bin("gen")] + [str(a) for a in args], capture_output=True, text=True)
        if out.returncode != 0:
            raise RuntimeError(f"gen {' '.join(map(str, args))}: {out.stderr.strip()}")
        words = out.stdout.strip().splitlines()[-1].split()
        # "made N entries in S s (R/s)"
        return int(words[1]), float(words[4]), float(words[6].strip("(/s)"))
