// The test binary that loads the library with dlopen, lazily or with
// immediate binding (--bind=lazy or --bind=now). Either way the
// convolution_ref this executable exports must satisfy the library.
#include "host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {
conv_ta_reference::ConvolutionFn loaded = nullptr;
}

conv_ta_reference::ConvolutionFn conv_ta_reference::convolution_under_test() {
    return loaded;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    int mode = RTLD_LAZY;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bind=now") == 0)
            mode = RTLD_NOW;
        else if (std::strcmp(argv[i], "--bind=lazy") != 0) {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    void* library = dlopen(CONV_TA_LIBRARY_PATH, mode | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    loaded = reinterpret_cast<conv_ta_reference::ConvolutionFn>(dlsym(library, "convolution_TA"));
    if (loaded == nullptr) {
        std::fprintf(stderr, "dlsym: %s\n", dlerror());
        return 1;
    }
    return RUN_ALL_TESTS();
}
