"""Exact 3x3 convolution of int32 images through libconv_TA.

    >>> import numpy as np, conv_ta
    >>> image = np.arange(12, dtype=np.int32).reshape(3, 4)
    >>> conv_ta.correlate3x3(image, [0, 1, 0, 1, -4, 1, 0, 1, 0])
    array([[  5,   3,   2,  -3],
           [ -3,   0,   0,  -8],
           [-19, -13, -14, -27]], dtype=int32)

The kernel is not mirrored (kernel[0] weighs the neighbour above-left),
neighbours outside the image count as zero, and every product and sum wraps
modulo 2**32. Images of 16 columns or more are computed by the library;
narrower ones by the plain reference in the companion library libconv_TA_ref,
which this module loads first, with RTLD_GLOBAL, so that the library finds
convolution_ref in it.
"""

import ctypes
import os

import numpy as np

from . import _install

__all__ = ["correlate3x3", "library_path", "reference_path"]

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

_here = os.path.dirname(os.path.abspath(__file__))
_libdir = os.path.normpath(os.path.join(_here, _install.LIBRARY_DIR))
library_path = os.path.join(_libdir, _install.LIBRARY)
reference_path = os.path.join(_libdir, _install.REFERENCE)

try:
    # ctypes binds every name at load time, so convolution_ref must be in
    # the global scope before the library is loaded.
    _reference = ctypes.CDLL(reference_path, mode=ctypes.RTLD_GLOBAL)
    _library = ctypes.CDLL(library_path)
except OSError as error:
    raise ImportError(f"conv_ta cannot load its libraries: {error}") from error

_convolution = _library.convolution_TA
_convolution.argtypes = [ctypes.c_int32, ctypes.c_int32,
                         ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
_convolution.restype = None


def _as_kernel(kernel):
    k = np.asarray(kernel)
    if k.dtype.kind not in "iu":
        raise TypeError("kernel must be nine integers, got "
                        + ("values that do not fit int64" if k.dtype.kind == "O"
                           else f"dtype {k.dtype}"))
    if k.shape not in ((9,), (3, 3)):
        raise ValueError(f"kernel must be nine values (9 or 3x3), got shape {k.shape}")
    if k.min() < _INT32_MIN or k.max() > _INT32_MAX:
        raise ValueError("kernel values must fit int32 "
                         f"({_INT32_MIN}..{_INT32_MAX}), got {k.min()}..{k.max()}")
    return np.ascontiguousarray(k.reshape(9), dtype=np.int32)


def correlate3x3(image, kernel):
    """Convolve a 2-D int32 array with a 3x3 kernel; returns a new array.

    image: numpy.ndarray, 2-D, dtype int32 in native byte order. It may be
        non-contiguous or unaligned (a slice, a transpose): it is then copied
        first. It is never modified.
    kernel: nine integers that fit int32, as a sequence of 9 or a 3x3
        array-like, row by row: kernel[0] weighs the neighbour above-left,
        kernel[4] the element itself.

    Returns a C-contiguous int32 array of the image's shape holding, at each
    element, the kernel sum over its 3x3 neighbourhood in wrapping 32-bit
    arithmetic with zeros outside the image.
    """
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy.ndarray of int32, got {type(image).__name__}")
    if image.dtype != np.int32:
        raise TypeError(f"image must have dtype int32, got {image.dtype}"
                        " (convert it with image.astype(numpy.int32))")
    if image.ndim != 2:
        raise ValueError(f"image must be 2-D, got {image.ndim}-D with shape {image.shape}")
    height, width = image.shape
    if height > _INT32_MAX or width > _INT32_MAX:
        raise ValueError(f"image of shape {image.shape} is too large: the library takes "
                         f"heights and widths up to {_INT32_MAX}")
    k = _as_kernel(kernel)
    source = np.require(image, dtype=np.int32, requirements=["C_CONTIGUOUS", "ALIGNED"])
    result = np.empty((height, width), dtype=np.int32)
    _convolution(height, width, source.ctypes.data, result.ctypes.data, k.ctypes.data)
    return result
