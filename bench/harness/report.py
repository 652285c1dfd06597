"""Turns the stored numbers into the markdown table and the goal checks."""

import operator
import statistics

ORDER = ["floor", "pathwarden", "pathwarden-inotify", "inotifywait", "fswatch", "watchman"]
# The program's two columns: the same binary on each kernel interface.
FANOTIFY, INOTIFY = "pathwarden", "pathwarden-inotify"
HEADERS = {FANOTIFY: "pathwarden (fanotify)", INOTIFY: "pathwarden (inotify)", "floor-print": "printing floor"}


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _num(value, digits=2):
    return "–" if value is None else f"{value:,.{digits}f}"


def _pct(reported, expected):
    if reported is None or not expected:
        return "–"
    share = 100.0 * reported / expected
    return "100%" if reported == expected else f"{min(share, 99.99):.2f}%" if share >= 99 else f"{share:.0f}%"


def _columns(results):
    present = {name for scenario in results for entry in _entries(results, scenario)
               for name in entry.get("watchers", {})}
    return [w for w in ORDER if w in present]


def _entries(results, scenario):
    block = results.get(scenario, {})
    return [block] if "watchers" in block else [e for e in block.values() if isinstance(e, dict)]


def _cell(entry, name):
    return entry.get("watchers", {}).get(name)


class Table:
    def __init__(self, columns, headers):
        self.columns = columns
        self.lines = ["| | " + " | ".join(headers[c] for c in columns) + " |",
                      "|---" * (len(columns) + 1) + "|"]

    def row(self, label, render):
        cells = []
        for name in self.columns:
            try:
                cells.append(render(name))
            except (KeyError, TypeError, ZeroDivisionError):
                cells.append("–")
        self.lines.append(f"| {label} | " + " | ".join(cells) + " |")


def _error_or(cell, text):
    if cell is None:
        return "–"
    if "error" in cell:
        return "not run (exited on a smaller burst)" if cell["error"].startswith("exited during") else "fails"
    return text(cell)


def setup_rows(table, results):
    entries = sorted(_entries(results, "setup"), key=lambda e: e["dirs"])
    for entry in entries:
        reps = max((len(c.get("ready_s", [])) for c in entry["watchers"].values()), default=0)
        label = f"ready on {entry['dirs']:,} dirs (s, median of {reps})"

        def ready(name, entry=entry):
            cell = _cell(entry, name)
            # A start in milliseconds needs more than two decimals to show.
            text = _error_or(cell, lambda c: _num(ready := _median(c["ready_s"]), 2 if ready >= 0.1 else 4))
            if cell and cell.get("watches") and cell["watches"] < entry["dirs"] + 1:
                text += f" (only {cell['watches']:,} watches)"
            return text
        table.row(label, ready)
    for entry in entries:
        table.row(f"peak RSS on {entry['dirs']:,} dirs (MiB)",
                  lambda n, entry=entry: _error_or(_cell(entry, n),
                                                   lambda c: _num(_median(c["peak_rss_kib"]) / 1024, 1)))
    if len(entries) >= 2:
        small, large = entries[0], entries[-1]

        def per_dir(name):
            a, b = _cell(small, name), _cell(large, name)
            # One mark for the whole file system: nothing is kept per directory.
            if name == FANOTIFY or not a or not b or "error" in a or "error" in b:
                return "–"
            return _num((_median(b["peak_rss_kib"]) - _median(a["peak_rss_kib"])) * 1024
                        / (large["dirs"] - small["dirs"]), 0)
        table.row(f"memory per watched dir (bytes, {small['dirs']:,} -> {large['dirs']:,})", per_dir)


def _completeness(cell, total=None):
    def text(c):
        out = _pct(c.get("reported"), c.get("expected") or total) + (" + OVERFLOW" if c.get("overflow") else "")
        for key, what in (("misplaced", "misplaced"), ("anomalies", "odd lines")):
            if c.get(key):
                out += f", {c[key]:,} {what}"
        if c.get("exited_early") is not None:
            out += f", exited ({c['exited_early']})"
        return out
    return _error_or(cell, text)


