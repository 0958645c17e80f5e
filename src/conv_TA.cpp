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
// row's two ends. Rows are computed two at a time where that measured
// faster, each segment of their four input rows loaded once for both and
// one product in six saved.
//
// All three bands store the kernel sum and never read the output, so the
// output needs no initialising and no element depends on which band
// computed it.
#include "conv_TA.h"

#include "column_plan.h"
#include "vec.h"

#include <type_traits>

namespace conv_ta {
namespace {

// The nine coefficients, each in every lane, copied before any output is
// written so that the sweep never goes back to `kernel`; and for two rows at
// a time, the top and bottom coefficient of each kernel column less its
// middle one.
struct Coefficients {
    Vec k[9];
    Vec top_less_middle[3], bottom_less_middle[3];
};

// How the interior of a row is swept: the images that stay in the caches
// from one call to the next are swept as they are; large ones, from 2^21
// elements (8 MiB a buffer) on, need two things to keep the sweep at the
// speed of memory:
//  - Fetching: the hardware prefetcher alone leaves the sweep waiting at
//    every page of the newest input rows, since it does not follow a
//    stream across pages, so the sweep fetches those rows 8 KiB ahead of
//    where it reads;
//  - Streaming: ordinary stores read each output line before writing it and
//    keep it in the caches, pushing out the input; the interior of rows of
//    256 columns or more is written with non-temporal stores instead, where
//    the build's instruction set allows (CONV_TA_CAN_STREAM), and the
//    newest input rows are fetched ahead as above. Narrower rows leave too
//    few whole lines to stream.
// In cache both would only cost: the fetches take load slots from the
// sweep, and streamed output would have to come back from memory.
// Measured in alternating runs, time relative to memcpy, cached -> fetching
// -> streaming: 2048x2048 1.7 -> 1.25 -> 1.02, 2048x2049 2.1 -> 1.8 -> 1.05,
// 8192x1024 1.7 -> 1.03 -> 0.86. Above 2^23 elements the CPUs measured
// differ: on one, 4096x4096 went from 1.15 to 1.21 when streamed; on
// another, 4096x4096 from 1.47 to 0.86, 8192x8192 from 1.49 to 1.02 and
// 3001x2999 from 1.73 to 1.20, so every large output streams. Where the
// last-level cache is far larger (480 MiB on a third CPU), an image of 2^22
// elements stays in it between calls and 2048x2048 ran 1.04 cached against
// 1.24 streamed, while 4096x4096 (1.14 -> 0.74) and 8192x8192 (1.74 ->
// 1.26) still gained. Knowing the cache's size would take a cpuid on every
// call, so the one threshold stands.
enum class Sweep { Cached, Fetching, Streaming };

// At AVX-512 the cached sweep computes two output rows at a time, and so
// does the streaming sweep on rows of kStreamPairsFromWidth columns or more.
// The two share their four input rows, each segment loaded once for
// both, and one product in six (see `shares`): where the multiplies are the
// slowest part of the sweep that is most of the gain, and on long rows,
// whose three input rows and output row no longer fit in L1, the shared
// loads are. Measured in alternating runs, time against one row at a time:
// on a CPU of half-rate 512-bit multiplies 256x256 0.91, 1024x1024 0.92,
// 65536x16 0.90, 4096x17 0.95; on one of full-rate multiplies, where only
// long rows were paired, 16x65536 0.81, 16x16384 0.83, 128x4096 0.82. In the
// fetching sweep two rows at a time were slower (16384x255 1.5; 4096x4096
// 1.17 at full rate), so there rows go one at a time; in the streaming
// sweep, where memory sets the pace, they were too on all but the longest
// rows (time as a ratio to memcpy, paired -> one at a time, full rate:
// 2048x2048 1.38 -> 1.02 and 1.65 -> 1.28, 2048x2049 1.62 -> 1.01,
// 4096x2048 1.37 -> 0.90, 4096x4096 1.23 -> 1.22 and 1.20 -> 1.05; from
// 8192 columns on the two were within the noise, and 64x65536 ran 1.24 ->
// 1.37, so rows that long stay paired). On a CPU that issues every 512-bit
// instruction on the same two ports, two rows take 51 issue slots per
// segment (two for each of the 15 multiplies, 17 adds, 4 shifts) and ran at
// 0.93 of that bound. Even and odd columns computed apart with 52-bit
// multiply-adds, which fold the adds into the products, would take about 46
// by count: under a tenth saved, from an extension outside the portable
// AVX-512 level. There the multiplies set the pace even out of cache, and
// streamed pairs were faster at every width (2048x2048 1.14-1.21 ->
// 1.28-1.32, 4096x2048 1.20-1.22 -> 1.30-1.34, 8192x8192 1.16-1.24 ->
// 1.33-1.40, 64x65536 1.08-1.10 -> 1.14-1.29); below 8192 columns the
// threshold takes the larger gain, that of full-rate units. Below AVX-512 a
// segment takes two or four of only 16 registers, and the two rows' windows
// and coefficients do not fit in them: rows of 4096 columns and more, paired
// once at every level, ran 1.05 (AVX2) to 2.8 (SSE) times as long as one
// row at a time.
inline constexpr bool kTwoRows = kRegisters == 1;

inline constexpr ptrdiff_t kLargeFrom = ptrdiff_t{1} << 21; // elements
inline constexpr ptrdiff_t kFetchAhead = 2048;              // elements, 8 KiB
#if CONV_TA_CAN_STREAM
inline constexpr ptrdiff_t kStreamFromWidth = 256;
inline constexpr ptrdiff_t kStreamPairsFromWidth = 8192;
#endif

// The sweeps that fetch ahead run on output rows 1 up to this one: row y
// reads row y + 1 up to column `stop` - 1 < width and fetches kFetchAhead
// elements beyond, which must stay inside the input's height * width.
constexpr ptrdiff_t fetching_rows_end(ptrdiff_t height, ptrdiff_t width) {
    return height - 2 - (kFetchAhead + width - 1) / width;
}

// The last fetch, from the last such row, against the input's end.
constexpr bool fetches_inside(ptrdiff_t height, ptrdiff_t width) {
    const ptrdiff_t last_row = fetching_rows_end(height, width) - 1;
    return last_row < 1 || (last_row + 1) * width + (width - 1) + kFetchAhead < height * width;
}
static_assert(fetches_inside(1031, 2049) && fetches_inside(65537, 49) &&
              fetches_inside(2, 1 << 22));
static_assert(fetches_inside(1024, 2048) && fetches_inside(2048, 2047) &&
              fetches_inside(4, 1 << 20));
static_assert(fetches_inside(131072, 16) && fetches_inside(3, 2048) && fetches_inside(5, 700000));

// The input rows around N consecutive output rows: in[0] is the row above
// the first of them, in[N + 1] the row below the last. Whether those two
// exist is decided once per call, by the caller's choice of template
// arguments; an absent row is never touched.
template <int N>
struct Rows {
    const uint32_t* in[N + 2];
};

template <int N, bool HasAbove, bool HasBelow>
constexpr bool has_input_row(int i) {
    return (i > 0 || HasAbove) && (i < N + 1 || HasBelow);
}

// What the input columns of one 16-column segment give the output row, each
// column weighed by one column of the kernel and summed down the kernel:
//  - to_right: by kernel column 0, owed to the output column on its right;
//  - own:      by kernel column 1, owed to the output column itself;
//  - to_left:  by kernel column 2, owed to the output column on its left.
// The coefficients are the same in every lane, so weighing a column before
// or after shifting it to its neighbour gives the same value, and summing
// first leaves two shifts per segment instead of two per input row.
struct Shares {
    Vec to_right, own, to_left;
};

// The shares of one segment for each of N output rows.
template <int N>
struct SharesOf {
    Shares row[N];
};

// segment_of(row) yields the segment of an input row. Each input row's
// segment is loaded once and weighed for every output row it lies around:
// output row j takes input row j + ky by kernel row ky. The top and bottom
// rows of the image so leave out the kernel row that would weigh a row
// outside it.
template <int N, bool HasAbove, bool HasBelow, class SegmentOf>
CONV_TA_INLINE SharesOf<N> shares(const Coefficients& c, const Rows<N>& rows,
                                  SegmentOf&& segment_of) {
    Vec v[N + 2] = {};
    for (int i = 0; i < N + 2; ++i)
        if (has_input_row<N, HasAbove, HasBelow>(i))
            v[i] = in_register(segment_of(rows.in[i]));
    SharesOf<N> s{};
    if constexpr (N == 2 && HasAbove && HasBelow) {
        // Down one kernel column with coefficients t, m, b (top, middle,
        // bottom), over input segments v0 to v3:
        //   upper row = t v0 + m v1 + b v2 = t v0 + m (v1 + v2) + (b - m) v2
        //   lower row = t v1 + m v2 + b v3 = b v3 + m (v1 + v2) + (t - m) v1
        // five products instead of six, exact in wrapping arithmetic.
        const Vec middle_rows = v[1] + v[2];
        auto column = [&](int kx, Vec& upper, Vec& lower) CONV_TA_INLINE_LAMBDA {
            const Vec shared = c.k[3 + kx] * middle_rows;
            upper = c.k[kx] * v[0] + shared + c.bottom_less_middle[kx] * v[2];
            lower = c.k[6 + kx] * v[3] + shared + c.top_less_middle[kx] * v[1];
        };
        column(0, s.row[0].to_right, s.row[1].to_right);
        column(1, s.row[0].own, s.row[1].own);
        column(2, s.row[0].to_left, s.row[1].to_left);
        return s;
    }
    for (int j = 0; j < N; ++j) {
        for (int ky = 0; ky < 3; ++ky) {
            if (!has_input_row<N, HasAbove, HasBelow>(j + ky))
                continue;
            s.row[j].to_right += c.k[3 * ky] * v[j + ky];
            s.row[j].own += c.k[3 * ky + 1] * v[j + ky];
            s.row[j].to_left += c.k[3 * ky + 2] * v[j + ky];
        }
    }
    return s;
}

// The kernel sum of a segment's 16 output columns, from its own shares and
// those of the segments before and after it.
CONV_TA_INLINE Vec kernel_sum(const Shares& prev, const Shares& cur, const Shares& next) {
    // ( prev15, cur0, ..., cur14 ) of to_right + own + ( cur1, ..., cur15, next0 ) of to_left
    return left_neighbours(prev.to_right, cur.to_right) + cur.own +
           right_neighbours(cur.to_left, next.to_left);
}

// The segments of a row seen through a sliding window: the one before, the
// current one. Each segment is loaded and weighed once.
struct Window {
    Shares prev, cur;

