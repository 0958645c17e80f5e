#!/usr/bin/python3
"""Tests of table.py on benchmark reports made up for the purpose."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import table  # noqa: E402


def entry(impl, h, w, ns, aggregate="median", error=None, kind=None):
    run = f"{impl}/height:{h}/width:{w}" + (f"/kernel:{kind}" if kind else "")
    e = {
        "name": f"{run}_{aggregate}",
        "run_name": run,
        "run_type": "aggregate",
        "aggregate_name": aggregate,
        "repetitions": 5,
        "cpu_time": ns,
        "real_time": ns,
        "time_unit": "ns",
        "elements_per_second": h * w / (ns * 1e-9),
    }
    if error:
        e.update(run_type="iteration", error_occurred=True, error_message=error)
        del e["aggregate_name"]
    return e


def report(entries):
    return {"context": {"conv_TA_bench": "made up"}, "benchmarks": entries}


class ReportCase(unittest.TestCase):
    """A temporary folder for made-up reports and what table.py writes from them."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, entries):
        path = os.path.join(self.dir.name, "bench.json")
        with open(path, "w") as f:
            json.dump(report(entries), f)
        return path


class TableTest(ReportCase):
    def test_medians_are_taken_and_other_aggregates_ignored(self):
        path = self.write([
            entry("memcpy", 256, 256, 1000),
            entry("memcpy", 256, 256, 9999, aggregate="mean"),
            entry("memcpy", 256, 256, 50, aggregate="stddev"),
        ])
        medians, errors, _ = table.load(path)
        self.assertEqual(errors, [])
        self.assertAlmostEqual(medians[("memcpy", 256, 256)]["seconds"], 1e-6)

    def test_each_kind_of_kernel_is_kept_apart_and_tabled(self):
        entries = []
        for kind, ns in [(None, 300), ("symmetric", 200), ("antisymmetric", 250)]:
            entries += [entry("memcpy", 64, 64, 100, kind=kind),
                        entry("convolution_TA", 64, 64, ns, kind=kind),
                        entry("halide", 64, 64, 700, kind=kind)]
        path = self.write(entries)
        medians, _, _ = table.load(path)
        self.assertAlmostEqual(medians[("convolution_TA", 64, 64)]["seconds"], 300e-9)
        by_kind = {k: table.load(path, k)[0] for k in table.KINDS}
        self.assertAlmostEqual(by_kind["symmetric"][("convolution_TA", 64, 64)]["seconds"], 200e-9)
        rows = table.kernels_table(by_kind)[2:]
        self.assertEqual([r.split(" | ")[1] for r in rows], table.KINDS)
        self.assertIn("| 2.00 | ", rows[1])  # symmetric: twice memcpy's time
        self.assertIn("| 3.50 | peer ≥ 3 met", rows[1])
        self.assertIn("| 2.33 | peer ≥ 3 MISSED", rows[0])

    def test_ratios_compare_times_of_the_same_shape(self):
        path = self.write([
            entry("memcpy", 64, 64, 100), entry("convolution_TA", 64, 64, 400),
            entry("scalar_O2", 64, 64, 40000), entry("halide", 64, 64, 1200),
            entry("opencv_32F", 64, 64, 800),
        ])
        medians, _, _ = table.load(path)
        main = table.main_table(medians, [(64, 64)], table.COLUMNS)
        row = main[2].split(" | ")
        # memcpy 1.00, TA 4.00, scalar 400.00; Halide rows was not measured.
        self.assertIn("4.00", row)
        self.assertIn("400.00", row)
        self.assertEqual(row.count("-"), 2)
        targets = table.targets_table(medians, [(64, 64)])[2]
        # Best peer is OpenCV at 800 ns: 2.00, short of 3; scalar 100, met.
        self.assertIn("2.00 (opencv_32F)", targets)
        self.assertIn("peer ≥ 3 MISSED", targets)
        self.assertIn("scalar ≥ 50 met", targets)

    def test_tall_image_is_compared_with_the_square_of_its_count(self):
        path = self.write([
            entry("convolution_TA", 1024, 1024, 1000000),
            entry("convolution_TA", 65536, 16, 1500000),
        ])
        medians, _, _ = table.load(path)
        row = table.targets_table(medians, [(1024, 1024), (65536, 16)])[3]
        self.assertIn("| 1.50 |", row)
        self.assertIn("square ≤ 1.3 MISSED", row)

    def test_a_failed_benchmark_is_listed_and_fails_the_run(self):
        path = self.write([
            entry("memcpy", 64, 64, 100),
            entry("halide", 64, 64, 1, error="halide differs from the reference at row 0"),
        ])
        out = os.path.join(self.dir.name, "out")
        run = subprocess.run([sys.executable, table.__file__, "--json", path, "--out", out],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 1)
        self.assertIn("halide differs from the reference", run.stdout)
        with open(os.path.join(out, "table.md")) as f:
            self.assertIn("Benchmarks that failed", f.read())


