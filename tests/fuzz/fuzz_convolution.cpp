// Differential fuzzing of convolution_TA against the scalar reference.
//
// Each input decodes to one call: a height and a width (negative through a
// few hundred, the block boundaries, rows of just over 4096 columns and the
// extremes of int32 common among them), nine coefficients and the pixels,
// which lean on 0, +-1, INT32_MIN, INT32_MAX and powers of two, where
// wrapping arithmetic goes wrong first. Once the input runs out, a generator
// seeded from it goes on with the same distribution, so a short input still
// describes a large image.
//
// One input in 64 decodes to a large image instead, a shape of the shared
// table nudged by a few rows and columns, so that every sweep of the row
// plan is fuzzed; its pixels repeat a decoded stretch, and the rows checked
// are those where the plan changes sweep, the first and last few and some
// others, which keeps it about as cheap as the rest.
//
// A wide image runs twice, every buffer flush against the guard page before
// it and then against the one after it, so that a read or write of a single
// element outside a buffer faults. Input and kernel are read-only and the
// output starts as garbage: every element must be overwritten with its
// kernel sum. A narrow image must reach the host's convolution_ref exactly
// once, with the arguments unchanged, while the library touches no element.
#include "conv_TA.h"
#include "reference/guarded.h"
#include "reference/recording_host.h"
#include "reference/reference.h"
#include "reference/shapes.h"
#include "reference/values.h"
#include "src/row_plan.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace conv_ta_reference;

class Decoder {
  public:
    Decoder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        // FNV-1a of the whole input: a different input continues differently.
        state_ = 0xcbf29ce484222325u;
        for (std::size_t i = 0; i < size; ++i)
            state_ = (state_ ^ data[i]) * 0x100000001b3u;
        large_ = state_ >> 58 == 63;
    }

    // True for one input in 64, told from the hash of the whole input rather
    // than from a byte of it, so that the seeds keep decoding as they did.
    bool large() const { return large_; }

    std::uint8_t byte() {
        return pos_ < size_ ? data_[pos_++] : static_cast<std::uint8_t>(random() >> 56);
    }
    // Little-endian; each byte read in turn, as the operands of | are not
    // sequenced.
    std::uint16_t u16() {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }

    // A pixel or coefficient: one byte for the special values, five for any
    // other.
    std::int32_t value() {
        const std::uint8_t tag = byte();
        const std::uint32_t power = std::uint32_t{1} << (tag >> 3);
        switch (tag & 7) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 2:
            return -1;
        case 3:
            return INT32_MIN;
        case 4:
            return INT32_MAX;
        case 5:
            return static_cast<std::int32_t>(power);
        case 6:
            return static_cast<std::int32_t>(0u - power);
        default:
            return static_cast<std::int32_t>(u32());
        }
    }

    // A height or a width.
    std::int32_t dimension() {
        const std::uint16_t v = u16();
        const std::int32_t n = v >> 3;
        switch (v & 7) {
        case 0:
        case 1:
            return n % 40; // narrow, the left band alone, the first block
        case 2:
            return n % 320; // up to nineteen blocks
        case 3:
            return 4096 + n % 32; // rows too long for three to stay in L1
        case 4:
            return 16 * (n % 20) + n / 20 % 3 - 1; // beside a block boundary
        case 5:
            return -1 - n % 40;
        case 6: {
            const std::int32_t extremes[] = {INT32_MIN, INT32_MAX, INT32_MIN + n, INT32_MAX - n};
            return extremes[n % 4];
        }
        default:
            return n % 8;
        }
    }

    // Not taken from the input: for values no result may depend on.
    std::uint64_t random() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint64_t state_;
    bool large_;
};

// Large enough for every band shape with rows to spare, small enough that a
// run stays fast; a large image repeats this many decoded pixels.
constexpr std::int64_t kMaxElements = 1 << 15;

