#!/usr/bin/python3
"""Runs the benchmark and turns its medians into the performance table and plot.

    bench/table.py [--build build] [--out bench/results]

runs build/bench/conv_TA_bench with several repetitions (JSON output), then
writes into the output folder:

  bench.json      the benchmark's own report (medians and the other aggregates)
  table.md        the tables, also printed
  throughput.dat  the plot's data
  throughput.png  throughput against image size, drawn by gnuplot (bench/plot.gp)

With the default output folder the tables also replace the block between the
"performance table" markers of README.md. --json FILE makes the tables and
plot from an earlier report instead of running. Every figure is the median of the repetitions of CPU time; ratios
compare benchmarks of one run. Only the standard library is used.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "results")
README = os.path.join(os.path.dirname(HERE), "README.md")
BEGIN = "<!-- performance table begin: written by bench/table.py -->"
END = "<!-- performance table end -->"

# The columns of the main table, in order, with their headings.
COLUMNS = [
    ("memcpy", "memcpy"),
    ("convolution_TA", "convolution_TA"),
    ("scalar_O2", "scalar -O2"),
    ("halide", "Halide strip16 32x4"),
    ("halide_rows", "Halide rows"),
    ("opencv_32F", "OpenCV 32F"),
]
PEERS = ["halide", "halide_rows", "opencv_32F"]

# The library built for each portable instruction-set level is timed as
# convolution_TA:LEVEL. It is the library itself, never a peer: its rows go
# to a table of their own, in the order of the levels.
LEVEL_PREFIX = "convolution_TA:"
LEVELS = ["x86-64", "x86-64-v2", "x86-64-v3", "x86-64-v4", "installed"]

# Images of 64x64 to 512x512 fit in cache; from 512 rows of 512 columns on,
# the target is memcpy's time.
IN_CACHE = {(64, 64), (256, 256), (512, 512)}
MEMCPY_FROM_SIDE = 512
PEER_TARGET = 3

# The in-cache shapes run with each kind of kernel as well; a benchmark
# without a kernel part has the general one.
KINDS = ["general", "symmetric", "antisymmetric"]
NAME = re.compile(r"^(?P<impl>[^/]+)/height:(?P<h>\d+)/width:(?P<w>\d+)"
                  r"(?:/kernel:(?P<kind>[a-z]+))?$")


def run_benchmark(args, json_path):
    binary = args.binary or os.path.join(args.build, "bench", "conv_TA_bench")
    if not os.access(binary, os.X_OK):
        sys.exit(f"bench: {binary} not found: build it first (cmake --build {args.build})")
    command = [
        binary,
        f"--benchmark_repetitions={args.repetitions}",
        f"--benchmark_min_time={args.min_time}",
        "--benchmark_report_aggregates_only=true",
        f"--benchmark_out={json_path}",
        "--benchmark_out_format=json",
    ]
    if args.filter:
        command.append(f"--benchmark_filter={args.filter}")
        listed = subprocess.run([binary, "--benchmark_list_tests=true",
                                 f"--benchmark_filter={args.filter}"],
                                capture_output=True, text=True)
        if not listed.stdout.strip():
            sys.exit(f"bench: no benchmark ran (--filter {args.filter} matches none)")
    env = dict(os.environ)
    if args.installed is not None:
        env["CONV_TA_BENCH_INSTALLED"] = installed_copy(args)
    if shutil.which("nice"):
        command = ["nice"] + command
    print("+ " + " ".join(command), file=sys.stderr, flush=True)
    result = subprocess.run(command, stdout=sys.stderr, env=env)
    if result.returncode != 0:
        sys.exit(f"bench: the benchmark failed with status {result.returncode}")


def installed_copy(args):
    """The file the loader maps as libconv_TA.so.1 for a host linked with
    -lconv_TA and no run path: from the system's directories, or from
    LD_LIBRARY_PATH=DIR when --installed names one."""
    probe = os.path.join(args.build, "bench", "conv_TA_loaded")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_BIND_NOW")}
    if args.installed:
        env["LD_LIBRARY_PATH"] = args.installed
    result = subprocess.run([probe], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"bench: {probe} found no installed library: {result.stderr.strip()}")
    path = result.stdout.strip()
    print(f"+ the installed copy the loader chose: {path}", file=sys.stderr, flush=True)
    return path


def load(json_path, kind="general"):
    """Medians by (implementation, height, width) for one kind of kernel, the errors, the
    context."""
    with open(json_path) as f:
        report = json.load(f)
    medians, errors = {}, []
    for b in report["benchmarks"]:
        name = b.get("run_name", b["name"])
        m = NAME.match(name)
        if not m:
            continue
        key = (m["impl"], int(m["h"]), int(m["w"]))
        if b.get("error_occurred"):
            error = f"{name}: {b.get('error_message', 'error')}"
            if error not in errors:
                errors.append(error)
            continue
        if (m["kind"] or "general") != kind:
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        if b.get("run_type") == "aggregate" or key not in medians:
            medians[key] = {
                "seconds": b["cpu_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]],
                "eps": b["elements_per_second"],
                "repetitions": b.get("repetitions", 1),
            }
    return medians, errors, report.get("context", {})


def shapes_of(medians):
    seen = []
    for impl, h, w in medians:
        if (h, w) not in seen:
            seen.append((h, w))
    return seen


def gelem(eps):
    return f"{eps / 1e9:.3g}"


def shape_label(h, w):
    return f"{h}x{w}"


def main_table(medians, shapes, columns):
    head = "| height x width | elements | " + " | ".join(
        f"{title} Gelem/s | ×memcpy" for _, title in columns) + " |"
    rule = "|---|---:|" + "---:|---:|" * len(columns)
    lines = [head, rule]
    for h, w in shapes:
        base = medians.get(("memcpy", h, w))
        cells = []
        for impl, _ in columns:
            m = medians.get((impl, h, w))
            if not m:
                cells += ["-", "-"]
                continue
            ratio = f"{m['seconds'] / base['seconds']:.2f}" if base else "-"
            cells += [gelem(m["eps"]), ratio]
        lines.append(f"| {shape_label(h, w)} | {h * w} | " + " | ".join(cells) + " |")
    return lines


def is_level(impl):
    return impl.startswith(LEVEL_PREFIX)


def best_peer(medians, h, w):
    """The fastest peer measured on this shape, trials included."""
    best = None
    for (impl, mh, mw), m in medians.items():
        if (mh, mw) != (h, w):
            continue
        if impl in PEERS or impl.startswith("halide:") or impl.startswith("opencv_"):
            if best is None or m["seconds"] < best[1]["seconds"]:
                best = (impl, m)
    return best


def targets_table(medians, shapes):
    lines = [
        "| height x width | TA ns/elem | TA time ×memcpy | TA speed-up on scalar -O2 | "
        "TA speed-up on best peer (which) | per element ×square of same count | target |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    squares = {h * w: (h, w) for h, w in shapes if h == w}
    for h, w in shapes:
        ta = medians.get(("convolution_TA", h, w))
        if not ta:
            continue
        n = h * w
        ns = ta["seconds"] / n * 1e9
        mc = medians.get(("memcpy", h, w))
        sc = medians.get(("scalar_O2", h, w))
        peer = best_peer(medians, h, w)
        vs_memcpy = ta["seconds"] / mc["seconds"] if mc else None
        vs_scalar = sc["seconds"] / ta["seconds"] if sc else None
        vs_peer = peer[1]["seconds"] / ta["seconds"] if peer else None
        same = squares.get(n)
        vs_square = None
        if h != w and same and ("convolution_TA",) + same in medians:
            vs_square = ns / (medians[("convolution_TA",) + same]["seconds"] / n * 1e9)
        goals = []
        if (h, w) in IN_CACHE:
            goals.append((f"peer ≥ {PEER_TARGET}", vs_peer is not None and vs_peer >= PEER_TARGET))
            goals.append(("scalar ≥ 50", vs_scalar is not None and vs_scalar >= 50))
        if h >= MEMCPY_FROM_SIDE and w >= MEMCPY_FROM_SIDE:
            goals.append(("memcpy ≤ 1.2", vs_memcpy is not None and vs_memcpy <= 1.2))
        if 16 <= w <= 64:
            goals.append(("scalar ≥ 5", vs_scalar is not None and vs_scalar >= 5))
        if vs_square is not None:
            goals.append(("square ≤ 1.3", vs_square <= 1.3))
        goals.append(("peer > 1", vs_peer is None or vs_peer > 1))
        target = ", ".join(f"{g} {'met' if ok else 'MISSED'}" for g, ok in goals)
        fmt = lambda v, d=2: "-" if v is None else f"{v:.{d}f}"
        which = f"{fmt(vs_peer)} ({peer[0]})" if peer else "-"
        lines.append(f"| {shape_label(h, w)} | {ns:.3f} | {fmt(vs_memcpy)} | {fmt(vs_scalar, 1)} | "
                     f"{which} | {fmt(vs_square)} | {target} |")
    return lines


def kernels_table(by_kind):
    """convolution_TA and the best peer on the shapes timed with every kind of kernel."""
    shapes = [s for s in shapes_of(by_kind["general"])
              if all(("convolution_TA",) + s in by_kind[k] for k in KINDS)]
    if not shapes:
        return []
    lines = ["| height x width | kernel | TA Gelem/s | TA time ×memcpy | best peer Gelem/s (which) "
             "| TA speed-up on best peer | target |",
             "|---|---|---:|---:|---:|---:|---|"]
    for h, w in shapes:
        for kind in KINDS:
            medians = by_kind[kind]
            ta, mc = medians[("convolution_TA", h, w)], medians.get(("memcpy", h, w))
            peer = best_peer(medians, h, w)
            ratio = f"{ta['seconds'] / mc['seconds']:.2f}" if mc else "-"
            which, speedup, target = "-", "-", "-"
            if peer:
                which = f"{gelem(peer[1]['eps'])} ({peer[0]})"
                vs_peer = peer[1]["seconds"] / ta["seconds"]
                speedup = f"{vs_peer:.2f}"
                target = f"peer ≥ {PEER_TARGET} {'met' if vs_peer >= PEER_TARGET else 'MISSED'}"
            lines.append(f"| {shape_label(h, w)} | {kind} | {gelem(ta['eps'])} | {ratio} | "
                         f"{which} | {speedup} | {target} |")
    return lines


def trials_table(medians):
    trial_shapes = sorted({(h, w) for (impl, h, w) in medians
                           if impl.startswith("halide:") or impl == "opencv_64F"})
    if not trial_shapes:
        return []
    impls = sorted({impl for (impl, h, w) in medians
                    if impl.startswith("halide:") or impl in ("opencv_32F", "opencv_64F")})
    lines = ["| trial | " + " | ".join(f"{shape_label(h, w)} Gelem/s" for h, w in trial_shapes) + " |",
             "|---|" + "---:|" * len(trial_shapes)]
    for impl in impls:
        cells = [gelem(medians[(impl, h, w)]["eps"]) if (impl, h, w) in medians else "-"
                 for h, w in trial_shapes]
        lines.append(f"| {impl} | " + " | ".join(cells) + " |")
    return lines


def levels_table(medians):
    """Each level's build beside the library as built, on the shapes the levels ran on."""
    levels = {impl[len(LEVEL_PREFIX):] for (impl, h, w) in medians if is_level(impl)}
    if not levels:
        return []
    order = sorted(levels, key=lambda l: (LEVELS.index(l) if l in LEVELS else len(LEVELS), l))
    shapes = [(h, w) for h, w in shapes_of(medians)
              if any((LEVEL_PREFIX + l, h, w) in medians for l in levels)]
    lines = ["| build | " + " | ".join(f"{shape_label(h, w)} Gelem/s | ×as built"
                                      for h, w in shapes) + " |",
             "|---|" + "---:|---:|" * len(shapes)]
    for impl in ["convolution_TA"] + [LEVEL_PREFIX + l for l in order]:
        cells = []
        for h, w in shapes:
            m, built = medians.get((impl, h, w)), medians.get(("convolution_TA", h, w))
            cells.append(gelem(m["eps"]) if m else "-")
            # A speed ratio: above 1 the level runs faster than the library as built.
            cells.append(f"{built['seconds'] / m['seconds']:.2f}" if m and built else "-")
        label = "convolution_TA (as built)" if impl == "convolution_TA" else impl
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines


