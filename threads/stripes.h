// The stripe plan and its run, apart from the exported entry point so that
// the tests can split images far smaller than the entry point would.
#ifndef CONV_TA_THREADS_STRIPES_H
#define CONV_TA_THREADS_STRIPES_H

#include <cstdint>

namespace conv_ta_threads {

// Below this many elements a stripe costs more to start than it saves, so
// images under twice it are one call (where the crossover lies:
// doc/parallel.md).
inline constexpr std::int64_t kMinStripeElements = std::int64_t{1} << 22;

// Nor fewer rows than this: each stripe adds two one-row calls, and each
// thread a scratch row, which for very wide rows would otherwise rival the
// stripe itself.
inline constexpr std::int32_t kMinStripeRows = 16;

// Stripes per thread: a thread that starts late, or shares its core, takes
// fewer of them instead of holding up the rest.
inline constexpr int kStripesPerThread = 4;

struct Plan {
    int threads; // the calling thread included
    int stripes;
};

// How an image is cut for `threads` (0: one per online CPU): one stripe on
// the calling thread when it is narrow, a single row, or too small to gain.
Plan plan(std::int32_t height, std::int32_t width, std::int32_t threads,
          std::int64_t min_stripe_elements = kMinStripeElements,
          std::int32_t min_stripe_rows = kMinStripeRows);

// convolution_TA over the plan's stripes; the result is that of one call,
// whatever happens to the threads.
void convolve_stripes(std::int32_t height, std::int32_t width, const std::int32_t* input,
                      std::int32_t* output, const std::int32_t* kernel, Plan plan) noexcept;

} // namespace conv_ta_threads

#endif
