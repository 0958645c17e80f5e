// How every row of a wide image is divided into column bands: the left band
// (columns 0 to 15), the interior blocks, and the remainder. This is the only
// place that knows where the interior stops; the sweep takes it from here.
#ifndef CONV_TA_COLUMN_PLAN_H
#define CONV_TA_COLUMN_PLAN_H

#include <stddef.h>

namespace conv_ta {

// The left band and every interior block are this many columns wide, so
// block starts stay multiples of it.
inline constexpr ptrdiff_t kBlock = 16;

// Images narrower than this go to the host's convolution_ref.
inline constexpr ptrdiff_t kMinWideWidth = kBlock;

// A half-open range of columns whose right-hand neighbours can fall outside
// the row.
struct GuardedBand {
    ptrdiff_t first;
    ptrdiff_t end;
    constexpr ptrdiff_t columns() const { return end - first; }
};

// The left band is always columns 0 to 15, whose left-hand neighbours can
// fall outside the row.
struct ColumnPlan {
    ptrdiff_t stop;        // interior blocks start at 16, 32, ... below this column
    GuardedBand remainder; // stop to width - 1
};

// A block starting at b is swept without bound tests only while its
// right-hand neighbour column b + 16 lies inside the row (b < width - 16).
// The stop column is the first block start that fails this test: the
// smallest multiple of 16 that is at least 16 and at least width - 16.
constexpr ptrdiff_t stop_column(ptrdiff_t width) {
    const ptrdiff_t past_last = width - kBlock;
    const ptrdiff_t rounded = (past_last + kBlock - 1) / kBlock * kBlock;
    return rounded > kBlock ? rounded : kBlock;
}

// Valid for width >= 16. The three bands are disjoint and cover the row, and
// the remainder holds 0 to 16 columns (none only at width 16).
constexpr ColumnPlan plan_columns(ptrdiff_t width) {
    const ptrdiff_t stop = stop_column(width);
    return ColumnPlan{stop, GuardedBand{stop, width}};
}

// The widths at which the plan changes shape.
static_assert(stop_column(16) == 16 && plan_columns(16).remainder.columns() == 0);
static_assert(stop_column(17) == 16 && plan_columns(17).remainder.columns() == 1);
static_assert(stop_column(32) == 16 && plan_columns(32).remainder.columns() == 16);
static_assert(stop_column(33) == 32 && plan_columns(33).remainder.columns() == 1);
static_assert(stop_column(48) == 32 && plan_columns(48).remainder.columns() == 16);
static_assert(stop_column(49) == 48 && stop_column(50) == 48 && stop_column(64) == 48);
static_assert(stop_column(65) == 64);
static_assert(stop_column(2147483647) == 2147483632); // no overflow at the largest width

} // namespace conv_ta

#endif
