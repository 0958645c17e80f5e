// The test binary that links the library at build time.
#include "conv_TA.h"
#include "host.h"

#include <gtest/gtest.h>

conv_ta_reference::ConvolutionFn conv_ta_reference::convolution_under_test() {
    return &convolution_TA;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