    // The current segment's kernel sum, given the segment after it; then
    // moves on to that one.
    CONV_TA_INLINE Vec slide(const Shares& next) {
        const Vec sum = kernel_sum(prev, cur, next);
        prev = cur;
        cur = next;
        return sum;
    }
};

// Where the interior blocks' results go: each block in its place.
struct OrdinaryStores {
    uint32_t* out;
    CONV_TA_INLINE void operator()(ptrdiff_t b, Vec sum) const { store(out + b, sum); }
    CONV_TA_INLINE void finish(ptrdiff_t) const {}
};

#if CONV_TA_CAN_STREAM
// Where the interior blocks' results go on a large image: to memory with
// non-temporal stores, so that no output line is read before it is written
// and none pushes input out of the caches. The output row starts anywhere,
// so each aligned 64-byte chunk takes the last `lead` lanes of one block's
// result and the first 16 - lead of the next; the interior's two unaligned
// ends get ordinary stores.
class StreamingStores {
  public:
    StreamingStores() = default;

    // out is the output row; the interior starts at its column 16.
    CONV_TA_INLINE explicit StreamingStores(uint32_t* out) : out_(out) {
        const uintptr_t offset = reinterpret_cast<uintptr_t>(out + kBlock) / 4 % kLanes;
        lead_ = static_cast<int>(kLanes - offset);
        // ( lead, lead + 1, ..., lead + 15 )
        index_ = splat(static_cast<uint32_t>(lead_)) + kLaneIndex;
    }

