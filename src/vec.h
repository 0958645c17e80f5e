// Sixteen 32-bit lanes, one segment of columns, in the level's registers:
// one at AVX-512, two at AVX2, four at SSE (isa/isa.h). The arithmetic is
// written once, register by register, because the compilers split a shuffle
// of a vector wider than the registers into single elements through memory.
// Lanes are unsigned so that products and sums wrap modulo 2^32 by
// definition; as bits they are the signed results the caller asked for.
#ifndef CONV_TA_VEC_H
#define CONV_TA_VEC_H

#include "isa/isa.h"

#include <stddef.h>
#include <stdint.h>

namespace conv_ta {

#define CONV_TA_INLINE inline __attribute__((always_inline))
// The same for a lambda, written after its parameter list: one left out of
// line takes the coefficients from memory on every use.
#define CONV_TA_INLINE_LAMBDA __attribute__((always_inline))

using isa::Register;
using isa::UnalignedRegister;
inline constexpr int kLanes = 16;
inline constexpr int kRegisterLanes = isa::kRegisterLanes;
inline constexpr int kRegisters = kLanes / kRegisterLanes;
inline constexpr bool kStreams = isa::kStreams;
inline constexpr bool kAligns = isa::kAligns;

struct Vec {
    Register r[kRegisters];
};

CONV_TA_INLINE Vec operator+(Vec a, const Vec& b) {
    for (int i = 0; i < kRegisters; ++i)
        a.r[i] += b.r[i];
    return a;
}

CONV_TA_INLINE Vec operator-(Vec a, const Vec& b) {
    for (int i = 0; i < kRegisters; ++i)
        a.r[i] -= b.r[i];
    return a;
}

CONV_TA_INLINE Vec operator*(Vec a, const Vec& b) {
    for (int i = 0; i < kRegisters; ++i)
        a.r[i] *= b.r[i];
    return a;
}

CONV_TA_INLINE Vec& operator+=(Vec& a, const Vec& b) {
    return a = a + b;
}

CONV_TA_INLINE Vec splat(uint32_t value) {
    Vec v;
    for (Register& r : v.r)
        r = Register{} + value;
    return v;
}

CONV_TA_INLINE Vec load(const uint32_t* p) {
    Vec v;
    for (int i = 0; i < kRegisters; ++i)
        v.r[i] = *reinterpret_cast<const UnalignedRegister*>(p + i * kRegisterLanes);
    return v;
}

CONV_TA_INLINE void store(uint32_t* p, const Vec& v) {
    for (int i = 0; i < kRegisters; ++i)
        *reinterpret_cast<UnalignedRegister*>(p + i * kRegisterLanes) = v.r[i];
}

// A loaded value used by several instructions, kept in its register.
CONV_TA_INLINE Vec in_register(Vec v) {
    for (Register& r : v.r)
        isa::pin(r);
    return v;
}

// (prev15, cur0, cur1, ..., cur14): each lane's left-hand neighbour.
CONV_TA_INLINE Vec left_neighbours(const Vec& prev, const Vec& cur) {
    Vec v;
    v.r[0] = isa::last_then_first(prev.r[kRegisters - 1], cur.r[0]);
    for (int i = 1; i < kRegisters; ++i)
        v.r[i] = isa::last_then_first(cur.r[i - 1], cur.r[i]);
    return v;
}

// (cur1, cur2, ..., cur15, next0): each lane's right-hand neighbour.
CONV_TA_INLINE Vec right_neighbours(const Vec& cur, const Vec& next) {
    Vec v;
    for (int i = 0; i + 1 < kRegisters; ++i)
        v.r[i] = isa::rest_then_first(cur.r[i], cur.r[i + 1]);
    v.r[kRegisters - 1] = isa::rest_then_first(cur.r[kRegisters - 1], next.r[0]);
    return v;
}

// How many of a segment's first `count` lanes, 0 <= count <= 16, fall in
// register i: none to all. The first register cannot have fewer than none,
// nor the last more than all.
CONV_TA_INLINE int lanes_in_register(int count, int i) {
    const int n = count - i * kRegisterLanes;
    if (i > 0 && n < 0)
        return 0;
    if (i + 1 < kRegisters && n > kRegisterLanes)
        return kRegisterLanes;
    return n;
}

// p[0] to p[count - 1] into lanes 0 to count - 1, 0 <= count <= 16; the
// other lanes 0, and nothing at or after p + count touched, so p + count may
// be the end of the buffer.
CONV_TA_INLINE Vec load_first_lanes(const uint32_t* p, int count) {
    Vec v;
    for (int i = 0; i < kRegisters; ++i)
        v.r[i] = isa::load_first_lanes(p + i * kRegisterLanes, lanes_in_register(count, i));
    return v;
}

// Lanes 0 to count - 1 of v into p[0] to p[count - 1]; nothing beyond.
CONV_TA_INLINE void store_first_lanes(uint32_t* p, const Vec& v, int count) {
    for (int i = 0; i < kRegisters; ++i)
        isa::store_first_lanes(p + i * kRegisterLanes, v.r[i], lanes_in_register(count, i));
}

// p[0] to p[15 - lead] into lanes lead to 15, lanes below lead 0, nothing
// before p touched; and the store of those lanes. At lead 0 the plain moves,
// which ran aligned rows a few per cent faster than masked ones of every lane.
// At a level that does not align rows, lead is always 0.
CONV_TA_INLINE Vec load_lanes_from(const uint32_t* p, int lead) {
#if CONV_TA_ALIGNS
    static_assert(kRegisters == 1);
    if (lead == 0)
        return load(p);
    return Vec{{isa::load_lanes_from(p, lead)}};
#else
    (void)lead;
    return load(p);
#endif
}

CONV_TA_INLINE void store_lanes_from(uint32_t* p, const Vec& v, int lead) {
#if CONV_TA_ALIGNS
    if (lead == 0)
        store(p, v);
    else
        isa::store_lanes_from(p, v.r[0], lead);
#else
    (void)lead;
    store(p, v);
#endif
}

} // namespace conv_ta

#endif
