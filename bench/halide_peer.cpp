// The Halide peer: the same convolution as a JIT-compiled Halide pipeline on
// int32 images with a zero boundary, one thread, under several schedules.
//
// The arithmetic is done in uint32 and reinterpreted: Halide treats int32
// overflow as something that does not happen, while unsigned arithmetic wraps
// by definition, which is what the library computes. The int32 form is kept
// as a trial so that the check shows whether it happens to agree.
#include "bench.h"

#include <Halide.h>

#include <map>

#ifndef CONV_TA_HALIDE_VERSION
#define CONV_TA_HALIDE_VERSION "?"
#endif

namespace conv_ta_bench {
namespace {

using namespace Halide;

constexpr int kLanes = 16; // int32 lanes of a 512-bit vector

struct Schedule {
    const char* name;
    bool wrapping; // uint32 arithmetic; false: plain int32
    void (*apply)(Func& out, Func& bounded, Var x, Var y, Expr out_width, Expr out_height);
};

// Every schedule keeps its tiles and strips for images at least as large as
// them and falls back to vectorized rows below that, so that every shape of
// the table runs.
void rows(Func& out, Func&, Var x, Var, Expr, Expr) {
    out.vectorize(x, kLanes);
}

void rows_x2(Func& out, Func&, Var x, Var, Expr, Expr) {
    out.vectorize(x, 2 * kLanes);
}

void tile(Func& out, Var x, Var y, Expr w, Expr h, int tw, int th) {
    Var xo, yo, xi, yi;
    out.specialize(w >= tw && h >= th)
        .tile(x, y, xo, yo, xi, yi, tw, th)
        .vectorize(xi, kLanes)
        .unroll(yi);
    out.vectorize(x, kLanes);
}

void tile32x4(Func& out, Func&, Var x, Var y, Expr w, Expr h) {
    tile(out, x, y, w, h, 32, 4);
}
void tile64x4(Func& out, Func&, Var x, Var y, Expr w, Expr h) {
    tile(out, x, y, w, h, 64, 4);
}
void tile16x8(Func& out, Func&, Var x, Var y, Expr w, Expr h) {
    tile(out, x, y, w, h, 16, 8);
}

// The bounded input (image plus its zero frame) computed whole before the
// convolution: the sums then read it without a select.
void bounded_root_tile32x4(Func& out, Func& bounded, Var x, Var y, Expr w, Expr h) {
    bounded.compute_root().vectorize(bounded.args()[0], kLanes);
    tile(out, x, y, w, h, 32, 4);
}

// The bounded input computed per strip of rows, just before the strip's
// sums: it stays in cache between being made and being read.
void strip(Func& out, Func& bounded, Var x, Var y, Expr w, Expr, int strip_rows, int tw, int th,
           bool store_root) {
    // The strips are split before the width is specialized on, so that both
    // the tiled and the fallback form have a strip to compute the input at.
    Var ys, yr, xo, yo, xi, yi;
    out.split(y, ys, yr, strip_rows, TailStrategy::GuardWithIf);
    out.specialize(w >= tw).tile(x, yr, xo, yo, xi, yi, tw, th).vectorize(xi, kLanes).unroll(yi);
    out.vectorize(x, kLanes);
    if (store_root)
        bounded.store_root();
    bounded.compute_at(out, ys).vectorize(bounded.args()[0], kLanes);
}

void strip16_tile32x4(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 16, 32, 4, false);
}
void strip8_tile32x4(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 8, 32, 4, false);
}
void strip32_tile32x4(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 32, 32, 4, false);
}
void strip16_tile64x4(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 16, 64, 4, false);
}
void strip32_tile64x4(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 32, 64, 4, false);
}
void strip16_tile128x4(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 16, 128, 4, false);
}
void strip16_tile64x8(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 16, 64, 8, false);
}
void strip16_tile32x4_sliding(Func& out, Func& b, Var x, Var y, Expr w, Expr h) {
    strip(out, b, x, y, w, h, 16, 32, 4, true);
}

// One bounded row made per output row into a folded ring of rows.
void sliding_rows(Func& out, Func& bounded, Var x, Var y, Expr, Expr) {
    out.vectorize(x, kLanes);
    bounded.store_root().compute_at(out, y).vectorize(bounded.args()[0], kLanes);
}

// The schedules the table uses, the fastest of the trials on this machine:
// out of cache the input bounded per strip of 16 rows with 32x4 tiles, in
// cache one bounded row per output row. Neither wins on both, so both run on
// every shape and the best peer of each shape is taken.
struct Chosen {
    const char* implementation;
    const char* schedule;
};
constexpr Chosen kChosen[] = {{"halide", "strip16_tile32x4"}, {"halide_rows", "sliding_rows"}};

