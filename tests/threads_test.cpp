// Calls from several threads at once, each on its own buffers, must not
// disturb each other: the library keeps no state to share. Narrow images are
// among them, so the first calls of convolution_ref, which bind it, race too.
#include "check.h"

#include <atomic>
#include <thread>

namespace conv_ta_test {
namespace {

TEST(Concurrency, ThreadsOnTheirOwnBuffers) {
    constexpr int kThreads = 4, kCalls = 60;
    set_ref_action(RefAction::Compute);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            Values values(1000 + t);
            for (int i = 0; i < kCalls; ++i) {
                const std::int32_t width = 1 + static_cast<std::int32_t>(values.engine()() % 300);
                const std::int32_t height = 1 + static_cast<std::int32_t>(values.engine()() % 40);
                if (!convolve_random(values, height, width))
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    set_ref_action(RefAction::Record);
    take_ref_calls();
}

} // namespace
} // namespace conv_ta_test
