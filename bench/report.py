#!/usr/bin/env python3
"""Turns the benchmarks' JSON output into the markdown table of results.

usage: report.py RESULTS_DIR OUTPUT.md COMMAND

RESULTS_DIR holds compression.json, fleet_start.json, fleet_poll.json and,
optionally, compression_notrim.json (the small sizes again with the heap's
trim threshold raised).
"""

import datetime
import json
import os
import platform
import re
import subprocess
import sys

GOAL_RATIO = 0.98
GOAL_FLEET_VS_BARE = 1.10
GOAL_POLL_MS = 2.0
GOAL_RSS_MIB = 8.0


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


def compression_section(lines, runs, notrim):
    lines += [
        "## MevCompression against raw zlib",
        "",
        "`MevZ_CompressData` against `compress2(Z_DEFAULT_COMPRESSION)`, "
        "`MevZ_UncompressData` against `uncompress`, on the same buffers, which "
        "both sides must turn into the same bytes. Each iteration makes a batch "
        "of library calls and a batch of zlib calls (about 250 µs of work each, "
        "one call at the larger sizes), in alternating order, timed with the "
        "thread's CPU clock so that time spent preempted by other jobs on the "
        "shared machine counts for neither side. MB/s are medians over the "
        "repetitions; the ratio (library / zlib speed) is the median of the "
        "per-repetition ratios, with its smallest and largest value. "
        f"Goal: ratio ≥ {GOAL_RATIO}.",
        "",
        "| operation | data | size | compressed | library MB/s | zlib MB/s | ratio (min–max) | goal |",
        "|---|---|---|---|---|---|---|---|",
    ]
    s = summaries(runs)
    missed = []
    for key, entry in s.items():
        if len(key) != 3:
            continue
        op, data, size = key
        m = entry["median"]
        if m is None:
            lines.append(f"| {op} | {data} | {size_label(size)} | | | | "
                         f"{'; '.join(entry.get('errors', ['no result']))} | **missed** |")
            missed.append(f"{op} {data} {size_label(size)}")
            continue
        packed = ""
        comp = s.get(("compress", data, size), {}).get("median")
        if comp and "compressed_pct" in comp:
            packed = f"{comp['compressed_pct']:.1f} %"
        ok = m["ratio"] >= GOAL_RATIO
        if not ok:
            missed.append(f"{op} {data} {size_label(size)}")
        lines.append(
            f"| {op} | {data} | {size_label(size)} | {packed} | {m['lib_MBps']:.1f} | "
            f"{m['zlib_MBps']:.1f} | {m['ratio']:.3f}{spread(entry, 'ratio')} | {verdict(ok)} |")
    lines.append("")
    if notrim:
        t = summaries(notrim)
        lines += [
            "### Per-call set-up at small sizes",
            "",
            "Both sides set up and end one zlib stream per call. zlib's compression "
            "state is about 256 KiB, which glibc's heap, at its default settings, "
            "gives back to the system when `deflateEnd` frees it and faults in "
            "again at the next `deflateInit`. The same small sizes again with the "
            "trim threshold raised (`GLIBC_TUNABLES=glibc.malloc.trim_threshold=67108864`) "
            "show what that costs. It costs compress2 just as much, so the ratio "
            "does not move; a host program that compresses many small buffers can "
            "avoid it with `mallopt(M_TRIM_THRESHOLD, ...)`.",
            "",
            "| operation | data | size | library MB/s, default heap | library MB/s, no trimming | zlib MB/s, no trimming | ratio, no trimming |",
            "|---|---|---|---|---|---|---|",
        ]
        for key, entry in t.items():
            base = s.get(key, {}).get("median")
            m = entry["median"]
            if len(key) != 3 or m is None or base is None:
                continue
            op, data, size = key
            lines.append(f"| {op} | {data} | {size_label(size)} | {base['lib_MBps']:.1f} | "
                         f"{m['lib_MBps']:.1f} | {m['zlib_MBps']:.1f} | {m['ratio']:.3f} |")
        lines.append("")
    return missed


def fleet_section(lines, runs):
    lines += [
        "## Fleet start-up",
        "",
        "N copies of the stand-in (`VORNCORE_DELAY_MS=0 VORNCORE_HOLD_MS=-1`, one "
        "index each), started three ways in one iteration, in rotating order: "
        "`start_fleet` over the process layer (fleet), a bare `posix_spawn` loop "
        "over the same argument vectors (bare, the limit), and `xargs -P N -n 4` "
        "reading the same arguments (xargs, a peer). Each is timed from its first "
        "start until every copy has printed its start line on a pipe, that is "
        "until all N copies run; stopping them is not timed. Times are medians; "
        "ratios are medians of the per-repetition ratios. The loop columns time "
        "only the start loop itself. "
        f"Goals: fleet / bare ≤ {GOAL_FLEET_VS_BARE:.2f}, fleet / xargs < 1.",
        "",
        "| copies | fleet ms | bare ms | xargs ms | fleet / bare (min–max) | goal | "
        "fleet / xargs (min–max) | goal | loop: fleet ms | loop: bare ms | loop: fleet / bare |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    missed = []
    for key, entry in summaries(runs).items():
        n = key[-1]
        m = entry["median"]
        if m is None:
            lines.append(f"| {n} | {'; '.join(entry.get('errors', ['no result']))} "
                         "| | | | **missed** | | **missed** | | | |")
            missed.append(f"fleet start {n}")
            continue
        ok_bare = m["fleet_vs_bare"] <= GOAL_FLEET_VS_BARE
        ok_xargs = m["fleet_vs_xargs"] < 1.0
        if not ok_bare:
            missed.append(f"fleet start {n} against the bare loop")
        if not ok_xargs:
            missed.append(f"fleet start {n} against xargs")
        lines.append(
            f"| {n} | {m['fleet_ms']:.1f} | {m['bare_ms']:.1f} | {m['xargs_ms']:.1f} | "
            f"{m['fleet_vs_bare']:.3f}{spread(entry, 'fleet_vs_bare')} | {verdict(ok_bare)} | "
            f"{m['fleet_vs_xargs']:.3f}{spread(entry, 'fleet_vs_xargs')} | {verdict(ok_xargs)} | "
            f"{m['fleet_loop_ms']:.1f} | {m['bare_loop_ms']:.1f} | "
            f"{m['fleet_vs_bare_loop']:.3f}{spread(entry, 'fleet_vs_bare_loop')} |")
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


def main():
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
        f"- zlib {package_version('zlib1g') or 'unknown'}, Google Benchmark "
        f"{package_version('libbenchmark-dev') or 'unknown'}, load average at the end "
        f"{load_average()} (the machine is shared)",
        "",
    ]
    if context.get("library_build_type") == "debug":
        lines += ["Google Benchmark itself reports a debug build of its library; that "
                  "touches only its own bookkeeping, outside the timed calls.", ""]
    missed = []
    missed += compression_section(lines, load(os.path.join(results, "compression.json")),
                                  load(os.path.join(results, "compression_notrim.json")))
    missed += fleet_section(lines, load(os.path.join(results, "fleet_start.json")))
    missed += poll_section(lines, load(os.path.join(results, "fleet_poll.json")))
    lines += ["## Goals missed", ""]
    lines += [f"- {m}" for m in missed] if missed else ["None."]
    lines.append("")
    with open(output, "w") as f:
        f.write("\n".join(lines))
    print(f"wrote {output}; goals missed: {len(missed)}")


if __name__ == "__main__":
    main()
