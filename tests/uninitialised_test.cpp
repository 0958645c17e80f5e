// Buffers from the heap, exactly as large as the image, with the output left
// as the allocator gives it. Under valgrind's memcheck this is the group that
// matters: a read of one element past the input or the kernel lands in the
// allocator's red zone, and an output element that took anything from its
// uninitialised old value makes the comparison below depend on undefined
// bits, which memcheck reports. Without memcheck it still checks that every
// element is overwritten.
#include "check.h"

#include <memory>

namespace conv_ta_test {
namespace {

testing::AssertionResult convolve_on_heap(Values& values, std::int32_t height, std::int32_t width) {
    const std::size_t count = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    // new T[n] without an initialiser leaves the elements indeterminate.
    std::unique_ptr<std::int32_t[]> input(new std::int32_t[count]);
    std::unique_ptr<std::int32_t[]> output(new std::int32_t[count]);
    std::unique_ptr<std::int32_t[]> kernel(new std::int32_t[9]);
    values.fill({input.get(), count});
    values.fill({kernel.get(), 9});
    convolution_under_test()(height, width, input.get(), output.get(), kernel.get());
    return matches_reference(height, width, input.get(), output.get(), kernel.get());
}

TEST(HeapBuffers, UninitialisedOutputIsOverwrittenAndNothingOutsideIsRead) {
    Values values(77);
    for (std::int32_t width = 16; width <= 70; ++width)
        for (std::int32_t height : {1, 2, 3, 4})
            ASSERT_TRUE(convolve_on_heap(values, height, width));
    for (std::int32_t width : {127, 128, 129, 1000})
        for (std::int32_t height : {1, 2, 5})
            ASSERT_TRUE(convolve_on_heap(values, height, width));
}

} // namespace
} // namespace conv_ta_test
