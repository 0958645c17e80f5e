// Every buffer flush against inaccessible pages: a read or write of a single
// element outside input, output or kernel faults and fails the test.
#include "check.h"
#include "reference/guarded.h"

#include <climits>

namespace conv_ta_test {
namespace {

testing::AssertionResult convolve_guarded(Values& values, std::int32_t height, std::int32_t width,
                                          Flush flush) {
    const std::size_t count = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    GuardedBuffer input(count, flush), output(count, flush), kernel(9, flush);
    values.fill(input.elements());
    values.fill(kernel.elements());
    values.fill_garbage(output.elements());
    // The library only reads these: a write to either faults.
    input.forbid_writes();
    kernel.forbid_writes();
    convolution_under_test()(height, width, input.data(), output.data(), kernel.data());
    return matches_reference(height, width, input.data(), output.data(), kernel.data());
}

// Flush at the end catches reads past the last row and the last column;
// flush at the start catches reads before the first. Page-aligned starts and
// the odd alignments left by odd element counts are both covered.
TEST(MemorySafety, BuffersAgainstGuardPages) {
    Values values(4096);
    for (Flush flush : {Flush::Start, Flush::End}) {
        for (std::int32_t width = 16; width <= 100; ++width)
            for (std::int32_t height : {1, 2, 3, 5})
                ASSERT_TRUE(convolve_guarded(values, height, width, flush));
        for (std::int32_t width : {1023, 1024, 1025})
            for (std::int32_t height : {1, 2, 3})
                ASSERT_TRUE(convolve_guarded(values, height, width, flush));
        // Long rows, computed in pairs, with and without a single row after.
        for (std::int32_t height : {1, 2, 3, 4, 5})
            ASSERT_TRUE(convolve_guarded(values, height, 4099, flush));
        // Large enough for the sweep that fetches ahead, then for streaming
        // stores, one row at a time and in pairs of long rows.
        ASSERT_TRUE(convolve_guarded(values, 1029, 2051, flush));
        ASSERT_TRUE(convolve_guarded(values, 21, 110017, flush));
    }
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
