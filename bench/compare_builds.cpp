// Two builds of the library timed against each other, for deciding a change:
//   conv_TA_compare BEFORE.so AFTER.so [--kernel=KIND] [--align=E] [HEIGHTxWIDTH ...]
// KIND is general (random coefficients, the default), symmetric or
// antisymmetric (the right column made equal or opposite to the left).
// --align=E starts the input and the output E elements past a page boundary;
// without it each buffer ends at a page boundary, so that its start depends
// on the shape.
// Each shape's calls alternate between the two builds, each first in every
// other round, and memcpy of the same bytes, so that both see the same
// machine; it prints the
// median time of each as a ratio to memcpy and AFTER's time as a ratio to
// BEFORE's, in CPU time. Every output is checked against the reference first.
#include "reference/guarded.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

using conv_ta_reference::ConvolutionFn;
using conv_ta_reference::Flush;
using conv_ta_reference::GuardedBuffer;

ConvolutionFn load(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "conv_TA_compare: %s\n", dlerror());
        std::exit(1);
    }
    auto f = reinterpret_cast<ConvolutionFn>(dlsym(handle, "convolution_TA"));
    if (f == nullptr) {
        std::fprintf(stderr, "conv_TA_compare: %s exports no convolution_TA\n", path);
        std::exit(1);
    }
    return f;
}

// The thread's CPU time: on a machine shared with other work, a round in
// which this thread was preempted is not charged for the wait.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

extern "C" void convolution_ref(std::int32_t height, std::int32_t width, const std::int32_t* input,
                                std::int32_t* output, const std::int32_t* kernel) {
    conv_ta_reference::reference_convolution(height, width, input, output, kernel);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: conv_TA_compare BEFORE.so AFTER.so [--kernel=KIND] [--align=E] "
                     "[HEIGHTxWIDTH ...]\n");
        return 2;
    }
    const ConvolutionFn builds[2] = {load(argv[1]), load(argv[2])};
    std::vector<std::pair<int, int>> shapes;
    auto kind = conv_ta_reference::KernelKind::General;
    int align = -1;
    for (int i = 3; i < argc; ++i) {
        if (std::strncmp(argv[i], "--kernel=", 9) == 0) {
            const auto named = conv_ta_reference::kernel_kind_named(argv[i] + 9);
            if (!named) {
                std::fprintf(stderr, "conv_TA_compare: not a kernel kind: %s\n", argv[i] + 9);
                return 2;
            }
            kind = *named;
            continue;
        }
        if (std::strncmp(argv[i], "--align=", 8) == 0) {
            char* end = nullptr;
            const long e = std::strtol(argv[i] + 8, &end, 10);
            if (end == argv[i] + 8 || *end != '\0' || e < 0 || e > 4096) {
                std::fprintf(stderr, "conv_TA_compare: not an element offset: %s\n", argv[i] + 8);
                return 2;
            }
            align = static_cast<int>(e);
            continue;
        }
        int h = 0, w = 0;
        if (std::sscanf(argv[i], "%dx%d", &h, &w) != 2 || h < 1 || w < 1) {
            std::fprintf(stderr, "conv_TA_compare: not a shape: %s\n", argv[i]);
            return 2;
        }
        shapes.emplace_back(h, w);
    }
    if (shapes.empty())
        shapes = {{64, 64},     {256, 256},  {512, 512},  {1024, 1024}, {2048, 2048},
                  {4096, 4096}, {16, 65536}, {65536, 16}, {4096, 17},   {4096, 48}};
    std::printf("kernel: %s\n", conv_ta_reference::kernel_kind_name(kind));
    if (align >= 0)
        std::printf("buffers start %d elements past a page boundary\n", align);
    std::printf("%-12s %12s %12s %12s %10s\n", "shape", "memcpy ns", "before x", "after x",
                "after/before");
    for (auto [height, width] : shapes) {
        const std::size_t n = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
        const std::size_t skip = align < 0 ? 0 : static_cast<std::size_t>(align);
        const Flush flush = align < 0 ? Flush::End : Flush::Start;
        GuardedBuffer input_pages(n + skip, flush), output_pages(n + skip, flush);
        GuardedBuffer want(n, Flush::End);
        const std::span<std::int32_t> input = input_pages.elements().subspan(skip),
                                      output = output_pages.elements().subspan(skip);
        conv_ta_reference::Values values(n);
        values.fill(input);
        std::int32_t kernel[9];
        values.fill(kernel);
        conv_ta_reference::shape_kernel(kind, kernel);
        conv_ta_reference::reference_convolution(height, width, input.data(), want.data(), kernel);
        for (ConvolutionFn f : builds) {
            values.fill_garbage(output);
            f(height, width, input.data(), output.data(), kernel);
            if (std::memcmp(output.data(), want.data(), n * 4) != 0) {
                std::fprintf(stderr, "conv_TA_compare: a build is wrong on %dx%d\n", height, width);
                return 1;
            }
        }
        // About 0.2 s of calls per build and shape, in rounds of a few calls.
        const int per_round = std::max<int>(1, static_cast<int>(2e6 / static_cast<double>(n)));
        std::vector<double> times[3];
        // The two builds swap places every round: on images out of the caches,
        // the one that ran second was 10-20 % slower, whichever it was.
        for (int round = 0; round < 42; ++round) {
            for (int slot = 0; slot < 3; ++slot) {
                const int which = slot == 2 ? 2 : (slot + round) % 2;
                const double start = cpu_seconds();
                for (int i = 0; i < per_round; ++i) {
                    if (which == 2)
                        std::memcpy(output.data(), input.data(), n * 4);
                    else
                        builds[which](height, width, input.data(), output.data(), kernel);
                }
                times[which].push_back((cpu_seconds() - start) / per_round);
            }
        }
        const double before = median(times[0]), after = median(times[1]), copy = median(times[2]);
        char shape[32];
        std::snprintf(shape, sizeof shape, "%dx%d", height, width);
        std::printf("%-12s %12.0f %12.2f %12.2f %10.3f\n", shape, copy * 1e9, before / copy,
                    after / copy, after / before);
        std::fflush(stdout);
    }
    return 0;
}
