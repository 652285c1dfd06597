"""Turns the stored numbers into the markdown table and the goal checks."""

import statistics

ORDER = ["floor", "pathwarden", "inotifywait", "fswatch", "watchman"]


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _num(value, digits=2):
    if value is None:
        return "–"
    return f"{value:,.{digits}f}"


def _pct(reported, expected):
    if reported is None or not expected:
        return "–"
    share = 100.0 * reported / expected
    return "100%" if reported == expected else f"{min(share, 99.99):.2f}%" if share >= 99 else f"{share:.0f}%"


SCENARIOS = ("setup", "burst", "race", "slow", "stall", "latency", "idle")


def _columns(results):
    present = set()
    for scenario in SCENARIOS:
        for entry in _entries(results, scenario):
            present.update(entry.get("watchers", {}).keys())
    return [w for w in ORDER if w in present]


def _entries(results, scenario):
    block = results.get(scenario, {})
    return [block] if "watchers" in block else list(block.values())


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
            text = _error_or(cell, lambda c: _num(_median(c["ready_s"])))
            if cell and cell.get("watches") is not None and cell["watches"] < entry["dirs"] + 1:
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
            return _num(bytes_per_dir(small, large, name), 0)
        table.row(f"memory per watched dir (bytes, {small['dirs']:,} -> {large['dirs']:,})", per_dir)


def bytes_per_dir(small, large, name):
    a, b = _cell(small, name), _cell(large, name)
    if not a or not b or "error" in a or "error" in b:
        return None
    return (_median(b["peak_rss_kib"]) - _median(a["peak_rss_kib"])) * 1024 / (large["dirs"] - small["dirs"])


def _completeness(cell, total=None):
    def text(c):
        out = _pct(c.get("reported"), c.get("expected") or total)
        if c.get("overflow"):
            out += " + OVERFLOW"
        if c.get("misplaced"):
            out += f", {c['misplaced']:,} misplaced"
        if c.get("anomalies"):
            out += f", {c['anomalies']:,} odd lines"
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


def slow_rows(table, results):
    entry = results.get("slow")
    if not entry:
        return
    table.row(f"{entry['files']:,}-file burst, output read at {entry['rate']:,} lines/s",
              lambda n: _completeness(_cell(entry, n), entry["files"]))
    table.row("  peak RSS meanwhile (MiB)",
              lambda n: _error_or(_cell(entry, n), lambda c: _num(c["peak_rss_kib"] / 1024, 1)))


def stall_rows(table, results):
    entry = results.get("stall")
    if not entry:
        return

    def render(name):
        def text(c):
            out = f"{c['reported']:,}" + (" + OVERFLOW" if c["overflow"] else ", loss not announced"
                                          if c["reported"] < c["expected"] else "")
            return out + f"; later {c['after_reported']}/{c['after_expected']}"
        return _error_or(_cell(entry, name), text)
    table.row(f"watcher stopped while {entry['files']:,} files are made", render)


def latency_rows(table, results):
    entry = results.get("latency")
    if not entry:
        return

    def render(name):
        def text(c):
            out = f"{_num(c.get('p50_ms'), 3)} / {_num(c.get('p99_ms'), 3)}"
            return out + (f" ({c['lost']} lost)" if c["lost"] else "")
        return _error_or(_cell(entry, name), text)
    table.row(f"latency create -> line read, p50 / p99 (ms, {entry['probes']} probes)", render)


def idle_rows(table, results):
    entry = results.get("idle")
    if not entry:
        return
    table.row(f"idle on {entry['dirs']:,} dirs: CPU (% of a core) / wake-ups per s",
              lambda n: _error_or(_cell(entry, n),
                                  lambda c: f"{c['cpu_percent']:.3f} / {c['wakeups_per_s']:.1f}"))


def generator_line(results):
    rates = []
    for scenario in ("burst", "race", "slow", "stall"):
        for entry in _entries(results, scenario):
            for cell in entry.get("watchers", {}).values():
                if cell.get("gen_rate"):
                    rates.append(cell["gen_rate"])
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


def table(results, meta):
    columns = _columns(results)
    headers = {name: f"{name} {meta.get('versions', {}).get(name, '')}".strip() for name in columns}
    t = Table(columns, headers)
    for rows in (setup_rows, race_rows, burst_rows, slow_rows, stall_rows, latency_rows, idle_rows):
        rows(t, results)
    return "\n".join(t.lines)


def _reference_setup(results, dirs=50000):
    entries = _entries(results, "setup")
    if not entries:
        return None
    return min(entries, key=lambda e: abs(e["dirs"] - dirs))


