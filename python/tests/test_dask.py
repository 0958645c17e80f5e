"""conv_ta.dask against one call on the whole image, over random chunkings."""

import numpy as np
import pytest

import conv_ta

da = pytest.importorskip("dask.array", reason="dask is not installed (python3-dask)")
import conv_ta.dask  # noqa: E402  (needs dask)


def random_chunks(rng, size):
    """Cuts size into random pieces, some of a single element."""
    cuts = sorted(set(rng.integers(1, size, size=rng.integers(0, 6)).tolist())) if size > 1 else []
    edges = [0] + cuts + [size]
    return tuple(b - a for a, b in zip(edges, edges[1:]))


def test_any_chunking_gives_one_call():
    rng = np.random.default_rng(7)
    for _ in range(30):
        shape = tuple(int(v) for v in rng.integers(1, 80, size=2))
        image = rng.integers(-(2**31), 2**31, size=shape, dtype=np.int64).astype(np.int32)
        kernel = rng.integers(-(2**31), 2**31, size=9, dtype=np.int64)
        chunks = tuple(random_chunks(rng, n) for n in shape)
        lazy = conv_ta.dask.correlate3x3(da.from_array(image, chunks=chunks), kernel)
        assert lazy.chunks == chunks and lazy.dtype == np.int32
        np.testing.assert_array_equal(lazy.compute(scheduler="threads"),
                                      conv_ta.correlate3x3(image, kernel), err_msg=str(chunks))


def test_bad_arguments_are_refused_before_computing():
    with pytest.raises(TypeError, match="dask.array.Array, got ndarray"):
        conv_ta.dask.correlate3x3(np.zeros((3, 3), dtype=np.int32), "box")
    with pytest.raises(ValueError, match="unknown kernel"):
        conv_ta.dask.correlate3x3(da.zeros((3, 3), dtype=np.int32), "blur")
    with pytest.raises(TypeError, match="got float64"):
        conv_ta.dask.correlate3x3(da.zeros((3, 3)), "box")


def test_two_worker_processes():
    distributed = pytest.importorskip("distributed",
                                      reason="distributed is not installed (python3-distributed)")
    rng = np.random.default_rng(8)
    image = rng.integers(0, 2**16, size=(300, 250), dtype=np.uint16)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        lazy = conv_ta.dask.correlate3x3(da.from_array(image, chunks=(70, 13)), "sobel-x")
        np.testing.assert_array_equal(client.compute(lazy).result(),
                                      conv_ta.correlate3x3(image, "sobel-x"))


def test_the_documented_example_holds():
    import doctest
    assert doctest.testmod(conv_ta.dask).failed == 0