def burst_rows(table, results):
    for entry in sorted(_entries(results, "burst"), key=lambda e: (e["kind"], e["files"])):
        where = "in one dir" if entry["kind"] == "flat" else f"over {entry.get('spread_dirs', 0):,} dirs"
        runs = max((len(c.get("runs", [])) for c in entry["watchers"].values()), default=1)
        if runs > 1:
            where += f", worst of {runs}"
        table.row(f"{entry['files']:,}-file burst {where} reported",
                  lambda n, e=entry: _completeness(_cell(e, n), e["files"]))
        def cpu(name, e=entry):
            text = _error_or(_cell(e, name), lambda c: "–" if c.get("exited_early") is not None
                             else _num(c["cpu_s"] * 1e6 / e["files"], 1))
            printing = _cell(e, "floor-print")
            if name == "floor" and printing and "error" not in printing:
                text += f" ({printing['cpu_s'] * 1e6 / e['files']:.1f} printing)"
            return text
        table.row(f"CPU per created file, {entry['files']:,} {entry['kind']} (µs{', median' if runs > 1 else ''})", cpu)
        if entry["kind"] == "spread":
            table.row("  peak RSS through it (MiB)", lambda n, e=entry: _error_or(
                _cell(e, n), lambda c: _num(c["peak_rss_kib"] / 1024, 1) if c.get("peak_rss_kib") else "–"))


def race_rows(table, results):
    entry = results.get("race")
    if not entry:
        return
    total = entry["chains"] * entry["levels"] * (entry["files"] + 1)

    def render(name):
        text = _completeness(_cell(entry, name), total)
        if name == "floor" and _cell(entry, "floor+list"):
            text = _completeness(_cell(entry, "floor+list"), total) + " (walk+list) / " + text + " (plain)"
        return text
    table.row(f"entries made inside new `mkdir` chains reported ({total:,})", render)


def _single(scenario, *rows):
    """Rows of a scenario stored as one entry: (label formatted with the entry, text(cell, entry))."""
    def make(table, results):
        entry = results.get(scenario)
        for label, text in rows if entry else ():
            table.row(label.format(**entry), lambda n, text=text: _error_or(_cell(entry, n), lambda c: text(c, entry)))
    return make


def _stall_text(c, entry):
    out = f"{c['reported']:,}" + (" + OVERFLOW" if c["overflow"] else ", loss not announced"
                                  if c["reported"] < c["expected"] else "")
    return out + f"; later {c['after_reported']}/{c['after_expected']}"


slow_rows = _single("slow", ("{files:,}-file burst, output read at {rate:,} lines/s",
                             lambda c, e: _completeness(c, e["files"])),
                    ("  peak RSS meanwhile (MiB)", lambda c, e: _num(c["peak_rss_kib"] / 1024, 1)))
stall_rows = _single("stall", ("watcher stopped while {files:,} files are made", _stall_text))
foreign_rows = _single("foreign", ("{files:,} files made beside the watched tree: paths printed / CPU per file (µs)",
                                   lambda c, e: f"{c['printed']:,} / {c['cpu_s'] * 1e6 / e['files']:.2f}"))
latency_rows = _single("latency", ("latency create -> line read, p50 / p99 (ms, {probes} probes)",
                                   lambda c, e: f"{_num(c.get('p50_ms'), 3)} / {_num(c.get('p99_ms'), 3)}"
                                   + (f" ({c['lost']} lost)" if c["lost"] else "")))
idle_rows = _single("idle", ("idle on {dirs:,} dirs: CPU (% of a core) / wake-ups per s",
                             lambda c, e: f"{c['cpu_percent']:.3f} / {c['wakeups_per_s']:.1f}"))


def generator_line(results):
    rates = [c["gen_rate"] for scenario in ("burst", "race", "slow", "stall") for e in _entries(results, scenario)
             for c in e.get("watchers", {}).values() if c.get("gen_rate")]
    if not rates:
        return ""
    return (f"Generator's own creation rate across the runs: {min(rates):,.0f} to {max(rates):,.0f} "
            f"entries/s (median {statistics.median(rates):,.0f}).")


def find_line(results):
    entries = sorted(_entries(results, "setup"), key=lambda e: e["dirs"])
    if not entries:
        return ""
    times = ", ".join(f"{e['find_s']:.2f} s on {e['dirs']:,}" for e in entries)
    return f"`find -type d` alone (median of 3, warm cache): {times} directories."


def micro_line(results):
    micro = results.get("micro") or {}
    if micro.get("error"):
        return f"Report printer micro-benchmark failed: {micro['error']}"
    rates = {b["name"]: b.get("items_per_second") for b in micro.get("benchmarks", [])}
    if not rates.get("ReportFullBuffer"):
        return ""
    text = f"Report printer into a file (pathwarden_report_bench): {rates['ReportFullBuffer'] / 1e6:.2f} M lines/s " \
           f"from full 32 KiB buffers"
    if rates.get("ReportOneRecord"):
        text += f", {rates['ReportOneRecord'] / 1e3:.0f} k reports/s of one record each"
    return text + "."


