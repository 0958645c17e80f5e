// convolution_TA: the entry point, and the two passes that compute a wide
// image.
//
// A wide image (16 columns or more) is computed one output row at a time,
// top to bottom. Each row is cut as the column plan says: a guarded left
// band, interior blocks swept without a single bound test, and a guarded
// remainder at the right-hand end. Sweeping row by row rather than block by
// block keeps the reads on three consecutive input rows, so every cache line
// and page is touched in order; with distinct buffers the order cannot
// change any element.
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

// The lanes of a 16-column window starting at column `first` whose column
// lies inside the row, 0 <= column < width.
CONV_TA_INLINE LaneRange lanes_inside_row(ptrdiff_t first, ptrdiff_t width) {
    const ptrdiff_t lo = first < 0 ? -first : 0;
    const ptrdiff_t past = width - first;
    const ptrdiff_t hi = past < 0 ? 0 : past > kLanes ? kLanes : past;
    return LaneRange{static_cast<int>(lo < hi ? lo : hi), static_cast<int>(hi)};
}

// A guarded band with every neighbour column tested against the row once per
// call: which lanes of the left, centre and right taps may be read. The row
// tests come from the template arguments of the pass.
struct GuardedLanes {
    ptrdiff_t first;
    int columns;
    LaneRange left, centre, right;
};

CONV_TA_INLINE GuardedLanes guarded_lanes(GuardedBand band, ptrdiff_t width) {
    return GuardedLanes{
        band.first, static_cast<int>(band.columns()), lanes_inside_row(band.first - 1, width),
        lanes_inside_row(band.first, width), lanes_inside_row(band.first + 1, width)};
}

// The guarded pass over one band of one output row. A neighbour outside the
// row is never read: its lane holds zero and weighs nothing. Only the band's
// own columns are stored.
template <bool HasAbove, bool HasBelow>
CONV_TA_INLINE void guarded_band(const Rows& rows, uint32_t* out, const GuardedLanes& band,
                                 const Coefficients& c) {
    auto taps_of = [&](const uint32_t* row, int) {
        const uint32_t* at = row + band.first;
        return Taps{load_lanes(at - 1, band.left), load_lanes(at, band.centre),
                    load_lanes(at + 1, band.right)};
    };
    store_first_lanes(out + band.first, kernel_sum<HasAbove, HasBelow>(c, rows, taps_of),
                      band.columns);
}

// The block sweep over the interior blocks of one output row, 16 up to
// `stop`. Every block has both neighbour columns inside the row, so nothing
// is tested. Each input row is read through a sliding window: one load per
// block, the neighbours made by shifting lanes across the blocks before and
// after.
template <bool HasAbove, bool HasBelow>
CONV_TA_INLINE void sweep_row(const Rows& rows, uint32_t* out, ptrdiff_t stop,
                              const Coefficients& c) {
    if (stop == kBlock)
        return;
    // window[ky]: the blocks before and at the current block of the input row
    // that kernel row ky weighs.
    struct Window {
        Vec prev, cur;
    } window[3];
    for_each_input_row<HasAbove, HasBelow>(rows, [&](const uint32_t* row, int ky) {
        window[ky] = Window{load(row), load(row + kBlock)};
    });
    auto slide = [&](int ky, Vec next) {
        Window& w = window[ky];
        // left = ( prev15, cur0, ..., cur14 ), right = ( cur1, ..., cur15, next0 )
        const Taps t{left_neighbours(w.prev, w.cur), w.cur, right_neighbours(w.cur, next)};
        w = Window{w.cur, next};
        return t;
    };
    ptrdiff_t b = kBlock;
    for (; b + kBlock < stop; b += kBlock) {
        auto taps_of = [&](const uint32_t* row, int ky) {
            return slide(ky, load(row + b + kBlock));
        };
        store(out + b, kernel_sum<HasAbove, HasBelow>(c, rows, taps_of));
    }
    // The last block needs one column beyond itself, `stop`, which lies in the
    // row; the rest of the block after it may not.
    auto last_taps = [&](const uint32_t* row, int ky) {
        return slide(ky, load_first_lane(row + stop));
    };
    store(out + b, kernel_sum<HasAbove, HasBelow>(c, rows, last_taps));
}

struct RowPlan {
    GuardedLanes left;
    ptrdiff_t stop;
    GuardedLanes remainder;
};

template <bool HasAbove, bool HasBelow>
CONV_TA_INLINE void convolve_row(const Rows& rows, uint32_t* out, const RowPlan& plan,
                                 const Coefficients& c) {
    guarded_band<HasAbove, HasBelow>(rows, out, plan.left, c);
    sweep_row<HasAbove, HasBelow>(rows, out, plan.stop, c);
    if (plan.remainder.columns > 0)
        guarded_band<HasAbove, HasBelow>(rows, out, plan.remainder, c);
}

void convolve_wide(ptrdiff_t height, ptrdiff_t width, const uint32_t* input, uint32_t* output,
                   const int32_t* kernel) {
    Coefficients c;
    for (int i = 0; i < 9; ++i)
        c.k[i] = splat(static_cast<uint32_t>(kernel[i]));
    if (height <= 0)
        return;

    const ColumnPlan columns = plan_columns(width);
    const RowPlan plan{guarded_lanes(columns.left, width), columns.stop,
                       guarded_lanes(columns.remainder, width)};
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
