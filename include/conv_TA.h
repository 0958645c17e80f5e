/* conv_TA.h: exact 3x3 convolution of signed 32-bit images.
 * Part of libconv_TA, under the MIT licence (see LICENSE); its version is
 * given by the CONV_TA_VERSION_* macros below.
 *
 * WHAT IT COMPUTES
 *
 * convolution_TA(height, width, input, output, kernel) writes into every
 * element (y, x) of `output` the kernel sum at (y, x):
 *
 *     sum over ky, kx in 0..2 of  kernel[3*ky + kx] * input(y + ky - 1, x + kx - 1)
 *
 * where a term whose input row lies outside 0..height-1 or whose input column
 * lies outside 0..width-1 is left out: the image is surrounded by zeros. The
 * kernel is not mirrored: kernel[0] weighs the neighbour above and to the
 * left, kernel[4] the element itself, kernel[8] the neighbour below and to
 * the right.
 *
 * Every product and every sum wraps modulo 2^32, as two's-complement 32-bit
 * integers: there is no widening, saturation, rounding, scaling or
 * normalisation. Because the arithmetic wraps, the order of the terms does
 * not matter, and the result is bit-identical across compilers, build
 * options and instruction-set levels.
 *
 * LAYOUT
 *
 * An image is `height` rows of `width` int32_t, stored row after row with no
 * gap, so element (y, x) lies at index y*width + x. The kernel is nine
 * int32_t, three rows of three. No alignment beyond that of int32_t is
 * required.
 *
 * WHO DOES THE WORK
 *
 * Images narrower than 16 columns (widths of 15 or less, zero and negative
 * widths included) are handed whole to convolution_ref(), with the five
 * arguments exactly as received; the library does nothing before or after
 * that call, and whatever convolution_ref leaves in `output` is the result.
 *
 * Images of 16 columns or more are computed by the library. Every element of
 * `output` is overwritten with its kernel sum; what it held before is never
 * read, so the output need not be initialised. A height of 0 or less reads
 * and writes no image element (the nine coefficients may be read); a height
 * of 1 uses kernel[3], kernel[4] and kernel[5] alone.
 *
 * THE HOST MUST DEFINE convolution_ref
 *
 * The library leaves convolution_ref undefined and names no library that
 * provides it; the dynamic loader binds it, lazily, at its first call. The
 * definition must be in the process's global symbol scope: exported by the
 * executable (link it with -rdynamic, or -Wl,--export-dynamic-symbol=
 * convolution_ref), or by a shared library loaded earlier with RTLD_GLOBAL.
 * A host that only ever passes images of 16 columns or more may leave it
 * undefined, as long as it loads the library with lazy binding (RTLD_LAZY,
 * and no LD_BIND_NOW in the environment).
 *
 * PRECONDITIONS (the caller's to keep; nothing is checked)
 *
 *   - `input` and `output` each hold height*width elements and `kernel` nine;
 *   - `output` overlaps neither `input` nor `kernel`;
 *   - pointers are valid wherever an element is read or written.
 *
 * Element indices are formed in 64-bit arithmetic, so images of more than
 * 2^31 elements are fine wherever the buffers exist.
 *
 * THE REST
 *
 * In builds for AVX-512, outputs of 8 MiB or more (2^21 elements) with rows
 * of 256 columns or more are mostly written with non-temporal stores, which
 * bypass the caches; they are fenced before the call returns, so they are
 * ordered like ordinary stores.
 *
 * The library allocates nothing, keeps no state, takes no locks and calls no
 * other library. Calls from several threads at once are independent as long
 * as no call's output overlaps a buffer another call uses. Nothing of the
 * library's own runs when it is loaded or unloaded.
 */
#ifndef CONV_TA_H
#define CONV_TA_H

#include <stdint.h>

/* The version of this header; the build reads it from here. A new minor
 * version only adds; a new major version may change the contract above. */
#define CONV_TA_VERSION_MAJOR 1
#define CONV_TA_VERSION_MINOR 0
#define CONV_TA_VERSION_PATCH 0

/* Both names keep default visibility even in code built with
 * -fvisibility=hidden: the library must export one and the host the other. */
#if defined(__GNUC__) || defined(__clang__)
#define CONV_TA_VISIBLE __attribute__((visibility("default")))
#else
#define CONV_TA_VISIBLE
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Computed by the library; narrow images are passed on to convolution_ref. */
CONV_TA_VISIBLE void convolution_TA(int32_t height, int32_t width, const int32_t* input,
                                    int32_t* output, const int32_t* kernel);

/* Defined by the host program (see above); called only for widths below 16. */
CONV_TA_VISIBLE void convolution_ref(int32_t height, int32_t width, const int32_t* input,
                                     int32_t* output, const int32_t* kernel);

#ifdef __cplusplus
}
#endif

#endif /* CONV_TA_H */
