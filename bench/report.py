#!/usr/bin/env python3
"""Turns the benchmarks' JSON output into the markdown table of results.

usage: report.py RESULTS_DIR OUTPUT.md COMMAND
       report.py --windows RESULTS_DIR OUTPUT.md COMMAND

The second form writes only the Windows builds' section, from
compression_windows.json (x86-64) and compression_windows32.json (i686), at
the end of OUTPUT.md; the first keeps it.

RESULTS_DIR holds compression.json, fleet_start.json, fleet_poll.json,
fleet_output.json, campaign_page.json, campaign_report.json, campaign_fleet.json
and, optionally, compression_notrim.json (the small sizes again with the heap's
trim threshold raised).

       report.py --campaign RESULTS_DIR OUTPUT.md COMMAND

rewrites only the campaign's section of OUTPUT.md, and its goals in the list
of those missed, from campaign_report.json and campaign_fleet.json.
"""

import datetime
import json
import os
import platform
import re
import subprocess
import sys

GOAL_RATIO = 0.98  # the zlib engine against zlib itself
GOAL_VS_ZLIB = 1.6  # the libdeflate engine against zlib
GOAL_VS_RAW = 0.97  # the libdeflate engine against raw libdeflate...
GOAL_VS_RAW_FROM = 64 << 10  # ...from this size up
GOAL_SIZE = 1.01  # compressed size against zlib's
GOAL_FLEET_VS_BARE = 1.10
GOAL_POLL_MS = 2.0
GOAL_RSS_MIB = 8.0
GOAL_TAG_VS_PARALLEL = 5.0  # GNU parallel's time over --tag's
GOAL_OUTPUT_VS_DIRECT = 1.05
GOAL_TAG_RSS_MIB = 32.0
GOAL_PAGE_BYTES_PER_TRY = 64.0
GOAL_PAGE_DRAW_MS = 2000.0
GOAL_REPORT_S = 3.0  # --report over a job log of a million lines
GOAL_REPORT_VS_PLAN = 1.5  # ...against --rerun-failed reading it
GOAL_CAMPAIGN_RSS_MIB = 64.0
GOAL_CAMPAIGN_VS_XARGS = 1.10
CAMPAIGN_HEADING = "## A campaign's record"


