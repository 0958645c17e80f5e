// An image of more than 2^31 elements: every index beyond INT32_MAX must
// still land on its own element. Needs about 8.6 GB of memory for the
// output, so it runs only when asked for (ctest -L huge).
//
// The input repeats a block of rows, mapped again and again from one memory
// file, so that it costs a few hundred megabytes instead of another 8.6 GB.
#include "conv_TA.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

extern "C" void convolution_ref(std::int32_t, std::int32_t, const std::int32_t*, std::int32_t*,
                                const std::int32_t*) {}

namespace {

TEST(HugeImage, MoreThan2To31Elements) {
    constexpr std::int64_t width = 70001;      // odd: rows start at every alignment
    constexpr std::int64_t period_rows = 1024; // period_rows * width * 4 is a multiple of the page
    constexpr std::int64_t height = (std::int64_t{1} << 31) / width + 3;
    constexpr std::int64_t count = height * width;
    static_assert(count > (std::int64_t{1} << 31));
    static_assert(period_rows * width * 4 % 4096 == 0);

    const std::size_t period_bytes = period_rows * width * 4;
    const std::size_t periods = (count * 4 + period_bytes - 1) / period_bytes;
    const int fd = memfd_create("conv_TA_huge_input", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(period_bytes)), 0);
    void* span = mmap(nullptr, periods * period_bytes, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(span, MAP_FAILED);
    auto* base = static_cast<std::byte*>(span);
    for (std::size_t p = 0; p < periods; ++p)
        ASSERT_NE(mmap(base + p * period_bytes, period_bytes, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd, 0),
                  MAP_FAILED);
    auto* input = reinterpret_cast<std::int32_t*>(base);
    conv_ta_reference::Values values(31);
    values.fill({input, static_cast<std::size_t>(period_rows * width)});

    // Populated up front, so that the time printed is the convolution's and
    // not the page faults'.
    void* out_map = mmap(nullptr, count * 4, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (out_map == MAP_FAILED)
        GTEST_SKIP() << "no room for an 8.6 GB output";
    auto* output = static_cast<std::int32_t*>(out_map);
    std::int32_t kernel[9];
    values.fill(kernel);

    const auto start = std::chrono::steady_clock::now();
    convolution_TA(static_cast<std::int32_t>(height), static_cast<std::int32_t>(width), input,
                   output, kernel);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld x %lld = %lld elements (%.2f GB written) in %.2f s\n",
                static_cast<long long>(height), static_cast<long long>(width),
                static_cast<long long>(count), count * 4 / 1e9, seconds);

    std::int64_t wrong = 0;
    for (std::int64_t y = 0; y < height; ++y)
        for (std::int64_t x = 0; x < width; ++x)
            if (output[y * width + x] != conv_ta_reference::reference_sum(
                                             static_cast<std::int32_t>(height),
                                             static_cast<std::int32_t>(width), input, kernel, y, x))
                if (wrong++ < 5)
                    ADD_FAILURE() << "element (" << y << ", " << x << ") differs";
    EXPECT_EQ(wrong, 0);
    munmap(out_map, count * 4);
    munmap(span, periods * period_bytes);
    close(fd);
}

} // namespace
