"""conv_ta against a numpy reference computed in wrapping 64-bit arithmetic."""

import doctest

import numpy as np
import pytest

import conv_ta

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def reference(image, kernel):
    """The kernel sum at every element: uint64 wraps modulo 2**64, and its
    low 32 bits are the int32 result."""
    k = np.asarray(kernel, dtype=np.int64).reshape(3, 3).astype(np.uint64)
    h, w = image.shape
    padded = np.zeros((h + 2, w + 2), dtype=np.uint64)
    padded[1:h + 1, 1:w + 1] = image.astype(np.int64).astype(np.uint64)
    total = np.zeros((h, w), dtype=np.uint64)
    for ky in range(3):
        for kx in range(3):
            total += k[ky, kx] * padded[ky:ky + h, kx:kx + w]
    return (total & np.uint64(0xFFFFFFFF)).astype(np.uint32).view(np.int32)


def extreme(rng, shape):
    """Uniform int32 values, one in four replaced by 0, +-1 or an extreme."""
    values = rng.integers(INT32_MIN, INT32_MAX, size=shape, endpoint=True, dtype=np.int64)
    special = np.array([0, 1, -1, INT32_MIN, INT32_MAX], dtype=np.int64)
    pick = rng.random(shape) < 0.25
    values[pick] = rng.choice(special, size=int(pick.sum()))
    return values.astype(np.int32)


@pytest.fixture
def rng():
    return np.random.default_rng(20240601)


@pytest.mark.parametrize("height", [0, 1, 2, 3, 5, 17])
@pytest.mark.parametrize("width", [0, 1, 2, 7, 15, 16, 17, 31, 32, 33, 48, 49, 64, 65, 100])
def test_matches_reference_narrow_and_wide(rng, height, width):
    image = extreme(rng, (height, width))
    kernel = extreme(rng, 9)
    result = conv_ta.correlate3x3(image, kernel)
    assert result.dtype == np.int32 and result.shape == image.shape
    assert result.flags.c_contiguous and result.flags.writeable
    np.testing.assert_array_equal(result, reference(image, kernel))


def test_extreme_kernels_wrap(rng):
    image = np.full((4, 40), INT32_MIN, dtype=np.int32)
    image[::2, ::3] = INT32_MAX
    for kernel in ([INT32_MIN] * 9, [INT32_MAX] * 9, [-1] * 9,
                   [INT32_MIN, INT32_MAX] * 4 + [INT32_MIN]):
        np.testing.assert_array_equal(conv_ta.correlate3x3(image, kernel),
                                      reference(image, kernel))


def test_kernel_orientation_is_not_mirrored():
    image = np.zeros((3, 20), dtype=np.int32)
    image[1, 10] = 1
    result = conv_ta.correlate3x3(image, [1, 2, 3, 4, 5, 6, 7, 8, 9])
    # The element below-right of the impulse sees it as its above-left
    # neighbour, weighed by kernel[0].
    np.testing.assert_array_equal(result[0:3, 9:12], [[9, 8, 7], [6, 5, 4], [3, 2, 1]])


def test_kernel_forms_agree(rng):
    image = extreme(rng, (6, 30))
    numbers = [3, -1, 0, 2, 7, -8, 1, 1, 5]
    expected = reference(image, numbers)
    for kernel in (numbers, tuple(numbers), np.array(numbers, dtype=np.int64).reshape(3, 3),
                   np.array(numbers, dtype=np.int8)):
        np.testing.assert_array_equal(conv_ta.correlate3x3(image, kernel), expected)
    unsigned = np.array([INT32_MAX, 0, 1, 2, 3, 4, 5, 6, 7], dtype=np.uint32)
    np.testing.assert_array_equal(conv_ta.correlate3x3(image, unsigned),
                                  reference(image, unsigned))


def test_non_contiguous_and_unaligned_input_is_copied(rng):
    base = extreme(rng, (40, 90))
    original = base.copy()
    kernel = extreme(rng, 9)
    views = {
        "every other column": base[:, ::2],
        "transposed": base.T,
        "inner block": base[3:30, 5:70],
        "reversed rows": base[::-1],
    }
    for name, view in views.items():
        assert not view.flags.c_contiguous, name
        np.testing.assert_array_equal(conv_ta.correlate3x3(view, kernel),
                                      reference(np.ascontiguousarray(view), kernel), err_msg=name)
    np.testing.assert_array_equal(base, original)

    raw = bytearray(4 * 5 * 40 + 1)
    unaligned = np.frombuffer(raw, dtype=np.int32, count=5 * 40, offset=1).reshape(5, 40)
    assert not unaligned.flags.aligned
    np.testing.assert_array_equal(conv_ta.correlate3x3(unaligned, kernel),
                                  reference(unaligned.copy(), kernel))


def test_read_only_input_is_fine(rng):
    image = extreme(rng, (5, 50))
    image.flags.writeable = False
    np.testing.assert_array_equal(conv_ta.correlate3x3(image, [1] * 9), reference(image, [1] * 9))


def test_a_larger_image(rng):
    image = extreme(rng, (300, 517))
    kernel = extreme(rng, 9)
    np.testing.assert_array_equal(conv_ta.correlate3x3(image, kernel), reference(image, kernel))


