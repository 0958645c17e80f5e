// A host's convolution_ref that records every call it receives, for the
// checks that the library hands narrow images over unchanged: the tests,
// the fuzz target and conv-ta check link recording_host.cpp, which defines
// and so exports convolution_ref.
#ifndef CONV_TA_REFERENCE_RECORDING_HOST_H
#define CONV_TA_REFERENCE_RECORDING_HOST_H

#include <cstdint>
#include <vector>

namespace conv_ta_reference {

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

} // namespace conv_ta_reference

#endif
