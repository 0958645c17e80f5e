// The convolution_ref of hosts that cannot define one themselves, such as
// the Python module: the plain reference, exported from a small library that
// is loaded with RTLD_GLOBAL before libconv_TA.
#include "conv_TA.h"
#include "reference/reference.h"

extern "C" void convolution_ref(int32_t height, int32_t width, const int32_t* input,
                                int32_t* output, const int32_t* kernel) {
    conv_ta_reference::reference_convolution(height, width, input, output, kernel);
}
