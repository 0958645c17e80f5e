// Each level's primitives on their own (src/isa/), compiled once per level:
// every lane of both shifts, the masked first-lane moves at every count with
// the element after the last one on a guard page, and at a level that
// streams, the realigning permute at every lead; at a level that aligns
// rows, the moves of a segment's last lanes at every lead with the element
// before the first one on a guard page. The library's suite runs
// them inside whole images; this pins each one to its promise.
#include "reference/guarded.h"
#include "src/isa/isa.h"

#include <cstdint>
#include <cstdio>

namespace isa = conv_ta::isa;
using conv_ta_reference::Flush;
using conv_ta_reference::GuardedBuffer;

namespace {

constexpr int kL = isa::kRegisterLanes;
int failures = 0;

void expect(bool ok, const char* what, int at) {
    if (!ok) {
        std::fprintf(stderr, "%s wrong at %d\n", what, at);
        ++failures;
    }
}

isa::Register lanes(std::uint32_t first) {
    isa::Register r{};
    for (int i = 0; i < kL; ++i)
        r[i] = first + static_cast<std::uint32_t>(i);
    return r;
}

} // namespace

int primitives_test() {
    const isa::Register a = lanes(100), b = lanes(200);
    const isa::Register last = isa::last_then_first(a, b), rest = isa::rest_then_first(a, b);
    for (int i = 0; i < kL; ++i) {
        expect(last[i] == (i == 0 ? a[kL - 1] : b[i - 1]), "last_then_first", i);
        expect(rest[i] == (i == kL - 1 ? b[0] : a[i + 1]), "rest_then_first", i);
    }

    for (int count = 0; count <= kL; ++count) {
        // p + count is the end of the elements: the next one faults.
        GuardedBuffer in(2 * kL, Flush::End), out(2 * kL, Flush::End);
        std::uint32_t* p = reinterpret_cast<std::uint32_t*>(in.data()) + 2 * kL - count;
        std::uint32_t* q = reinterpret_cast<std::uint32_t*>(out.data()) + 2 * kL - count;
        for (int i = 0; i < 2 * kL; ++i) {
            in.data()[i] = 1000 + i;
            out.data()[i] = -1;
        }
        const isa::Register loaded = isa::load_first_lanes(p, count);
        for (int i = 0; i < kL; ++i)
            expect(loaded[i] == (i < count ? p[i] : 0u), "load_first_lanes", count * 100 + i);
        isa::store_first_lanes(q, a, count);
        for (int i = -kL; i < count; ++i)
            expect(q[i] == (i < 0 ? ~0u : a[i]), "store_first_lanes", count * 100 + i);
    }

#if CONV_TA_ALIGNS
    for (int lead = 0; lead < kL; ++lead) {
        // p is the start of the elements: the one before faults.
        GuardedBuffer in(kL, Flush::Start), out(kL, Flush::Start);
        const auto* p = reinterpret_cast<const std::uint32_t*>(in.data());
        auto* q = reinterpret_cast<std::uint32_t*>(out.data());
        for (int i = 0; i < kL; ++i) {
            in.data()[i] = 1000 + i;
            out.data()[i] = -1;
        }
        const isa::Register loaded = isa::load_lanes_from(p, lead);
        for (int i = 0; i < kL; ++i)
            expect(loaded[i] == (i < lead ? 0u : p[i - lead]), "load_lanes_from", lead * 100 + i);
        isa::store_lanes_from(q, a, lead);
        for (int i = 0; i < kL; ++i)
            expect(q[i] == (i < kL - lead ? a[lead + i] : ~0u), "store_lanes_from", lead * 100 + i);
    }
#endif

#if CONV_TA_STREAMS
    for (int lead = 0; lead <= kL; ++lead) {
        const isa::Register index = lanes(static_cast<std::uint32_t>(lead));
        const isa::Register got = isa::lanes_from(a, b, index);
        for (int i = 0; i < kL; ++i)
            expect(got[i] == (lead + i < kL ? a[lead + i] : b[lead + i - kL]), "lanes_from",
                   lead * 100 + i);
    }
    GuardedBuffer line(kL, Flush::End); // a whole page's end: 64-byte aligned
    isa::store_streaming(reinterpret_cast<std::uint32_t*>(line.data()), b);
    isa::finish_streaming();
    for (int i = 0; i < kL; ++i)
        expect(static_cast<std::uint32_t>(line.data()[i]) == b[i], "store_streaming", i);
#endif
    return failures;
}
