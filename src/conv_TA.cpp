// convolution_TA: the entry point, and the computation of a wide image.
//
// A wide image (16 columns or more) is computed one output row at a time,
// top to bottom, and each row left to right in the bands of the column plan:
// the guarded left band, the interior blocks swept without a single bound
// test, and the guarded remainder at the right-hand end. Sweeping row by row
// rather than block by block keeps the reads on three consecutive input
// rows, so every cache line and page is touched in order; with distinct
// buffers the order cannot change any element.
//
// Each input row is read once per output row, one 16-column segment at a
// time, through a sliding window that makes the neighbours by shifting lanes
// between segments; the bands differ only in what the window is fed at the
// row's two ends.
//
// All three bands store the kernel sum and never read the output, so the
// output needs no initialising and no element depends on which band
// computed it.
#include "conv_TA.h"

#include "column_plan.h"
#include "vec.h"

namespace conv_ta {
namespace {

// The nine coefficients, each in every lane, copied before any output is
// written so that the sweep never goes back to `kernel`.
struct Coefficients {
    Vec k[9];
};

// One input row's share of 16 output columns: the columns' left-hand
// neighbours, the columns themselves and their right-hand neighbours.
struct Taps {
    Vec left, centre, right;
};

// The input rows around one output row. Whether the rows above and below
// exist is decided once per output row, by the caller's choice of template
// arguments; an absent row is never touched.
struct Rows {
    const uint32_t* above;
    const uint32_t* here;
    const uint32_t* below;
};

// Kernel row ky (0 above, 1 here, 2 below) applied to one input row's taps.
CONV_TA_INLINE Vec weigh(const Coefficients& c, int ky, const Taps& t) {
    return c.k[3 * ky] * t.left + c.k[3 * ky + 1] * t.centre + c.k[3 * ky + 2] * t.right;
}

// Calls f(row, ky) for each input row that exists around an output row, ky
// being the kernel row that weighs it (0 above, 1 here, 2 below).
template <bool HasAbove, bool HasBelow, class F>
CONV_TA_INLINE void for_each_input_row(const Rows& rows, F&& f) {
    if constexpr (HasAbove)
        f(rows.above, 0);
    f(rows.here, 1);
    if constexpr (HasBelow)
        f(rows.below, 2);
}

// The kernel sum of 16 columns of one output row. taps_of(row, ky) yields the
// taps of an input row; the top and bottom rows of the image leave out the
// kernel row that would weigh a row outside it.
template <bool HasAbove, bool HasBelow, class TapsOf>
CONV_TA_INLINE Vec kernel_sum(const Coefficients& c, const Rows& rows, TapsOf&& taps_of) {
    Vec sum{};
    for_each_input_row<HasAbove, HasBelow>(
        rows, [&](const uint32_t* row, int ky) { sum += weigh(c, ky, taps_of(row, ky)); });
    return sum;
}

// One input row seen through a sliding window of 16-column segments: the
// segment before the current one and the current one. Each segment of a row
// is loaded once; the neighbours of its columns are made by shifting lanes
// across from the segments on either side.
struct Window {
    Vec prev, cur;