def load(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return json.load(f).get("benchmarks", [])


def split_name(run):
    # "compress/text/4096/manual_time" -> ["compress", "text", "4096"]
    name = run.get("run_name", run["name"])
    return [p for p in name.split("/")
            if not p.startswith(("manual_time", "iterations:", "repeats:", "min_time:"))]


def sort_key(key):
    order = {"compress": 0, "uncompress": 1, "text": 0, "mixed": 1, "random": 2}
    return [int(p) if p.isdigit() else order.get(p, 9) for p in key]


def summaries(runs):
    """Per benchmark, in a fixed order: the median aggregate (or the only
    run), and each repetition's run."""
    out = {}
    for run in runs:
        key = tuple(split_name(run))
        entry = out.setdefault(key, {"median": None, "reps": []})
        if run.get("run_type") == "aggregate":
            if run.get("aggregate_name") == "median":
                entry["median"] = run
        elif "error_message" in run or run.get("error_occurred"):
            entry.setdefault("errors", []).append(run.get("error_message", "error"))
        else:
            entry["reps"].append(run)
    for entry in out.values():
        if entry["median"] is None and len(entry["reps"]) == 1:
            entry["median"] = entry["reps"][0]
    return dict(sorted(out.items(), key=lambda item: sort_key(item[0])))


def spread(entry, counter):
    values = [r[counter] for r in entry["reps"] if counter in r]
    if len(values) < 2:
        return ""
    return f" ({min(values):.3g}–{max(values):.3g})"


def verdict(ok):
    return "met" if ok else "**missed**"


def size_label(n):
    n = int(n)
    if n >= 1 << 20:
        return f"{n >> 20} MiB"
    return f"{n >> 10} KiB"


def machine():
    cpu = "unknown"
    mem = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
            if m:
                cpu = m.group(1).strip()
        with open("/proc/meminfo") as f:
            m = re.search(r"^MemTotal:\s*(\d+) kB", f.read(), re.M)
            if m:
                mem = f"{int(m.group(1)) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    return os.cpu_count(), cpu, mem, platform.release()


def package_version(name):
    try:
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", name],
                              capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return ""


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def compression_goals(engine, op, size, m):
    """(what, ok) for each goal that applies to one row's medians."""
    goals = []
    if engine == "libdeflate":
        goals.append((f"library ÷ zlib ≥ {GOAL_VS_ZLIB}", m["ratio"] >= GOAL_VS_ZLIB))
        if int(size) >= GOAL_VS_RAW_FROM:
            goals.append((f"library ÷ libdeflate ≥ {GOAL_VS_RAW}",
                          m["vs_libdeflate"] >= GOAL_VS_RAW))
        if op == "compress":
            goals.append((f"size ÷ zlib ≤ {GOAL_SIZE}", m["size_vs_zlib"] <= GOAL_SIZE))
    else:
        goals.append((f"library ÷ zlib ≥ {GOAL_RATIO}", m["ratio"] >= GOAL_RATIO))
    return goals


def compression_section(lines, runs, notrim, context):
    engine = context.get("engine", "zlib")
    other = context.get("other_engine", "")
    lines += [
        "## MevCompression against raw zlib and raw libdeflate",
        "",
        f"The library as built (engine: {engine})"
        + (f" and the test-only build of the other engine ({other})" if other else "")
        + ", against `compress2(Z_DEFAULT_COMPRESSION)` and `uncompress`, and against "
        "libdeflate 1.14 at level 6 with a compressor and a decompressor kept between "
        "calls (`libdeflate_zlib_compress`, `libdeflate_zlib_decompress`), the limit "
        "for the libdeflate engine. All work on the same buffers: each side's output "
        "must decode to the source before timing. Each side gets the room it asks for: "
        "the library `MevZ_GetMaxCompressedLen`, zlib `compressBound`, libdeflate "
        "`libdeflate_zlib_compress_bound`; decompression gets exactly the original "
        "size, and every side decompresses zlib's stream. Each iteration makes one "
        "batch of calls per side (about 250 µs of work each, one call at the larger "
        "sizes), the side that goes first changing every iteration, timed with the "
        "thread's CPU clock so that time spent preempted by other jobs on the shared "
        "machine counts for no side. MB/s are medians over the repetitions; each ratio "
        "is the median of the per-repetition ratios, with its smallest and largest "
        "value. The compressed size is the library's, then zlib's, as a percentage of "
        "the input.",
        "",
    ]
    if engine == "libdeflate":
        lines += [
            f"Goals: library ÷ zlib ≥ {GOAL_VS_ZLIB} everywhere; library ÷ raw "
            f"libdeflate ≥ {GOAL_VS_RAW} from {size_label(GOAL_VS_RAW_FROM)} up; "
            f"compressed size ÷ zlib's ≤ {GOAL_SIZE} (smaller is never a miss). The "
            f"zlib engine does exactly what `compress2` and `uncompress` do, so its "
            f"ratio to them shows the noise of the run.",
            "",
        ]
    else:
        lines += [f"Goal: library ÷ zlib ≥ {GOAL_RATIO}.", ""]
    names = [f"library ({engine}) MB/s"] + ([f"library ({other}) MB/s"] if other else [])
    header = (["operation", "data", "size", "compressed: library / zlib"] + names +
              ["zlib MB/s", "libdeflate MB/s", "library ÷ zlib (min–max)",
               "library ÷ libdeflate (min–max)"] +
              ([f"{other} engine ÷ zlib (min–max)"] if other else []) +
              ["size ÷ zlib", "goals"])
    lines += ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    s = summaries(runs)
    missed = []
    for key, entry in s.items():
        if len(key) != 3:
            continue
        op, data, size = key
        m = entry["median"]
        where = f"{op} {data} {size_label(size)}"
        if m is None:
            cells = [op, data, size_label(size)] + [""] * (len(header) - 5) + [
                "; ".join(entry.get("errors", ["no result"])), "**missed**"]
            lines.append("| " + " | ".join(cells) + " |")
            missed.append(where)
            continue
        comp = s.get(("compress", data, size), {}).get("median") or {}
        packed = ""
        if "lib_pct" in comp and "zlib_pct" in comp:
            packed = f"{comp['lib_pct']:.1f} % / {comp['zlib_pct']:.1f} %"
        goals = compression_goals(engine, op, size, m)
        failed = [what for what, ok in goals if not ok]
        missed += [f"{where}: {what}" for what in failed]
        cells = [op, data, size_label(size), packed, f"{m['lib_MBps']:.1f}"]
        if other:
            cells.append(f"{m.get('other_MBps', 0):.1f}")
        cells += [f"{m['zlib_MBps']:.1f}", f"{m.get('libdeflate_MBps', 0):.1f}",
                  f"{m['ratio']:.2f}{spread(entry, 'ratio')}",
                  f"{m.get('vs_libdeflate', 0):.3f}{spread(entry, 'vs_libdeflate')}"]
        if other:
            cells.append(f"{m.get('other_ratio', 0):.3f}{spread(entry, 'other_ratio')}")
        cells.append(f"{m['size_vs_zlib']:.4f}" if op == "compress" else "")
        cells.append(verdict(not failed) if not failed else
                     "**missed**: " + ", ".join(failed))
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    if notrim:
        t = summaries(notrim)
        lines += [
            "### Per-call set-up at small sizes",
            "",
            "zlib sets up and ends one stream per call, on both the zlib engine and "
            "`compress2`. Its compression state is about 256 KiB, which glibc's heap, at "
            "its default settings, gives back to the system when `deflateEnd` frees it "
            "and faults in again at the next `deflateInit`. The same small sizes again "
            "with the trim threshold raised "
            "(`GLIBC_TUNABLES=glibc.malloc.trim_threshold=67108864`) show what that "
            "costs. The libdeflate engine keeps its compressors between calls, so it "
            "does not pay this; a host program that compresses many small buffers on "
            "zlib can avoid it with `mallopt(M_TRIM_THRESHOLD, ...)`.",
            "",
            "| operation | data | size | library MB/s, default heap | library MB/s, no "
            "trimming | zlib MB/s, default heap | zlib MB/s, no trimming | libdeflate MB/s, "
            "no trimming | library ÷ zlib, no trimming |",
            "|---|---|---|---|---|---|---|---|---|",
        ]
        for key, entry in t.items():
            base = s.get(key, {}).get("median")
            m = entry["median"]
            if len(key) != 3 or m is None or base is None:
                continue
            op, data, size = key
            lines.append(f"| {op} | {data} | {size_label(size)} | {base['lib_MBps']:.1f} | "
                         f"{m['lib_MBps']:.1f} | {base['zlib_MBps']:.1f} | "
                         f"{m['zlib_MBps']:.1f} | {m.get('libdeflate_MBps', 0):.1f} | "
                         f"{m['ratio']:.2f} |")
        lines.append("")
    return missed


def fleet_section(lines, runs):
    lines += [
        "## Fleet start-up",
        "",
        "N copies of the stand-in (`VORNCORE_DELAY_MS=0 VORNCORE_HOLD_MS=-1`, one "
        "index each), started four ways in one iteration, in rotating order: "
        "SpawnBench's own start, the supervision loop's first step "
        "(`FleetStart` in `launcher/supervise.h`: the supervisor starts every "
        "copy through `util_process_start_with`, as a run without `--jobs` "
        "does), with its report (fleet, the default path); the same with "
        "`--contain`'s namespace, in a helper process of its own, its set-up (the "
        "namespace and its keeper process) timed too (contained); a bare "
        "`posix_spawn` loop over the same argument vectors (bare, the limit); and "
        "`xargs -P N -n 4` reading the same arguments (xargs, a peer). Each is "
        "timed from its first start until every copy has printed its start line "
        "on a pipe, that is until all N copies run; stopping them is not timed. "
        "Times are medians; ratios are medians of the per-repetition ratios. The "
        "loop columns time only the start loop itself. "
        f"Goals: fleet / bare ≤ {GOAL_FLEET_VS_BARE:.2f}, "
        f"contained / bare ≤ {GOAL_FLEET_VS_BARE:.2f}, fleet / xargs < 1.",
        "",
        "| copies | fleet ms | contained ms | bare ms | xargs ms | fleet / bare (min–max) | goal | "
        "contained / bare (min–max) | goal | fleet / xargs (min–max) | goal | "
        "loop: fleet ms | loop: contained ms | loop: bare ms | loop: fleet / bare | "
        "loop: contained / bare |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    missed = []
    for key, entry in summaries(runs).items():
        n = key[-1]
        m = entry["median"]
        if m is None:
            lines.append(f"| {n} | {'; '.join(entry.get('errors', ['no result']))} "
                         "| | | | | **missed** | | **missed** | | **missed** | | | | | |")
            missed.append(f"fleet start {n}")
            continue
        ok_bare = m["fleet_vs_bare"] <= GOAL_FLEET_VS_BARE
        ok_contained = m["contained_vs_bare"] <= GOAL_FLEET_VS_BARE
        ok_xargs = m["fleet_vs_xargs"] < 1.0
        if not ok_bare:
            missed.append(f"fleet start {n} against the bare loop")
        if not ok_contained:
            missed.append(f"contained fleet start {n} against the bare loop")
        if not ok_xargs:
            missed.append(f"fleet start {n} against xargs")
        lines.append(
            f"| {n} | {m['fleet_ms']:.1f} | {m['contained_ms']:.1f} | {m['bare_ms']:.1f} | "
            f"{m['xargs_ms']:.1f} | "
            f"{m['fleet_vs_bare']:.3f}{spread(entry, 'fleet_vs_bare')} | {verdict(ok_bare)} | "
            f"{m['contained_vs_bare']:.3f}{spread(entry, 'contained_vs_bare')} | "
            f"{verdict(ok_contained)} | "
            f"{m['fleet_vs_xargs']:.3f}{spread(entry, 'fleet_vs_xargs')} | {verdict(ok_xargs)} | "
            f"{m['fleet_loop_ms']:.1f} | {m['contained_loop_ms']:.1f} | {m['bare_loop_ms']:.1f} | "
            f"{m['fleet_vs_bare_loop']:.3f}{spread(entry, 'fleet_vs_bare_loop')} | "
            f"{m['contained_vs_bare_loop']:.3f}{spread(entry, 'contained_vs_bare_loop')} |")
    lines.append("")
    return missed


def to_ms(run, field):
    unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run.get("time_unit", "ns")]
    return run[field] * unit


def poll_section(lines, runs):
    missed = []
    s = summaries(runs)
    lines += [
        "## Polling and memory",
        "",
        "One pass asks `util_is_process_running` about every copy of a running "
        "fleet, as the launcher does once a second; the time is the median over "
        "the repetitions of the mean pass. The peak memory is that of the real "
        "SpawnBench holding the fleet (INI total = N, maximum 1, standard input a "
        "pipe that gets a line feed once every copy runs): `ru_maxrss` from "
        "`wait4`, which also covers the copies it reaped, and `VmHWM` read from "
        "/proc while it runs, which is SpawnBench's own.",
        "",
        "| measure | copies | figure | goal | |",
        "|---|---|---|---|---|",
    ]
    for key, entry in s.items():
        m = entry["median"]
        what, n = key[0], key[-1]
        if m is None:
            lines.append(f"| {what} | {n} | {'; '.join(entry.get('errors', ['no result']))} "
                         "| | **missed** |")
            missed.append(f"{what} {n}")
            continue
        if what == "poll":
            real = to_ms(m, "real_time")
            cpu = to_ms(m, "cpu_time")
            ok = real < GOAL_POLL_MS
            if not ok:
                missed.append(f"poll {n}")
            lines.append(f"| one polling pass | {n} | {real:.3f} ms (CPU {cpu:.3f} ms; "
                         f"{cpu / 10:.3f} % of a core at one pass a second) | "
                         f"< {GOAL_POLL_MS:g} ms | {verdict(ok)} |")
        elif what == "memory":
            ok = m["maxrss_MiB"] < GOAL_RSS_MIB
            if not ok:
                missed.append(f"memory {n}")
            lines.append(f"| SpawnBench peak memory, `ru_maxrss` | {n} | {m['maxrss_MiB']:.2f} MiB "
                         f"| < {GOAL_RSS_MIB:g} MiB | {verdict(ok)} |")
            ok = m["hwm_MiB"] < GOAL_RSS_MIB
            lines.append(f"| SpawnBench peak memory, `VmHWM` | {n} | {m['hwm_MiB']:.2f} MiB "
                         f"| < {GOAL_RSS_MIB:g} MiB | {verdict(ok)} |")
    lines.append("")
    return missed


def output_section(lines, runs):
    if not runs:
        return []
    s = summaries(runs)
    median = {key[0]: entry["median"] for key, entry in s.items()}
    lines += [
        "## Each copy's output",
        "",
        "10 copies of the stand-in each write 100 MiB in 80-byte lines "
        "(`VORNCORE_WRITE_BYTES`), in one run, the variants alternated: SpawnBench "
        "`--tag` (tag); GNU parallel `--line-buffer --tag` over `SpawnBench --copy` "
        "(parallel, a peer); each copy piped into `cat` (cat, the floor). Each is "
        "timed from its start until the last of the copies' lines has come out "
        "of a 1 MiB pipe that the benchmark reads and drops, as it would drop into "
        "the null device; SpawnBench's own end, a poll pass and a second after "
        "the last copy, is not timed. For files: SpawnBench `--output` (output), "
        "timed until its job log holds every copy's end, against the copies "
        "writing their own files from a shell (direct). Medians. The peak memory "
        "is SpawnBench's `ru_maxrss` under `--tag` over 2000 copies that each "
        "write 64 KiB and a byte.",
        "",
        "| measure | figure | goal | |",
        "|---|---|---|---|",
    ]
    missed = []

    def ms(name):
        m = median.get(name)
        return to_ms(m, "real_time") if m else None

    tag, parallel, cat, output, direct = (ms(n) for n in
                                          ("tag", "parallel", "cat", "output", "direct"))
    if None in (tag, parallel, cat):
        lines.append("| --tag against GNU parallel | no result | | **missed** |")
        missed.append("--tag against GNU parallel")
    else:
        ok = parallel / tag >= GOAL_TAG_VS_PARALLEL
        if not ok:
            missed.append("--tag against GNU parallel")
        lines.append(f"| tag {tag:.0f} ms, parallel {parallel:.0f} ms, cat {cat:.0f} ms: "
                     f"parallel / tag | {parallel / tag:.2f} (tag / cat {tag / cat:.2f}) | "
                     f"≥ {GOAL_TAG_VS_PARALLEL:g} | {verdict(ok)} |")
    if None in (output, direct):
        lines.append("| --output against the copies alone | no result | | **missed** |")
        missed.append("--output against the copies alone")
    else:
        ok = output / direct <= GOAL_OUTPUT_VS_DIRECT
        if not ok:
            missed.append("--output against the copies alone")
        lines.append(f"| output {output:.0f} ms, direct {direct:.0f} ms: output / direct | "
                     f"{output / direct:.3f} | ≤ {GOAL_OUTPUT_VS_DIRECT:.2f} | {verdict(ok)} |")
    for key, entry in s.items():
        if key[0] != "tag_memory":
            continue
        m = entry["median"]
        if m is None:
            lines.append("| --tag peak memory | no result | | **missed** |")
            missed.append("--tag peak memory")
            continue
        ok = m["maxrss_MiB"] <= GOAL_TAG_RSS_MIB
        if not ok:
            missed.append("--tag peak memory")
        lines.append(f"| --tag peak memory, {key[-1]} copies | {m['maxrss_MiB']:.1f} MiB | "
                     f"≤ {GOAL_TAG_RSS_MIB:g} MiB | {verdict(ok)} |")
    lines.append("")
    return missed
def page_section(lines, runs):
    if not runs:
        return []
    s = summaries(runs)
    lines += [
        "## The campaign page",
        "",
        "The page (`--html`) of a made-up campaign of N tries on 4 slots (run times of 2 to "
        "12 s, every 50th copy flaky, every 97th failed, every 500th timed out, each copy "
        "with its output file): its size per try, the time `campaign_page` takes to write "
        "it, and the time from the navigation's start to the first painted frame of the "
        "timeline (the page's `timeline-painted` mark, read through selenium) when the "
        "file is opened in a fresh headless Chromium, one browser per repetition. Medians.",
        "",
        "| measure | tries | figure | goal | |",
        "|---|---|---|---|---|",
    ]
    missed = []
    for key, entry in s.items():
        m = entry["median"]
        what, n = key[1] if len(key) > 1 else key[0], key[-1]
        if m is None:
            lines.append(f"| page {what} | {n} | {'; '.join(entry.get('errors', ['no result']))} "
                         "| | **missed** |")
            missed.append(f"campaign page {what} {n}")
            continue
        if what == "write":
            per_try = m["bytes_per_try"]
            ok = per_try <= GOAL_PAGE_BYTES_PER_TRY
            if not ok:
                missed.append(f"campaign page size {n}")
            lines.append(f"| page size | {n} | {m['page_MiB']:.2f} MiB, {per_try:.1f} bytes a try "
                         f"| ≤ {GOAL_PAGE_BYTES_PER_TRY:g} bytes a try | {verdict(ok)} |")
            lines.append(f"| written by `campaign_page` | {n} | {to_ms(m, 'real_time'):.0f} ms "
                         "| | |")
        elif what == "draw":
            ms = to_ms(m, "real_time")
            ok = ms <= GOAL_PAGE_DRAW_MS
            if not ok:
                missed.append(f"campaign page drawn {n}")
            lines.append(f"| opened to first painted timeline, headless Chromium | {n} | "
                         f"{ms:.0f} ms{spread_ms(entry)} | ≤ {GOAL_PAGE_DRAW_MS:g} ms | "
                         f"{verdict(ok)} |")
    lines.append("")
    return missed


def campaign_section(lines, report_runs, fleet_runs):
    if not report_runs and not fleet_runs:
        return []
    lines += [
        CAMPAIGN_HEADING,
        "",
        "The report mode, `SpawnBench --report LOG --junit J --html H`, against "
        "`SpawnBench --plan --rerun-failed LOG`, which reads the same log and prints the "
        "copies left, starting nothing. The log is generated: N copies of one index, "
        "one line each (every 1000th failed), or 10 lines each, written round by round "
        "as reruns append them (nine failed tries, an exit status, a time-out or a "
        "signal, then a pass but for every 1000th copy). The two runs alternate within "
        "an iteration; each is timed by its CPU time (user and system, from `wait4`), "
        "since the machine is shared, and its wall clock is shown beside. Medians; the "
        "ratio is the median of the per-iteration ratios, with its smallest and "
        "largest value. "
        f"Goals: at most {GOAL_REPORT_S:g} s for a million lines, and report ÷ "
        f"--rerun-failed ≤ {GOAL_REPORT_VS_PLAN:g}.",
        "",
        "| job log | lines | report CPU s | --rerun-failed CPU s | report ÷ --rerun-failed "
        "(min–max) | wall s: report, --rerun-failed | report's peak memory | goals |",
        "|---|---|---|---|---|---|---|---|",
    ]
    missed = []
    for key, entry in summaries(report_runs).items():
        copies, tries = key[1], key[2] if len(key) > 2 else "1"
        shape = f"{int(copies):,} copies × {tries} line{'s' if tries != '1' else ''}".replace(
            ",", " ")
        m = entry["median"]
        if m is None:
            lines.append(f"| {shape} | | {'; '.join(entry.get('errors', ['no result']))} "
                         "| | | | | **missed** |")
            missed.append(f"report of {shape}")
            continue
        failed = []
        if m["report_cpu_s"] > GOAL_REPORT_S:
            failed.append(f"≤ {GOAL_REPORT_S:g} s")
        if m["report_vs_plan"] > GOAL_REPORT_VS_PLAN:
            failed.append(f"÷ --rerun-failed ≤ {GOAL_REPORT_VS_PLAN:g}")
        missed += [f"report of {shape}: {what}" for what in failed]
        lines.append(
            f"| {shape} | {m['lines']:.0f} | {m['report_cpu_s']:.3f} | {m['plan_cpu_s']:.3f} | "
            f"{m['report_vs_plan']:.2f}{spread(entry, 'report_vs_plan')} | "
            f"{m['report_wall_s']:.2f}, {m['plan_wall_s']:.2f} | "
            f"{m['report_maxrss_MiB']:.0f} MiB | "
            + (verdict(True) if not failed else "**missed**: " + ", ".join(failed)) + " |")
    lines += [
        "",
        "A campaign: `SpawnBench -j 4 --joblog LOG` over N copies of the stand-in "
        "(`VORNCORE_DELAY_MS=0 VORNCORE_HOLD_MS=0`, one index each, their output to the "
        "null device) against `xargs -P 4 -n 4 VORNCoreExTest.exe` reading the same "
        "command lines' arguments, alternated within an iteration, by the wall clock "
        "from start to end. The CPU time counts the copies too. The peak memory is "
        "SpawnBench's own `VmHWM`, read from /proc while it runs. "
        f"Goals: SpawnBench ÷ xargs ≤ {GOAL_CAMPAIGN_VS_XARGS:.2f}, peak memory ≤ "
        f"{GOAL_CAMPAIGN_RSS_MIB:g} MiB.",
        "",
        "| copies | SpawnBench s | xargs s | SpawnBench ÷ xargs (min–max) | CPU s: "
        "SpawnBench, xargs | peak memory | goals |",
        "|---|---|---|---|---|---|---|",
    ]
    for key, entry in summaries(fleet_runs).items():
        n = key[-1]
        m = entry["median"]
        if m is None:
            lines.append(f"| {n} | {'; '.join(entry.get('errors', ['no result']))} "
                         "| | | | | **missed** |")
            missed.append(f"campaign of {n} copies")
            continue
        failed = []
        if m["fleet_vs_xargs"] > GOAL_CAMPAIGN_VS_XARGS:
            failed.append(f"÷ xargs ≤ {GOAL_CAMPAIGN_VS_XARGS:.2f}")
        if m["hwm_MiB"] > GOAL_CAMPAIGN_RSS_MIB:
            failed.append(f"≤ {GOAL_CAMPAIGN_RSS_MIB:g} MiB")
        missed += [f"campaign of {n} copies: {what}" for what in failed]
        lines.append(
            f"| {n} | {m['fleet_s']:.1f} | {m['xargs_s']:.1f} | "
            f"{m['fleet_vs_xargs']:.3f}{spread(entry, 'fleet_vs_xargs')} | "
            f"{m['fleet_cpu_s']:.1f}, {m['xargs_cpu_s']:.1f} | {m['hwm_MiB']:.1f} MiB | "
            + (verdict(True) if not failed else "**missed**: " + ", ".join(failed)) + " |")
    lines.append("")
    return missed


def spread_ms(entry):
    reps = [to_ms(r, "real_time") for r in entry["reps"] if "real_time" in r]
    return f" ({min(reps):.0f}–{max(reps):.0f})" if len(reps) > 1 else ""


def main_campaign(results, output, command):
    """Only the campaign's section, measured on its own: the rest is kept."""
    lines = []
    missed = campaign_section(lines, load(os.path.join(results, "campaign_report.json")),
                              load(os.path.join(results, "campaign_fleet.json")))
    lines.append(
        "The section above was measured on its own on "
        f"{datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')} with "
        f"`{command}` (load average at the end {load_average()}); `bash scripts/bench.sh` "
        "runs it with the rest.")
    lines.append("")
    with open(output) as f:
        linux, windows = split_windows(f.read())
    at = linux.find(CAMPAIGN_HEADING)
    goals_at = linux.find("## Goals missed")
    if at < 0:
        at = end = goals_at
    else:
        end = linux.find("\n## ", at + 1) + 1
    text = linux[:at] + "\n".join(lines) + "\n" + linux[end:]
    head, sep, rest = text.partition("## Goals missed\n")
    listed, _, tail = rest.partition("\n\n")
    if rest.startswith("\n"):
        listed, _, tail = rest[1:].partition("\n\n")
    kept = [line for line in listed.splitlines()
            if line.startswith("- ") and not line.startswith(("- report of", "- campaign of"))]
    kept += [f"- {m}" for m in missed]
    text = head + sep + "\n" + ("\n".join(kept) if kept else "None.") + "\n\n" + tail
    with open(output, "w") as f:
        f.write(text.rstrip("\n") + "\n" + ("\n" + windows if windows else ""))
    print(f"wrote {output}; campaign goals missed: {len(missed)}")


WINDOWS_HEADING = "## MevCompression.dll under Wine"
GOAL_WINDOWS_DATA = ("text", "code")


def wine_version():
    try:
        return subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True,
                              text=True, check=False).stdout.strip()
    except OSError:
        return ""