@pytest.mark.parametrize("image, error, words", [
    (np.zeros((4, 20), dtype=np.float64), TypeError, "got float64"),
    (np.zeros((4, 20), dtype=np.int64), TypeError, "got int64"),
    (np.zeros((4, 20), dtype=np.uint32), TypeError, "got uint32"),
    (np.zeros((4, 20), dtype=">i8"), TypeError, "got >i8"),
    (np.zeros((4, 20), dtype=bool), TypeError, "got bool"),
    (np.zeros(20, dtype=np.int32), ValueError, "2-D, got 1-D with shape (20,)"),
    (np.zeros((2, 4, 20), dtype=np.int32), ValueError, "2-D, got 3-D"),
    ([[1, 2], [3, 4]], TypeError, "numpy.ndarray of int32, got list"),
])
def test_bad_images_are_refused(image, error, words):
    with pytest.raises(error) as caught:
        conv_ta.correlate3x3(image, [1] * 9)
    assert words in str(caught.value)


@pytest.mark.parametrize("kernel, error, words", [
    ([1] * 8, ValueError, "nine values (9 or 3x3), got shape (8,)"),
    ([[1] * 3] * 2, ValueError, "got shape (2, 3)"),
    ([1.5] * 9, TypeError, "dtype float64"),
    ([1] * 8 + [2**31], ValueError, "must fit int32"),
    ([1] * 8 + [-(2**31) - 1], ValueError, "must fit int32"),
    ([1] * 8 + [2**70], TypeError, "do not fit int64"),
    ("123456789", ValueError, "unknown kernel '123456789': the named kernels are identity"),
    (None, TypeError, "nine integers or a name in conv_ta.kernels, got NoneType"),
    ([1, "a"] * 4 + [1], TypeError, "got list"),
    ([[1, 2, 3], [4, 5]], TypeError, "got list"),
    ([True] * 9, TypeError, "dtype bool"),
])
def test_bad_kernels_are_refused(kernel, error, words):
    with pytest.raises(error) as caught:
        conv_ta.correlate3x3(np.zeros((3, 20), dtype=np.int32), kernel)
    assert words in str(caught.value)


def test_the_documented_example_holds():
    assert doctest.testmod(conv_ta).failed == 0


@pytest.mark.parametrize("dtype", ["i1", "u1", "i2", "u2", "i4", ">i2", ">u2", ">i4"])
def test_small_integer_and_swapped_dtypes_are_converted(rng, dtype):
    image = extreme(rng, (7, 40)).astype(dtype)
    np.testing.assert_array_equal(conv_ta.correlate3x3(image, "sobel-y"),
                                  reference(image.astype(np.int64), conv_ta.kernels["sobel-y"]))


def test_out_is_written_and_returned_without_allocating(rng):
    import tracemalloc
    image = extreme(rng, (1000, 1000))
    out = np.empty_like(image)
    tracemalloc.start()
    result = conv_ta.correlate3x3(image, "edge", out=out, threads=2)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert result is out and peak < 100_000
    np.testing.assert_array_equal(out, reference(image, conv_ta.kernels["edge"]))


@pytest.mark.parametrize("out, error, words", [
    ([0] * 60, TypeError, "out must be a numpy.ndarray"),
    (np.zeros((3, 20), dtype=np.int64), TypeError, "dtype int32 in native byte order, got <i8"),
    (np.zeros((3, 20), dtype=">i4"), TypeError, "got >i4"),
    (np.zeros((20, 3), dtype=np.int32), ValueError, "image's shape (3, 20), got (20, 3)"),
    (np.zeros((3, 40), dtype=np.int32)[:, ::2], ValueError, "C-contiguous"),
    (np.zeros((3, 20), dtype=np.int32), ValueError, "not overlap"),
])
def test_bad_outs_are_refused(out, error, words):
    image = out if words == "not overlap" else np.zeros((3, 20), dtype=np.int32)
    with pytest.raises(error) as caught:
        conv_ta.correlate3x3(image, [1] * 9, out=out)
    assert words in str(caught.value)


def test_threads(rng):
    image = extreme(rng, (1100, 1000))
    expected = reference(image, conv_ta.kernels["gaussian"])
    for threads in (None, 1, 2, 3, 1000):
        np.testing.assert_array_equal(conv_ta.correlate3x3(image, "gaussian", threads=threads),
                                      expected)
    for threads, error in ((0, ValueError), (-1, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error, match="threads must be None"):
            conv_ta.correlate3x3(image, "box", threads=threads)


def test_a_subclass_cannot_misreport_its_shape():
    class Liar(np.ndarray):
        shape = property(lambda self: (1 << 20, 1 << 20))

    with pytest.raises(ValueError, match=r"reports shape \(1048576, 1048576\) but its buffer"):
        conv_ta.correlate3x3(np.zeros((2, 20), dtype=np.int32).view(Liar), "box")


def test_version_and_kernels_match_the_command_line():
    import shutil, subprocess
    assert conv_ta.__version__.count(".") == 2
    assert conv_ta.kernels["laplacian"] == (0, 1, 0, 1, -4, 1, 0, 1, 0)
    tool = shutil.which("conv-ta")
    if tool is None:
        pytest.skip("conv-ta is not on PATH")
    listed = {line.split()[0]: tuple(int(v) for v in line.split()[1].split(","))
              for line in subprocess.run([tool, "kernels"], capture_output=True, text=True,
                                         check=True).stdout.splitlines()}
    assert listed == dict(conv_ta.kernels)
    version = subprocess.run([tool, "--version"], capture_output=True, text=True)
    if version.returncode == 0:
        assert conv_ta.__version__ in version.stdout
