#include "stripes.h"

#include "conv_TA.h"

#include <algorithm>
#include <atomic>
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
    const std::int32_t* kernel;
    int stripes;
    std::int32_t above[9], below[9]; // one kernel row moved to the middle
    std::int32_t* scratch;           // one row per thread
    std::atomic<int> next{0};

    Row first_row(int stripe) const {
        return static_cast<Row>(std::int64_t{height} * stripe / stripes);
    }

    // Adds `edge` applied to input row `from` into output row `into`, in the
    // library's wrapping arithmetic.
    void add_row(const std::int32_t* edge, Row from, Row into, std::int32_t* row) const {
        convolution_TA(1, width, input + from * width, row, edge);
        std::int32_t* out = output + into * width;
        for (std::int32_t x = 0; x < width; ++x)
            out[x] = static_cast<std::int32_t>(static_cast<std::uint32_t>(out[x]) +
                                               static_cast<std::uint32_t>(row[x]));
    }

    void run(int stripe, std::int32_t* row) const {
        const Row begin = first_row(stripe), end = first_row(stripe + 1);
        convolution_TA(static_cast<std::int32_t>(end - begin), width, input + begin * width,
                       output + begin * width, kernel);
        if (begin > 0)
            add_row(above, begin - 1, begin, row);
        if (end < height)
            add_row(below, end, end - 1, row);
    }

    // Takes stripes until none is left.
    void work(int thread) noexcept {
        std::int32_t* row = scratch + static_cast<Row>(thread) * width;
        for (int s; (s = next.fetch_add(1, std::memory_order_relaxed)) < stripes;)
            run(s, row);
    }
};

} // namespace

Plan plan(std::int32_t height, std::int32_t width, std::int32_t threads,
          std::int64_t min_stripe_elements) {
    // Narrow images go whole to convolution_ref, which is the host's: one call.
    if (width < 16 || height < 2 || threads == 1 || threads < 0)
        return {1, 1};
    std::int64_t n = threads;
    if (threads == 0)
        n = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    const std::int64_t elements = std::int64_t{height} * width;
    const std::int64_t stripes =
        std::min({n * kStripesPerThread, std::int64_t{height},
                  std::max<std::int64_t>(1, elements / min_stripe_elements)});
    if (stripes < 2 || n < 2)
        return {1, 1};
    return {static_cast<int>(std::min(n, stripes)), static_cast<int>(stripes)};
}

void convolve_stripes(std::int32_t height, std::int32_t width, const std::int32_t* input,
                      std::int32_t* output, const std::int32_t* kernel, Plan p) noexcept {
    std::unique_ptr<std::int32_t[]> scratch;
    std::unique_ptr<std::thread[]> pool;
    if (p.stripes > 1) {
        scratch.reset(new (std::nothrow) std::int32_t[static_cast<std::size_t>(p.threads) * width]);
        pool.reset(new (std::nothrow) std::thread[p.threads - 1]);
    }
    if (!scratch || !pool) {
        convolution_TA(height, width, input, output, kernel);
        return;
    }
    Job job{height, width, input, output, kernel, p.stripes, {}, {}, scratch.get()};
    for (int x = 0; x < 3; ++x) {
        job.above[3 + x] = kernel[x];
        job.below[3 + x] = kernel[6 + x];
    }
    // A thread that cannot start leaves its stripes to the others.
    int started = 0;
    for (; started < p.threads - 1; ++started) {
        try {
            pool[started] = std::thread([&job, started] { job.work(started + 1); });
        } catch (...) {
            break;
        }
    }
    job.work(0);
    for (int t = 0; t < started; ++t)
        pool[t].join();
}

} // namespace conv_ta_threads
