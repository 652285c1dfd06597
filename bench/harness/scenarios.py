"""The scenarios. Each runs every watcher in turn, in a rotating order, on identical fresh trees, and stores
plain numbers in ctx.results; its rows in report.py turn them into the table. ALL, at the end, lists them."""

import os
import signal
import statistics
import subprocess
import time

from tests.e2e.support import procfs

from . import report


class Context:
    def __init__(self, cfg, tools, watchers, workdir, log):
        self.cfg = cfg
        self.tools = tools
        self.watchers = watchers
        self.workdir = workdir
        self.log = log
        self.results = {}
        self._turn = 0
        self._serial = 0
        self.floor_list = None   # the floor that also lists new directories (race only)
        self.floor_print = None  # the floor that prints every event (bursts, for CPU)

    def order(self, watchers=None):
        """The watchers, starting one further along each time, so none is always first."""
        watchers = watchers or self.watchers
        k = self._turn % len(watchers)
        self._turn += 1
        return watchers[k:] + watchers[:k]

    def fresh(self, label):
        """A new, empty directory; nothing is deleted before the end (deleting slows creation here)."""
        self._serial += 1
        path = os.path.join(self.workdir, f"{self._serial:03d}-{label}")
        os.makedirs(path)
        return path

    def each(self, name, head, message, watchers=None):
        """Stores the scenario's entry, then yields (its cells, watcher, a fresh root) for each watcher in turn."""
        cells = self.results.setdefault(name, dict(head, watchers={}))["watchers"]
        self.log(message)
        for watcher in self.order(watchers):
            yield cells, watcher, self.fresh(f"{name}-{watcher.name}")


def wait_quiet(run, quiet, timeout):
    """Waits until neither the output nor the watcher's CPU time has moved for `quiet`
    seconds. Returns the time the output last grew."""
    last_size, last_cpu = run.output_size(), procfs.cpu_seconds(run.stat_pid)
    last_change = last_growth = time.monotonic()
    deadline = last_change + timeout
    while time.monotonic() < deadline:
        time.sleep(0.05)
        size, cpu = run.output_size(), procfs.cpu_seconds(run.stat_pid)
        now = time.monotonic()
        if size != last_size:
            last_growth = now
        if size != last_size or cpu != last_cpu:
            last_change = now
            last_size, last_cpu = size, cpu
        elif now - last_change >= quiet:
            break
    drain = getattr(run.consumer, "last_growth", None)
    return drain if drain is not None else last_growth


def start_ready(ctx, watcher, root, purpose, label):
    """Starts a watcher and waits for it to be ready; returns (run, seconds) or (run, None)."""
    # The run's output and stderr go outside every watched tree.
    run = watcher.start(root, ctx.fresh(f"{label}-{watcher.name}.run"), purpose)
    seconds = run.wait_ready(ctx.cfg.ready_timeout)
    if seconds is None:
        why = "exited" if not run.alive() else f"not ready within {ctx.cfg.ready_timeout} s"
        ctx.log(f"    {watcher.name}: {why}")
    return run, seconds


def failure(run, why):
    if not run.alive():
        why = "exited before it was ready"
    run.stop()
    text = run.stderr_text().strip().splitlines()
    return {"error": why + (": " + text[-1][:200] if text else "")}


def load_manifest(root):
    """The paths the generator made below root (see generate), relative to it; none without a manifest."""
    if not os.path.exists(root + ".manifest"):
        return set()
    with open(root + ".manifest", "rb") as f:
        return set(f.read().split(b"\n")) - {b""}


def observe(ctx, watcher, root, label, act, purpose="print", slow_rate=None, quiet=1.0, timeout=120):
    """Starts the watcher, lets `act` make changes, waits for the output to settle,
    and returns the numbers plus what was reported (`_paths`, `_created`)."""
    run, ready = start_ready(ctx, watcher, root, "slow" if slow_rate else purpose, label)
    if ready is None:
        return failure(run, "not ready")
    run.consume(os.path.join(run.workdir, "output"), ctx.tools, slow_rate)
    wait_quiet(run, 0.5, 30)  # let start-up noise pass before counting CPU
    cpu0 = procfs.cpu_sample(run.stat_pid)
    switches0 = procfs.context_switches(run.stat_pid) or 0
    t0 = time.monotonic()
    acted = act(run)
    acted_at = time.monotonic()
    last_output = wait_quiet(run, quiet, timeout)
    # Wake-ups explain most of the CPU per event: a watcher woken per event pays
    # for a context switch each time, one that finds a batch pays once.
    result = {"ready_s": ready, "cpu_s": procfs.cpu_since(run.stat_pid, cpu0),
              "wakeups": (procfs.context_switches(run.stat_pid) or 0) - switches0, "act_s": acted_at - t0,
              "last_output_s": max(0.0, last_output - t0), "peak_rss_kib": procfs.peak_rss_kib(run.stat_pid),
              "exited_early": next((p.returncode for p in run.procs if p.poll() is not None), None)}
    result.update(acted or {})
    result["exit_status"] = run.stop()
    report = run.report()
    result.update(overflow=report.overflow, deliveries=report.deliveries, anomalies=report.anomalies,
                  _paths=report.paths, _created=report.created)
    return result


