// The test host: how the tests reach convolution_TA (linked at build time or
// loaded with dlopen) and the convolution_ref it defines and exports.
#ifndef CONV_TA_SUPPORT_HOST_H
#define CONV_TA_SUPPORT_HOST_H

#include <cstdint>
#include <vector>

namespace conv_ta_support {

using ConvolutionFn = void (*)(std::int32_t, std::int32_t, const std::int32_t*, std::int32_t*,
                               const std::int32_t*);

// The library's convolution_TA, however this test binary reached it.
ConvolutionFn convolution_under_test();

// One call of the host's convolution_ref, as it received it.
struct RefCall {
    std::int32_t height;
    std::int32_t width;
    const std::int32_t* input;
    std::int32_t* output;
    const std::int32_t* kernel;
    bool operator==(const RefCall&) const = default;
};

// What the host's convolution_ref does beside recording the call.
enum class RefAction {
    Record,  // nothing else: it touches no element
    Compute, // also stores the reference result into the output
};
void set_ref_action(RefAction action);

// The calls recorded since the last time they were taken.
std::vector<RefCall> take_ref_calls();

} // namespace conv_ta_support

#endif
