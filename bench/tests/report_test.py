#!/usr/bin/env python3
"""Checks that the report gives every figure against its goal and marks the
misses, from hand-made benchmark output."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

REPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "report.py")


def run(name, median, reps=(), error=None):
    out = []
    for r in reps:
        out.append(dict(name=name, run_name=name, run_type="iteration", **r))
    if error:
        out.append(dict(name=name, run_name=name, run_type="iteration", error_occurred=True,
                        error_message=error))
    if median is not None:
        out.append(dict(name=name + "_median", run_name=name, run_type="aggregate",
                        aggregate_name="median", **median))
    return out


def compression(ratio, vs_raw=1.0, size=1.0, other=1.0):
    return dict(lib_MBps=100.0 * ratio, zlib_MBps=100.0, libdeflate_MBps=100.0 * ratio / vs_raw,
                other_MBps=100.0 * other, ratio=ratio, vs_libdeflate=vs_raw, other_ratio=other,
                lib_pct=40.0 * size, zlib_pct=40.0, size_vs_zlib=size)


class ReportTest(unittest.TestCase):
    def make(self, files, engine="libdeflate"):
        self.dir = tempfile.mkdtemp(prefix="vorn-report-")
        context = {"engine": engine, "other_engine": "zlib" if engine == "libdeflate" else ""}
        for name, benchmarks in files.items():
            with open(os.path.join(self.dir, name), "w") as f:
                json.dump({"context": context, "benchmarks": benchmarks}, f)
        out = os.path.join(self.dir, "out.md")
        proc = subprocess.run([sys.executable, REPORT, self.dir, out, "the command"],
                              capture_output=True, text=True, check=True)
        with open(out) as f:
            return f.read(), proc.stdout

    def tearDown(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def row(self, text, start):
        return [line for line in text.splitlines() if line.startswith(start)]

    def test_stamps_the_machine_and_the_command(self):
        text, _ = self.make({})
        self.assertIn("- Command: `the command`", text)
        self.assertIn("CPUs", text)
        self.assertIn("- Date: ", text)

    def test_a_ratio_under_the_goal_is_missed(self):
        text, stdout = self.make({"compression.json":
                                  run("compress/text/4096/manual_time", compression(1.5)) +
                                  run("compress/text/65536/manual_time", compression(1.7))})
        self.assertIn("**missed**", self.row(text, "| compress | text | 4 KiB |")[0])
        self.assertIn("| met |", self.row(text, "| compress | text | 64 KiB |")[0])
        self.assertIn("- compress text 4 KiB: library ÷ zlib ≥ 1.6", text)
        self.assertIn("goals missed: 1", stdout)

    def test_raw_libdeflate_from_64_kib_and_sizes_are_judged(self):
        text, stdout = self.make({"compression.json":
                                  run("uncompress/code/4096/manual_time", compression(2, 0.9)) +
                                  run("uncompress/code/65536/manual_time", compression(2, 0.96)) +
                                  run("compress/code/65536/manual_time",
                                      compression(2, 1.0, 1.02, 0.97))})
        self.assertIn("| met |", self.row(text, "| uncompress | code | 4 KiB |")[0])
        self.assertIn("library ÷ libdeflate ≥ 0.97",
                      self.row(text, "| uncompress | code | 64 KiB |")[0])
        row = self.row(text, "| compress | code | 64 KiB |")[0]
        self.assertIn("size ÷ zlib ≤ 1.01", row)
        self.assertIn("| 0.970 |", row)  # the zlib engine's ratio, shown but not judged
        self.assertIn("40.8 % / 40.0 %", row)
        self.assertIn("goals missed: 2", stdout)

    def test_a_zlib_build_is_held_to_zlib_speed(self):
        text, stdout = self.make({"compression.json":
                                  run("compress/text/4096/manual_time", compression(0.97)) +
                                  run("compress/text/65536/manual_time", compression(0.99))},
                                 engine="zlib")
        self.assertIn("library (zlib) MB/s", text)
        self.assertIn("**missed**", self.row(text, "| compress | text | 4 KiB |")[0])
        self.assertIn("goals missed: 1", stdout)

    def test_rows_come_in_a_fixed_order_with_the_spread(self):
        reps = [compression(0.95), compression(1.05)]
        text, _ = self.make({"compression.json":
                             run("uncompress/random/8388608/manual_time", compression(1.0)) +
                             run("compress/text/1048576/manual_time", compression(1.0), reps)})
        rows = self.row(text, "| compress") + self.row(text, "| uncompress")
        self.assertEqual(len(rows), 2)
        self.assertTrue(text.index("| compress | text | 1 MiB") <
                        text.index("| uncompress | random | 8 MiB"))
        self.assertIn("(0.95–1.05)", rows[0])

    def test_a_failed_benchmark_is_reported_as_missed(self):
        text, _ = self.make({"fleet_start.json":
                             run("start/1000/iterations:1/manual_time", None,
                                 error="processes were left running")})
        row = self.row(text, "| 1000 |")[0]
        self.assertIn("processes were left running", row)
        self.assertIn("**missed**", row)

    def test_fleet_goals(self):
        fast = dict(fleet_ms=105, bare_ms=100, xargs_ms=150, fleet_loop_ms=100,
                    bare_loop_ms=95, fleet_vs_bare=1.05, fleet_vs_bare_loop=1.05,
                    fleet_vs_xargs=0.7, contained_ms=106, contained_loop_ms=101,
                    contained_vs_bare=1.06, contained_vs_bare_loop=1.06)
        slow = dict(fast, fleet_vs_bare=1.2, fleet_vs_xargs=1.1, contained_vs_bare=1.3)
        text, _ = self.make({"fleet_start.json":
                             run("start/100/iterations:1/repeats:9/manual_time", fast) +
                             run("start/1000/iterations:1/repeats:3/manual_time", slow)})
        self.assertNotIn("missed", self.row(text, "| 100 |")[0])
        self.assertEqual(self.row(text, "| 1000 |")[0].count("**missed**"), 3)

    def test_poll_time_is_converted_and_memory_judged(self):
        poll = dict(real_time=1500.0, cpu_time=1400.0, time_unit="us", copies=1000)
        memory = dict(maxrss_MiB=9.0, hwm_MiB=3.0, copies=1000, real_time=1.0,
                      cpu_time=1.0, time_unit="ms")
        text, _ = self.make({"fleet_poll.json":
                             run("poll/1000/iterations:300", poll) +
                             run("memory/1000/iterations:1/repeats:1/manual_time", None,
                                 reps=[memory])})
        poll_row = self.row(text, "| one polling pass |")[0]
        self.assertIn("1.500 ms", poll_row)
        self.assertIn("| met |", poll_row)
        self.assertIn("**missed**", self.row(text, "| SpawnBench peak memory, `ru_maxrss`")[0])
        self.assertIn("| met |", self.row(text, "| SpawnBench peak memory, `VmHWM`")[0])

    def test_page_size_and_drawing_are_judged(self):
        write = dict(real_time=150.0, cpu_time=60.0, time_unit="ms", bytes_per_try=70.0,
                     page_MiB=6.7)
        draw = dict(real_time=900.0, cpu_time=0.3, time_unit="ms", bytes_per_try=70.0)
        text, _ = self.make({"campaign_page.json":
                             run("page/write/100000", write) +
                             run("page/draw/100000/iterations:1/manual_time", draw)})
        self.assertIn("70.0 bytes a try | ≤ 64 bytes a try | **missed**",
                      self.row(text, "| page size |")[0])
        self.assertIn("900 ms | ≤ 2000 ms | met", self.row(text, "| opened to first")[0])

    def test_campaign_goals(self):
        report = dict(report_cpu_s=0.8, plan_cpu_s=0.6, report_vs_plan=1.33, report_wall_s=1.0,
                      plan_wall_s=0.7, report_maxrss_MiB=300.0, lines=1e6)
        slow = dict(report, report_cpu_s=3.5, report_vs_plan=1.8)
        fleet = dict(fleet_s=70.0, xargs_s=60.0, fleet_vs_xargs=1.17, fleet_cpu_s=50.0,
                     xargs_cpu_s=48.0, hwm_MiB=30.0)
        text, stdout = self.make({
            "campaign_report.json": run("report/1000000/1/iterations:1/manual_time", report) +
            run("report/100000/10/iterations:1/manual_time", slow),
            "campaign_fleet.json": run("campaign/100000/iterations:1/manual_time", fleet)})
        self.assertIn("| met |", self.row(text, "| 1 000 000 copies × 1 line |")[0])
        self.assertIn("**missed**: ≤ 3 s, ÷ --rerun-failed ≤ 1.5",
                      self.row(text, "| 100 000 copies × 10 lines |")[0])
        self.assertIn("**missed**: ÷ xargs ≤ 1.10", self.row(text, "| 100000 |")[0])
        self.assertIn("goals missed: 3", stdout)


if __name__ == "__main__":
    unittest.main()
