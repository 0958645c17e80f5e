"""Exact 3x3 convolution of int32 images through libconv_TA.

    >>> import numpy as np, conv_ta
    >>> image = np.arange(12, dtype=np.int32).reshape(3, 4)
    >>> conv_ta.correlate3x3(image, [0, 1, 0, 1, -4, 1, 0, 1, 0])
    array([[  5,   3,   2,  -3],
           [ -3,   0,   0,  -8],
           [-19, -13, -14, -27]], dtype=int32)
    >>> conv_ta.correlate3x3(image, "laplacian")[0]
    array([ 5,  3,  2, -3], dtype=int32)

The kernel is not mirrored (kernel[0] weighs the neighbour above-left),
neighbours outside the image count as zero, and every product and sum wraps
modulo 2**32. The work is done by libconv_TA_threads, which cuts the rows
into stripes for several threads and computes every piece with the
library's convolution_TA. Images narrower than 16 columns go to the plain
reference in the companion library libconv_TA_ref, which this module loads
first, with RTLD_GLOBAL, so that the library finds convolution_ref in it.

`kernels` maps the names conv-ta accepts (`conv-ta kernels`) to their nine
coefficients; `conv_ta.dask` applies the convolution to Dask arrays.
"""

import ctypes
import operator
import os
import types

import numpy as np

from . import _install, _kernels

__all__ = ["correlate3x3", "kernels", "library_path", "reference_path", "threads_path"]
__version__ = _install.VERSION

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

kernels = types.MappingProxyType(dict(_kernels.KERNELS))

_here = os.path.dirname(os.path.abspath(__file__))
_libdir = os.path.normpath(os.path.join(_here, _install.LIBRARY_DIR))
reference_path = os.path.join(_libdir, _install.REFERENCE)
threads_path = os.path.join(_libdir, _install.THREADS)

try:
    # ctypes binds every name at load time, so convolution_ref must be in
    # the global scope before the library is loaded. libconv_TA itself is
    # found by the loader through the companion's run path, so that its
    # choice among glibc-hwcaps subdirectories applies.
    _reference = ctypes.CDLL(reference_path, mode=ctypes.RTLD_GLOBAL)
    _threads = ctypes.CDLL(threads_path)
except OSError as error:
    raise ImportError(f"conv_ta cannot load its libraries: {error}") from error


class _LinkMap(ctypes.Structure):
    pass


_LinkMap._fields_ = [("l_addr", ctypes.c_size_t), ("l_name", ctypes.c_char_p),
                     ("l_ld", ctypes.c_void_p), ("l_next", ctypes.POINTER(_LinkMap)),
                     ("l_prev", ctypes.POINTER(_LinkMap))]


def _loaded_path(handle, name):
    """The file the loader chose for the library `name` (its SONAME)."""
    entry = ctypes.POINTER(_LinkMap)()
    libc = ctypes.CDLL(None)
    if libc.dlinfo(ctypes.c_void_p(handle), 2, ctypes.byref(entry)) != 0:  # RTLD_DI_LINKMAP
        return None
    while entry and entry.contents.l_prev:
        entry = entry.contents.l_prev
    while entry:
        path = (entry.contents.l_name or b"").decode(errors="replace")
        if os.path.basename(path) == name:
            return os.path.realpath(path)
        entry = entry.contents.l_next
    return None


library_path = _loaded_path(_threads._handle, _install.LIBRARY)

_convolution = _threads.convolution_TA_threads
_convolution.argtypes = [ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p,
                         ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32]
_convolution.restype = None


def _as_kernel(kernel):
    if isinstance(kernel, str):
        if kernel not in kernels:
            raise ValueError(f"unknown kernel {kernel!r}: the named kernels are "
                             + ", ".join(kernels))
        kernel = kernels[kernel]
    try:
        k = np.asarray(kernel)
    except Exception as error:  # ragged or otherwise unconvertible
        raise TypeError(f"kernel must be nine integers or a name in conv_ta.kernels, "
                        f"got {type(kernel).__name__} ({error})") from None
    if k.dtype.kind == "O" and k.ndim > 0 and all(isinstance(v, int) for v in k.flat):
        raise TypeError("kernel must be nine integers, got values that do not fit int64")
    if k.dtype.kind not in "iu" or k.dtype == np.bool_:
        what = type(kernel).__name__ if k.dtype.kind in "OUS" else f"dtype {k.dtype}"
        raise TypeError(f"kernel must be nine integers or a name in conv_ta.kernels, got {what}")
    if k.shape not in ((9,), (3, 3)):
        raise ValueError(f"kernel must be nine values (9 or 3x3), got shape {k.shape}")
    if k.min() < _INT32_MIN or k.max() > _INT32_MAX:
        raise ValueError("kernel values must fit int32 "
                         f"({_INT32_MIN}..{_INT32_MAX}), got {k.min()}..{k.max()}")
    return np.ascontiguousarray(k.reshape(9), dtype=np.int32)


