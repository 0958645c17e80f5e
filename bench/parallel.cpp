// The threaded companion against its own single thread, the parallel peers
// and the roof of two threads copying half the bytes each, in one run:
//   conv_TA_bench_parallel [ROUNDS [HEIGHTxWIDTH ...]]
//
// Every implementation is timed in turn within each round, so that all see
// the same machine; the figure is the median over the rounds. Outputs are
// checked once per shape after timing: convolution_TA_threads and Halide (in
// uint32, so wrapping) against the scalar reference on full-range values,
// OpenCV (float) on small values, where its sums are exact.
#include "conv_TA_threads.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef CONV_TA_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#ifdef CONV_TA_HAVE_HALIDE
#include <Halide.h>
#endif

extern "C" void convolution_ref(int32_t height, int32_t width, const int32_t* input,
                                int32_t* output, const int32_t* kernel) {
    conv_ta_reference::reference_convolution(height, width, input, output, kernel);
}

namespace {

struct Impl {
    std::string name;
    std::function<void()> run;
    std::function<bool()> check; // empty: nothing to check
};

#ifdef CONV_TA_HAVE_HALIDE
// The sums in uint32 over a zero-framed input, rows cut into strips that run
// in parallel; `sliding`: one framed row per output row within each strip,
// else the strip's framed rows first, then 32x4 tiles.
struct HalidePipeline {
    HalidePipeline(bool sliding) : in(Halide::Int(32), 2) {
        using namespace Halide;
        Var x, y, ys, yr, xo, yo, xi, yi;
        Func bounded = BoundaryConditions::constant_exterior(in, 0);
        Expr sum;
        for (int i = 0; i < 9; ++i) {
            Expr t = reinterpret(UInt(32), k[i]) *
                     reinterpret(UInt(32), bounded(x + i % 3 - 1, y + i / 3 - 1));
            sum = sum.defined() ? sum + t : t;
        }
        out(x, y) = reinterpret(Int(32), sum);
        out.split(y, ys, yr, sliding ? 64 : 16, TailStrategy::GuardWithIf).parallel(ys);
        if (sliding) {
            out.vectorize(x, 16);
            bounded.store_at(out, ys).compute_at(out, yr).vectorize(bounded.args()[0], 16);
        } else {
            Expr w = out.output_buffer().dim(0).extent();
            out.specialize(w >= 32).tile(x, yr, xo, yo, xi, yi, 32, 4).vectorize(xi, 16).unroll(yi);
            out.vectorize(x, 16);
            bounded.compute_at(out, ys).vectorize(bounded.args()[0], 16);
        }
        out.compile_jit(get_jit_target_from_environment());
    }
    Halide::ImageParam in;
    Halide::Param<int32_t> k[9];
    Halide::Func out;
};
#endif

double median_seconds(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    std::vector<std::pair<int, int>> shapes = {
        {256, 256}, {1024, 1024}, {4096, 4096}, {8192, 8192}, {65536, 16}};
    if (argc > 2)
        shapes.clear();
    for (int i = 2; i < argc; ++i) {
        int h = 0, w = 0;
        if (std::sscanf(argv[i], "%dx%d", &h, &w) != 2 || h < 1 || w < 1) {
            std::fprintf(stderr, "conv_TA_bench_parallel: not a shape: %s\n", argv[i]);
            return 2;
        }
        shapes.emplace_back(h, w);
    }
    std::vector<std::int32_t> kernel(9);
    conv_ta_reference::Values(9).fill(kernel);
    std::int32_t small_kernel[9];
    for (int i = 0; i < 9; ++i)
        small_kernel[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(kernel[i]) % 9) - 4;
#ifdef CONV_TA_HAVE_HALIDE
    HalidePipeline halide_strips(false), halide_sliding(true);
    for (HalidePipeline* p : {&halide_strips, &halide_sliding})
        for (int i = 0; i < 9; ++i)
            p->k[i].set(kernel[i]);
#endif
    std::printf("| shape | implementation | Gelem/s | speed-up over convolution_TA_threads(1) |\n"
                "|---|---|---:|---:|\n");
    for (auto [h, w] : shapes) {
        const std::size_t n = static_cast<std::size_t>(h) * w;
        std::vector<std::int32_t> in(n), out(n, 1), want(n), small(n), small_want(n);
        conv_ta_reference::Values(static_cast<std::uint64_t>(h) * 65537 + w).fill(in);
        conv_ta_reference::reference_convolution(h, w, in.data(), want.data(), kernel.data());
        for (std::size_t i = 0; i < n; ++i)
            small[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(in[i]) % 17) - 8;
        conv_ta_reference::reference_convolution(h, w, small.data(), small_want.data(),
                                                 small_kernel);
        const auto exact = [&] { return out == want; };
        std::vector<Impl> impls;
        impls.push_back(
            {"memcpy, 1 thread", [&] { std::memcpy(out.data(), in.data(), n * 4); }, {}});
        impls.push_back({"memcpy, 2 threads of half",
                         [&] {
                             std::thread t([&] {
                                 std::memcpy(out.data() + n / 2, in.data() + n / 2,
                                             (n - n / 2) * 4);
                             });
                             std::memcpy(out.data(), in.data(), n / 2 * 4);
                             t.join();
                         },
                         {}});
        for (int t : {1, 2})
            impls.push_back(
                {"convolution_TA_threads(" + std::to_string(t) + ")",
                 [&, t] { convolution_TA_threads(h, w, in.data(), out.data(), kernel.data(), t); },
                 exact});
#ifdef CONV_TA_HAVE_OPENCV
        cv::Mat cv_in, cv_out(h, w, CV_32F, cv::Scalar(1)), cv_k;
        cv::Mat(h, w, CV_32S, small.data()).convertTo(cv_in, CV_32F);
        cv::Mat(3, 3, CV_32S, small_kernel).convertTo(cv_k, CV_32F);
        impls.push_back(
            {"OpenCV filter2D CV_32F, " + std::to_string(cv::getNumThreads()) + " threads",
             [&] {
                 cv::filter2D(cv_in, cv_out, CV_32F, cv_k, cv::Point(-1, -1), 0,
                              cv::BORDER_CONSTANT);
             },
             [&] {
                 cv::Mat as_int;
                 cv_out.convertTo(as_int, CV_32S);
                 return std::equal(small_want.begin(), small_want.end(),
                                   as_int.ptr<std::int32_t>());
             }});
#endif
#ifdef CONV_TA_HAVE_HALIDE
        Halide::Buffer<int32_t> h_in(in.data(), w, h), h_out(out.data(), w, h);
        for (auto [name, p] :
             {std::pair{"Halide parallel strips of 16 rows, 32x4 tiles", &halide_strips},
              {"Halide parallel strips of 64 sliding rows", &halide_sliding}})
            impls.push_back({name,
                             [&, p = p] {
                                 p->in.set(h_in);
                                 p->out.realize(h_out);
                             },
                             exact});
#endif
        // Batches of at least a millisecond, so that the clock's grain does
        // not show.
        std::vector<int> batch(impls.size(), 1);
        for (std::size_t i = 0; i < impls.size(); ++i) {
            const auto a = std::chrono::steady_clock::now();
            impls[i].run();
            const double once =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
            batch[i] = static_cast<int>(std::clamp(1e-3 / std::max(once, 1e-9), 1.0, 1e5));
        }
        std::vector<std::vector<double>> times(impls.size());
        for (int r = 0; r < rounds; ++r)
            for (std::size_t i = 0; i < impls.size(); ++i) {
                const auto a = std::chrono::steady_clock::now();
                for (int b = 0; b < batch[i]; ++b)
                    impls[i].run();
                times[i].push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count() /
                    batch[i]);
            }
        const double base = median_seconds(times[2]);
        for (std::size_t i = 0; i < impls.size(); ++i) {
            std::fill(out.begin(), out.end(), 1);
            impls[i].run();
            const bool ok = !impls[i].check || impls[i].check();
            const double t = median_seconds(times[i]);
            std::printf("| %dx%d | %s | %.2f | %.2f%s |\n", h, w, impls[i].name.c_str(),
                        static_cast<double>(n) / t * 1e-9, base / t, ok ? "" : " (WRONG OUTPUT)");
            if (!ok)
                return 1;
        }
    }
    return 0;
}
