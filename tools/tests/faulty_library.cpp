// Libraries with one known fault each, for conv-ta check to find. Every one
// but the last computes through the reference and then goes wrong in its own
// way; FAULT selects which.
#include "conv_TA.h"
#include "reference/reference.h"

#include <cstddef>

#define WRONG_EDGE 1   // the last column of every wide row is off by one
#define OVERRUN 2      // writes one element past the output of wide images
#define DELEGATE_ALL 3 // hands wide images to convolution_ref too
#define NARROW_SELF 4  // computes narrow images itself
#define NO_EXPORT 5    // exports no convolution_TA at all

#if FAULT == NO_EXPORT
extern "C" CONV_TA_VISIBLE void convolution_other(int32_t, int32_t, const int32_t*, int32_t*,
                                                  const int32_t*) {}
#else
extern "C" void convolution_TA(int32_t height, int32_t width, const int32_t* input, int32_t* output,
                               const int32_t* kernel) {
    if ((width < 16 && FAULT != NARROW_SELF) || FAULT == DELEGATE_ALL) {
        convolution_ref(height, width, input, output, kernel);
        return;
    }
    conv_ta_reference::reference_convolution(height, width, input, output, kernel);
    if (height <= 0)
        return;
    if (FAULT == WRONG_EDGE)
        output[width - 1] += 1;
    if (FAULT == OVERRUN)
        output[static_cast<std::ptrdiff_t>(height) * width] = 0;
}
#endif
