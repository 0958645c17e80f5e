// Libraries with one known fault each, for conv-ta check to find. Every one
// but NO_EXPORT computes through the reference and then goes wrong in its
// own way; FAULT selects which.
#include "conv_TA.h"
#include "reference/reference.h"

#include <unistd.h>

#include <cstddef>
#include <cstring>

#define WRONG_EDGE 1     // the last column of every wide row is off by one
#define OVERRUN 2        // writes one element past the output of wide images
#define DELEGATE_ALL 3   // hands wide images to convolution_ref too
#define NARROW_SELF 4    // computes narrow images itself
#define NO_EXPORT 5      // exports no convolution_TA at all
#define EXIT_ON_LOAD 6   // ends the process, successfully, as it is loaded
#define LARGE_PAIRS 7    // wrong only on large images of rows of 8192 or more
#define WIDE_BORDER 8    // wrong at the right border of some widths above 200
#define SHARED_SCRATCH 9 // computes in one static buffer, whatever the thread
#define TOUCHES_INPUT 10 // writes into the const input, and puts it back

#if FAULT == EXIT_ON_LOAD
__attribute__((constructor)) static void end_the_process() {
    _exit(0);
}
#endif

#if FAULT == SHARED_SCRATCH
static int32_t scratch[1 << 20];
#endif

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
    const std::ptrdiff_t count = height > 0 ? std::ptrdiff_t{height} * width : 0;
    if (FAULT == TOUCHES_INPUT && count > 0) {
        auto* writable = const_cast<volatile int32_t*>(input);
        const int32_t first = writable[0];
        writable[0] = first + 1;
        writable[0] = first;
    }
#if FAULT == SHARED_SCRATCH
    if (count <= static_cast<std::ptrdiff_t>(sizeof scratch / 4)) {
        conv_ta_reference::reference_convolution(height, width, input, scratch, kernel);
        std::memcpy(output, scratch, static_cast<std::size_t>(count) * 4);
        return;
    }
#endif
    conv_ta_reference::reference_convolution(height, width, input, output, kernel);
    if (height <= 0)
        return;
    if (FAULT == WRONG_EDGE)
        output[width - 1] += 1;
    if (FAULT == OVERRUN)
        output[count] = 0;
    if (FAULT == LARGE_PAIRS && count >= (1 << 21) && width >= 8192)
        output[count / 2] += 1;
    if (FAULT == WIDE_BORDER && width > 200 && width % 16 == 7)
        output[count - 1] -= 1;
}
#endif
