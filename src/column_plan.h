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

struct ColumnPlan {
    ptrdiff_t stop;              // interior blocks start at 16, 32, ... below this column
    ptrdiff_t remainder_columns; // stop to width - 1: 0 to 16 columns
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

// For width 16 or more. The three bands are disjoint and cover the row; the
// remainder is empty only at width 16.
constexpr ColumnPlan plan_columns(ptrdiff_t width) {
    const ptrdiff_t stop = stop_column(width);
    return ColumnPlan{stop, width - stop};
}

// The widths at which the plan changes shape.
static_assert(stop_column(16) == 16 && plan_columns(16).remainder_columns == 0);
static_assert(stop_column(17) == 16 && plan_columns(17).remainder_columns == 1);
static_assert(stop_column(32) == 16 && plan_columns(32).remainder_columns == 16);
static_assert(stop_column(33) == 32 && plan_columns(33).remainder_columns == 1);
static_assert(stop_column(48) == 32 && plan_columns(48).remainder_columns == 16);
static_assert(stop_column(49) == 48 && stop_column(50) == 48 && stop_column(64) == 48);
static_assert(stop_column(65) == 64);
static_assert(stop_column(2147483647) == 2147483632); // no overflow at the largest width

} // namespace conv_ta

#endif