const Schedule kSchedules[] = {
    {"rows_vec16", true, rows},
    {"rows_vec32", true, rows_x2},
    {"tile32x4", true, tile32x4},
    {"tile64x4", true, tile64x4},
    {"tile16x8", true, tile16x8},
    {"bounded_root_tile32x4", true, bounded_root_tile32x4},
    {"strip8_tile32x4", true, strip8_tile32x4},
    {"strip16_tile32x4", true, strip16_tile32x4},
    {"strip32_tile32x4", true, strip32_tile32x4},
    {"strip16_tile64x4", true, strip16_tile64x4},
    {"strip32_tile64x4", true, strip32_tile64x4},
    {"strip16_tile128x4", true, strip16_tile128x4},
    {"strip16_tile64x8", true, strip16_tile64x8},
    {"strip16_tile32x4_sliding", true, strip16_tile32x4_sliding},
    {"sliding_rows", true, sliding_rows},
    {"strip16_tile32x4_int32", false, strip16_tile32x4},
};

// One schedule's pipeline, JIT-compiled on its first use and kept for every
// shape after that: compiling is never timed.
struct Pipeline {
    explicit Pipeline(const Schedule& s) : in(Int(32), 2, "in") {
        Var x("x"), y("y");
        Func bounded = BoundaryConditions::constant_exterior(in, 0);
        Expr sum;
        for (int ky = 0; ky < 3; ++ky) {
            for (int kx = 0; kx < 3; ++kx) {
                Expr term;
                if (s.wrapping)
                    term = reinterpret(UInt(32), k[3 * ky + kx]) *
                           reinterpret(UInt(32), bounded(x + kx - 1, y + ky - 1));
                else
                    term = k[3 * ky + kx] * bounded(x + kx - 1, y + ky - 1);
                sum = sum.defined() ? sum + term : term;
            }
        }
        out(x, y) = s.wrapping ? reinterpret(Int(32), sum) : sum;
        s.apply(out, bounded, x, y, out.output_buffer().dim(0).extent(),
                out.output_buffer().dim(1).extent());
        out.compile_jit(get_jit_target_from_environment());
    }
    ImageParam in;
    Param<int32_t> k[9];
    Func out{"out"};
};

Pipeline& pipeline_of(const Schedule& s) {
    static std::map<std::string, std::unique_ptr<Pipeline>> compiled;
    auto& slot = compiled[s.name];
    if (!slot)
        slot = std::make_unique<Pipeline>(s);
    return *slot;
}

class HalideInstance final : public Instance {
  public:
    HalideInstance(const Schedule& s, Shape shape)
        : images_(images_for(shape)), pipeline_(pipeline_of(s)),
          in_(images_.input, shape.width, shape.height),
          out_(images_.output, shape.width, shape.height) {
        for (int i = 0; i < 9; ++i)
            pipeline_.k[i].set(bench_kernel(shape.kernel)[i]);
    }
    void run() override {
        // The binding is set on every call, as a caller with several images
        // would; it costs a pointer store.
        pipeline_.in.set(in_);
        try {
            pipeline_.out.realize(out_);
        } catch (const std::exception& e) {
            error_ = e.what();
        }
    }
    std::string check() override {
        if (!error_.empty())
            return "failed: " + error_;
        return compare(images_.shape, images_.output, images_.expected);
    }

  private:
    const Images& images_;
    Pipeline& pipeline_;
    Buffer<int32_t> in_, out_;
    std::string error_;
};

} // namespace

// The generic instruction-set features of the JIT target. Halide's own name
// for the target also lists families of processors, which stay out of the
// report.
std::string feature_list(const Target& target) {
    const std::pair<Target::Feature, const char*> generic[] = {
        {Target::SSE41, "sse4.1"}, {Target::AVX, "avx"},   {Target::AVX2, "avx2"},
        {Target::FMA, "fma"},      {Target::F16C, "f16c"}, {Target::AVX512, "avx512"}};
    std::string list = "x86-64";
    for (const auto& [feature, name] : generic)
        if (target.has_feature(feature))
            list += std::string(" ") + name;
    return list;
}

Peers halide_peers() {
    Peers peers;
    const Target target = get_jit_target_from_environment();
    peers.notes.push_back("halide: Halide " CONV_TA_HALIDE_VERSION " JIT for this host (" +
                          feature_list(target) + "), one thread, uint32 arithmetic; schedules " +
                          kChosen[0].implementation + "=" + kChosen[0].schedule + ", " +
                          kChosen[1].implementation + "=" + kChosen[1].schedule +
                          " (all trials on 256x256 and 4096x4096 as halide:SCHEDULE)");
    for (const Schedule& s : kSchedules) {
        Prepare prepare = [&s](Shape shape) -> std::unique_ptr<Instance> {
            return std::make_unique<HalideInstance>(s, shape);
        };
        for (const Chosen& c : kChosen)
            if (std::string(s.name) == c.schedule)
                peers.implementations.push_back({c.implementation, prepare, &table_shapes()});
        peers.implementations.push_back(
            {std::string("halide:") + s.name, prepare, &trial_shapes()});
    }
    return peers;
}

} // namespace conv_ta_bench
