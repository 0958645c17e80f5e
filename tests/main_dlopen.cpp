// The test binary that loads the library with dlopen, lazily or with
// immediate binding (--bind=lazy or --bind=now). Either way the
// convolution_ref this executable exports must satisfy the library.
// --level=LEVEL loads the library built for that instruction-set level
// instead (--library=PATH), and skips when this CPU cannot run it.
#include "host.h"
#include "reference/cpu_levels.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
conv_ta_reference::ConvolutionFn loaded = nullptr;
// What ctest takes for a skipped test (SKIP_RETURN_CODE).
constexpr int kSkipped = 77;
} // namespace

conv_ta_reference::ConvolutionFn conv_ta_reference::convolution_under_test() {
    return loaded;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    int mode = RTLD_LAZY;
    std::string path = CONV_TA_LIBRARY_PATH, level;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bind=now")
            mode = RTLD_NOW;
        else if (arg.rfind("--library=", 0) == 0)
            path = arg.substr(10);
        else if (arg.rfind("--level=", 0) == 0)
            level = arg.substr(8);
        else if (arg != "--bind=lazy") {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!level.empty() && !conv_ta_reference::cpu_runs_level(level)) {
        std::printf("this CPU cannot run the library built for %s\n", level.c_str());
        return kSkipped;
    }
    void* library = dlopen(path.c_str(), mode | RTLD_LOCAL);
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