def judge(result, expected, counted_ok=False):
    """Compares what was reported with the expected relative paths; drops the raw sets."""
    paths = result.pop("_paths", set())
    created = result.pop("_created", None)
    if "error" in result:
        return result
    found = paths & expected
    result.update(reported=len(found), expected=len(expected))
    if counted_ok and created is not None and not paths:
        result["reported"] = min(created, len(expected))
    result["missing_sample"] = sorted(p.decode(errors="replace") for p in list(expected - found)[:5])
    # A burst file reported under a name we never made means a wrong directory.
    result["misplaced"] = sum(1 for p in paths - expected
                              if (name := os.path.basename(p)).startswith(b"b0") and len(name) == 8)
    return result


def generate(ctx, mode, root, *args):
    """An act running the generator (manifest: root.manifest); its rate shows that the watcher did not slow it."""
    def act(run):
        made, seconds, rate = ctx.tools.gen(mode, root, *args, root + ".manifest")
        return {"gen_rate": rate, "gen_s": seconds}
    return act


def setup_tree(ctx, dirs):
    root = os.path.join(ctx.workdir, f"tree-{dirs}")
    if not os.path.exists(root):
        made, seconds, rate = ctx.tools.gen("tree", root, dirs, ctx.cfg.fanout, ctx.cfg.files_per_dir)
        ctx.log(f"  made a tree of {dirs} directories ({made} entries, {rate:.0f}/s)")
    # Every watcher then finds the tree in the cache, not only the ones that come later.
    subprocess.run(["du", "-s", root], capture_output=True)
    return root


def time_find(root, times=3):
    samples = []
    for _ in range(times):
        t0 = time.monotonic()
        subprocess.run(["find", root, "-type", "d"], stdout=subprocess.DEVNULL)
        samples.append(time.monotonic() - t0)
    return statistics.median(samples)


def setup(ctx):
    out = ctx.results.setdefault("setup", {})
    for dirs in ctx.cfg.setup_sizes:
        ctx.log(f"setup: {dirs} directories")
        root = setup_tree(ctx, dirs)
        entry = out.setdefault(str(dirs), {"dirs": dirs, "find_s": time_find(root), "watchers": {}})
        for rep in range(ctx.cfg.setup_repeats):
            for watcher in ctx.order():
                run, ready = start_ready(ctx, watcher, root, "count", f"setup-{dirs}")
                cell = entry["watchers"].setdefault(watcher.name, {"ready_s": [], "peak_rss_kib": [], "cpu_s": []})
                if ready is None:
                    cell["error"] = failure(run, "not ready")["error"]
                    continue
                cell["ready_s"].append(ready)
                cell["peak_rss_kib"].append(procfs.peak_rss_kib(run.stat_pid))
                cell["cpu_s"].append(procfs.cpu_seconds(run.stat_pid))
                if rep == 0:
                    cell["watches"] = procfs.inotify_watches(run.stat_pid)
                run.stop()
                ctx.log(f"    {watcher.name}: ready {ready:.3f} s, {cell['peak_rss_kib'][-1] / 1024:.1f} MiB")


def burst(ctx):
    out = ctx.results.setdefault("burst", {})
    for kind, sizes in (("flat", ctx.cfg.flat_sizes), ("spread", ctx.cfg.spread_sizes)):
        gave_up = {}  # a watcher that died on a smaller burst is not run on the larger ones
        for files in sorted(sizes):
            key = f"{kind}-{files}"
            ctx.log(f"burst: {files} files, {kind}")
            entry = out.setdefault(key, {"kind": kind, "files": files, "watchers": {}})
            if kind == "spread":
                entry["spread_dirs"] = ctx.cfg.spread_dirs
            # The printing floor only explains the floor's cost; it need not make a million files.
            extra = [ctx.floor_print] if ctx.floor_print and files < 1000000 else []
            watchers = [w for w in ctx.watchers + extra if w.name not in gave_up]
            for name, smaller in gave_up.items():
                entry["watchers"][name] = {"error": f"exited during the {smaller:,}-file burst"}
            repeats = ctx.cfg.burst_repeats if files < 100000 else 1
            runs = {}
            for _ in range(repeats):
                for watcher in ctx.order(watchers):
                    result = burst_once(ctx, watcher, kind, files, key)
                    runs.setdefault(watcher.name, []).append(result)
                    log_result(ctx, watcher, result, files)
            for name, results in runs.items():
                entry["watchers"][name] = merge_runs(results)
                if entry["watchers"][name].get("exited_early") is not None:
                    gave_up[name] = files


