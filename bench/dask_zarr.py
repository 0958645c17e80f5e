#!/usr/bin/python3
"""Out-of-core convolution, Zarr to Zarr, on a Dask cluster.

Writes a full-range int32 image of --gib GiB as an uncompressed Zarr array
(once; kept for the next run), then times in the same run:
  copy      the array read and written again, Zarr to Zarr (the I/O roof);
  conv_ta   conv_ta.dask.correlate3x3 over it, Zarr to Zarr;
and on a smaller image of --peer-gib GiB the same two beside
  scipy     scipy.ndimage.correlate per block (float64, mode constant 0)
            through the same map_overlap, what the usual Dask image add-on does.
It reports seconds, elements per second, the ratio to the copy and the peak
resident memory of this process and all its children (the workers)
together, and checks random windows of each conv_ta result against one call
on the window. Not a test: run it by hand (nice), with PYTHONPATH pointing
at an installed conv_ta. --scheduler tcp://HOST:PORT uses a running cluster
instead of a local one; the Zarr directory must then be reachable by every
worker at the same path.
"""

import argparse
import math
import os
import shutil
import threading
import time

import dask
import dask.array as da
import distributed
import numpy as np
import psutil
import zarr

import conv_ta
import conv_ta.dask

KERNEL = "laplacian-8"


class PeakMemory:
    """Samples the summed resident memory of this process and its children."""

    def __init__(self, interval=0.1):
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, args=(interval,), daemon=True)

    def _sample(self, interval):
        me = psutil.Process()
        while not self._stop.is_set():
            total = 0
            for p in [me] + me.children(recursive=True):
                try:
                    total += p.memory_info().rss
                except psutil.Error:
                    pass
            self.peak = max(self.peak, total)
            self._stop.wait(interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def random_block(block, block_info=None):
    location = block_info[None]["chunk-location"]
    rng = np.random.default_rng([20261210, *location])
    return rng.integers(-(2**31), 2**31, size=block.shape, dtype=np.int64).astype(np.int32)


def make_input(path, side, chunk):
    if os.path.isdir(path):
        existing = zarr.open(path, mode="r")
        if existing.shape == (side, side) and existing.dtype == np.int32:
            return
        shutil.rmtree(path)
    template = da.zeros((side, side), dtype=np.int32, chunks=chunk)
    da.map_blocks(random_block, template, dtype=np.int32).to_zarr(path, compressor=None)


def scipy_block(block):
    import scipy.ndimage
    weights = np.asarray(conv_ta.kernels[KERNEL], dtype=np.float64).reshape(3, 3)
    result = scipy.ndimage.correlate(block.astype(np.float64), weights, mode="constant", cval=0)
    # Exact here: this kernel's sums stay far below 2**53; the cast wraps.
    return result.astype(np.int64).astype(np.int32)


def timed(what, source, out_path, n, copy_seconds, pipeline):
    if os.path.isdir(out_path):
        shutil.rmtree(out_path)
    with PeakMemory() as memory:
        start = time.perf_counter()
        pipeline(da.from_zarr(source)).to_zarr(out_path, compressor=None)
        seconds = time.perf_counter() - start
    ratio = "" if copy_seconds is None else f"{seconds / copy_seconds:6.2f}x copy"
    print(f"  {what:8s} {seconds:8.1f} s  {n / seconds / 1e9:6.3f} Gelem/s  {ratio:12s}"
          f"  peak RSS {memory.peak / 2**30:5.2f} GiB", flush=True)
    return seconds


def check_windows(source, result, count=8, size=300):
    a, b = zarr.open(source, mode="r"), zarr.open(result, mode="r")
    rng = np.random.default_rng(1)
    for _ in range(count):
        y, x = (int(rng.integers(0, max(1, n - size))) for n in a.shape)
        y0, x0 = max(0, y - 1), max(0, x - 1)
        window = a[y0:y + size + 1, x0:x + size + 1]
        want = conv_ta.correlate3x3(window, KERNEL)[y - y0:y - y0 + size, x - x0:x - x0 + size]
        np.testing.assert_array_equal(b[y:y + size, x:x + size], want)


def run(label, gib, chunk, workdir, peer):
    side = int(math.ceil(math.sqrt(gib * 2**30 / 4) / chunk)) * chunk
    n = side * side
    source = os.path.join(workdir, f"in-{side}.zarr")
    print(f"{label}: {side} x {side} int32 ({n * 4 / 2**30:.2f} GiB), chunks {chunk} x {chunk}",
          flush=True)
    start = time.perf_counter()
    make_input(source, side, chunk)
    print(f"  input ready in {time.perf_counter() - start:.1f} s", flush=True)
    out = os.path.join(workdir, "out.zarr")
    copy = timed("copy", source, out, n, None, lambda a: a)
    timed("conv_ta", source, out, n, copy, lambda a: conv_ta.dask.correlate3x3(a, KERNEL))
    check_windows(source, out)
    print("  conv_ta result: exact on the checked windows", flush=True)
    if peer:
        timed("scipy", source, out, n, copy,
              lambda a: a.map_overlap(scipy_block, depth=1, boundary=0, dtype=np.int32))
    shutil.rmtree(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dir", default="/var/tmp/conv_ta_dask_zarr", help="where the Zarr arrays go")
    parser.add_argument("--gib", type=float, default=12, help="size of the large image")
    parser.add_argument("--peer-gib", type=float, default=1, help="size of the peer's image")
    parser.add_argument("--chunk", type=int, default=4096)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-limit", default="4GiB", help="per local worker")
    parser.add_argument("--scheduler", help="address of a running scheduler, tcp://HOST:PORT")
    parser.add_argument("--keep", action="store_true", help="keep the input arrays")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    if args.scheduler:
        client = distributed.Client(args.scheduler)
    else:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                           processes=True, memory_limit=args.memory_limit,
                                           dashboard_address=None,
                                           local_directory=os.path.join(args.dir, "workers"))
        client = distributed.Client(cluster)
    print(f"conv_ta {conv_ta.__version__}, dask {dask.__version__}, distributed "
          f"{distributed.__version__}, zarr {zarr.__version__}; "
          f"{len(client.scheduler_info()['workers'])} workers; kernel {KERNEL}", flush=True)
    try:
        run("peer image", args.peer_gib, args.chunk, args.dir, peer=True)
        if args.gib > 0:
            run("large image", args.gib, args.chunk, args.dir, peer=False)
    finally:
        client.close()
        if not args.keep:
            for name in os.listdir(args.dir):
                if name.startswith("in-"):
                    shutil.rmtree(os.path.join(args.dir, name))


if __name__ == "__main__":
    main()
