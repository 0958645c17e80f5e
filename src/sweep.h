// The arithmetic of the wide path: kRows consecutive output rows computed
// left to right, one 16-column segment at a time, through a sliding window
// that makes each column's neighbours by shifting lanes between segments.
// Each input row's segment is loaded once and weighed once for every output
// row it lies around; the three bands of the column plan differ only in
// what the window is fed at the row's two ends. Every band stores the kernel
// sum and never reads the output.
#ifndef CONV_TA_SWEEP_H
#define CONV_TA_SWEEP_H

#include "column_plan.h"
#include "row_plan.h"
#include "vec.h"

namespace conv_ta {

// Rows two at a time share their four input rows' loads and one product in
// six (see shares()); below AVX-512 the two windows do not fit the level's
// sixteen registers.
inline constexpr bool kPairRows = kRegisters == 1;
inline constexpr LevelTraits kLevel{kStreams, kPairRows, kAligns};

// How the kernel's left and right columns compare, row by row. In a
// symmetric kernel (box, Gaussian, Laplacian, Sobel down) they are equal, in
// an antisymmetric one (Sobel across) opposite: either way each segment's
// share for the column on its left is that for the column on its right, or
// its negation, so one product in three goes (doc/performance.md). Told
// from the nine values at each call, with wrapping negation; a kernel whose
// outer columns are zero counts as symmetric.
enum class Symmetry { General, Symmetric, Antisymmetric };

CONV_TA_INLINE Symmetry symmetry_of(const uint32_t* k) {
    if (k[0] == k[2] && k[3] == k[5] && k[6] == k[8])
        return Symmetry::Symmetric;
    if (k[0] == 0u - k[2] && k[3] == 0u - k[5] && k[6] == 0u - k[8])
        return Symmetry::Antisymmetric;
    return Symmetry::General;
}

// The nine coefficients in every lane, copied before any output is written;
// and for rows in pairs, each kernel column's top and bottom coefficient
// less its middle one.
struct Coefficients {
    Vec k[9];
    Vec top_less_middle[3], bottom_less_middle[3];
};

CONV_TA_INLINE Coefficients splat_coefficients(const uint32_t* kernel) {
    Coefficients c;
    for (int i = 0; i < 9; ++i)
        c.k[i] = splat(kernel[i]);
    if constexpr (kPairRows) {
        for (int kx = 0; kx < 3; ++kx) {
            const uint32_t middle = kernel[3 + kx];
            c.top_less_middle[kx] = splat(kernel[kx] - middle);
            c.bottom_less_middle[kx] = splat(kernel[6 + kx] - middle);
        }
    }
    return c;
}

// Which neighbour rows the output rows have: the first and last rows of the
// image leave out the kernel row that would weigh a row outside it.
enum class RowForm { Full, Top, Bottom, Single };

// The input rows around kRows consecutive output rows: in[0] is the row
// above the first, in[kRows + 1] the row below the last. A row the form
// leaves out is never touched.
template <int kRows>
struct Rows {
    const uint32_t* in[kRows + 2];
};

template <int kRows, RowForm kForm>
constexpr bool has_input_row(int i) {
    const bool above = kForm == RowForm::Full || kForm == RowForm::Bottom;
    const bool below = kForm == RowForm::Full || kForm == RowForm::Top;
    return (i > 0 || above) && (i < kRows + 1 || below);
}

// What the input columns of one segment give the output row, each weighed by
// one kernel column and summed down the kernel:
//  - to_right: by kernel column 0, owed to the output column on its right;
//  - own:      by kernel column 1, owed to the output column itself;
//  - to_left:  by kernel column 2, owed to the output column on its left.
// The coefficient is the same in every lane, so weighing before shifting
// gives the same value, and summing first leaves two shifts per segment.
// Unless the kernel is General, to_left is left out: it is to_right, or its
// negation.
struct Shares {
    Vec to_right, own, to_left;
};

template <int kRows>
struct SharesOf {
    Shares row[kRows];
};

// The shares of one segment for each output row; segment_of(row) loads an
// input row's segment. Output row j takes input row j + ky by kernel row ky.
template <int kRows, RowForm kForm, Symmetry kSymmetry, class SegmentOf>
CONV_TA_INLINE SharesOf<kRows> shares(const Coefficients& c, const Rows<kRows>& rows,
                                      SegmentOf&& segment_of) {
    Vec v[kRows + 2] = {};
    for (int i = 0; i < kRows + 2; ++i)
        if (has_input_row<kRows, kForm>(i))
            v[i] = in_register(segment_of(rows.in[i]));
    SharesOf<kRows> s{};
    if constexpr (kRows == 2 && kForm == RowForm::Full) {
        // Down one kernel column with coefficients t, m, b over segments v0-v3:
        //   upper = t v0 + m v1 + b v2 = t v0 + m (v1 + v2) + (b - m) v2
        //   lower = t v1 + m v2 + b v3 = b v3 + m (v1 + v2) + (t - m) v1
        // five products instead of six, exact in wrapping arithmetic.
        const Vec middle_rows = v[1] + v[2];
        auto column = [&](int kx, Vec& upper, Vec& lower) CONV_TA_INLINE_LAMBDA {
            const Vec shared = c.k[3 + kx] * middle_rows;
            upper = c.k[kx] * v[0] + shared + c.bottom_less_middle[kx] * v[2];
            lower = c.k[6 + kx] * v[3] + shared + c.top_less_middle[kx] * v[1];
        };
        column(0, s.row[0].to_right, s.row[1].to_right);
        column(1, s.row[0].own, s.row[1].own);
        if constexpr (kSymmetry == Symmetry::General)
            column(2, s.row[0].to_left, s.row[1].to_left);
        return s;
    }
    for (int j = 0; j < kRows; ++j) {
        for (int ky = 0; ky < 3; ++ky) {
            if (!has_input_row<kRows, kForm>(j + ky))
                continue;
            s.row[j].to_right += c.k[3 * ky] * v[j + ky];
            s.row[j].own += c.k[3 * ky + 1] * v[j + ky];
            if constexpr (kSymmetry == Symmetry::General)
                s.row[j].to_left += c.k[3 * ky + 2] * v[j + ky];
        }
    }
    return s;
}

// A row's segments seen through a window: the one before and the current
// one, each loaded and weighed once.
template <Symmetry kSymmetry>
struct Window {
    Shares prev, cur;

