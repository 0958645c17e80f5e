// The primitives at AVX-512: one register holds a whole 16-lane segment.
#ifndef CONV_TA_ISA_AVX512_H
#define CONV_TA_ISA_AVX512_H

#include <immintrin.h>
#include <stdint.h>

namespace conv_ta::isa {

inline constexpr int kRegisterLanes = 16;
typedef uint32_t Register __attribute__((vector_size(64)));
// The same lanes at the alignment of one element: rows start anywhere.
typedef uint32_t UnalignedRegister __attribute__((vector_size(64), aligned(4), may_alias));

// Left alone, the compilers fold a load into each of its uses: three loads
// per segment instead of one, and three masked multiplies on the remainder.
inline __attribute__((always_inline)) void pin(Register& r) {
    asm("" : "+v"(r));
}

// valignd leaves its sources intact; the compilers' general two-source
// permute overwrites one and costs a register copy per shift.
//
// (a15, b0, b1, ..., b14)
inline __attribute__((always_inline)) Register last_then_first(Register a, Register b) {
    return reinterpret_cast<Register>(_mm512_maskz_alignr_epi32(
        0xFFFF, reinterpret_cast<__m512i>(b), reinterpret_cast<__m512i>(a), 15));
}

// (a1, a2, ..., a15, b0)
inline __attribute__((always_inline)) Register rest_then_first(Register a, Register b) {
    return reinterpret_cast<Register>(_mm512_maskz_alignr_epi32(
        0xFFFF, reinterpret_cast<__m512i>(b), reinterpret_cast<__m512i>(a), 1));
}

inline __attribute__((always_inline)) __mmask16 first_lanes_mask(int count) {
    return static_cast<__mmask16>((1u << count) - 1u);
}

// p[0] to p[count - 1] in lanes 0 to count - 1, 0 <= count <= 16; the other
// lanes 0, and nothing at or after p + count touched.
inline __attribute__((always_inline)) Register load_first_lanes(const uint32_t* p, int count) {
    return reinterpret_cast<Register>(_mm512_maskz_loadu_epi32(first_lanes_mask(count), p));
}

// Lanes 0 to count - 1 of r into p[0] to p[count - 1], 0 <= count <= 16.
inline __attribute__((always_inline)) void store_first_lanes(uint32_t* p, Register r, int count) {
    _mm512_mask_storeu_epi32(p, first_lanes_mask(count), reinterpret_cast<__m512i>(r));
}

// Starting a row's interior on a line of its input takes a segment whose
// first lanes lie before the row and are neither read nor written: masked
// moves, which only this level has at every lane.
inline constexpr bool kAligns = true;
#define CONV_TA_ALIGNS 1

inline __attribute__((always_inline)) __mmask16 lanes_from_mask(int lead) {
    return static_cast<__mmask16>(0xFFFFu << lead);
}

inline __attribute__((always_inline)) uintptr_t lanes_before(const uint32_t* p, int lead) {
    return reinterpret_cast<uintptr_t>(p) - static_cast<uintptr_t>(lead) * sizeof(uint32_t);
}

// p[0] to p[15 - lead] in lanes lead to 15, 0 <= lead <= 15; lanes below
// lead 0, and nothing before p touched.
inline __attribute__((always_inline)) Register load_lanes_from(const uint32_t* p, int lead) {
    return reinterpret_cast<Register>(_mm512_maskz_loadu_epi32(
        lanes_from_mask(lead), reinterpret_cast<const void*>(lanes_before(p, lead))));
}

// Lanes lead to 15 of r into p[0] to p[15 - lead]; nothing before p.
inline __attribute__((always_inline)) void store_lanes_from(uint32_t* p, Register r, int lead) {
    _mm512_mask_storeu_epi32(reinterpret_cast<void*>(lanes_before(p, lead)), lanes_from_mask(lead),
                             reinterpret_cast<__m512i>(r));
}

// Streaming a row's results needs a non-temporal store of a whole 64-byte
// line and a two-source permute by a count known only at run time to put
// them on the lines: only this level has both cheaply.
inline constexpr bool kStreams = true;
#define CONV_TA_STREAMS 1

// Lanes lead to lead + 15 of the 32 lanes (a, b), for index = lead + (0, 1,
// ..., 15) and 0 <= lead <= 16.
inline __attribute__((always_inline)) Register lanes_from(Register a, Register b, Register index) {
    return reinterpret_cast<Register>(_mm512_permutex2var_epi32(reinterpret_cast<__m512i>(a),
                                                                reinterpret_cast<__m512i>(index),
                                                                reinterpret_cast<__m512i>(b)));
}

// p must be 64-byte aligned.
inline __attribute__((always_inline)) void store_streaming(uint32_t* p, Register r) {
    _mm512_stream_si512(reinterpret_cast<__m512i*>(p), reinterpret_cast<__m512i>(r));
}

// Orders the streaming stores before every later store of this thread, as
// ordinary stores are, so that a caller's own synchronisation covers them.
inline __attribute__((always_inline)) void finish_streaming() {
    _mm_sfence();
}

} // namespace conv_ta::isa

#endif
