// The benchmark host: convolution_TA, memcpy of the same bytes and the plain
// scalar reference, the library's builds for each portable level this CPU
// runs (levels.cpp), then whichever peers were found at build time, each over
// the same shapes, shape after shape, so that the implementations compared on
// one shape are timed close together.
//
// Every benchmark checks the output it timed against the reference after
// timing; a mismatch is reported as the benchmark's error, never as a
// figure.
#include "bench.h"
#include "conv_TA.h"
#include "reference/guarded.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string>

#ifndef CONV_TA_BENCH_ARCH
#define CONV_TA_BENCH_ARCH "unknown"
#endif

namespace conv_ta_bench {

using conv_ta_reference::Flush;
using conv_ta_reference::GuardedBuffer;

const std::vector<Shape>& table_shapes() {
    using enum conv_ta_reference::KernelKind;
    static const std::vector<Shape> shapes = {
        {64, 64},
        {64, 64, Symmetric},
        {64, 64, Antisymmetric},
        {256, 256},
        {256, 256, Symmetric},
        {256, 256, Antisymmetric},
        {512, 512},
        {1024, 1024},
        {1001, 1003},
        {1536, 1536},
        {2048, 2048},
        {3001, 2999},
        {4096, 4096},
        {8192, 8192},
        {16, 65536},
        {65536, 16},
        {4096, 17},
        {4096, 33},
        {4096, 48},
        {4096, 64},
    };
    return shapes;
}

const std::vector<Shape>& trial_shapes() {
    static const std::vector<Shape> shapes = {{256, 256}, {4096, 4096}};
    return shapes;
}

const std::vector<Shape>& level_shapes() {
    static const std::vector<Shape> shapes = {{256, 256}, {2048, 2048}, {4096, 48}};
    return shapes;
}

const std::int32_t* bench_kernel(conv_ta_reference::KernelKind kind) {
    static const auto kernels = [] {
        std::array<std::array<std::int32_t, 9>, 3> k{};
        for (conv_ta_reference::KernelKind each : conv_ta_reference::kEveryKernelKind) {
            auto& one = k[static_cast<std::size_t>(each)];
            conv_ta_reference::Values(9).fill(one);
            conv_ta_reference::shape_kernel(each, one);
        }
        return k;
    }();
    return kernels[static_cast<std::size_t>(kind)].data();
}

void scalar_reference(Shape shape, const std::int32_t* input, std::int32_t* output,
                      const std::int32_t* kernel) {
    conv_ta_reference::reference_convolution(shape.height, shape.width, input, output, kernel);
}

std::string compare(Shape shape, const std::int32_t* got, const std::int32_t* want) {
    const std::size_t n = shape.elements();
    for (std::size_t i = 0; i < n; ++i) {
        if (got[i] != want[i]) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "differs from the reference at row %zu, column %zu: %d instead of %d",
                          i / static_cast<std::size_t>(shape.width),
                          i % static_cast<std::size_t>(shape.width), got[i], want[i]);
            return text;
        }
    }
    return {};
}

namespace {

// The buffers behind one shape's Images. Guard pages on both sides make a
// peer that reads or writes past an image fault instead of timing garbage.
struct OwnedImages {
    explicit OwnedImages(Shape s)
        : input(s.elements(), Flush::Start), output(s.elements(), Flush::Start),
          expected(s.elements(), Flush::Start) {
        conv_ta_reference::Values values(static_cast<std::uint64_t>(s.height) * 65537u +
                                         static_cast<std::uint64_t>(s.width));
        values.fill(input.elements());
        values.fill_garbage(output.elements());
        scalar_reference(s, input.data(), expected.data(), bench_kernel(s.kernel));
        view = Images{s, input.data(), output.data(), expected.data()};
    }
    GuardedBuffer input, output, expected;
    Images view{};
};

struct Current {
    std::optional<Shape> shape;
    std::unique_ptr<OwnedImages> images;
    std::map<std::string, std::unique_ptr<Instance>> instances;
};

Current& current() {
    static Current c;
    return c;
}

// Instances are kept for the shape being measured and dropped, with the
// shape's images, when the next shape begins: one shape's buffers at a time.
Instance& instance_for(const Implementation& impl, Shape shape) {
    Current& c = current();
    if (c.shape != shape) {
        c.instances.clear();
        c.images.reset();
        c.shape = shape;
    }
    auto& slot = c.instances[impl.name];
    if (!slot)
        slot = impl.prepare(shape);
    return *slot;
}

} // namespace

const Images& images_for(Shape shape) {
    Current& c = current();
    if (!c.images || c.images->view.shape != shape) {
        c.images.reset();
        c.images = std::make_unique<OwnedImages>(shape);
    }
    return c.images->view;
}

LibraryInstance::LibraryInstance(Shape s, Entry entry) : images_(images_for(s)), entry_(entry) {}

