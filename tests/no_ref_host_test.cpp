// A host that defines no convolution_ref at all: loaded lazily, the library
// still computes every wide image, because the name is looked up only when a
// narrow image first needs it. Loaded with immediate binding it must fail.
#include "check.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HostWithoutReference, ImmediateBindingFailsOnConvolutionRef) {
    void* library = dlopen(CONV_TA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(library, nullptr) << "loaded although convolution_ref is nowhere defined";
    EXPECT_NE(std::string(dlerror()).find("convolution_ref"), std::string::npos);
}

TEST(HostWithoutReference, LazyBindingComputesWideImages) {
    void* library = dlopen(CONV_TA_LIBRARY_PATH, RTLD_LAZY | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto convolution =
        reinterpret_cast<conv_ta_reference::ConvolutionFn>(dlsym(library, "convolution_TA"));
    ASSERT_NE(convolution, nullptr);
    conv_ta_reference::Values values(7);
    for (std::int32_t width : {16, 17, 40, 333})
        for (std::int32_t height : {1, 2, 9})
            EXPECT_TRUE(conv_ta_test::convolve_random(values, height, width,
                                                      conv_ta_test::Buffers::Vectors, convolution));
    dlclose(library);
}

} // namespace
