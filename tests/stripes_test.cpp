// convolution_TA over row stripes on threads must give what one call gives,
// for every stripe count (more stripes than rows included), height and width.
#include "check.h"
#include "conv_TA.h"
#include "conv_TA_threads.h"
#include "stripes.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace conv_ta_test {
namespace {

using namespace conv_ta_threads;

int g_threads = 1;

// Splits as finely as the rows allow, where the entry point would not.
void fine_stripes(std::int32_t h, std::int32_t w, const std::int32_t* in, std::int32_t* out,
                  const std::int32_t* k) {
    convolve_stripes(h, w, in, out, k, plan(h, w, g_threads, 1, 1));
}

void entry_point(std::int32_t h, std::int32_t w, const std::int32_t* in, std::int32_t* out,
                 const std::int32_t* k) {
    convolution_TA_threads(h, w, in, out, k, g_threads);
}

struct Stripes : testing::Test {
    void SetUp() override { set_ref_action(RefAction::Compute); }
    void TearDown() override {
        set_ref_action(RefAction::Record);
        take_ref_calls();
    }
    Values values{2026};
};

#ifndef CONV_TA_SANITIZED
// With no address space left for a thread's stack, every stripe runs on the
// calling thread, and the result is still whole. First of the tests, before
// any thread leaves a cached stack behind.
TEST_F(Stripes, ThreadsThatCannotStartLeaveTheirStripesToTheCaller) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{};
        long pages = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(f);
        }
        limit.rlim_cur = limit.rlim_max = pages * sysconf(_SC_PAGESIZE) + (4 << 20);
        setrlimit(RLIMIT_AS, &limit);
        bool started = true;
        try {
            std::thread([] {}).join();
        } catch (...) {
            started = false;
        }
        g_threads = 4;
        _exit(started                                                            ? 77
              : convolve_random(values, 40, 100, Buffers::Vectors, fine_stripes) ? 0
                                                                                 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "a thread still started under the address-space limit";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

TEST_F(Stripes, ExactForEveryThreadCountHeightAndWidth) {
    for (g_threads = 1; g_threads <= 8; ++g_threads)
        for (std::int32_t height : {1, 2, 3, 5, 20})
            for (std::int32_t width : {15, 16, 17, 33, 200})
                for (Buffers b : {Buffers::GuardedStart, Buffers::GuardedEnd})
                    ASSERT_TRUE(convolve_random(values, height, width, b, fine_stripes))
                        << g_threads << " threads";
}

TEST_F(Stripes, EntryPointOnImagesLargeEnoughToSplit) {
    constexpr auto split = static_cast<std::int32_t>(2 * kMinStripeElements);
    for (int threads : {0, 3})
        for (auto [height, width] :
             {std::pair{split / 1000 + 3, 1000}, {split / 16, 16}, {0, 40}}) {
            g_threads = threads;
            ASSERT_TRUE(convolve_random(values, height, width, Buffers::GuardedEnd, entry_point))
                << threads << " threads";
        }
}

TEST(StripePlan, NarrowSmallOrSingleThreadedIsOneCall) {
    const auto is = [](Plan p, int threads, int stripes) {
        return p.threads == threads && p.stripes == stripes;
    };
    const int online = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_TRUE(is(plan(1000, 15, 4, 1, 1), 1, 1));
    EXPECT_TRUE(is(plan(1, 1000, 4, 1, 1), 1, 1));
    EXPECT_TRUE(is(plan(1000, 1000, 1, 1, 1), 1, 1));
    EXPECT_TRUE(is(plan(1000, 1000, -3, 1, 1), 1, 1));
    EXPECT_TRUE(is(plan(3, 1000, 8, 1, 1), 3, 3));
    EXPECT_TRUE(is(plan(1000, 1000, 2, 1, 1), 2, 2 * kStripesPerThread));
    EXPECT_TRUE(is(plan(1000, 1000, 0, 1, 1), online, online * kStripesPerThread) || online < 2);
    EXPECT_TRUE(is(plan(2048, 2048, 2), 1, 1));
    EXPECT_TRUE(is(plan(2048, 4096, 2), 2, 2));
    EXPECT_TRUE(is(plan(4096, 4096, 2), 2, 4));
    EXPECT_TRUE(is(plan(40, 1 << 20, 8), 2, 2)); // at least 16 rows a stripe
}

} // namespace
} // namespace conv_ta_test

conv_ta_reference::ConvolutionFn conv_ta_reference::convolution_under_test() {
    return &convolution_TA;
}