def burst_once(ctx, watcher, kind, files, key):
    root = ctx.fresh(f"burst-{key}-{watcher.name}")
    if kind == "spread":
        ctx.tools.gen("tree", root, ctx.cfg.spread_dirs, ctx.cfg.fanout, 0)
    result = observe(ctx, watcher, root, f"burst-{key}", generate(ctx, "burst", root, files, kind),
                     purpose="count" if watcher.name == "floor" else "print", timeout=max(60, files / 2000))
    return judge(result, load_manifest(root), counted_ok=True)


def merge_runs(results):
    """Repeated runs as one: the median of the costs, the worst of the losses."""
    good = [r for r in results if "error" not in r]
    if not good:
        return results[0]
    merged = dict(good[0], runs=results)
    for key in ("cpu_s", "gen_rate", "last_output_s", "peak_rss_kib", "wakeups"):
        values = [r[key] for r in good if r.get(key) is not None]
        if values:
            merged[key] = statistics.median(values)
    merged.update(reported=min(r.get("reported", 0) for r in good), overflow=any(r.get("overflow") for r in good),
                  **{key: max(r.get(key, 0) for r in good) for key in ("misplaced", "anomalies")})
    merged["exited_early"] = next((r["exited_early"] for r in good if r.get("exited_early") is not None), None)
    if len(good) < len(results):
        merged["failed_runs"] = len(results) - len(good)
    return merged


def log_result(ctx, watcher, result, total):
    if "error" in result:
        ctx.log(f"    {watcher.name}: {result['error']}")
        return
    share = 100.0 * result["reported"] / total
    ctx.log(f"    {watcher.name}: {share:.2f}% reported{' +OVERFLOW' if result['overflow'] else ''}, "
            f"cpu {result['cpu_s']:.2f} s, gen {result.get('gen_rate', 0):.0f}/s, "
            f"last line after {result['last_output_s']:.2f} s")


def race(ctx):
    chains, levels, files = ctx.cfg.race
    watchers = [ctx.floor_list] + ctx.watchers if ctx.floor_list else ctx.watchers
    for cells, watcher, root in ctx.each("race", {"chains": chains, "levels": levels, "files": files},
                                         f"race: {chains} chains x {levels} levels x {files} files", watchers):
        act = generate(ctx, "chains", root, chains, levels, files)
        result = cells[watcher.name] = judge(observe(ctx, watcher, root, "race", act), load_manifest(root))
        log_result(ctx, watcher, result, chains * levels * (files + 1))


def slow_reader(ctx):
    files, rate = ctx.cfg.slow_files, ctx.cfg.slow_rate
    for cells, watcher, root in ctx.each("slow", {"files": files, "rate": rate},
                                         f"slow reader: {files} files, output read at {rate} lines/s"):
        result = observe(ctx, watcher, root, "slow", generate(ctx, "burst", root, files, "flat"),
                         slow_rate=rate, quiet=3.0, timeout=files / rate * 4 + 60)
        result = cells[watcher.name] = judge(result, load_manifest(root))
        log_result(ctx, watcher, result, files)


def stall(ctx):
    files = ctx.cfg.stall_files
    for cells, watcher, root in ctx.each("stall", {"files": files},
                                         f"stall: watcher stopped while {files} files are made"):
        ctx.tools.gen("tree", root, 10, 10, 0)

        def act(run, root=root):
            run.signal(signal.SIGSTOP)
            timing = generate(ctx, "burst", root, files, "flat")(run)
            time.sleep(0.2)
            run.signal(signal.SIGCONT)
            wait_quiet(run, 1.0, 60)
            # After the loss, changes must still come through, also from a new directory.
            for i in range(100):
                open(os.path.join(root, "d0", f"after{i:03d}"), "w").close()
            os.mkdir(os.path.join(root, "fresh"))
            time.sleep(0.3)
            for i in range(10):
                open(os.path.join(root, "fresh", f"after{i:03d}"), "w").close()
            return timing

        result = observe(ctx, watcher, root, "stall", act)
        paths = result.get("_paths", set())
        after = {f"d0/after{i:03d}".encode() for i in range(100)} | {b"fresh"} | \
                {f"fresh/after{i:03d}".encode() for i in range(10)}
        result = cells[watcher.name] = judge(result, load_manifest(root))
        if "error" not in result:
            result.update(after_reported=len(paths & after), after_expected=len(after))
        ctx.log(f"    {watcher.name}: {result.get('reported')} of {files}"
                f"{' +OVERFLOW' if result.get('overflow') else ''}, "
                f"later {result.get('after_reported')}/{result.get('after_expected')}")