    // The current segment's taps, given the segment after it; then moves on.
    CONV_TA_INLINE Taps slide(Vec next) {
        // left = ( prev15, cur0, ..., cur14 ), right = ( cur1, ..., cur15, next0 )
        const Taps t{left_neighbours(prev, cur), cur, right_neighbours(cur, next)};
        prev = cur;
        cur = next;
        return t;
    }
};

// What a row needs of the column plan, worked out once per call.
struct RowPlan {
    ptrdiff_t stop; // the remainder's first column; interior blocks lie below it
    int remainder;  // the remainder's columns, 0 to 16
};

CONV_TA_INLINE RowPlan row_plan(ptrdiff_t width) {
    const ColumnPlan plan = plan_columns(width);
    return RowPlan{plan.stop, static_cast<int>(plan.remainder.columns())};
}

// One output row, left to right. The row tests were made by the caller in
// the template arguments; the column tests are all at the two ends:
//  - the left band's left-hand neighbour, column -1, lies outside the row, so
//    its window starts from a segment of zeros;
//  - the remainder is read with the lanes past the row's end masked off, so
//    they hold zero, weigh nothing as right-hand neighbours, and the zeros
//    after it stand for the columns beyond;
//  - every interior block has both neighbour columns inside the row, so the
//    sweep between them tests nothing.
template <bool HasAbove, bool HasBelow>
CONV_TA_INLINE void convolve_row(const Rows& rows, uint32_t* out, const RowPlan& plan,
                                 const Coefficients& c) {
    Window window[3]; // by kernel row: 0 above, 1 here, 2 below
    Vec tail[3];      // each input row's remainder segment, zero past the row's end
    for_each_input_row<HasAbove, HasBelow>(rows, [&](const uint32_t* row, int ky) {
        window[ky] = Window{Vec{}, load(row)};
        tail[ky] = load_first_lanes(row + plan.stop, plan.remainder);
    });
    // The segment after the left band is the first interior block, or the
    // remainder when there is none.
    const bool has_blocks = plan.stop > kBlock;
    auto left_band = [&](const uint32_t* row, int ky) {
        return window[ky].slide(has_blocks ? load(row + kBlock) : tail[ky]);
    };
    store(out, kernel_sum<HasAbove, HasBelow>(c, rows, left_band));

    if (has_blocks) {
        ptrdiff_t b = kBlock;
        for (; b + kBlock < plan.stop; b += kBlock) {
            auto block = [&](const uint32_t* row, int ky) {
                return window[ky].slide(load(row + b + kBlock));
            };
            store(out + b, kernel_sum<HasAbove, HasBelow>(c, rows, block));
        }
        // The last block's right-hand neighbour, column `stop`, is the first
        // column of the remainder.
        auto last_block = [&](const uint32_t*, int ky) { return window[ky].slide(tail[ky]); };
        store(out + b, kernel_sum<HasAbove, HasBelow>(c, rows, last_block));
    }

    if (plan.remainder > 0) {
        auto remainder = [&](const uint32_t*, int ky) { return window[ky].slide(Vec{}); };
        store_first_lanes(out + plan.stop, kernel_sum<HasAbove, HasBelow>(c, rows, remainder),
                          plan.remainder);
    }
}

void convolve_wide(ptrdiff_t height, ptrdiff_t width, const uint32_t* input, uint32_t* output,
                   const int32_t* kernel) {
    Coefficients c;
    for (int i = 0; i < 9; ++i)
        c.k[i] = splat(static_cast<uint32_t>(kernel[i]));
    if (height <= 0)
        return;

    const RowPlan plan = row_plan(width);
    auto row = [&](ptrdiff_t y) { return input + y * width; };
    auto out = [&](ptrdiff_t y) { return output + y * width; };

    if (height == 1) {
        convolve_row<false, false>(Rows{nullptr, row(0), nullptr}, out(0), plan, c);
        return;
    }
    convolve_row<false, true>(Rows{nullptr, row(0), row(1)}, out(0), plan, c);
    for (ptrdiff_t y = 1; y < height - 1; ++y)
        convolve_row<true, true>(Rows{row(y - 1), row(y), row(y + 1)}, out(y), plan, c);
    convolve_row<true, false>(Rows{row(height - 2), row(height - 1), nullptr}, out(height - 1),
                              plan, c);
}

} // namespace
} // namespace conv_ta

extern "C" void convolution_TA(int32_t height, int32_t width, const int32_t* input, int32_t* output,
                               const int32_t* kernel) {
    if (width < conv_ta::kMinWideWidth) {
        convolution_ref(height, width, input, output, kernel);
        return;
    }
    // Signed and unsigned views of the same element type may alias.
    conv_ta::convolve_wide(height, width, reinterpret_cast<const uint32_t*>(input),
                           reinterpret_cast<uint32_t*>(output), kernel);
}
