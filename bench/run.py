"""Runs pathwarden, its peers and a bare-syscall floor side by side on identical
trees, and writes a markdown table and a JSON file. See bench/README.md.

    python3 -m bench.run --quick      (from the repository's top directory)"""

import argparse
import datetime
import json
import os
import pathlib
import platform
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import types

from tests.e2e.support import procfs
from tests.e2e.support.report import READY

from .harness import report, scenarios, tools as toolbox, watchers as watcherlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

PRESETS = {
    "quick": dict(setup_sizes=[1000, 10000], setup_repeats=3, flat_sizes=[10000], spread_sizes=[10000], burst_repeats=1,
                  spread_dirs=1000, slow_files=50000, stall_files=20000, foreign_files=20000, latency_probes=50,
                  idle_seconds=5, idle_dirs=10000),
    "full": dict(setup_sizes=[1000, 10000, 50000, 180000], setup_repeats=3, flat_sizes=[10000, 100000], burst_repeats=3,
                 spread_sizes=[10000, 100000, 1000000], spread_dirs=10000, slow_files=200000,
                 stall_files=200000, foreign_files=100000, latency_probes=200, idle_seconds=30, idle_dirs=50000),
}
COMMON = dict(fanout=10, files_per_dir=2, race=(50, 4, 20), slow_rate=10000, latency_interval_us=20000,
              ready_timeout=300)


def int_list(text):
    return [int(x.replace("_", "")) for x in text.split(",") if x]


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m bench.run", description=__doc__)
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_const", dest="preset", const="quick", default="quick",
                      help="small sizes, a couple of minutes (the default)")
    mode.add_argument("--full", action="store_const", dest="preset", const="full",
                      help="every size of the performance goals (tens of minutes)")
    p.add_argument("--pathwarden", default=os.path.join(REPO, "build", "linux-release", "pathwarden"),
                   help="the binary under test (default: %(default)s)")
    p.add_argument("--pathwarden-label", help="how the table names the binary's version (default: path, build time)")
    p.add_argument("--watchers", help="comma-separated subset of: " + ", ".join(report.ORDER))
    p.add_argument("--scenarios", help="comma-separated subset of: " + ", ".join(scenarios.ALL))
    p.add_argument("--setup-sizes", type=int_list, help="directory counts, e.g. 1000,50000")
    p.add_argument("--setup-repeats", type=int)
    p.add_argument("--flat-sizes", type=int_list, help="files per burst into one directory")
    p.add_argument("--spread-sizes", type=int_list, help="files per burst dealt over a tree")
    p.add_argument("--spread-dirs", type=int, help="directories of that tree")
    p.add_argument("--burst-repeats", type=int, help="runs per burst below 100,000 files (median CPU)")
    p.add_argument("--slow-files", type=int)
    p.add_argument("--slow-rate", type=int, help="lines per second the slow reader takes")
    p.add_argument("--stall-files", type=int)
    p.add_argument("--foreign-files", type=int, help="files made outside the watched tree, on its file system")
    p.add_argument("--latency-probes", type=int)
    p.add_argument("--idle-seconds", type=float)
    p.add_argument("--workdir", help="where trees are made (default: a new directory under /var/tmp)")
    p.add_argument("--keep", action="store_true", help="leave the trees behind")
    p.add_argument("--out", default=os.path.join(REPO, "build", "bench-results"),
                   help="directory for results.json and results.md (default: %(default)s)")
    p.add_argument("--micro", help="the report_bench binary to run as well (default: next to the pathwarden binary)")
    p.add_argument("--tools", help="where the C helpers were built (default: bench/ next to the pathwarden binary)")
    p.add_argument("--update-readme", action="store_true",
                   help="put the table into bench/README.md between its results markers")
    return p.parse_args(argv)


def make_config(args):
    cfg = dict(COMMON, **PRESETS[args.preset])
    cfg.update({key: value for key in cfg if (value := getattr(args, key, None)) is not None})
    return types.SimpleNamespace(**cfg)


def fit_setup_sizes(cfg, notes):
    """Trees larger than the free part of max_user_watches cannot be watched whole."""
    limit = procfs.inotify_limit("max_user_watches")
    margin = 10000  # the kernel frees a run's watches a little after its process ends
    free = limit - procfs.watches_in_use() - margin
    fitted = []
    for size in cfg.setup_sizes:
        if size + 1 > free:
            smaller = free // 10000 * 10000
            notes.append(f"{size:,} directories do not fit under max_user_watches = {limit:,} "
                         f"(with {limit - free - margin:,} in use elsewhere and {margin:,} kept free); "
                         f"measured {smaller:,} instead.")
            size = smaller
        if size not in fitted:
            fitted.append(size)
    cfg.setup_sizes = fitted


def check_pathwarden(watcher, workdir):
    """None when a short run reports a created file on the kernel interface the column is for."""
    root = tempfile.mkdtemp(prefix="check-", dir=workdir)
    run = watcher.program.pipe(root)
    try:
        run.expect(READY, 20)
        run.sentinel(root, "probe-file", 5)
        if (used := procfs.kernel_interfaces(run.proc.pid)) != {watcher.interface}:
            return f"it uses {', '.join(sorted(used)) or 'no kernel interface'} here (fanotify needs root)"
    except AssertionError as error:
        return str(error)[-300:]
    finally:
        run.kill()


