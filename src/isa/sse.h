// The primitives at SSE (the x86-64 baseline and x86-64-v2): a 16-lane
// segment is four registers of 4 lanes, and there are no masked moves.
#ifndef CONV_TA_ISA_SSE_H
#define CONV_TA_ISA_SSE_H

#include <stdint.h>

namespace conv_ta::isa {

inline constexpr int kRegisterLanes = 4;
typedef uint32_t Register __attribute__((vector_size(16)));
// The same lanes at the alignment of one element: rows start anywhere.
typedef uint32_t UnalignedRegister __attribute__((vector_size(16), aligned(4), may_alias));

inline __attribute__((always_inline)) void pin(Register&) {}

// (a3, b0, b1, b2)
inline __attribute__((always_inline)) Register last_then_first(Register a, Register b) {
    return __builtin_shufflevector(a, b, 3, 4, 5, 6);
}

// (a1, a2, a3, b0)
inline __attribute__((always_inline)) Register rest_then_first(Register a, Register b) {
    return __builtin_shufflevector(a, b, 1, 2, 3, 4);
}

// p[0] to p[count - 1] in lanes 0 to count - 1, 0 <= count <= 4; the other
// lanes 0, and nothing at or after p + count touched. A partial register is
// read as the four elements that end at p + count, so up to three before p
// are read too: the remainder of a row follows at least 16 of its columns.
inline __attribute__((always_inline)) Register load_first_lanes(const uint32_t* p, int count) {
    if (count <= 0)
        return Register{};
    const Register r = *reinterpret_cast<const UnalignedRegister*>(p + count - kRegisterLanes);
    const Register zero{};
    switch (count) {
    case 1:
        return __builtin_shufflevector(r, zero, 3, 4, 4, 4);
    case 2:
        return __builtin_shufflevector(r, zero, 2, 3, 4, 4);
    case 3:
        return __builtin_shufflevector(r, zero, 1, 2, 3, 4);
    default:
        return r;
    }
}

// Lanes 0 to count - 1 of r into p[0] to p[count - 1], 0 <= count <= 4.
inline __attribute__((always_inline)) void store_first_lanes(uint32_t* p, Register r, int count) {
    if (count == kRegisterLanes)
        *reinterpret_cast<UnalignedRegister*>(p) = r;
    else
        for (int lane = 0; lane < count; ++lane)
            p[lane] = r[lane];
}

// A segment that starts before the row would take masked moves across
// four registers; rows keep the left band of 16.
inline constexpr bool kAligns = false;
#define CONV_TA_ALIGNS 0

// Putting a row's results on whole 64-byte lines would take a two-source
// permute by a run-time count across four registers; ordinary stores it is.
inline constexpr bool kStreams = false;
#define CONV_TA_STREAMS 0

} // namespace conv_ta::isa

#endif
