// Every buffer flush against inaccessible pages: a read or write of a single
// element outside input, output or kernel faults and fails the test.
#include "check.h"
#include "reference/shapes.h"

#include <climits>

namespace conv_ta_test {
namespace {

// Flush at the end catches reads past the last row and the last column;
// flush at the start catches reads before the first. Page-aligned starts and
// the odd alignments left by odd element counts are both covered.
TEST(MemorySafety, BuffersAgainstGuardPages) {
    Values values(4096);
    for (Buffers guarded : {Buffers::GuardedStart, Buffers::GuardedEnd}) {
        for (std::int32_t width = 16; width <= 100; ++width)
            for (std::int32_t height : {1, 2, 3, 5})
                ASSERT_TRUE(convolve_random(values, height, width, guarded));
        for (std::int32_t width : {1023, 1024, 1025})
            for (std::int32_t height : {1, 2, 3})
                ASSERT_TRUE(convolve_random(values, height, width, guarded));
        // Long rows, computed in pairs, with and without a single row after.
        for (std::int32_t height : {1, 2, 3, 4, 5})
            ASSERT_TRUE(convolve_random(values, height, 4099, guarded));
        // Every sweep of the row plan, the large ones among them.
        for (const SweepShape& shape : kSweepShapes)
            ASSERT_TRUE(convolve_random(values, shape.height, shape.width, guarded)) << shape.why;
    }
}

// Streaming stores need 64-byte aligned lines, which an output that is not
// even 4-byte aligned cannot give: such an image is swept without them.
TEST(MemorySafety, MisalignedOutputOfALargeImage) {
#ifdef CONV_TA_SANITIZED
    GTEST_SKIP() << "the sanitizers report every misaligned access, as they should";
#endif
    Values values(3);
    for (const SweepShape& shape : kSweepShapes)
        ASSERT_TRUE(convolve_random(values, shape.height, shape.width, Buffers::MisalignedOutput))
            << shape.why;
}

// With no rows there is nothing to read or write but the kernel.
TEST(MemorySafety, NoRowsTouchesNoElement) {
    GuardedBuffer input(0, Flush::Start), output(0, Flush::Start), kernel(9, Flush::End);
    Values values(0);
    values.fill(kernel.elements());
    for (std::int32_t width : {16, 17, 32, 33, 100, 4099, INT_MAX})
        for (std::int32_t height : {0, -1, -2, INT_MIN})
            convolution_under_test()(height, width, input.data(), output.data(), kernel.data());
    SUCCEED();
}

} // namespace
} // namespace conv_ta_test