def machine():
    model, mem = procfs.machine()
    try:
        distro = platform.freedesktop_os_release().get("PRETTY_NAME", "Linux")
    except OSError:
        distro = "Linux"
    return f"{distro}, kernel {platform.release()}, {os.cpu_count()} cores ({model}), {mem:.0f} GiB"


def describe_binary(path):
    if not os.path.exists(path):
        return path
    built = datetime.datetime.fromtimestamp(os.path.getmtime(path))
    return f"{os.path.relpath(path, REPO)} built {built:%Y-%m-%d %H:%M}"


def run_micro(binary):
    # Medians of five: the machine is shared, and one slow repetition says little.
    out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true"], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return {"error": out.stderr.strip()[-300:]}
    benchmarks = [dict(b, name=b.get("run_name", b["name"])) for b in json.loads(out.stdout).get("benchmarks", [])
                  if b.get("aggregate_name") == "median"]
    # Bursts arrive as full buffers: that case is the one the goal is about.
    full = [b.get("items_per_second") for b in benchmarks if b.get("name") == "ReportFullBuffer"]
    return {"lines_per_s": full[0] if full else None, "benchmarks": benchmarks}


def update_readme(text):
    path = pathlib.Path(HERE, "README.md")
    readme = path.read_text()
    begin, end = "<!-- results:begin -->", "<!-- results:end -->"
    if begin not in readme or end not in readme:
        print("README.md has no results markers; not updated", file=sys.stderr)
        return
    head, rest = readme.split(begin, 1)
    path.write_text(head + begin + "\n" + text + end + rest.split(end, 1)[1])


def main(argv):
    args = parse_args(argv)
    cfg = make_config(args)
    workdir = args.workdir or tempfile.mkdtemp(prefix="pathwarden-bench-", dir="/var/tmp")
    os.makedirs(workdir, exist_ok=True)
    started = time.monotonic()

    def log(text):
        print(f"[{time.monotonic() - started:7.1f}s] {text}", flush=True)

    built = os.path.join(os.path.dirname(os.path.abspath(args.pathwarden)), "bench")
    tools = toolbox.Tools(args.tools or built)
    if tools.missing():
        sys.exit(f"no {', '.join(tools.missing())} in {tools.build_dir}: build them with the program "
                 f"(cmake --workflow --preset linux-release), or pass --tools")
    notes = []
    fit_setup_sizes(cfg, notes)
    chosen = set(args.watchers.split(",")) if args.watchers else set(report.ORDER)
    watchers, skipped = [], {}
    for w in [w for w in watcherlib.all_watchers(tools, os.path.abspath(args.pathwarden)) if w.name in chosen]:
        ok, why = w.available()
        if ok and isinstance(w, watcherlib.Pathwarden):
            ok = (why := check_pathwarden(w, workdir)) is None
        if ok:
            watchers.append(w)
        else:
            skipped[w.name] = why
            notes.append(f"{w.name} not measured: {why}")
            log(f"skipping {w.name}: {why}")
    ctx = scenarios.Context(cfg, tools, watchers, workdir, log)
    if "floor" in chosen:
        ctx.floor_list = watcherlib.Floor(tools.bin("floor"), list_new=True)
        ctx.floor_print = watcherlib.Floor(tools.bin("floor"), always_print=True)

    fstype = subprocess.run(["findmnt", "-no", "FSTYPE", "-T", workdir], capture_output=True, text=True).stdout.strip()
    meta = {
        "command": "python3 -m bench.run " + " ".join(shlex.quote(a) for a in argv),
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M %Z").strip() or "?",
        "machine": f"{machine()}, {fstype} under {os.path.dirname(workdir)}",
        "versions": {w.name: w.version() for w in watchers},
        "pathwarden": args.pathwarden_label or describe_binary(args.pathwarden),
        "config": vars(cfg), "skipped": skipped, "notes": notes, "load_at_start": procfs.load_average(),
    }
    log(f"work directory {workdir}; watchers: {', '.join(w.name for w in watchers)}")
    wanted = args.scenarios.split(",") if args.scenarios else list(scenarios.ALL)
    try:
        for name in scenarios.ALL:
            if name in wanted:
                scenarios.ALL[name][0](ctx)
        micro = args.micro or os.path.join(built, "pathwarden_report_bench")
        if os.access(micro, os.X_OK):
            log("micro-benchmark of the report printer")
            ctx.results["micro"] = run_micro(micro)
    finally:
        meta["load_at_end"] = procfs.load_average()
        meta["minutes"] = round((time.monotonic() - started) / 60, 1)
        try:
            write_results(args, meta, ctx.results)
        finally:
            if not args.keep:
                log(f"removing {workdir}")
                shutil.rmtree(workdir, ignore_errors=True)
    return 0


def write_results(args, meta, results):
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"meta": meta, "results": results}, f, indent=1, default=str)
    text = report.markdown(results, meta, [rows for _, rows in scenarios.ALL.values()])
    pathlib.Path(args.out, "results.md").write_text(text)
    print(text)
    if args.update_readme:
        update_readme(text)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