// Every row of a small image; of a large one, the rows on either side of
// each place where the row plan changes sweep at any level, the first and
// last few, and a few more chosen by the input.
std::vector<std::ptrdiff_t> rows_to_check(std::int32_t height, std::int32_t width, Decoder& d) {
    std::vector<std::ptrdiff_t> rows;
    if (std::int64_t{height} * width <= kMaxElements) {
        for (std::ptrdiff_t y = 0; y < height; ++y)
            rows.push_back(y);
        return rows;
    }
    auto around = [&](std::ptrdiff_t y) {
        for (std::ptrdiff_t r = y - 2; r <= y + 1; ++r)
            if (r >= 0 && r < height)
                rows.push_back(r);
    };
    around(1);
    around(height - 2);
    // Every level's plan; the one level that streams is also the one that aligns.
    for (bool streams : {false, true})
        for (bool pairs : {false, true}) {
            const conv_ta::RowPlan plan = conv_ta::plan_rows(
                height, width, true, conv_ta::LevelTraits{streams, pairs, streams});
            for (const conv_ta::RowRange& r :
                 {plan.streamed_pairs, plan.streamed, plan.fetched, plan.aligned_pairs,
                  plan.aligned, plan.cached_pairs, plan.cached})
                if (!r.empty()) {
                    around(r.begin);
                    around(r.end);
                }
        }
    for (int i = 0; i < 4; ++i)
        rows.push_back(
            static_cast<std::ptrdiff_t>(d.random() % static_cast<std::uint64_t>(height)));
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

[[noreturn]] void finding(const char* what, std::int32_t height, std::int32_t width) {
    std::fprintf(stderr, "conv_TA fuzz: %s for a %d x %d image\n", what, height, width);
    std::abort();
}

void check_narrow(std::int32_t height, std::int32_t width, Decoder& d) {
    // No element is accessible at all: any access by the library faults.
    GuardedBuffer input(64, Flush::Start), output(64, Flush::End), kernel(9, Flush::End);
    input.forbid_access();
    output.forbid_access();
    kernel.forbid_access();
    const RefCall expected{height, width, input.data() + d.byte() % 64,
                           output.data() + d.byte() % 64, kernel.data()};
    take_ref_calls();
    convolution_TA(expected.height, expected.width, expected.input, expected.output,
                   expected.kernel);
    const std::vector<RefCall> calls = take_ref_calls();
    if (calls.size() != 1)
        finding("convolution_ref not called exactly once", height, width);
    if (!(calls[0] == expected))
        finding("convolution_ref called with changed arguments", height, width);
}

// The first of `rows` with an element that differs from the kernel sum, or
// -1. The harness's loops carry no coverage hooks: exploring them guides
// nothing, and they made the check of a large image cost most of a run.
__attribute__((no_sanitize("coverage"))) std::ptrdiff_t
first_wrong_row(std::int32_t height, std::int32_t width, const std::int32_t* input,
                const std::int32_t* output, const std::int32_t* kernel,
                const std::vector<std::ptrdiff_t>& rows) {
    for (std::ptrdiff_t y : rows)
        for (std::ptrdiff_t x = 0; x < width; ++x) {
            const std::int32_t want = reference_sum(height, width, input, kernel, y, x);
            if (output[y * width + x] != want) {
                std::fprintf(stderr, "element (%td, %td) is %d, the kernel sum is %d\n", y, x,
                             output[y * width + x], want);
                return y;
            }
        }
    return -1;
}

// The input repeats `pixels`; the rows listed are compared with the reference.
__attribute__((no_sanitize("coverage"))) void check_wide(std::int32_t height, std::int32_t width,
                                                         const std::vector<std::int32_t>& pixels,
                                                         const std::int32_t (&coefficients)[9],
                                                         const std::vector<std::ptrdiff_t>& rows,
                                                         Decoder& d, Flush flush) {
    const std::size_t count =
        height > 0 ? static_cast<std::size_t>(height) * static_cast<std::size_t>(width) : 0;
    GuardedBuffer input(count, flush), output(count, flush), kernel(9, flush);
    for (std::size_t i = 0; i < count; i += pixels.size())
        std::copy_n(pixels.begin(), std::min(pixels.size(), count - i), input.data() + i);
    for (int i = 0; i < 9; ++i)
        kernel.data()[i] = coefficients[i];
    for (std::int32_t& v : output.elements())
        v = static_cast<std::int32_t>(d.random());
    input.forbid_writes();
    kernel.forbid_writes();

    take_ref_calls();
    convolution_TA(height, width, input.data(), output.data(), kernel.data());
    if (!take_ref_calls().empty())
        finding("convolution_ref called for a wide image", height, width);

    const std::ptrdiff_t bad =
        first_wrong_row(height, width, input.data(), output.data(), kernel.data(), rows);
    if (bad >= 0)
        finding(flush == Flush::Start ? "wrong element (buffers flush at their start)"
                                      : "wrong element (buffers flush at their end)",
                height, width);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Decoder d(data, size);
    std::int32_t height = d.dimension();
    std::int32_t width = d.dimension();
    if (width < 16) {
        check_narrow(height, width, d);
        return 0;
    }
    if (d.large()) {
        // A large image: a shape of the shared table, nudged.
        const auto& shapes = conv_ta_reference::kSweepShapes;
        const auto& shape = shapes[d.byte() % std::size(shapes)];
        height = shape.height + d.byte() % 8 - 4;
        width = shape.width + d.byte() % 33 - 16;
    } else if (height > 0 && std::int64_t{height} * width > kMaxElements) {
        // An image too large to allocate keeps a few rows, and its width
        // where they fit, else a width near the block boundaries; with no
        // rows, any width is fine, as nothing is allocated.
        height = 1 + height % 8;
        if (std::int64_t{height} * width > kMaxElements)
            width = 16 + width % 320;
    }
    std::int32_t coefficients[9];
    for (std::int32_t& k : coefficients)
        k = d.value();
    // One kernel in two symmetric or antisymmetric left to right: the library
    // sweeps those its own way.
    const std::uint8_t kind = d.byte() % 4;
    if (kind >= 2)
        shape_kernel(kind == 2 ? KernelKind::Symmetric : KernelKind::Antisymmetric, coefficients);
    const std::int64_t count = height > 0 ? std::int64_t{height} * width : 0;
    std::vector<std::int32_t> pixels(static_cast<std::size_t>(std::min(count, kMaxElements)));
    for (std::int32_t& p : pixels)
        p = d.value();
    const std::vector<std::ptrdiff_t> rows = rows_to_check(height, width, d);
    // A large image runs once, against one guard page chosen by the input:
    // its cost is in touching its pages, and either run reaches every sweep.
    if (count <= kMaxElements) {
        check_wide(height, width, pixels, coefficients, rows, d, Flush::Start);
        check_wide(height, width, pixels, coefficients, rows, d, Flush::End);
    } else {
        check_wide(height, width, pixels, coefficients, rows, d,
                   d.byte() % 2 == 0 ? Flush::Start : Flush::End);
    }
    return 0;
}