class LevelsTest(ReportCase):
    """The library built for each instruction-set level: its own table, never a peer."""

    def levels_report(self):
        # Out of level order, so that the table has to put them in order.
        return self.write([
            entry("memcpy", 256, 256, 100), entry("convolution_TA", 256, 256, 200),
            entry("convolution_TA:x86-64-v4", 256, 256, 250),
            entry("convolution_TA:x86-64", 256, 256, 50),
            entry("convolution_TA:x86-64-v3", 256, 256, 800),
            entry("halide", 256, 256, 600), entry("halide:rows_vec16", 256, 256, 700),
            entry("opencv_64F", 256, 256, 900),
            entry("convolution_TA", 4096, 48, 1000),
            entry("convolution_TA:x86-64-v3", 4096, 48, 4000),
        ])

    def test_a_faster_level_is_not_taken_for_the_best_peer(self):
        medians, _, _ = table.load(self.levels_report())
        self.assertEqual(table.best_peer(medians, 256, 256)[0], "halide")
        targets = table.targets_table(medians, [(256, 256)])[2]
        self.assertIn("3.00 (halide)", targets)

    def test_levels_are_not_trials(self):
        medians, _, _ = table.load(self.levels_report())
        trials = "\n".join(table.trials_table(medians))
        self.assertIn("halide:rows_vec16", trials)
        self.assertNotIn("x86-64", trials)

    def test_level_table_gives_speed_against_the_library_as_built(self):
        medians, _, _ = table.load(self.levels_report())
        lines = table.levels_table(medians)
        self.assertEqual(lines[0], "| build | 256x256 Gelem/s | ×as built | "
                                   "4096x48 Gelem/s | ×as built |")
        rows = [line.split(" | ") for line in lines[2:]]
        self.assertEqual([r[0] for r in rows],
                         ["| convolution_TA (as built)", "| convolution_TA:x86-64",
                          "| convolution_TA:x86-64-v3", "| convolution_TA:x86-64-v4"])
        # 65536 elements in 200 ns; the baseline build at 50 ns is 4x as fast,
        # v3 at 800 ns a quarter; v3 was also timed on 4096x48, the others not.
        self.assertEqual(rows[0][1:3], ["328", "1.00"])
        self.assertEqual(rows[1][1:], ["1.31e+03", "4.00", "-", "- |"])
        self.assertEqual(rows[2][1:], ["81.9", "0.25", "49.2", "0.25 |"])
        self.assertEqual(rows[3][2], "0.80")

    def test_no_level_table_without_level_rows(self):
        path = self.write([entry("memcpy", 64, 64, 100), entry("convolution_TA", 64, 64, 400)])
        medians, _, _ = table.load(path)
        self.assertEqual(table.levels_table(medians), [])

    def test_level_table_follows_the_trials_and_stays_out_of_the_plot(self):
        out = os.path.join(self.dir.name, "out")
        run = subprocess.run([sys.executable, table.__file__, "--json", self.levels_report(),
                              "--out", out], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(os.path.join(out, "table.md")) as f:
            text = f.read()
        trials = text.index("Halide schedules and OpenCV element types tried")
        levels = text.index("convolution_TA built for each instruction-set level")
        self.assertLess(trials, levels)
        self.assertIn(text[levels:], run.stdout)
        main = text[:text.index("convolution_TA against the targets")]
        self.assertNotIn("x86-64", main)
        with open(os.path.join(out, "throughput.dat")) as f:
            self.assertNotIn("x86-64", f.read())


if __name__ == "__main__":
    unittest.main()
