// Buffers from the heap, exactly as large as the image, with the output left
// as the allocator gives it. Under valgrind's memcheck this is the group that
// matters: a read of one element past the input or the kernel lands in the
// allocator's red zone, and an output element that took anything from its
// uninitialised old value makes the comparison below depend on undefined
// bits, which memcheck reports. Without memcheck it still checks that every
// element is overwritten.
#include "check.h"

namespace conv_ta_test {
namespace {

TEST(HeapBuffers, UninitialisedOutputIsOverwrittenAndNothingOutsideIsRead) {
    Values values(77);
    for (std::int32_t width = 16; width <= 70; ++width)
        for (std::int32_t height : {1, 2, 3, 4})
            ASSERT_TRUE(convolve_random(values, height, width, Buffers::Uninitialised));
    for (std::int32_t width : {127, 128, 129, 1000})
        for (std::int32_t height : {1, 2, 5})
            ASSERT_TRUE(convolve_random(values, height, width, Buffers::Uninitialised));
}

} // namespace
} // namespace conv_ta_test
