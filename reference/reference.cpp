#include "reference.h"

namespace conv_ta_reference {

std::int32_t reference_sum(std::int32_t height, std::int32_t width, const std::int32_t* input,
                           const std::int32_t* kernel, std::ptrdiff_t y, std::ptrdiff_t x) {
    // Unsigned, so that products and sums wrap modulo 2^32 by definition.
    std::uint32_t sum = 0;
    for (std::ptrdiff_t ky = 0; ky < 3; ++ky) {
        for (std::ptrdiff_t kx = 0; kx < 3; ++kx) {
            const std::ptrdiff_t r = y + ky - 1;
            const std::ptrdiff_t c = x + kx - 1;
            if (r < 0 || r >= height || c < 0 || c >= width)
                continue;
            sum += static_cast<std::uint32_t>(kernel[3 * ky + kx]) *
                   static_cast<std::uint32_t>(input[r * width + c]);
        }
    }
    return static_cast<std::int32_t>(sum);
}

void reference_convolution(std::int32_t height, std::int32_t width, const std::int32_t* input,
                           std::int32_t* output, const std::int32_t* kernel) {
    for (std::ptrdiff_t y = 0; y < height; ++y)
        for (std::ptrdiff_t x = 0; x < width; ++x)
            output[y * width + x] = reference_sum(height, width, input, kernel, y, x);
}

std::optional<Mismatch> first_mismatch(std::int32_t height, std::int32_t width,
                                       const std::int32_t* input, const std::int32_t* output,
                                       const std::int32_t* kernel) {
    for (std::ptrdiff_t y = 0; y < height; ++y) {
        for (std::ptrdiff_t x = 0; x < width; ++x) {
            const std::int32_t want = reference_sum(height, width, input, kernel, y, x);
            const std::int32_t got = output[y * width + x];
            if (got != want)
                return Mismatch{y, x, got, want};
        }
    }
    return std::nullopt;
}

} // namespace conv_ta_reference
