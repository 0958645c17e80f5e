#!/usr/bin/python3
"""conv-ta apply end to end on large int32 .npy files, against dd copying the same file.

    bench/apply_vs_dd.py [--tool build/tools/conv-ta] [--sizes 8192,16384] [--runs 5] [--dir /tmp]

For each size N it writes an N x N int32 .npy of random values, then times, in
alternation and in the same run, `dd if=IN of=OUT bs=1M conv=fsync` and
`conv-ta apply --kernel sharpen IN OUT.npy` (which also syncs its output
before renaming it). It prints the median wall time of each, their ratio, and
each one's peak resident memory, as /usr/bin/time reports them. Both read IN from the page cache after the first run.
CONV_TA_BENCH_HUGE=1 adds one image larger than half of this machine's memory.
Only the standard library is used.
"""

import argparse
import os
import statistics
import subprocess
import sys


def npy_header(n):
    d = "{'descr': '<i4', 'fortran_order': False, 'shape': (%d, %d), }" % (n, n)
    while (10 + len(d) + 1) % 64:
        d += " "
    d += "\n"
    return b"\x93NUMPY\x01\x00" + len(d).to_bytes(2, "little") + d.encode()


def make_input(path, n):
    size = n * n * 4
    if os.path.exists(path) and os.path.getsize(path) == size + len(npy_header(n)):
        return
    with open(path, "wb") as f:
        f.write(npy_header(n))
        chunk = os.urandom(1 << 24)
        left = size
        while left > 0:
            f.write(chunk[: min(left, len(chunk))])
            left -= len(chunk)


def timed(command):
    """Wall seconds and peak resident MiB of one run of command, as GNU time
    measures them (a fork of this interpreter would count its own pages)."""
    report = subprocess.run(["/usr/bin/time", "-f", "@@ %e %M"] + command,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if report.returncode != 0:
        sys.exit(f"apply_vs_dd: {command[0]} failed: {report.stderr.strip()}")
    wall, kib = report.stderr.rsplit("@@ ", 1)[1].split()
    return float(wall), int(kib) / 1024


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tool", default="build/tools/conv-ta")
    p.add_argument("--sizes", default="8192,16384")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--dir", default=os.environ.get("TMPDIR", "/tmp"))
    args = p.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    os.makedirs(args.dir, exist_ok=True)
    if os.environ.get("CONV_TA_BENCH_HUGE") == "1":
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        sizes.append(int((memory / 2 / 4) ** 0.5) + 1024)

    print("| image | file | dd (median s) | apply (median s) | apply / dd | dd peak RSS | "
          "apply peak RSS |")
    print("|---|---|---|---|---|---|---|")
    for n in sizes:
        src = os.path.join(args.dir, f"conv_ta_bench_{n}.npy")
        make_input(src, n)
        copy, out = src + ".dd", src + ".out.npy"
        dd, apply = [], []
        try:
            for _ in range(args.runs):
                dd.append(timed(["dd", f"if={src}", f"of={copy}", "bs=1M", "conv=fsync"]))
                apply.append(timed([args.tool, "apply", "--kernel", "sharpen", src, out]))
        finally:
            for f in (copy, out):
                if os.path.exists(f):
                    os.remove(f)
            if n not in (8192, 16384):
                os.remove(src)
        dd_s = statistics.median(w for w, _ in dd)
        apply_s = statistics.median(w for w, _ in apply)
        print(f"| {n}x{n} int32 | {os.path.getsize(src) / 2**20 if os.path.exists(src) else n * n * 4 / 2**20:.0f} MiB "
              f"| {dd_s:.3f} | {apply_s:.3f} | {apply_s / dd_s:.2f}x "
              f"| {max(r for _, r in dd):.0f} MiB | {max(r for _, r in apply):.0f} MiB |",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
