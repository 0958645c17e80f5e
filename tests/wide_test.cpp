// Images of 16 columns or more, computed by the library, bit for bit against
// the reference.
#include "check.h"
#include "reference/shapes.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace conv_ta_test {
namespace {

// Every width from the narrowest wide image past a dozen blocks, so that
// every remainder length from 1 to 16 meets every block count up to 11.
TEST(WidePath, EveryWidthUpTo200) {
    Values values(200);
    for (std::int32_t width = 16; width <= 200; ++width)
        for (std::int32_t height : {1, 2, 3, 4, 7})
            ASSERT_TRUE(convolve_random(values, height, width));
}

TEST(WidePath, LargerWidthsAroundBlockAndPageSizes) {
    Values values(1024);
    for (std::int32_t width : {255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4099})
        for (std::int32_t height : {1, 2, 3, 6})
            ASSERT_TRUE(convolve_random(values, height, width));
}

// Every sweep of the row plan, from the plan's own thresholds: fetching
// ahead, streaming stores one row at a time and in pairs, and the plain
// sweep of the rows after them. Neighbouring shapes reach the same sweep,
// so the kernels alternate symmetric and antisymmetric and every sweep meets
// both; the memory tests run the same shapes with general kernels.
TEST(WidePath, EverySweepOfTheRowPlan) {
    Values values(2048);
    bool symmetric = true;
    for (const SweepShape& shape : kSweepShapes) {
        const KernelKind kind = symmetric ? KernelKind::Symmetric : KernelKind::Antisymmetric;
        ASSERT_TRUE(convolve_random(values, shape.height, shape.width, Buffers::Vectors, kind))
            << shape.why;
        symmetric = !symmetric;
    }
}

// Interior rows are computed two at a time: every count of them, odd ones
// leaving a single row after the pairs, on short rows and on long ones, at
// widths that put the remainder at different lengths.
TEST(WidePath, RowsInPairs) {
    Values values(8192);
    for (std::int32_t width : {16, 17, 47, 4096, 4097, 4111, 4112, 4113, 8191})
        for (std::int32_t height : {2, 3, 4, 5, 6, 7, 8})
            ASSERT_TRUE(convolve_random(values, height, width));
}

// Two rows at a time weigh by each kernel column's top and bottom
// coefficients less its middle one; those differences overflow here and
// must wrap like every other sum.
TEST(WidePath, PairedRowsWrapInTheirCoefficientDifferences) {
    constexpr std::int32_t height = 6, width = 40;
    Values values(640);
    std::vector<std::int32_t> input(height * width), output(height * width);
    values.fill(input);
    const std::int32_t kernel_sets[][9] = {
        {INT_MIN, INT_MIN, INT_MIN, INT_MAX, INT_MAX, INT_MAX, INT_MIN, INT_MIN, INT_MIN},
        {INT_MAX, 1, -1, INT_MIN, -1, 1, INT_MAX, INT_MIN, 0},
    };
    for (const auto& kernel : kernel_sets) {
        convolution_under_test()(height, width, input.data(), output.data(), kernel);
        EXPECT_TRUE(matches_reference(height, width, input.data(), output.data(), kernel));
    }
}

// Kernels whose left and right columns are equal, or opposite, in every row
// take a sweep of their own: over every band and remainder length, rows one
// and two at a time (the row plan's sweeps: EverySweepOfTheRowPlan).
TEST(WidePath, SymmetricAndAntisymmetricKernels) {
    Values values(333);
    for (KernelKind kind : {KernelKind::Symmetric, KernelKind::Antisymmetric}) {
        for (std::int32_t width = 16; width <= 81; ++width)
            for (std::int32_t height : {1, 2, 3, 4, 5})
                ASSERT_TRUE(convolve_random(values, height, width, Buffers::Vectors, kind));
        for (std::int32_t width : {4097, 4111})
            for (std::int32_t height : {2, 3, 6, 7})
                ASSERT_TRUE(convolve_random(values, height, width, Buffers::Vectors, kind));
    }
}

// Which sweep a kernel takes is told from its nine values: one coefficient
// off in any row leaves it general, and the opposites wrap (-INT_MAX is
// INT_MIN + 1, -INT_MIN is INT_MIN itself).
TEST(WidePath, KernelsAtTheEdgeOfEachSymmetry) {
    constexpr std::int32_t kMin = INT_MIN, kMax = INT_MAX;
    const std::int32_t kernels[][9] = {
        {kMax, 3, kMin + 1, -1, kMin, 1, kMin + 1, 9, kMax}, // antisymmetric, wrapping
        {kMin, 3, kMin, 7, -5, -7, 0, 1, 0},                 // mixed rows: general
        {5, 1, 5, -2, 8, -2, 3, 0, 4},                       // symmetric but the last row
        {5, 1, 6, -2, 8, -2, 3, 0, 3},                       // symmetric but the first row
        {1, 0, -1, 2, 2, -3, 3, 0, -3},                      // antisymmetric but the middle row
        {0, 1, 0, 0, -4, 0, 0, 1, 0},                        // outer columns zero: both
    };
    Values values(99);
    for (const auto& kernel : kernels) {
        for (auto [height, width] : {std::pair{5, 50}, std::pair{8, 4113}}) {
            std::vector<std::int32_t> input(height * width), output(height * width);
            values.fill(input);
            values.fill_garbage(output);
            convolution_under_test()(height, width, input.data(), output.data(), kernel);
            ASSERT_TRUE(matches_reference(height, width, input.data(), output.data(), kernel))
                << "kernel starting " << kernel[0] << ", " << kernel[1] << ", " << kernel[2];
        }
    }
}

TEST(WidePath, TallImages) {
    Values values(4096);
    for (std::int32_t width : {16, 17, 31, 32, 33, 48, 49, 64, 65})
        ASSERT_TRUE(convolve_random(values, 1500, width));
}

// The convention the reference shares with the library, checked without
// either: a kernel with a single coefficient of 1 at (ky, kx) moves the
// neighbour (y + ky - 1, x + kx - 1) into (y, x), and a missing neighbour
// gives 0. A mirrored kernel or a transposed index fails here.
TEST(WidePath, EachCoefficientWeighsItsOwnNeighbour) {
    constexpr std::int32_t height = 5, width = 40;
    std::vector<std::int32_t> input(height * width), output(height * width);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<std::int32_t>(i + 1);
    for (int ky = 0; ky < 3; ++ky) {
        for (int kx = 0; kx < 3; ++kx) {
            std::int32_t kernel[9] = {};
            kernel[3 * ky + kx] = 1;
            std::fill(output.begin(), output.end(), -7);
            convolution_under_test()(height, width, input.data(), output.data(), kernel);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const int r = y + ky - 1, c = x + kx - 1;
                    const bool inside = r >= 0 && r < height && c >= 0 && c < width;
                    ASSERT_EQ(output[y * width + x], inside ? input[r * width + c] : 0)
                        << "coefficient " << 3 * ky + kx << " at (" << y << ", " << x << ")";
                }
            }
        }
    }
}

