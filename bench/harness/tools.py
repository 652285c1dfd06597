"""The C helpers: built from bench/helpers with cc, run as small subprocesses."""

import os
import subprocess

HELPERS = ("floor", "gen", "slowread", "latency")


class Tools:
    def __init__(self, source_dir, build_dir):
        self.source_dir = source_dir
        self.build_dir = build_dir

    def build(self, cc="cc"):
        os.makedirs(self.build_dir, exist_ok=True)
        for name in HELPERS:
            source = os.path.join(self.source_dir, name + ".c")
            target = self.bin(name)
            if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(source):
                continue
            subprocess.run([cc, "-O2", "-Wall", "-Wextra", "-o", target, source], check=True)

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
