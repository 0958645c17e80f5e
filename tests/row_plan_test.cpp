// The row plan itself, at every combination of what a level offers: the
// sweeps share out the full-form rows exactly once, in order, each under its
// own conditions; and the shared shapes give every sweep rows to cover.
#include "reference/shapes.h"
#include "src/row_plan.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

using namespace conv_ta;

struct Named {
    const char* name;
    RowRange RowPlan::*range;
    int step;
};
constexpr std::array<Named, 7> kSweeps = {{
    {"streamed pairs", &RowPlan::streamed_pairs, 2},
    {"streamed", &RowPlan::streamed, 1},
    {"fetched", &RowPlan::fetched, 1},
    {"aligned pairs", &RowPlan::aligned_pairs, 2},
    {"aligned", &RowPlan::aligned, 1},
    {"cached pairs", &RowPlan::cached_pairs, 2},
    {"cached", &RowPlan::cached, 1},
}};

void expect_sound_plan(ptrdiff_t height, ptrdiff_t width, bool aligned, LevelTraits level) {
    const RowPlan plan = plan_rows(height, width, aligned, level);
    const bool large = height * width >= kLargeFrom;
    const bool streams = large && level.streams && aligned && width >= kStreamFromWidth;
    const bool aligns = level.aligns && height * width >= kAlignFrom && width >= kAlignFromWidth;
    ptrdiff_t next = 1;
    for (const Named& sweep : kSweeps) {
        const RowRange r = plan.*sweep.range;
        if (r.empty())
            continue;
        SCOPED_TRACE(std::to_string(height) + "x" + std::to_string(width) +
                     (aligned ? ", " : ", unaligned, ") + sweep.name);
        EXPECT_EQ(r.begin, next);
        EXPECT_EQ(r.rows() % sweep.step, 0);
        EXPECT_TRUE(sweep.step == 1 || level.pairs_rows);
        next = r.end;
        const bool streamed =
            sweep.range == &RowPlan::streamed_pairs || sweep.range == &RowPlan::streamed;
        EXPECT_TRUE(!streamed || streams);
        EXPECT_TRUE(sweep.range != &RowPlan::streamed_pairs || width >= kStreamPairsFromWidth);
        EXPECT_TRUE(sweep.range != &RowPlan::fetched || large);
        // The rows after those fetching ahead are all aligned, or none.
        const bool aligned_sweep =
            sweep.range == &RowPlan::aligned_pairs || sweep.range == &RowPlan::aligned;
        const bool cached_sweep =
            sweep.range == &RowPlan::cached_pairs || sweep.range == &RowPlan::cached;
        EXPECT_TRUE(!aligned_sweep || aligns);
        EXPECT_TRUE(!cached_sweep || !aligns);
        // Rows that fetch ahead stop where the fetches would pass the input.
        const bool fetches = streamed || sweep.range == &RowPlan::fetched;
        EXPECT_TRUE(!fetches || r.end <= fetching_rows_end(height, width));
    }
    EXPECT_EQ(next, height - 1) << height << "x" << width;
}

TEST(RowPlan, SharesOutEveryFullFormRowOnceUnderEachSweepsConditions) {
    for (ptrdiff_t width : {16, 49, 127, 128, 255, 256, 2049, 8191, 8192, 110017, 600000})
        for (ptrdiff_t height : {2, 3, 4, 5, 6, 7, 20, 21, 257, 1023, 1024, 1025, 8225, 65537})
            for (bool aligned : {true, false})
                for (int traits = 0; traits < 8; ++traits)
                    expect_sound_plan(
                        height, width, aligned,
                        LevelTraits{(traits & 1) != 0, (traits & 2) != 0, (traits & 4) != 0});
}

TEST(RowPlan, TheSharedShapesReachEverySweep) {
    for (const Named& sweep : kSweeps) {
        bool reached = false;
        for (const auto& s : conv_ta_reference::kSweepShapes)
            reached =
                reached || !(plan_rows(s.height, s.width, true, kAllTraits).*sweep.range).empty();
        EXPECT_TRUE(reached) << "no shared shape gives the " << sweep.name << " sweep a row";
    }
}

} // namespace