TEST(WidePath, ProductsAndSumsWrapModulo2To32) {
    constexpr std::int32_t height = 3, width = 50;
    std::vector<std::int32_t> input(height * width, 1 << 16), output(height * width);
    std::int32_t kernel[9] = {0, 0, 0, 0, 1 << 16, 0, 0, 0, 0};
    convolution_under_test()(height, width, input.data(), output.data(), kernel);
    for (std::int32_t v : output)
        ASSERT_EQ(v, 0); // 2^16 * 2^16 wraps to 0

    std::fill(input.begin(), input.end(), INT_MIN);
    std::int32_t minus_one[9] = {0, 0, 0, 0, -1, 0, 0, 0, 0};
    convolution_under_test()(height, width, input.data(), output.data(), minus_one);
    for (std::int32_t v : output)
        ASSERT_EQ(v, INT_MIN); // -INT_MIN wraps to itself

    std::fill(input.begin(), input.end(), INT_MAX);
    std::int32_t ones[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    convolution_under_test()(height, width, input.data(), output.data(), ones);
    // An interior element adds nine INT_MAX: 9 * (2^31 - 1) mod 2^32 = 2^31 - 9.
    EXPECT_EQ(output[1 * width + 20], INT_MAX - 8);
}

// Whatever the output held before the call is overwritten in every band,
// so a reused buffer gives the same result as a fresh one.
TEST(WidePath, EveryBandOverwritesTheOldOutput) {
    Values values(100);
    constexpr std::int32_t height = 4, width = 50;
    std::vector<std::int32_t> input(height * width), kernel(9);
    values.fill(input);
    values.fill(kernel);
    for (std::int32_t old_value : {0, 100, -1, INT_MIN}) {
        std::vector<std::int32_t> output(height * width, old_value);
        convolution_under_test()(height, width, input.data(), output.data(), kernel.data());
        EXPECT_TRUE(matches_reference(height, width, input.data(), output.data(), kernel.data()))
            << "output prefilled with " << old_value;
    }
}

// A single row has no neighbours above or below: only the middle kernel row
// counts, in the guarded bands and the interior alike.
TEST(WidePath, ASingleRowUsesOnlyTheMiddleKernelRow) {
    Values values(1);
    for (std::int32_t width : {16, 17, 32, 33, 64, 100, 1000}) {
        std::vector<std::int32_t> input(width), output(width);
        values.fill(input);
        std::int32_t outer_rows_only[9] = {5, -3, 7, 0, 0, 0, INT_MIN, 9, INT_MAX};
        convolution_under_test()(1, width, input.data(), output.data(), outer_rows_only);
        for (std::int32_t v : output)
            ASSERT_EQ(v, 0) << "width " << width;
        EXPECT_TRUE(convolve_random(values, 1, width));
    }
}

} // namespace
} // namespace conv_ta_test