def _as_image(image):
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy.ndarray of int32, got {type(image).__name__}")
    # The base class's own view: a subclass cannot misreport its shape,
    # dtype or data pointer through it.
    real = np.ndarray.view(image, np.ndarray)
    reported = getattr(image, "shape", None)
    if reported != real.shape:
        raise ValueError(f"image reports shape {reported} but its buffer holds {real.shape}")
    if real.dtype.kind not in "iu" or real.dtype.itemsize > 4 or real.dtype.name == "uint32":
        raise TypeError(f"image must have dtype int32 (or int8, uint8, int16, uint16), got "
                        f"{real.dtype.name if real.dtype.isnative else real.dtype.str}"
                        " (convert it with image.astype(numpy.int32))")
    if real.ndim != 2:
        raise ValueError(f"image must be 2-D, got {real.ndim}-D with shape {real.shape}")
    if max(real.shape) > _INT32_MAX:
        raise ValueError(f"image of shape {real.shape} is too large: the library takes "
                         f"heights and widths up to {_INT32_MAX}")
    return real


def _as_out(out, shape):
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray of int32, got {type(out).__name__}")
    real = np.ndarray.view(out, np.ndarray)
    if getattr(out, "shape", None) != real.shape:
        raise ValueError(f"out reports shape {out.shape} but its buffer holds {real.shape}")
    if real.dtype != np.int32:
        raise TypeError(f"out must have dtype int32 in native byte order, got {real.dtype.str}")
    if real.shape != shape:
        raise ValueError(f"out must have the image's shape {shape}, got {real.shape}")
    if not (real.flags.c_contiguous and real.flags.aligned and real.flags.writeable):
        raise ValueError("out must be C-contiguous, aligned and writeable")
    return real


def _threads_arg(threads):
    if threads is None:
        return 0
    if isinstance(threads, bool):
        raise TypeError("threads must be None or a positive integer, got bool")
    try:
        n = operator.index(threads)
    except TypeError:
        raise TypeError("threads must be None or a positive integer, "
                        f"got {type(threads).__name__}") from None
    if not 1 <= n <= _INT32_MAX:
        raise ValueError(f"threads must be None (all online CPUs) or at least 1, got {n}")
    return n


def correlate3x3(image, kernel, *, out=None, threads=None):
    """Convolve a 2-D integer array with a 3x3 kernel, into a new array or `out`.

    image: numpy.ndarray, 2-D, of dtype int32, int8, uint8, int16 or uint16
        in either byte order. Anything but native int32 is converted to it
        first (a copy), as is a non-contiguous or unaligned array (a slice,
        a transpose). It is never modified.
    kernel: nine integers that fit int32, as a sequence of 9 or a 3x3
        array-like, row by row (kernel[0] weighs the neighbour above-left,
        kernel[4] the element itself), or a name in conv_ta.kernels.
    out: None, or a C-contiguous, aligned, writeable int32 array of the
        image's shape in native byte order, not overlapping the image. The
        result is written into it and it is returned; with a native int32
        contiguous image nothing of the image's size is allocated.
    threads: None for one thread per online CPU, or how many to use at
        most. Small images run on the calling thread.

    Returns an int32 array of the image's shape holding, at each element, the
    kernel sum over its 3x3 neighbourhood in wrapping 32-bit arithmetic with
    zeros outside the image. The interpreter lock is released during the
    computation (it is a ctypes call), so other Python threads run meanwhile.
    """
    real = _as_image(image)
    k = _as_kernel(kernel)
    n = _threads_arg(threads)
    height, width = real.shape
    if out is None:
        result = np.empty((height, width), dtype=np.int32)
    else:
        result = _as_out(out, real.shape)
        if np.may_share_memory(result, real):
            raise ValueError("out must not overlap the image")
    source = np.require(real, dtype=np.int32, requirements=["C_CONTIGUOUS", "ALIGNED"])
    _convolution(height, width, source.ctypes.data, result.ctypes.data, k.ctypes.data, n)
    return result if out is None else out