def goals(results):
    """The issue's goals as ratios from this run; lines of markdown."""
    lines = []

    def check(ok, text):
        lines.append(f"- {'met' if ok else 'NOT met'}: {text}")

    ref = _reference_setup(results)
    if ref and _cell(ref, "pathwarden") and "error" not in _cell(ref, "pathwarden"):
        pw = _median(_cell(ref, "pathwarden")["ready_s"])
        fl = _median(_cell(ref, "floor")["ready_s"]) if _cell(ref, "floor") else None
        iw = _median(_cell(ref, "inotifywait")["ready_s"]) if _cell(ref, "inotifywait") else None
        if fl and iw:
            check(pw <= 1.25 * fl and pw <= 0.6 * iw,
                  f"1. ready on {ref['dirs']:,} dirs: {pw / fl:.2f}x the floor (<= 1.25), "
                  f"{pw / iw:.2f}x inotifywait (<= 0.6)")
        pr = _median(_cell(ref, "pathwarden")["peak_rss_kib"])
        fr = _median(_cell(ref, "floor")["peak_rss_kib"]) if _cell(ref, "floor") else None
        ir = _median(_cell(ref, "inotifywait")["peak_rss_kib"]) if _cell(ref, "inotifywait") else None
        if fr and ir:
            check(pr <= 1.5 * fr and pr < 0.5 * ir,
                  f"2. peak RSS on {ref['dirs']:,} dirs: {pr / fr:.2f}x the floor (<= 1.5), "
                  f"{pr / ir:.2f}x inotifywait (< 0.5)")
    complete, total = True, 0
    for scenario in ("burst", "race"):
        for entry in _entries(results, scenario):
            cell = _cell(entry, "pathwarden")
            if cell is None:
                continue
            total += 1
            complete &= "error" not in cell and cell.get("reported") == cell.get("expected") and not cell["overflow"]
    if total:
        check(complete, f"3. every created path reported, no OVERFLOW, in every burst and race run ({total})")
    slow = results.get("slow", {}).get("watchers", {}).get("pathwarden")
    if slow:
        check("error" not in slow and slow.get("reported") == slow.get("expected") and not slow["overflow"],
              f"4. slow reader: {slow.get('reported', 0):,} of {slow.get('expected', 0):,}, "
              f"{'OVERFLOW' if slow.get('overflow') else 'no OVERFLOW'}, "
              f"peak RSS {slow.get('peak_rss_kib', 0) / 1024:.1f} MiB")
    stall = results.get("stall", {}).get("watchers", {}).get("pathwarden")
    if stall and "error" not in stall:
        check(stall["overflow"] and stall.get("after_reported") == stall.get("after_expected"),
              f"stall: {'OVERFLOW line' if stall['overflow'] else 'no OVERFLOW line'}, then "
              f"{stall.get('after_reported')} of {stall.get('after_expected')} later changes reported")
    lat = results.get("latency", {}).get("watchers", {})
    if "p50_ms" in lat.get("pathwarden", {}) and "p50_ms" in lat.get("inotifywait", {}):
        p, i = lat["pathwarden"], lat["inotifywait"]
        check(p["p50_ms"] <= 1.5 * i["p50_ms"] and p["p99_ms"] <= 1.5 * i["p99_ms"],
              f"5. latency: p50 {p['p50_ms'] / i['p50_ms']:.2f}x, p99 {p['p99_ms'] / i['p99_ms']:.2f}x "
              f"inotifywait (each <= 1.5)")
    for entry in _entries(results, "burst"):
        cells = {n: _cell(entry, n) for n in ("pathwarden", "floor", "inotifywait")}
        if all(c and "error" not in c for c in cells.values()) and entry["files"] >= 100000:
            p, f, i = (cells[n]["cpu_s"] for n in ("pathwarden", "floor", "inotifywait"))
            if f > 0 and i > 0:
                check(p <= 1.3 * f and p < i,
                      f"6. CPU, {entry['files']:,} {entry['kind']}: {p / f:.2f}x the floor (<= 1.3), "
                      f"{p / i:.2f}x inotifywait (< 1)")
    idle = results.get("idle", {}).get("watchers", {}).get("pathwarden")
    if idle and "error" not in idle:
        check(idle["cpu_percent"] < 0.1, f"6. idle: {idle['cpu_percent']:.3f}% of a core (< 0.1%)")
    micro = results.get("micro")
    if micro and micro.get("lines_per_s"):
        check(micro["lines_per_s"] >= 3e6, f"7. report printer: {micro['lines_per_s'] / 1e6:.2f} M lines/s (>= 3 M)")
    return lines


def markdown(results, meta):
    load = ""
    if meta.get("load_at_start") and meta.get("load_at_end"):
        load = (f" Load average (1, 5, 15 min) {' '.join(meta['load_at_start'])} at the start, "
                f"{' '.join(meta['load_at_end'])} at the end; {meta.get('minutes', '?')} minutes.")
    tested = f" pathwarden: {meta['pathwarden']}." if "pathwarden" in meta.get("versions", {}) else ""
    out = [f"Run: `{meta['command']}`", "",
           f"Date: {meta['date']}. Machine: {meta['machine']}.{load}{tested}", "",
           table(results, meta), ""]
    notes = [find_line(results), generator_line(results), micro_line(results)] + meta.get("notes", [])
    out += [n for n in notes if n]
    goal_lines = goals(results)
    if goal_lines:
        out += ["", "Goals, as ratios from this run:", ""] + goal_lines
    return "\n".join(out) + "\n"