    // The part of the current segment's sum that the next segment has no
    // share in: ( prev15, cur0, ..., cur14 ) of to_right + own.
    CONV_TA_INLINE Vec left_part() const {
        return left_neighbours(prev.to_right, cur.to_right) + cur.own;
    }

    // The current segment's kernel sum, given the next one; then moves on:
    // left_part() + ( cur1, ..., next0 ) of to_left.
    CONV_TA_INLINE Vec slide(const Shares& next) { return slide(left_part(), next); }
    CONV_TA_INLINE Vec slide(const Vec& left, const Shares& next) {
        Vec sum;
        if constexpr (kSymmetry == Symmetry::General)
            sum = left + right_neighbours(cur.to_left, next.to_left);
        else if constexpr (kSymmetry == Symmetry::Symmetric)
            sum = left + right_neighbours(cur.to_right, next.to_right);
        else
            sum = left - right_neighbours(cur.to_right, next.to_right);
        prev = cur;
        cur = next;
        return sum;
    }
};

// Cached and Aligned differ only in the left band: 16 columns, or up to a
// line of the input (column_plan.h).
enum class Sweep { Cached, Aligned, Fetching, Streaming };

// Where the interior blocks' results go: each block in its place.
struct OrdinaryStores {
    uint32_t* out;
    CONV_TA_INLINE void operator()(ptrdiff_t b, Vec sum) const { store(out + b, sum); }
    CONV_TA_INLINE void finish(ptrdiff_t) const {}
    static void fence() {}
};

template <Sweep kSweep>
struct StoresFor {
    using type = OrdinaryStores;
};

#if CONV_TA_STREAMS
static_assert(kRegisters == 1, "streaming realigns one register per segment");

// Where the interior blocks' results go on a large image: to memory with
// streaming stores, so that no output line is read before it is written and
// none pushes input out of the caches. Each aligned 64-byte line takes the
// last `lead` lanes of one block's result and the first 16 - lead of the
// next; the interior's two unaligned ends get ordinary stores.
class StreamingStores {
  public:
    StreamingStores() = default;

