"""Soak: the program watches a tree that a seeded churn changes without pause
for a long time, its memory and open descriptors sampled every few seconds; at
the end the report, replayed onto the starting tree, must give the final tree.

    python3 -m bench.soak --bin build/linux-release/pathwarden --minutes 10

Exits 1 if memory or descriptors grew beyond noise or the replay failed.
"""

import argparse
import collections
import os
import sys
import tempfile
import time

from tests.e2e.support import procfs, replay
from tests.e2e.support.churn import Churn
from tests.e2e.support.runner import Program


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.environ.get("PATHWARDEN_BIN", "build/linux-release/pathwarden"))
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--every", type=float, default=5, help="seconds between samples")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    samples = []
    operations = [0]

    with tempfile.TemporaryDirectory(prefix="pathwarden-soak-") as workdir:
        root = os.path.join(workdir, "watched")
        os.mkdir(root)
        os.mkdir(os.path.join(workdir, "outside"))
        churn = Churn(args.seed, root, os.path.join(workdir, "outside"), max_entries=400)
        churn.populate(60)
        churn.log = collections.deque(maxlen=0)  # the operation log would grow for ever; the replay does not need it

        def act(watch):
            pid = watch.proc.pid
            end = time.monotonic() + args.minutes * 60
            next_sample = time.monotonic()
            while time.monotonic() < end:
                for _ in range(200):
                    churn.step()
                operations[0] += 200
                if time.monotonic() >= next_sample:
                    watch.sync()  # samples are taken with the report caught up
                    rss, fds = procfs.status_kib(pid, "VmRSS"), procfs.open_descriptors(pid)
                    samples.append((time.monotonic(), rss, fds))
                    print(f"{len(samples):4d}  ops {operations[0]:9d}  rss {rss:7d} KiB  fds {fds}", flush=True)
                    next_sample += args.every

        run = replay.watched_run(Program(args.bin), workdir, act, timeout=300)

    first, last = samples[1] if len(samples) > 1 else samples[0], samples[-1]
    print(f"operations {operations[0]}, records {len(run.report.records)}, samples {len(samples)}")
    print(f"rss KiB: first {first[1]}, last {last[1]}, peak {max(s[1] for s in samples)}; "
          f"fds: first {first[2]}, last {last[2]}")
    flat = last[2] == first[2] and last[1] <= first[1] * 1.25 + 1024
    print("memory and descriptors flat" if flat else "GREW")
    print("replay holds" if run.ok else replay.explain(run, "replay FAILED"))
    return 0 if flat and run.ok else 1


if __name__ == "__main__":
    sys.exit(main())
