// The test binary that links the library at build time.
#include "conv_TA.h"
#include "support/host.h"

#include <gtest/gtest.h>

conv_ta_support::ConvolutionFn conv_ta_support::convolution_under_test() {
    return &convolution_TA;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
