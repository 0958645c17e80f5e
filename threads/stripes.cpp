#include "stripes.h"

#include "conv_TA.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <thread>
#include <unistd.h>

namespace conv_ta_threads {

namespace {

using Row = std::ptrdiff_t;

struct Job {
    std::int32_t height, width;
    const std::int32_t* input;
    std::int32_t* output;
    std::int32_t above[9], below[9]; // one kernel row moved to the middle
    std::int32_t* scratch;           // one row per stripe
    int stripes;
    const std::int32_t* kernel;

    Row first_row(int stripe) const {
        return static_cast<Row>(std::int64_t{height} * stripe / stripes);
    }

    // Adds one row of `edge` applied to input row `from` into output row
    // `into`, in the same wrapping arithmetic as the library's.
    void add_row(const std::int32_t* edge, Row from, Row into, std::int32_t* row) const {
        convolution_TA(1, width, input + from * width, row, edge);
        std::int32_t* out = output + into * width;
        for (std::int32_t x = 0; x < width; ++x)
            out[x] = static_cast<std::int32_t>(static_cast<std::uint32_t>(out[x]) +
                                               static_cast<std::uint32_t>(row[x]));
    }

    void run(int stripe) const noexcept {
        const Row begin = first_row(stripe), end = first_row(stripe + 1);
        convolution_TA(static_cast<std::int32_t>(end - begin), width, input + begin * width,
                       output + begin * width, kernel);
        std::int32_t* row = scratch + static_cast<Row>(stripe) * width;
        if (begin > 0)
            add_row(above, begin - 1, begin, row);
        if (end < height)
            add_row(below, end, end - 1, row);
    }
};

} // namespace

int stripe_count(std::int32_t height, std::int32_t width, std::int32_t threads,
                 std::int64_t min_stripe_elements) {
    // Narrow images go whole to convolution_ref, which is the host's: one call.
    if (width < 16 || height < 2 || threads == 1 || threads < 0)
        return 1;
    std::int64_t n = threads;
    if (threads == 0)
        n = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    const std::int64_t elements = std::int64_t{height} * width;
    n = std::min(
        {n, std::int64_t{height}, std::max<std::int64_t>(1, elements / min_stripe_elements)});
    return static_cast<int>(n);
}

void convolve_stripes(std::int32_t height, std::int32_t width, const std::int32_t* input,
                      std::int32_t* output, const std::int32_t* kernel, int stripes) noexcept {
    std::unique_ptr<std::int32_t[]> scratch;
    std::unique_ptr<std::thread[]> pool;
    if (stripes > 1) {
        scratch.reset(new (std::nothrow) std::int32_t[static_cast<std::size_t>(stripes) * width]);
        pool.reset(new (std::nothrow) std::thread[stripes - 1]);
    }
    if (!scratch || !pool) {
        convolution_TA(height, width, input, output, kernel);
        return;
    }
    Job job{height, width, input, output, {}, {}, scratch.get(), stripes, kernel};
    for (int x = 0; x < 3; ++x) {
        job.above[3 + x] = kernel[x];
        job.below[3 + x] = kernel[6 + x];
    }
    // Stripes whose thread cannot start are run here after the first.
    int started = 0;
    for (; started < stripes - 1; ++started) {
        try {
            pool[started] = std::thread([&job, started] { job.run(started + 1); });
        } catch (...) {
            break;
        }
    }
    job.run(0);
    for (int s = started + 1; s < stripes; ++s)
        job.run(s);
    for (int t = 0; t < started; ++t)
        pool[t].join();
}

} // namespace conv_ta_threads