def table(results, meta, row_makers):
    """The table: the rows each scenario's row maker adds, in their order."""
    columns = _columns(results)
    headers = {name: f"{HEADERS.get(name, name)} {meta.get('versions', {}).get(name, '')}".strip()
               for name in columns}
    t = Table(columns, headers)
    for rows in row_makers:
        rows(t, results)
    return "\n".join(t.lines)


# (goal, metric, relation, limit, peer, subject): with a peer the limit bounds
# subject / peer from the same run, so that machines of any speed compare.
GOALS = [
    ("1. ready", "ready_s_large", "<=", 1.1, "floor", INOTIFY),
    ("1. ready", "ready_s", "<=", 0.6, "inotifywait", INOTIFY),
    ("2. peak RSS", "peak_rss_kib", "<=", 1.3, "floor", INOTIFY),
    ("2. peak RSS", "peak_rss_kib", "<", 0.5, "inotifywait", INOTIFY),
    ("3. created paths not reported", "unreported", "==", 0, None, INOTIFY),
    ("3. bursts and races with an OVERFLOW line", "overflowed", "==", 0, None, INOTIFY),
    ("4. slow reader: paths not reported", "slow_unreported", "==", 0, None, INOTIFY),
    ("4. slow reader: runs with an OVERFLOW line", "slow_overflowed", "==", 0, None, INOTIFY),
    ("stall: runs with an OVERFLOW line", "stall_overflowed", "==", 1, None, INOTIFY),
    ("stall: later changes not reported", "stall_later_unreported", "==", 0, None, INOTIFY),
    ("5. latency p50", "p50_ms", "<=", 1.5, "inotifywait", INOTIFY),
    ("5. latency p99", "p99_ms", "<=", 1.5, "inotifywait", INOTIFY),
    ("6. CPU", "cpu_s", "<=", 1.2, "floor-print", INOTIFY),
    ("6. CPU", "cpu_s", "<=", 1, "inotifywait", INOTIFY),
    ("6. idle CPU (% of a core)", "idle_percent", "<", 0.1, None, INOTIFY),
    ("7. report printer (lines/s)", "printer_lines_per_s", ">=", 3e6, None, FANOTIFY),
    ("ready (s)", "ready_s_large", "<=", 0.010, None, FANOTIFY),
    ("peak RSS (MiB)", "peak_rss_mib_largest", "<=", 4, None, FANOTIFY),
    ("created paths not reported", "unreported", "==", 0, None, FANOTIFY),
    ("bursts and races with an OVERFLOW line", "overflowed", "==", 0, None, FANOTIFY),
    ("slow reader: paths not reported", "slow_unreported", "==", 0, None, FANOTIFY),
    ("stall: created paths not reported", "stall_unreported", "==", 0, None, FANOTIFY),
    ("stall: runs with an OVERFLOW line", "stall_overflowed", "==", 0, None, FANOTIFY),
    ("stall: later changes not reported", "stall_later_unreported", "==", 0, None, FANOTIFY),
    ("CPU", "cpu_s", "<=", 1.2, "floor-print", FANOTIFY),
    ("CPU", "cpu_s", "<=", 1, "inotifywait", FANOTIFY),
    ("peak RSS through a spread burst (MiB)", "burst_rss_mib_largest", "<=", 4, None, FANOTIFY),
    ("changes beside the tree: paths printed", "foreign_printed", "==", 0, None, FANOTIFY),
]
OPERATORS = {"<=": operator.le, "<": operator.lt, ">=": operator.ge, "==": operator.eq}


def _setup_values(key, scale=1, pick=None):
    """key from the setup runs that pick chooses (default: 50,000 dirs or the nearest)."""
    def values(results):
        setups = sorted(_entries(results, "setup"), key=lambda e: e["dirs"])
        chosen = pick(setups) if pick else sorted(setups, key=lambda e: abs(e["dirs"] - 50000))[:1]
        return [(f"on {e['dirs']:,} dirs", {n: _median(c[key]) / scale for n, c in e["watchers"].items()
                                            if "error" not in c}) for e in chosen]
    return values


def _summed(scenarios, count):
    """count(cell) summed over every run of these scenarios, per watcher (None for one that failed a run)."""
    def values(results):
        entries = [e for s in scenarios for e in _entries(results, s)]
        totals = {}
        for name in {n for e in entries for n in e.get("watchers", {})}:
            cells = [c for e in entries if (c := _cell(e, name))]
            totals[name] = None if any("error" in c for c in cells) else sum(count(c) for c in cells)
        return [(f"({len(entries)} run{'s' * (len(entries) > 1)})", totals)] if entries else []
    return values