    // out is the output row; the interior starts at its column 16.
    CONV_TA_INLINE explicit StreamingStores(uint32_t* out) : out_(out) {
        lead_ = static_cast<int>(elements_to_line(out + kBlock));
        index_ = Register{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15} +
                 static_cast<uint32_t>(lead_); // lead, lead + 1, ..., lead + 15
    }

    CONV_TA_INLINE void operator()(ptrdiff_t b, Vec sum) {
        if (b == kBlock)
            store_first_lanes(out_ + b, sum, lead_); // the lanes before the first line
        else
            isa::store_streaming(out_ + b - kBlock + lead_,
                                 isa::lanes_from(previous_, sum.r[0], index_));
        previous_ = sum.r[0];
    }

    // b is the last block: its lanes after the last whole line.
    CONV_TA_INLINE void finish(ptrdiff_t b) {
        const Vec rest{{isa::lanes_from(previous_, Register{}, index_)}};
        store_first_lanes(out_ + b + lead_, rest, kLanes - lead_);
    }

    // After the last row: orders the streaming stores like ordinary ones.
    static CONV_TA_INLINE void fence() { isa::finish_streaming(); }

  private:
    uint32_t* out_ = nullptr;
    int lead_ = kLanes; // 1 to 16
    Register index_{};
    Register previous_{};
};

template <>
struct StoresFor<Sweep::Streaming> {
    using type = StreamingStores;
};
#endif

// kRows consecutive output rows, `width` elements apart, each left to right.
// The row tests are in kForm; the column tests are all at the two ends:
//  - column -1 lies outside the row, so the window starts from zeros; a left
//    band narrower than 16 is the last lanes of a segment whose first lanes,
//    before the row, are neither read nor written and hold zero;
//  - the remainder is read with the lanes past the row's end masked off, so
//    they hold zero and stand for the columns beyond;
//  - every interior block has both neighbour columns inside the row, so the
//    sweep between them tests nothing.
template <int kRows, RowForm kForm, Symmetry kSymmetry, Sweep kSweep = Sweep::Cached>
CONV_TA_INLINE void convolve_rows(const Rows<kRows>& rows, uint32_t* out, ptrdiff_t width,
                                  const ColumnPlan& plan, ptrdiff_t band, const Coefficients& c) {
    const int lead = static_cast<int>(kBlock - band);               // 0 to 15
    const int remainder = static_cast<int>(plan.remainder_columns); // 0 to 16
    auto segment_at = [&](ptrdiff_t column) CONV_TA_INLINE_LAMBDA {
        return shares<kRows, kForm, kSymmetry>(
            c, rows, [&](const uint32_t* row) CONV_TA_INLINE_LAMBDA { return load(row + column); });
    };
    const SharesOf<kRows> tail = remainder == 0
                                     ? SharesOf<kRows>{}
                                     : shares<kRows, kForm, kSymmetry>(
                                           c, rows, [&](const uint32_t* row) CONV_TA_INLINE_LAMBDA {
                                               return load_first_lanes(row + plan.stop, remainder);
                                           });
    auto out_row = [&](int j) CONV_TA_INLINE_LAMBDA { return out + j * width; };

    Window<kSymmetry> window[kRows];
    const SharesOf<kRows> first =
        shares<kRows, kForm, kSymmetry>(c, rows, [&](const uint32_t* row) CONV_TA_INLINE_LAMBDA {
            return load_lanes_from(row, lead);
        });
    for (int j = 0; j < kRows; ++j)
        window[j] = Window<kSymmetry>{Shares{}, first.row[j]};

    // After the left band comes the first interior block, or the remainder.
    const bool has_blocks = plan.stop > band;
    const SharesOf<kRows> second = has_blocks ? segment_at(band) : tail;
    for (int j = 0; j < kRows; ++j)
        store_lanes_from(out_row(j), window[j].slide(second.row[j]), lead);

    if (has_blocks) {
        using Stores = typename StoresFor<kSweep>::type;
        Stores stores[kRows];
        for (int j = 0; j < kRows; ++j)
            stores[j] = Stores{out_row(j)};
        ptrdiff_t b = band;
        for (; b + kBlock < plan.stop; b += kBlock) {
            // Input rows 2 and on are those the rows above did not read.
            if constexpr (kSweep == Sweep::Fetching || kSweep == Sweep::Streaming)
                for (int i = 2; i < kRows + 2; ++i)
                    __builtin_prefetch(rows.in[i] + b + kFetchAhead);
            if constexpr (kSweep == Sweep::Streaming) {
                // Summed before the next segment's loads, the part owed by the
                // segments already in hand ran odd-width rows a quarter faster
                // (doc/performance.md); elsewhere it gained nothing.
                Vec left[kRows];
                for (int j = 0; j < kRows; ++j)
                    left[j] = window[j].left_part();
                const SharesOf<kRows> next = segment_at(b + kBlock);
                for (int j = 0; j < kRows; ++j)
                    stores[j](b, window[j].slide(left[j], next.row[j]));
            } else {
                const SharesOf<kRows> next = segment_at(b + kBlock);
                for (int j = 0; j < kRows; ++j)
                    stores[j](b, window[j].slide(next.row[j]));
            }
        }
        // The last block's right-hand neighbour is the remainder's first column.
        for (int j = 0; j < kRows; ++j) {
            stores[j](b, window[j].slide(tail.row[j]));
            stores[j].finish(b);
        }
    }

    if (remainder > 0)
        for (int j = 0; j < kRows; ++j)
            store_first_lanes(out_row(j) + plan.stop, window[j].slide(Shares{}), remainder);
}

// One image's arguments, for sweeping its rows. The coefficients stay the
// entry point's local: a copy held in this struct ran rows of 16 columns a
// third slower (doc/performance.md).
template <Symmetry kSymmetry>
struct Image {
    const uint32_t* input;
    uint32_t* output;
    ptrdiff_t height, width;
    ColumnPlan columns; // with the left band of 16
    const Coefficients& c;

