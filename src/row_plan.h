// Which rows of a wide image each sweep covers. This is the only place that
// knows the thresholds; the entry point runs the sweeps it names, and the
// tests and conv-ta check take their shapes from it.
//
// Row 0 and the last row (each missing one neighbour row) are swept on their
// own, as is an image of one row. The rows between, the full-form rows 1 to
// height - 2, are shared out below, in the order they are swept. Images that
// stay in the caches between calls are swept as they are, from kAlignFrom
// elements on (where the level can) with each row's interior starting on a
// 64-byte line of its input; from kLargeFrom elements on, the sweep fetches
// the newest input rows ahead, and on rows of kStreamFromWidth columns or
// more writes them with streaming stores, where the level has them. Why each
// threshold lies where it does: doc/performance.md.
#ifndef CONV_TA_ROW_PLAN_H
#define CONV_TA_ROW_PLAN_H

#include <stddef.h>

namespace conv_ta {

// Below 8 MiB a buffer the output stays in the last-level cache, where
// ordinary stores, reads for ownership included, beat streaming ones to memory.
inline constexpr ptrdiff_t kLargeFrom = ptrdiff_t{1} << 21; // elements, 8 MiB a buffer
inline constexpr ptrdiff_t kFetchAhead = 2048;              // elements, 8 KiB
inline constexpr ptrdiff_t kStreamFromWidth = 256;
inline constexpr ptrdiff_t kStreamPairsFromWidth = 8192;
// Once the two buffers outgrow L2, a load that straddles two lines costs
// twice one on a line; below, and on short rows, the partial segment that
// aligning takes costs more than it saves.
inline constexpr ptrdiff_t kAlignFrom = ptrdiff_t{1} << 17; // elements, 512 KiB a buffer
inline constexpr ptrdiff_t kAlignFromWidth = 128;

// What the instruction-set level offers the plan.
struct LevelTraits {
    bool streams;    // non-temporal stores of whole lines (AVX-512)
    bool pairs_rows; // two rows' windows fit in its registers (AVX-512)
    bool aligns;     // masked moves of any lanes, for a narrower left band (AVX-512)
};

// A half-open range of full-form rows.
struct RowRange {
    ptrdiff_t begin = 0, end = 0;
    constexpr ptrdiff_t rows() const { return end - begin; }
    constexpr bool empty() const { return end <= begin; }
};

struct RowPlan {
    RowRange streamed_pairs; // streaming stores, two rows at a time
    RowRange streamed;       // streaming stores, one row at a time
    RowRange fetched;        // ordinary stores, input fetched ahead
    RowRange aligned_pairs;  // interiors on the input's lines, two rows at a time
    RowRange aligned;        // interiors on the input's lines, one row at a time
    RowRange cached_pairs;   // as they are, two rows at a time
    RowRange cached;         // as they are, one row at a time
};

// The sweeps that fetch ahead run on rows 1 up to this one: row y reads row
// y + 1 up to its last column and fetches kFetchAhead elements beyond, which
// must stay inside the input.
constexpr ptrdiff_t fetching_rows_end(ptrdiff_t height, ptrdiff_t width) {
    return height - 2 - (kFetchAhead + width - 1) / width;
}

// For height 2 or more and width 16 or more. Streaming stores need 64-byte
// aligned addresses, which an output not even 4-byte aligned cannot give.
constexpr RowPlan plan_rows(ptrdiff_t height, ptrdiff_t width, bool output_aligned,
                            LevelTraits level) {
    RowPlan plan;
    ptrdiff_t next = 1;
    // Whole steps of `step` rows from `next` while they end by `end`.
    auto take = [&next](RowRange& range, ptrdiff_t end, ptrdiff_t step) {
        const ptrdiff_t steps = end > next ? (end - next) / step : 0;
        range = RowRange{next, next + steps * step};
        next = range.end;
    };
    if (height * width >= kLargeFrom) {
        const ptrdiff_t fetching_end = fetching_rows_end(height, width);
        if (level.streams && output_aligned && width >= kStreamFromWidth) {
            if (level.pairs_rows && width >= kStreamPairsFromWidth)
                take(plan.streamed_pairs, fetching_end, 2);
            take(plan.streamed, fetching_end, 1);
        }
        take(plan.fetched, fetching_end, 1);
    }
    const bool aligns = level.aligns && height * width >= kAlignFrom && width >= kAlignFromWidth;
    if (level.pairs_rows)
        take(aligns ? plan.aligned_pairs : plan.cached_pairs, height - 1, 2);
    take(aligns ? plan.aligned : plan.cached, height - 1, 1);
    return plan;
}

// The last fetch, from the last fetching row, lies inside the input.
constexpr bool fetches_inside(ptrdiff_t height, ptrdiff_t width) {
    const ptrdiff_t last_row = fetching_rows_end(height, width) - 1;
    return last_row < 1 || (last_row + 1) * width + (width - 1) + kFetchAhead < height * width;
}
static_assert(fetches_inside(1031, 2049) && fetches_inside(65537, 49) &&
              fetches_inside(2, 1 << 22) && fetches_inside(1024, 2048) &&
              fetches_inside(2048, 2047) && fetches_inside(4, 1 << 20) &&
              fetches_inside(131072, 16) && fetches_inside(3, 2048) && fetches_inside(5, 700000));

// Where the plan changes shape, at a level that streams and pairs rows.
inline constexpr LevelTraits kAllTraits{true, true, true};
static_assert(plan_rows(1023, 2048, true, kAllTraits).fetched.empty() &&
              plan_rows(1023, 2048, true, kAllTraits).aligned_pairs.rows() == 1020);
static_assert(plan_rows(1024, 2048, true, kAllTraits).streamed.rows() == 1020 &&
              plan_rows(1024, 2048, true, kAllTraits).aligned_pairs.rows() == 2);
static_assert(plan_rows(1023, 128, true, kAllTraits).cached_pairs.rows() == 1020 &&
              plan_rows(1024, 128, true, kAllTraits).aligned_pairs.rows() == 1022 &&
              plan_rows(1024, 128, true, kAllTraits).aligned.empty());
static_assert(plan_rows(8192, 127, true, kAllTraits).cached_pairs.rows() == 8190 &&
              plan_rows(1024, 128, true, LevelTraits{true, true, false}).cached_pairs.rows() ==
                  1022);
static_assert(plan_rows(1024, 2048, false, kAllTraits).fetched.rows() == 1020);
static_assert(plan_rows(8300, 255, true, kAllTraits).fetched.rows() == 8288 &&
              plan_rows(8300, 255, true, kAllTraits).streamed.empty());
static_assert(plan_rows(256, 8192, true, kAllTraits).streamed_pairs.rows() == 252 &&
              plan_rows(257, 8192, true, kAllTraits).streamed.rows() == 1);
static_assert(plan_rows(300, 8191, true, kAllTraits).streamed_pairs.empty() &&
              plan_rows(300, 8191, true, kAllTraits).streamed.rows() == 296);
static_assert(plan_rows(2, 1 << 22, true, kAllTraits).cached.empty() &&
              plan_rows(5, 16, true, LevelTraits{false, false, false}).cached.rows() == 3);

} // namespace conv_ta

#endif