def write_plot(medians, shapes, columns, out):
    present = [(impl, title) for impl, title in columns
               if any((impl, h, w) in medians for h, w in shapes)]
    dat = os.path.join(out, "throughput.dat")
    # Two blocks per implementation: the square images (a line), then the
    # other shapes (points). Shapes of one element count get their labels
    # spread apart.
    with open(dat, "w") as f:
        for impl, title in present:
            for squares in (True, False):
                f.write(f"# {title}: {'square' if squares else 'other'} images\n"
                        "# elements Gelem/s shape label_x\n")
                rows = sorted((h * w, h, w) for h, w in shapes
                              if (impl, h, w) in medians and (h == w) == squares)
                placed = {}
                for n, h, w in rows:
                    label_x = n * 1.25 ** placed.get(n, 0)
                    placed[n] = placed.get(n, 0) + 1
                    f.write(f"{n} {medians[(impl, h, w)]['eps'] / 1e9:.6g} "
                            f"{shape_label(h, w)} {label_x:.6g}\n")
                f.write("\n\n")
    png = os.path.join(out, "throughput.png")
    if not shutil.which("gnuplot"):
        print("gnuplot not found (Debian: gnuplot-nox): no plot drawn", file=sys.stderr)
        return None
    names = " ".join(title.replace(" ", "_") for _, title in present)
    # gnuplot's words() splits at spaces: the titles carry underscores instead.
    subprocess.run(["gnuplot", "-e", f"data='{dat}'; out='{png}'; names='{names}'",
                    os.path.join(HERE, "plot.gp")], check=True)
    return png