# The Windows builds' results, each under a heading of its own.
WINDOWS_TARGETS = [("compression_windows.json", "64-bit (x86-64)"),
                   ("compression_windows32.json", "32-bit (i686), under 32-bit Wine")]


def windows_table(runs, label):
    """One Windows build's table, and the goals it missed."""
    lines = [
        f"### {label}",
        "",
        "| operation | data | size | DLL MB/s | zlib engine's DLL MB/s | zlib MB/s | "
        "libdeflate MB/s | DLL ÷ zlib engine's DLL (min–max) | DLL ÷ libdeflate (min–max) "
        "| goals |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    missed = []
    for key, entry in summaries(runs).items():
        if len(key) != 3:
            continue
        op, data, size = key
        m = entry["median"]
        where = f"{label.split(',')[0]}: {op} {data} {size_label(size)}"
        if m is None:
            lines.append(f"| {op} | {data} | {size_label(size)} | | | | | | | "
                         f"{'; '.join(entry.get('errors', ['no result']))} **missed** |")
            missed.append(where)
            continue
        goals = []
        if data in GOAL_WINDOWS_DATA and int(size) >= GOAL_VS_RAW_FROM:
            goals = [(f"DLL ÷ zlib DLL ≥ {GOAL_VS_ZLIB}", m.get("vs_other", 0) >= GOAL_VS_ZLIB),
                     (f"DLL ÷ libdeflate ≥ {GOAL_VS_RAW}",
                      m.get("vs_libdeflate", 0) >= GOAL_VS_RAW)]
        failed = [what for what, ok in goals if not ok]
        missed += [f"{where}: {what}" for what in failed]
        verdict_cell = "" if not goals else verdict(True) if not failed else \
            "**missed**: " + ", ".join(failed)
        lines.append(
            f"| {op} | {data} | {size_label(size)} | {m['lib_MBps']:.1f} | "
            f"{m.get('other_MBps', 0):.1f} | {m['zlib_MBps']:.1f} | "
            f"{m.get('libdeflate_MBps', 0):.1f} | "
            f"{m.get('vs_other', 0):.2f}{spread(entry, 'vs_other')} | "
            f"{m.get('vs_libdeflate', 0):.3f}{spread(entry, 'vs_libdeflate')} | {verdict_cell} |")
    return lines + [""], missed


def windows_section(builds, command):
    """The Windows builds' compression figures, a section of its own at the
    end of the file that a run on Linux keeps as it is. `builds`: (label,
    runs, context) of each build that ran."""
    cpus, cpu, mem, kernel = machine()
    context = builds[0][2]
    gcc = package_version("gcc-mingw-w64-x86-64-posix") or "unknown"
    gcc32 = package_version("gcc-mingw-w64-i686-posix")
    if gcc32 and gcc32 != gcc:
        gcc += f" (i686: {gcc32})"
    lines = [
        WINDOWS_HEADING,
        "",
        f"- Machine: {cpus} CPUs ({cpu}), {mem} of memory, Linux {kernel}, "
        f"{wine_version() or 'Wine'}",
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
        f"- Command: `{command}`",
        f"- mingw-w64 gcc {gcc}, "
        f"zlib {context.get('zlib', 'unknown')} (static), libdeflate "
        f"{context.get('libdeflate', 'unknown')} (built from Debian's source package), "
        f"load average at the end {load_average()} (the machine is shared)",
        "",
        "The 64-bit and the 32-bit Windows builds (mingw-w64, -O2) of the benchmark above, "
        "run under Wine, the 32-bit one under 32-bit Wine: MevCompression.dll (engine: "
        f"{context.get('engine', '?')}) against the zlib engine's DLL "
        "(libMevCompression_zlib.dll, the test-only build of the other engine) of the same "
        "build, `compress2` and `uncompress` of the static zlib the binaries carry, and the "
        "same static libdeflate the DLL links, called directly. Same buffers, room and "
        "rotation as on Linux, but timed with the wall clock "
        "(`QueryPerformanceCounter`): under Wine a thread's CPU time moves in 10 ms "
        "steps. MB/s are medians over the repetitions; each ratio is the median of "
        "the per-repetition ratios, with its smallest and largest value.",
        "",
        f"Goals for each build, from {size_label(GOAL_VS_RAW_FROM)} up on "
        f"{' and '.join(GOAL_WINDOWS_DATA)}: DLL ÷ zlib engine's DLL ≥ {GOAL_VS_ZLIB} "
        f"to compress and to decompress; DLL ÷ raw libdeflate ≥ {GOAL_VS_RAW}.",
        "",
    ]
    missed = []
    for label, runs, _ in builds:
        table, build_missed = windows_table(runs, label)
        lines += table
        missed += build_missed
    lines += ["Goals missed under Wine: " + ("; ".join(missed) if missed else "none."), ""]
    return lines, missed


def split_windows(text):
    """(the Linux part, the Windows section or "")."""
    at = text.find(WINDOWS_HEADING)
    return (text, "") if at < 0 else (text[:at], text[at:])


def main_windows(results, output, command):
    builds = []
    for name, label in WINDOWS_TARGETS:
        path = os.path.join(results, name)
        if os.path.exists(path):
            with open(path) as fh:
                data = json.load(fh)
            builds.append((label, data.get("benchmarks", []), data.get("context", {})))
    if not builds:
        sys.exit(f"report.py: no {' or '.join(n for n, _ in WINDOWS_TARGETS)} in {results}")
    lines, missed = windows_section(builds, command)
    linux = ""
    if os.path.exists(output):
        with open(output) as f:
            linux = split_windows(f.read())[0]
    with open(output, "w") as f:
        f.write(linux + "\n".join(lines))
    print(f"wrote {output}; goals missed under Wine: {len(missed)}")


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--windows":
        main_windows(*sys.argv[2:])
        return
    if len(sys.argv) == 5 and sys.argv[1] == "--campaign":
        main_campaign(*sys.argv[2:])
        return
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    results, output, command = sys.argv[1:]
    cpus, cpu, mem, kernel = machine()
    context = {}
    for f in ("compression.json", "fleet_start.json", "fleet_poll.json"):
        path = os.path.join(results, f)
        if os.path.exists(path):
            with open(path) as fh:
                context = json.load(fh).get("context", context)
            break
    lines = [
        "# Benchmarks",
        "",
        f"- Machine: {cpus} CPUs ({cpu}), {mem} of memory, Linux {kernel}",
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
        f"- Command: `{command}`",
        f"- zlib {package_version('zlib1g') or 'unknown'}, libdeflate "
        f"{package_version('libdeflate0') or 'unknown'}, Google Benchmark "
        f"{package_version('libbenchmark-dev') or 'unknown'}, load average at the end "
        f"{load_average()} (the machine is shared)",
        "",
    ]
    if context.get("library_build_type") == "debug":
        lines += ["Google Benchmark itself reports a debug build of its library; that "
                  "touches only its own bookkeeping, outside the timed calls.", ""]
    missed = []
    compression_context = {}
    path = os.path.join(results, "compression.json")
    if os.path.exists(path):
        with open(path) as fh:
            compression_context = json.load(fh).get("context", {})
    missed += compression_section(lines, load(path),
                                  load(os.path.join(results, "compression_notrim.json")),
                                  compression_context)
    missed += fleet_section(lines, load(os.path.join(results, "fleet_start.json")))
    missed += poll_section(lines, load(os.path.join(results, "fleet_poll.json")))
    missed += output_section(lines, load(os.path.join(results, "fleet_output.json")))
    missed += page_section(lines, load(os.path.join(results, "campaign_page.json")))
    missed += campaign_section(lines, load(os.path.join(results, "campaign_report.json")),
                               load(os.path.join(results, "campaign_fleet.json")))
    lines += ["## Goals missed", ""]
    lines += [f"- {m}" for m in missed] if missed else ["None."]
    lines.append("")
    windows = ""
    if os.path.exists(output):
        with open(output) as f:
            windows = split_windows(f.read())[1]
    with open(output, "w") as f:
        f.write("\n".join(lines) + ("\n" + windows if windows else ""))
    print(f"wrote {output}; goals missed: {len(missed)}")


if __name__ == "__main__":
    main()
