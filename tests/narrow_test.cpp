// Images narrower than 16 columns belong to the host's convolution_ref: one
// call with the arguments exactly as given, and nothing else.
#include "check.h"
#include "reference/guarded.h"

#include <climits>

namespace conv_ta_test {
namespace {

constexpr std::int32_t kNarrowWidths[] = {15, 14, 8, 1, 0, -1, -15, -16, INT_MIN};
constexpr std::int32_t kHeights[] = {0, 1, 2, 3, 100, -1, INT_MIN, INT_MAX};

TEST(NarrowPath, HandsTheCallToTheHostUnchangedAndTouchesNothing) {
    // No element is readable or writable: any access by the library faults.
    GuardedBuffer input(64, Flush::Start), output(64, Flush::Start), kernel(9, Flush::End);
    input.forbid_access();
    output.forbid_access();
    kernel.forbid_access();
    set_ref_action(RefAction::Record);
    take_ref_calls();
    for (std::int32_t width : kNarrowWidths) {
        for (std::int32_t height : kHeights) {
            const RefCall expected{height, width, input.data() + 3, output.data() + 5,
                                   kernel.data()};
            convolution_under_test()(expected.height, expected.width, expected.input,
                                     expected.output, expected.kernel);
            const std::vector<RefCall> calls = take_ref_calls();
            ASSERT_EQ(calls.size(), 1u) << height << "x" << width;
            EXPECT_EQ(calls[0], expected) << height << "x" << width;
        }
    }
}

TEST(NarrowPath, PassesEvenNullPointersThrough) {
    set_ref_action(RefAction::Record);
    take_ref_calls();
    convolution_under_test()(5, 7, nullptr, nullptr, nullptr);
    const std::vector<RefCall> calls = take_ref_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (RefCall{5, 7, nullptr, nullptr, nullptr}));
}

TEST(NarrowPath, TheOutputIsWhatTheHostLeaves) {
    Values values(15);
    set_ref_action(RefAction::Compute);
    for (std::int32_t width = 1; width <= 15; ++width) {
        for (std::int32_t height : {1, 2, 3, 40}) {
            EXPECT_TRUE(convolve_random(values, height, width));
            EXPECT_EQ(take_ref_calls().size(), 1u);
        }
    }
    set_ref_action(RefAction::Record);
}

TEST(WidePath, NeverCallsTheHost) {
    Values values(16);
    set_ref_action(RefAction::Record);
    take_ref_calls();
    for (std::int32_t width : {16, 17, 33, 100})
        for (std::int32_t height : {0, 1, 2, 5})
            EXPECT_TRUE(convolve_random(values, height, width));
    EXPECT_TRUE(take_ref_calls().empty());
}

} // namespace
} // namespace conv_ta_test
