#include "stripes.h"

#include "conv_TA.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <thread>
#include <unistd.h>
#include <vector>

namespace conv_ta_threads {

namespace {

using Row = std::ptrdiff_t;

// Shared by the calling thread and the threads it starts. A thread may start
// only after the call has returned, find no stripe left and end: it holds
// the job, never the caller's buffers.
struct Job {
    std::int32_t height = 0, width = 0;
    const std::int32_t* input = nullptr;
    std::int32_t* output = nullptr;
    const std::int32_t* kernel = nullptr;
    int stripes = 0;
    std::int32_t above[9] = {}, below[9] = {}; // one kernel row moved to the middle
    std::unique_ptr<std::int32_t[]> scratch;   // one row per thread
    std::atomic<int> next{0}, done{0};

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

    // Takes stripes until none is left; the last one done wakes the caller.
    void work(int thread) noexcept {
        std::int32_t* row = scratch.get() + static_cast<Row>(thread) * width;
        for (int s; (s = next.fetch_add(1, std::memory_order_relaxed)) < stripes;) {
            run(s, row);
            if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == stripes)
                done.notify_all();
        }
    }

    void wait_for_all() noexcept {
        for (int d; (d = done.load(std::memory_order_acquire)) < stripes;)
            done.wait(d, std::memory_order_acquire);
    }
};

} // namespace

Plan plan(std::int32_t height, std::int32_t width, std::int32_t threads,
          std::int64_t min_stripe_elements, std::int32_t min_stripe_rows) {
    // Narrow images go whole to convolution_ref, which is the host's: one call.
    if (width < 16 || height < 2 || threads == 1 || threads < 0)
        return {1, 1};
    std::int64_t n = threads;
    if (threads == 0)
        n = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    const std::int64_t elements = std::int64_t{height} * width;
    const std::int64_t stripes =
        std::min({n * kStripesPerThread, std::int64_t{height} / min_stripe_rows,
                  elements / min_stripe_elements});
    if (stripes < 2 || n < 2)
        return {1, 1};
    return {static_cast<int>(std::min(n, stripes)), static_cast<int>(stripes)};
}

void convolve_stripes(std::int32_t height, std::int32_t width, const std::int32_t* input,
                      std::int32_t* output, const std::int32_t* kernel, Plan p) noexcept {
    std::shared_ptr<Job> job;
    if (p.stripes > 1) {
        try {
            job = std::make_shared<Job>();
            job->scratch.reset(new std::int32_t[static_cast<std::size_t>(p.threads) * width]);
        } catch (...) {
            job.reset();
        }
    }
    if (!job) {
        convolution_TA(height, width, input, output, kernel);
        return;
    }
    job->height = height, job->width = width, job->input = input, job->output = output;
    job->kernel = kernel, job->stripes = p.stripes;
    for (int x = 0; x < 3; ++x) {
        job->above[3 + x] = kernel[x];
        job->below[3 + x] = kernel[6 + x];
    }
    // A thread slow to be scheduled (all cores busy) finds its stripes taken
    // by the others; one that cannot start leaves them to them too. Every
    // thread is joined before the call returns, so none outlives it.
    std::vector<std::thread> started;
    try {
        started.reserve(static_cast<std::size_t>(p.threads - 1));
    } catch (...) {
    }
    for (int t = 1; t < p.threads; ++t) {
        try {
            started.emplace_back([job, t] { job->work(t); });
        } catch (...) {
            break;
        }
    }
    job->work(0);
    job->wait_for_all();
    for (std::thread& thread : started)
        thread.join();
}

} // namespace conv_ta_threads