void LibraryInstance::run() {
    entry_(images_.shape.height, images_.shape.width, images_.input, images_.output,
           bench_kernel(images_.shape.kernel));
}

std::string LibraryInstance::check() {
    return compare(images_.shape, images_.output, images_.expected);
}

namespace {

// The floor: every input element read once, every output element written
// once.
class MemcpyInstance final : public Instance {
  public:
    explicit MemcpyInstance(Shape s) : images_(images_for(s)) {}
    void run() override {
        std::memcpy(images_.output, images_.input, images_.shape.elements() * sizeof(std::int32_t));
    }
    std::string check() override { return compare(images_.shape, images_.output, images_.input); }

  private:
    const Images& images_;
};

class ScalarInstance final : public Instance {
  public:
    explicit ScalarInstance(Shape s) : images_(images_for(s)) {}
    void run() override {
        scalar_reference(images_.shape, images_.input, images_.output,
                         bench_kernel(images_.shape.kernel));
    }
    std::string check() override {
        return compare(images_.shape, images_.output, images_.expected);
    }

  private:
    const Images& images_;
};

template <class T>
Prepare prepare_of() {
    return [](Shape s) -> std::unique_ptr<Instance> { return std::make_unique<T>(s); };
}

std::string benchmark_name(const std::string& impl, Shape s) {
    std::string name =
        impl + "/height:" + std::to_string(s.height) + "/width:" + std::to_string(s.width);
    if (s.kernel != conv_ta_reference::KernelKind::General)
        name += std::string("/kernel:") + conv_ta_reference::kernel_kind_name(s.kernel);
    return name;
}

void time_one(benchmark::State& state, const Implementation& impl, Shape shape) {
    Instance* instance = nullptr;
    try {
        instance = &instance_for(impl, shape);
    } catch (const std::exception& e) {
        state.SkipWithError((impl.name + ": " + e.what()).c_str());
        return;
    }
    for (auto _ : state) {
        instance->run();
        benchmark::ClobberMemory();
    }
    const double elements = static_cast<double>(shape.elements());
    const double iterations = static_cast<double>(state.iterations());
    state.counters["bytes_per_second"] =
        benchmark::Counter(8.0 * elements * iterations, benchmark::Counter::kIsRate);
    state.counters["elements_per_second"] =
        benchmark::Counter(elements * iterations, benchmark::Counter::kIsRate);
    state.counters["height"] = shape.height;
    state.counters["width"] = shape.width;
    if (const std::string wrong = instance->check(); !wrong.empty())
        state.SkipWithError((impl.name + " " + wrong).c_str());
}

bool has_shape(const Implementation& impl, Shape s) {
    for (const Shape& t : *impl.shapes)
        if (t == s)
            return true;
    return false;
}

void register_all() {
    std::vector<Implementation> impls = {
        {"memcpy", prepare_of<MemcpyInstance>(), &table_shapes()},
        {"convolution_TA",
         [](Shape s) -> std::unique_ptr<Instance> {
             return std::make_unique<LibraryInstance>(s, &convolution_TA);
         },
         &table_shapes()},
        {"scalar_O2", prepare_of<ScalarInstance>(), &table_shapes()},
    };
    std::string notes = "library built for " CONV_TA_BENCH_ARCH
                        "; scalar_O2 is the plain bound-tested reference compiled with -O2";
    auto add_notes = [&notes](const Peers& peers) {
        for (const std::string& note : peers.notes) {
            std::fprintf(stderr, "%s\n", note.c_str());
            notes += "; " + note;
        }
    };
    // The levels go right after the library as built, which the table
    // states each against: timed seconds apart, they see the same machine.
    const Peers levels = level_builds();
    impls.insert(impls.begin() + 2, levels.implementations.begin(), levels.implementations.end());
    add_notes(levels);
    for (Peers peers : {halide_peers(), opencv_peers()}) {
        for (Implementation& impl : peers.implementations)
            impls.push_back(std::move(impl));
        add_notes(peers);
    }
    benchmark::AddCustomContext("conv_TA_bench", notes);

    // Shape after shape, and within a shape every implementation in turn.
    for (const Shape& shape : table_shapes()) {
        for (const Implementation& impl : impls) {
            if (!has_shape(impl, shape))
                continue;
            benchmark::RegisterBenchmark(
                benchmark_name(impl.name, shape).c_str(),
                [impl, shape](benchmark::State& state) { time_one(state, impl, shape); });
        }
    }
}

} // namespace
} // namespace conv_ta_bench

// Every bench image is 16 columns or wider, so the library never calls this;
// a host must define it all the same, and it computes what a real host's
// would.
extern "C" void convolution_ref(std::int32_t height, std::int32_t width, const std::int32_t* input,
                                std::int32_t* output, const std::int32_t* kernel) {
    conv_ta_reference::reference_convolution(height, width, input, output, kernel);
}

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    conv_ta_bench::register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
