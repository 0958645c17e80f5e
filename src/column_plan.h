// How every row of a wide image is divided into column bands: the left band
// (columns 0 to 15, or fewer), the interior blocks, and the remainder. This
// is the only place that knows where the interior starts and stops; the
// sweep takes it from here.
#ifndef CONV_TA_COLUMN_PLAN_H
#define CONV_TA_COLUMN_PLAN_H

#include <stddef.h>
#include <stdint.h>

namespace conv_ta {

// Every interior block is this many columns wide, and so at most is the
// left band.
inline constexpr ptrdiff_t kBlock = 16;

// Images narrower than this go to the host's convolution_ref.
inline constexpr ptrdiff_t kMinWideWidth = kBlock;

// For a left band of columns 0 to left_band - 1, 1 to 16 columns.
struct ColumnPlan {
    ptrdiff_t stop;              // interior blocks start at left_band + 16 k below this column
    ptrdiff_t remainder_columns; // stop to width - 1: 0 to 16 columns
};

// A block starting at b is swept without bound tests only while its
// right-hand neighbour column b + 16 lies inside the row (b < width - 16).
// The stop column is the first block start that fails this test: the
// smallest left_band + 16 k (k >= 0) that is at least width - 16.
constexpr ptrdiff_t stop_column(ptrdiff_t width, ptrdiff_t left_band = kBlock) {
    const ptrdiff_t past_band = width - kBlock - left_band;
    return past_band > 0 ? left_band + (past_band + kBlock - 1) / kBlock * kBlock : left_band;
}

// For width 16 or more and a left band of 1 to 16 columns. The three bands
// are disjoint and cover the row; the remainder is empty only at width 16
// with a left band of 16.
constexpr ColumnPlan plan_columns(ptrdiff_t width, ptrdiff_t left_band = kBlock) {
    const ptrdiff_t stop = stop_column(width, left_band);
    return ColumnPlan{stop, width - stop};
}

// How many elements from p, 4-byte aligned, up to the next 64-byte line: 1
// to 16, 16 where p starts on one.
inline ptrdiff_t elements_to_line(const void* p) {
    return kBlock - static_cast<ptrdiff_t>(reinterpret_cast<uintptr_t>(p) / 4 % kBlock);
}

// The left band of a row whose input starts at `row`, in the sweeps that
// align rows: up to where the input reaches a line, so that every interior
// block's loads lie on whole lines; 16 columns where the input is not even
// 4-byte aligned.
inline ptrdiff_t left_band_for(const void* row) {
    return reinterpret_cast<uintptr_t>(row) % 4 != 0 ? kBlock : elements_to_line(row);
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
// A narrower left band moves every block start with it.
static_assert(stop_column(16, 1) == 1 && plan_columns(16, 1).remainder_columns == 15);
static_assert(stop_column(128, 5) == 117 && plan_columns(128, 5).remainder_columns == 11);
static_assert(stop_column(129, 15) == 127 && plan_columns(129, 15).remainder_columns == 2);
static_assert(stop_column(2147483647, 1) == 2147483633);

} // namespace conv_ta

#endif
