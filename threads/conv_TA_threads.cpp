#include "conv_TA_threads.h"

#include "stripes.h"

extern "C" void convolution_TA_threads(int32_t height, int32_t width, const int32_t* input,
                                       int32_t* output, const int32_t* kernel, int32_t threads) {
    using namespace conv_ta_threads;
    convolve_stripes(height, width, input, output, kernel, plan(height, width, threads));
}
