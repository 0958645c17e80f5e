// How the tests reach convolution_TA: linked at build time or loaded with
// dlopen (main_linked.cpp, main_dlopen.cpp); either way the test binary
// defines and exports the recording convolution_ref.
#ifndef CONV_TA_TESTS_HOST_H
#define CONV_TA_TESTS_HOST_H

#include "reference/recording_host.h"
#include "reference/reference.h"

namespace conv_ta_reference {

// The library's convolution_TA, however this test binary reached it.
ConvolutionFn convolution_under_test();

} // namespace conv_ta_reference

#endif