def foreign(ctx):
    """A watch of the whole file system sees files made beside the tree and must print none; only
    the program's own columns, since a watch by directory pays nothing for them."""
    files = ctx.cfg.foreign_files
    for cells, watcher, root in ctx.each("foreign", {"files": files},
                                         f"foreign: {files} files made outside the watched tree",
                                         [w for w in ctx.watchers if w.name.startswith("pathwarden")]):
        elsewhere = ctx.fresh(f"foreign-{watcher.name}-elsewhere")
        result = observe(ctx, watcher, root, "foreign", generate(ctx, "burst", elsewhere, files, "flat"))
        paths = result.pop("_paths", set())
        result.pop("_created", None)
        if "error" not in result:
            result["printed"] = len(paths)
        cells[watcher.name] = result
        ctx.log(f"    {watcher.name}: {result.get('printed')} paths printed, cpu {result.get('cpu_s', 0):.2f} s")


def percentile(samples, p):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def latency(ctx):
    count, interval_us = ctx.cfg.latency_probes, ctx.cfg.latency_interval_us
    for cells, watcher, root in ctx.each("latency", {"probes": count}, f"latency: {count} probes"):
        run, ready = start_ready(ctx, watcher, root, "print", "latency")
        if ready is None:
            cells[watcher.name] = failure(run, "not ready")
            continue
        time.sleep(0.3)
        probe = subprocess.run([ctx.tools.bin("latency"), str(run.out_fd), root, str(count), str(interval_us),
                                "3000"], pass_fds=(run.out_fd,), capture_output=True, text=True)
        run.stop()
        samples = [int(x) for x in probe.stdout.split()]
        seen = [s / 1e6 for s in samples if s >= 0]
        result = cells[watcher.name] = {"lost": len(samples) - len(seen), "samples": len(samples)}
        if seen:
            result.update(p50_ms=percentile(seen, 50), p99_ms=percentile(seen, 99), max_ms=max(seen))
        ctx.log(f"    {watcher.name}: p50 {result.get('p50_ms', float('nan')):.3f} ms, "
                f"p99 {result.get('p99_ms', float('nan')):.3f} ms, lost {result['lost']}")


def idle(ctx):
    seconds, dirs = ctx.cfg.idle_seconds, ctx.cfg.idle_dirs
    entry = ctx.results.setdefault("idle", {"seconds": seconds, "dirs": dirs, "watchers": {}})
    ctx.log(f"idle: {seconds} s on {dirs} directories")
    root = setup_tree(ctx, dirs)
    for watcher in ctx.order():
        run, ready = start_ready(ctx, watcher, root, "print", "idle")
        if ready is None:
            entry["watchers"][watcher.name] = failure(run, "not ready")
            continue
        run.consume(os.path.join(run.workdir, "output"))
        wait_quiet(run, 1.0, 30)
        ns0, sw0 = procfs.cpu_ns_precise(run.stat_pid), procfs.context_switches(run.stat_pid)
        time.sleep(seconds)
        ns1, sw1 = procfs.cpu_ns_precise(run.stat_pid), procfs.context_switches(run.stat_pid)
        run.stop()
        result = entry["watchers"][watcher.name] = {"cpu_percent": (ns1 - ns0) / (seconds * 1e9) * 100.0,
                                                     "wakeups_per_s": (sw1 - sw0) / seconds}
        ctx.log(f"    {watcher.name}: {result['cpu_percent']:.4f}% of a core, {result['wakeups_per_s']:.1f} wake-ups/s")


# Every scenario once, in the order of the table and of a run: its name (for
# --scenarios) -> (how it is measured, how report.py shows it).
ALL = {"setup": (setup, report.setup_rows), "race": (race, report.race_rows), "burst": (burst, report.burst_rows),
       "slow": (slow_reader, report.slow_rows), "stall": (stall, report.stall_rows),
       "foreign": (foreign, report.foreign_rows),
       "latency": (latency, report.latency_rows), "idle": (idle, report.idle_rows)}
