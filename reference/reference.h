// The plain scalar convolution that every fast path is compared with.
//
// It is written from the definition of the kernel sum alone, term by term,
// with every neighbour tested against the image before it is read, and
// shares no code with the library.
#ifndef CONV_TA_REFERENCE_REFERENCE_H
#define CONV_TA_REFERENCE_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace conv_ta_reference {

// The signature of convolution_TA and convolution_ref.
using ConvolutionFn = void (*)(std::int32_t, std::int32_t, const std::int32_t*, std::int32_t*,
                               const std::int32_t*);

// The kernel sum at (y, x), in wrapping 32-bit arithmetic.
std::int32_t reference_sum(std::int32_t height, std::int32_t width, const std::int32_t* input,
                           const std::int32_t* kernel, std::ptrdiff_t y, std::ptrdiff_t x);

// Stores the kernel sum into every element of output; does nothing when the
// height or the width is 0 or less.
void reference_convolution(std::int32_t height, std::int32_t width, const std::int32_t* input,
                           std::int32_t* output, const std::int32_t* kernel);

// An element of an output that is not its kernel sum.
struct Mismatch {
    std::ptrdiff_t y, x;
    std::int32_t got, want;
};

// The first element of output, row by row, that differs from its kernel sum.
std::optional<Mismatch> first_mismatch(std::int32_t height, std::int32_t width,
                                       const std::int32_t* input, const std::int32_t* output,
                                       const std::int32_t* kernel);

} // namespace conv_ta_reference

#endif