def update_readme(table):
    """Puts the tables between the markers of README.md, if it has them."""
    try:
        with open(README) as f:
            text = f.read()
    except OSError:
        return
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        return
    text = text[:start + len(BEGIN)] + "\n" + table.rstrip("\n") + "\n" + text[end:]
    with open(README, "w") as f:
        f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default="build", help="the CMake build folder (default: build)")
    p.add_argument("--out", default=DEFAULT_OUT,
                   help="where the report, table and plot go (default: bench/results)")
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--min-time", type=float, default=0.2,
                   help="seconds each repetition runs at least (default 0.2)")
    p.add_argument("--filter", help="a --benchmark_filter regex, to time fewer benchmarks")
    p.add_argument("--installed", nargs="?", const="", metavar="LIBDIR",
                   help="also time the copy the loader takes from the system's library "
                        "directories, or from LIBDIR")
    p.add_argument("--json", help="make the tables from this report instead of running")
    p.add_argument("--binary", help="the benchmark to run (default: BUILD/bench/conv_TA_bench)")
    args = p.parse_args()
    try:
        return run(args)
    except (OSError, ValueError, KeyError, subprocess.CalledProcessError) as e:
        # Every failure in one line, as conv-ta reports its own.
        sys.exit(f"bench: {e}")


def run(args):
    os.makedirs(args.out, exist_ok=True)
    json_path = args.json
    if not json_path:
        json_path = os.path.join(args.out, "bench.json")
        run_benchmark(args, json_path)
    medians, errors, context = load(json_path)
    if not medians and not errors:
        sys.exit("bench: no benchmark ran")
    shapes = [s for s in shapes_of(medians) if ("convolution_TA",) + s in medians or
              ("memcpy",) + s in medians]
    columns = [c for c in COLUMNS if any((c[0], h, w) in medians for h, w in shapes)]

    text = []
    text.append(f"Medians of {max((m['repetitions'] for m in medians.values()), default=0)} "
                "repetitions, CPU time, one thread; ×memcpy is the time as a ratio to memcpy "
                "of the same bytes in the same run.")
    if context.get("conv_TA_bench"):
        text.append("")
        text.append("Run: " + context["conv_TA_bench"])
    text += ["", *main_table(medians, shapes, columns), ""]
    # The README shows the main table; the targets, trials, kernel kinds and
    # levels stay in table.md, which it links to.
    readme_text = text + ["Against the targets, the peers' trial schedules, each kind of "
                          "kernel and the library built for each instruction-set level: "
                          "[bench/results/table.md](bench/results/table.md).", ""]
    text += ["convolution_TA against the targets (speed-ups are time ratios; best peer "
             "includes the trial schedules where they ran):", "",
             *targets_table(medians, shapes), ""]
    kernels = kernels_table({kind: load(json_path, kind)[0] for kind in KINDS})
    if kernels:
        text += ["convolution_TA with each kind of kernel (symmetric: the left and right "
                 "columns equal in every row; antisymmetric: opposite), each kind timed "
                 "in the same run as its memcpy and peers:", "", *kernels, ""]
    trials = trials_table(medians)
    if trials:
        text += ["Halide schedules and OpenCV element types tried:", "", *trials, ""]
    levels = levels_table(medians)
    if levels:
        text += ["convolution_TA built for each instruction-set level (×as built is its speed "
                 "as a ratio to the library as built, convolution_TA, on the same shape and "
                 "in the same run):", "", *levels, ""]
    if errors:
        text += ["Benchmarks that failed (no figure is shown for them):", ""]
        text += [f"- {e}" for e in errors] + [""]
    table = "\n".join(text)
    with open(os.path.join(args.out, "table.md"), "w") as f:
        f.write(table)
    print(table)
    if os.path.abspath(args.out) == DEFAULT_OUT:
        update_readme("\n".join(readme_text))
    png = write_plot(medians, shapes, columns, args.out)
    if png:
        print(f"plot: {png}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