    CONV_TA_INLINE void operator()(ptrdiff_t b, Vec sum) {
        if (b == kBlock) {
            // The lanes before the first aligned address.
            store_first_lanes(out_ + b, sum, lead_);
        } else {
            // The chunk from lane `lead` of the previous block's result.
            store_streaming(out_ + b - kBlock + lead_, lanes_from(previous_, sum, index_));
        }
        previous_ = sum;
    }

    // b is the last block: the lanes of its result after the last aligned
    // chunk.
    CONV_TA_INLINE void finish(ptrdiff_t b) {
        store_first_lanes(out_ + b + lead_, lanes_from(previous_, Vec{}, index_), kLanes - lead_);
    }

  private:
    uint32_t* out_ = nullptr;
    int lead_ = kLanes; // 1 to 16
    Vec index_{};
    Vec previous_{};
};
#endif

// N consecutive output rows, each left to right; the output rows lie
// `width` elements apart. The row tests were made by the caller in the
// template arguments; the column tests are all at the two ends:
//  - the left band's left-hand neighbour, column -1, lies outside the row, so
//    the window starts from a segment of zeros;
//  - the remainder is read with the lanes past the row's end masked off, so
//    they hold zero, give nothing to their neighbours, and the zeros after it
//    stand for the columns beyond;
//  - every interior block has both neighbour columns inside the row, so the
//    sweep between them tests nothing.
template <int N, bool HasAbove, bool HasBelow, Sweep How = Sweep::Cached>
CONV_TA_INLINE void convolve_rows(const Rows<N>& rows, uint32_t* out, ptrdiff_t width,
                                  const ColumnPlan& plan, const Coefficients& c) {
    const int remainder = static_cast<int>(plan.remainder.columns()); // 0 to 16
    auto segment_at = [&](ptrdiff_t column) CONV_TA_INLINE_LAMBDA {
        return shares<N, HasAbove, HasBelow>(
            c, rows, [&](const uint32_t* row) CONV_TA_INLINE_LAMBDA { return load(row + column); });
    };
    const SharesOf<N> tail = remainder == 0
                                 ? SharesOf<N>{}
                                 : shares<N, HasAbove, HasBelow>(
                                       c, rows, [&](const uint32_t* row) CONV_TA_INLINE_LAMBDA {
                                           return load_first_lanes(row + plan.stop, remainder);
                                       });
    auto out_row = [&](int j) CONV_TA_INLINE_LAMBDA { return out + j * width; };

    Window window[N];
    const SharesOf<N> first = segment_at(0);
    for (int j = 0; j < N; ++j)
        window[j] = Window{Shares{}, first.row[j]};

    // The segment after the left band is the first interior block, or the
    // remainder when there is none.
    const bool has_blocks = plan.stop > kBlock;
    const SharesOf<N> second = has_blocks ? segment_at(kBlock) : tail;
    for (int j = 0; j < N; ++j)
        store(out_row(j), window[j].slide(second.row[j]));

    if (has_blocks) {
#if CONV_TA_CAN_STREAM
        using Stores = std::conditional_t<How == Sweep::Streaming, StreamingStores, OrdinaryStores>;
#else
        using Stores = OrdinaryStores;
#endif
        Stores stores[N];
        for (int j = 0; j < N; ++j)
            stores[j] = Stores{out_row(j)};
        ptrdiff_t b = kBlock;
        for (; b + kBlock < plan.stop; b += kBlock) {
            // Input rows 2 to N + 1 are the ones that the sweep of the
            // rows above did not read.
            if constexpr (How != Sweep::Cached)
                for (int i = 2; i < N + 2; ++i)
                    __builtin_prefetch(rows.in[i] + b + kFetchAhead);
            const SharesOf<N> next = segment_at(b + kBlock);
            for (int j = 0; j < N; ++j)
                stores[j](b, window[j].slide(next.row[j]));
        }
        // The last block's right-hand neighbour, column `stop`, is the first
        // column of the remainder.
        for (int j = 0; j < N; ++j) {
            stores[j](b, window[j].slide(tail.row[j]));
            stores[j].finish(b);
        }
    }

    if (remainder > 0)
        for (int j = 0; j < N; ++j)
            store_first_lanes(out_row(j) + plan.stop, window[j].slide(Shares{}), remainder);
}

void convolve_wide(ptrdiff_t height, ptrdiff_t width, const uint32_t* input, uint32_t* output,
                   const int32_t* kernel) {
    Coefficients c;
    for (int i = 0; i < 9; ++i)
        c.k[i] = splat(static_cast<uint32_t>(kernel[i]));
    if constexpr (kTwoRows) {
        for (int kx = 0; kx < 3; ++kx) {
            const uint32_t middle = static_cast<uint32_t>(kernel[3 + kx]);
            c.top_less_middle[kx] = splat(static_cast<uint32_t>(kernel[kx]) - middle);
            c.bottom_less_middle[kx] = splat(static_cast<uint32_t>(kernel[6 + kx]) - middle);
        }
    }
    if (height <= 0)
        return;

    const ColumnPlan plan = plan_columns(width);
    auto row = [&](ptrdiff_t y) CONV_TA_INLINE_LAMBDA { return input + y * width; };
    auto out = [&](ptrdiff_t y) CONV_TA_INLINE_LAMBDA { return output + y * width; };

    if (height == 1) {
        convolve_rows<1, false, false>(Rows<1>{nullptr, row(0), nullptr}, out(0), width, plan, c);
        return;
    }
    convolve_rows<1, false, true>(Rows<1>{nullptr, row(0), row(1)}, out(0), width, plan, c);

    // The full-form rows from y up to `end`, N at a time while N fit.
    ptrdiff_t y = 1;
    auto sweep = [&]<int N, Sweep How>(ptrdiff_t end) CONV_TA_INLINE_LAMBDA {
        for (; y + N <= end; y += N) {
            Rows<N> rows;
            for (int i = 0; i < N + 2; ++i)
                rows.in[i] = row(y - 1 + i);
            convolve_rows<N, true, true, How>(rows, out(y), width, plan, c);
        }
    };
    const ptrdiff_t elements = height * width;
    if (elements >= kLargeFrom) {
        const ptrdiff_t fetching = fetching_rows_end(height, width);
#if CONV_TA_CAN_STREAM
        // Streaming stores fault on an address off their 64-byte grid, which
        // an output that is not even 4-byte aligned would give.
        const bool aligned = reinterpret_cast<uintptr_t>(output) % sizeof(uint32_t) == 0;
        if (width >= kStreamFromWidth && aligned) {
            if constexpr (kTwoRows)
                if (width >= kStreamPairsFromWidth)
                    sweep.template operator()<2, Sweep::Streaming>(fetching);
            sweep.template operator()<1, Sweep::Streaming>(fetching);
            finish_streaming();
        }
#endif
        sweep.template operator()<1, Sweep::Fetching>(fetching);
    }
    if constexpr (kTwoRows)
        sweep.template operator()<2, Sweep::Cached>(height - 1);
    sweep.template operator()<1, Sweep::Cached>(height - 1);
    convolve_rows<1, true, false>(Rows<1>{row(height - 2), row(height - 1), nullptr},
                                  out(height - 1), width, plan, c);
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
