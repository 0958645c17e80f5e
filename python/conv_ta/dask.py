"""conv_ta.correlate3x3 over Dask arrays, block by block.

    >>> import dask.array as da, numpy as np, conv_ta, conv_ta.dask
    >>> image = da.from_array(np.arange(12, dtype=np.int32).reshape(3, 4), chunks=2)
    >>> conv_ta.dask.correlate3x3(image, "laplacian").compute()[0]
    array([ 5,  3,  2, -3], dtype=int32)

Each block is extended by one row and column of its neighbours (zeros at
the image's border), convolved on one thread, and trimmed back, so the
result is exactly that of one call on the whole image for any chunking,
chunks narrower than 16 columns included. Dask schedules the blocks: on its
local threads, or on the workers of a distributed.Client.
"""

import dask.array as da
import numpy as np

from . import _as_kernel
from . import correlate3x3 as _correlate3x3

__all__ = ["correlate3x3"]


def correlate3x3(array, kernel):
    """The lazy int32 result of conv_ta.correlate3x3 on a 2-D Dask array.

    array: dask.array.Array, 2-D, of a dtype conv_ta.correlate3x3 takes
        (int32, int8, uint8, int16 or uint16).
    kernel: nine integers or a name in conv_ta.kernels, as for
        conv_ta.correlate3x3; checked now, not when the result is computed.

    Returns a dask.array.Array of dtype int32 with the array's shape and
    chunks.
    """
    if not isinstance(array, da.Array):
        raise TypeError(f"array must be a dask.array.Array, got {type(array).__name__}"
                        " (use conv_ta.correlate3x3 for a numpy.ndarray)")
    if array.ndim != 2:
        raise ValueError(f"array must be 2-D, got {array.ndim}-D with shape {array.shape}")
    # The blocks' own check, once here for every block.
    _correlate3x3(np.zeros((1, 1), dtype=array.dtype), kernel, threads=1)
    k = tuple(int(v) for v in _as_kernel(kernel))

    def block(b):
        return _correlate3x3(b, k, threads=1)

    return array.map_overlap(block, depth=1, boundary=0, trim=True, dtype=np.int32,
                             meta=np.empty((0, 0), dtype=np.int32))
