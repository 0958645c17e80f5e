// Running the library on one image and comparing it with the reference.
#ifndef CONV_TA_TESTS_CHECK_H
#define CONV_TA_TESTS_CHECK_H

#include "host.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace conv_ta_test {

using namespace conv_ta_reference;

// Every element of output against the reference, naming the first that
// differs.
inline testing::AssertionResult matches_reference(std::int32_t height, std::int32_t width,
                                                  const std::int32_t* input,
                                                  const std::int32_t* output,
                                                  const std::int32_t* kernel) {
    if (const auto m = first_mismatch(height, width, input, output, kernel))
        return testing::AssertionFailure()
               << height << "x" << width << " image: element (" << m->y << ", " << m->x << ") is "
               << m->got << ", the kernel sum is " << m->want;
    return testing::AssertionSuccess();
}

// Random pixels and kernel, an output full of garbage, one call, every
// element compared.
inline testing::AssertionResult convolve_random(Values& values, std::int32_t height,
                                                std::int32_t width) {
    const std::size_t count = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    std::vector<std::int32_t> input(count), output(count), kernel(9);
    values.fill(input);
    values.fill(kernel);
    values.fill_garbage(output);
    convolution_under_test()(height, width, input.data(), output.data(), kernel.data());
    return matches_reference(height, width, input.data(), output.data(), kernel.data());
}

} // namespace conv_ta_test

#endif
