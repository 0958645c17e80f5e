// The recording convolution_ref: records every call and, when asked,
// computes the reference result like a real host would.
#include "recording_host.h"
#include "conv_TA.h"
#include "reference.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace conv_ta_reference {
namespace {
std::mutex calls_mutex;
std::vector<RefCall> calls;
std::atomic<RefAction> action{RefAction::Record};
} // namespace

void set_ref_action(RefAction a) {
    action = a;
}

std::vector<RefCall> take_ref_calls() {
    std::lock_guard lock(calls_mutex);
    return std::exchange(calls, {});
}

} // namespace conv_ta_reference

extern "C" void convolution_ref(std::int32_t height, std::int32_t width, const std::int32_t* input,
                                std::int32_t* output, const std::int32_t* kernel) {
    using namespace conv_ta_reference;
    {
        std::lock_guard lock(calls_mutex);
        calls.push_back(RefCall{height, width, input, output, kernel});
    }
    if (action == RefAction::Compute)
        reference_convolution(height, width, input, output, kernel);
}