    CONV_TA_INLINE const uint32_t* row(ptrdiff_t y) const { return input + y * width; }

    template <RowForm kForm>
    CONV_TA_INLINE void one_row(ptrdiff_t y) const {
        const Rows<1> rows{
            {kForm == RowForm::Full || kForm == RowForm::Bottom ? row(y - 1) : nullptr, row(y),
             kForm == RowForm::Full || kForm == RowForm::Top ? row(y + 1) : nullptr}};
        convolve_rows<1, kForm, kSymmetry>(rows, output + y * width, width, columns, kBlock, c);
    }

    // The full-form rows of `range`, kRows at a time, then the stores' fence.
    template <int kRows, Sweep kSweep>
    CONV_TA_INLINE void sweep(RowRange range) const {
        if (range.empty())
            return;
        for (ptrdiff_t y = range.begin; y < range.end; y += kRows) {
            Rows<kRows> rows;
            for (int i = 0; i < kRows + 2; ++i)
                rows.in[i] = row(y - 1 + i);
            // The aligned sweep starts the interior on a line of the first
            // output row's own input row; the others keep the band of 16, on
            // which the streaming stores' realignment rests.
            if constexpr (kSweep == Sweep::Aligned) {
                const ptrdiff_t band = left_band_for(rows.in[1]);
                convolve_rows<kRows, RowForm::Full, kSymmetry, kSweep>(
                    rows, output + y * width, width, plan_columns(width, band), band, c);
            } else {
                convolve_rows<kRows, RowForm::Full, kSymmetry, kSweep>(rows, output + y * width,
                                                                       width, columns, kBlock, c);
            }
        }
        StoresFor<kSweep>::type::fence();
    }
};

} // namespace conv_ta

#endif
