// The image shapes that reach every sweep of the library's row plan, taken
// from the plan's own thresholds: the library's tests and conv-ta check run
// them all, so that each sweep stays covered wherever its threshold moves.
#ifndef CONV_TA_REFERENCE_SHAPES_H
#define CONV_TA_REFERENCE_SHAPES_H

#include "src/row_plan.h"

#include <cstdint>

namespace conv_ta_reference {

struct SweepShape {
    const char* why;
    std::int32_t height, width;
};

// The fewest rows of `width` columns that make an image of `elements`, plus
// `extra`; and the same for a large image.
constexpr std::int32_t rows_to_reach(std::ptrdiff_t elements, std::int32_t width,
                                     std::int32_t extra) {
    return static_cast<std::int32_t>((elements + width - 1) / width + extra);
}
constexpr std::int32_t rows_to_be_large(std::int32_t width, std::int32_t extra) {
    return rows_to_reach(conv_ta::kLargeFrom, width, extra);
}
constexpr std::int32_t rows_to_align(std::int32_t width, std::int32_t extra) {
    return rows_to_reach(conv_ta::kAlignFrom, width, extra);
}

inline constexpr std::int32_t kStreamWidth = conv_ta::kStreamFromWidth;
inline constexpr std::int32_t kPairedStreamWidth = conv_ta::kStreamPairsFromWidth;
inline constexpr std::int32_t kAlignWidth = conv_ta::kAlignFromWidth;

// Odd widths put the rows at every alignment.
inline constexpr SweepShape kSweepShapes[] = {
    {"cached, in pairs with one row over", 7, 4111},
    {"cached, just too few elements to align", rows_to_align(1003, -1), 1003},
    {"cached, rows just too short to align", rows_to_align(kAlignWidth - 1, 2), kAlignWidth - 1},
    {"aligned, the shortest rows", rows_to_align(kAlignWidth, 0), kAlignWidth},
    {"aligned, in pairs with one row over", rows_to_align(1003, 0), 1003},
    {"aligned, a single row between the first and the last", 3, 43699},
    {"aligned, just below a large image", rows_to_be_large(2049, -1), 2049},
    {"fetched, rows of two blocks", rows_to_be_large(49, 1), 49},
    {"fetched, rows just too short to stream", rows_to_be_large(kStreamWidth - 1, 0),
     kStreamWidth - 1},
    {"streamed, the shortest rows", rows_to_be_large(kStreamWidth + 1, 3), kStreamWidth + 1},
    {"streamed, many rows", rows_to_be_large(4001, 24), 4001},
    {"streamed, rows just too short for pairs", rows_to_be_large(kPairedStreamWidth - 1, 1),
     kPairedStreamWidth - 1},
    {"streamed in pairs", rows_to_be_large(kPairedStreamWidth, 0), kPairedStreamWidth},
    {"streamed in pairs with one row over", rows_to_be_large(kPairedStreamWidth + 17, 1),
     kPairedStreamWidth + 17},
    {"streamed in pairs, long rows", rows_to_be_large(110017, 0), 110017},
    {"streamed in pairs, long rows, one row over", rows_to_be_large(110017, 1), 110017},
    {"large but too few rows to fetch", 4, 600000},
};

} // namespace conv_ta_reference

#endif