def _scenario_values(scenario, key):
    def values(results):
        entry = results.get(scenario)
        return [("", {n: c[key] for n, c in entry["watchers"].items() if key in c})] if entry else []
    return values


def _unreported(cell):
    return cell["expected"] - cell["reported"]


def _overflowed(cell):
    return int(bool(cell["overflow"]))


METRICS = {
    "ready_s": _setup_values("ready_s"),
    "peak_rss_kib": _setup_values("peak_rss_kib"),
    "ready_s_large": _setup_values("ready_s", pick=lambda setups: [e for e in setups if e["dirs"] >= 50000]),
    "peak_rss_mib_largest": _setup_values("peak_rss_kib", 1024, lambda setups: setups[-1:]),
    "unreported": _summed(("burst", "race"), _unreported),
    "overflowed": _summed(("burst", "race"), _overflowed),
    "slow_unreported": _summed(("slow",), _unreported),
    "slow_overflowed": _summed(("slow",), _overflowed),
    "stall_unreported": _summed(("stall",), _unreported),
    "stall_overflowed": _summed(("stall",), _overflowed),
    "stall_later_unreported": _summed(("stall",), lambda c: c["after_expected"] - c["after_reported"]),
    "p50_ms": _scenario_values("latency", "p50_ms"),
    "p99_ms": _scenario_values("latency", "p99_ms"),
    # Every burst row, 10,000 files included (their median of three).
    "cpu_s": lambda results: [(f"{e['files']:,} {e['kind']}", {n: c["cpu_s"] for n, c in e["watchers"].items()
                                                               if "error" not in c})
                              for e in _entries(results, "burst")],
    "burst_rss_mib_largest": lambda results: [
        (f"{e['files']:,} spread", {n: c["peak_rss_kib"] / 1024 for n, c in e["watchers"].items()
                                    if "error" not in c and c.get("peak_rss_kib")})
        for e in sorted((e for e in _entries(results, "burst") if e["kind"] == "spread"),
                        key=lambda e: e["files"])[-1:]],
    "idle_percent": _scenario_values("idle", "cpu_percent"),
    "foreign_printed": _scenario_values("foreign", "printed"),
    "printer_lines_per_s": lambda results: [("", {FANOTIFY: results["micro"]["lines_per_s"]})]
    if (results.get("micro") or {}).get("lines_per_s") else [],
}


def _plain(number):
    return f"{number:,.0f}" if abs(number) >= 1000 else f"{number:.3f}".rstrip("0").rstrip(".")


def goals(results):
    """Each goal against this run's numbers; lines of markdown."""
    lines = []
    for goal, metric, relation, limit, peer, subject in GOALS:
        for where, values in METRICS[metric](results):
            if subject not in values or (peer and not values.get(peer)):
                continue  # not measured in this run
            own = values[subject]
            value = own / values[peer] if own is not None and peer else own
            met = value is not None and OPERATORS[relation](value, limit)
            shown = "no result" if value is None else f"{value:.2f}x {HEADERS.get(peer, peer)}" if peer \
                else _plain(value)
            on = "" if metric == "printer_lines_per_s" else HEADERS[subject].split(" ", 1)[1] + " "
            lines.append(f"- {'met' if met else 'NOT met'}: {on}{' '.join(filter(None, (goal, where)))}: {shown} "
                         f"({relation} {_plain(limit)})")
    return lines


def markdown(results, meta, row_makers):
    load = ""
    if meta.get("load_at_start") and meta.get("load_at_end"):
        load = (f" Load average (1, 5, 15 min) {' '.join(meta['load_at_start'])} at the start, "
                f"{' '.join(meta['load_at_end'])} at the end; {meta.get('minutes', '?')} minutes.")
    tested = f" pathwarden: {meta['pathwarden']}." if "pathwarden" in meta.get("versions", {}) else ""
    out = [f"Run: `{meta['command']}`", "",
           f"Date: {meta['date']}. Machine: {meta['machine']}.{load}{tested}", "",
           table(results, meta, row_makers), ""]
    notes = [find_line(results), generator_line(results), micro_line(results)] + meta.get("notes", [])
    out += [n for n in notes if n]
    goal_lines = goals(results)
    if goal_lines:
        out += ["", "Goals, as ratios from this run:", ""] + goal_lines
    return "\n".join(out) + "\n"
