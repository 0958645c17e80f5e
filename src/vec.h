// Sixteen 32-bit lanes, one block of columns, as a compiler vector.
//
// The arithmetic is written once with the compilers' vector extensions and
// compiles at every instruction-set level: one register at AVX-512, two at
// AVX2, four at SSE. Lanes are unsigned so that products and sums wrap
// modulo 2^32 by definition; as bits they are the signed results the caller
// asked for. A few helpers use an instruction set's own instructions where
// the compilers' generic code would be slower or cannot express them: the
// masked loads and stores of the remainder, the lane shifts, pinning a load
// to a register, and the streaming stores. Each has a portable fallback.
#ifndef CONV_TA_VEC_H
#define CONV_TA_VEC_H

#include <stddef.h>
#include <stdint.h>

#if defined(__AVX512F__) || defined(__AVX2__)
#include <immintrin.h>
#endif

namespace conv_ta {

inline constexpr int kLanes = 16;

typedef uint32_t Vec __attribute__((vector_size(64)));
// The same lanes at the alignment of one element: rows start anywhere.
typedef uint32_t UnalignedVec __attribute__((vector_size(64), aligned(4), may_alias));

#define CONV_TA_INLINE inline __attribute__((always_inline))
// The same for a lambda, written after its parameter list. The sweep is
// written as small lambdas over the coefficients; one left out of line
// takes the coefficients from memory on every use.
#define CONV_TA_INLINE_LAMBDA __attribute__((always_inline))

CONV_TA_INLINE Vec splat(uint32_t value) {
    return Vec{} + value;
}

CONV_TA_INLINE Vec load(const uint32_t* p) {
    return *reinterpret_cast<const UnalignedVec*>(p);
}

CONV_TA_INLINE void store(uint32_t* p, Vec v) {
    *reinterpret_cast<UnalignedVec*>(p) = v;
}

// A loaded value used by several instructions, pinned to a register. Left
// alone, the compilers fold the load into each of its uses: three loads per
// segment instead of one, and on the masked loads of the remainder, three
// masked multiplies. Measured: a third slower on images of 17 to 33 columns.
CONV_TA_INLINE Vec in_register(Vec v) {
#if defined(__AVX512F__)
    asm("" : "+v"(v));
#endif
    return v;
}

// (prev15, cur0, cur1, ..., cur14): each lane's left-hand neighbour.
CONV_TA_INLINE Vec left_neighbours(Vec prev, Vec cur) {
#if defined(__AVX512F__)
    // valignd leaves its sources intact; the compilers' general two-source
    // permute overwrites one and costs a register copy per shift.
    return reinterpret_cast<Vec>(_mm512_maskz_alignr_epi32(0xFFFF, reinterpret_cast<__m512i>(cur),
                                                           reinterpret_cast<__m512i>(prev), 15));
#else
    return __builtin_shufflevector(prev, cur, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27,
                                   28, 29, 30);
#endif
}

// (cur1, cur2, ..., cur15, next0): each lane's right-hand neighbour.
CONV_TA_INLINE Vec right_neighbours(Vec cur, Vec next) {
#if defined(__AVX512F__)
    return reinterpret_cast<Vec>(_mm512_maskz_alignr_epi32(0xFFFF, reinterpret_cast<__m512i>(next),
                                                           reinterpret_cast<__m512i>(cur), 1));
#else
    return __builtin_shufflevector(cur, next, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                   16);
#endif
}

// The partial segment at a row's right-hand end: lanes 0 to count - 1, with
// 0 <= count <= 16, are elements of the row and the rest lie beyond it.
#if defined(__AVX512F__)
CONV_TA_INLINE __mmask16 first_lanes_mask(int count) {
    return static_cast<__mmask16>((1u << count) - 1u);
}
#elif defined(__AVX2__)
typedef uint32_t HalfVec __attribute__((vector_size(32)));

// Two halves of eight lanes, each lane all ones where it is below count.
struct LaneMask {
    __m256i low, high;
};
CONV_TA_INLINE LaneMask first_lanes_mask(int count) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i limit = _mm256_set1_epi32(count);
    return LaneMask{_mm256_cmpgt_epi32(limit, index),
                    _mm256_cmpgt_epi32(limit, _mm256_add_epi32(index, _mm256_set1_epi32(8)))};
}
#endif

// Reads p[0] to p[count - 1] into lanes 0 to count - 1; the other lanes are
// 0 and their elements are never touched, so p + count may be the end of
// the buffer.
CONV_TA_INLINE Vec load_first_lanes(const uint32_t* p, int count) {
#if defined(__AVX512F__)
    return reinterpret_cast<Vec>(_mm512_maskz_loadu_epi32(first_lanes_mask(count), p));
#elif defined(__AVX2__)
    const LaneMask m = first_lanes_mask(count);
    const int* q = reinterpret_cast<const int*>(p);
    const auto low = reinterpret_cast<HalfVec>(_mm256_maskload_epi32(q, m.low));
    const auto high = reinterpret_cast<HalfVec>(_mm256_maskload_epi32(q + 8, m.high));
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
#else
    Vec v{};
    for (int i = 0; i < count; ++i)
        v[i] = p[i];
    return v;
#endif
}

// Writes lanes 0 to count - 1 of v to p[0] to p[count - 1]; nothing beyond
// them is touched.
CONV_TA_INLINE void store_first_lanes(uint32_t* p, Vec v, int count) {
#if defined(__AVX512F__)
    _mm512_mask_storeu_epi32(p, first_lanes_mask(count), reinterpret_cast<__m512i>(v));
#elif defined(__AVX2__)
    const LaneMask m = first_lanes_mask(count);
    int* q = reinterpret_cast<int*>(p);
    const HalfVec low = __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7);
    const HalfVec high = __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm256_maskstore_epi32(q, m.low, reinterpret_cast<__m256i>(low));
    _mm256_maskstore_epi32(q + 8, m.high, reinterpret_cast<__m256i>(high));
#else
    for (int i = 0; i < count; ++i)
        p[i] = v[i];
#endif
}

// Non-temporal stores write whole cache lines to memory without reading
// them first and without keeping them in the caches. They need 64-byte
// aligned addresses, and putting a row's results on them needs a two-source
// permute by a count known only at run time: only AVX-512 has both cheaply,
// so the other levels use ordinary stores throughout.
#if defined(__AVX512F__)
#define CONV_TA_CAN_STREAM 1

// Lanes lead to lead + 15 of the 32 lanes (a, b), for index = lead + (0, 1,
// ..., 15) and 0 <= lead <= 16.
CONV_TA_INLINE Vec lanes_from(Vec a, Vec b, Vec index) {
    return reinterpret_cast<Vec>(_mm512_permutex2var_epi32(reinterpret_cast<__m512i>(a),
                                                           reinterpret_cast<__m512i>(index),
                                                           reinterpret_cast<__m512i>(b)));
}

// p must be 64-byte aligned.
CONV_TA_INLINE void store_streaming(uint32_t* p, Vec v) {
    _mm512_stream_si512(reinterpret_cast<__m512i*>(p), reinterpret_cast<__m512i>(v));
}

// Orders the streaming stores before every later store of this thread, as
// ordinary stores are, so that a caller's own synchronisation covers them.
CONV_TA_INLINE void finish_streaming() {
    _mm_sfence();
}
#else
#define CONV_TA_CAN_STREAM 0
#endif

} // namespace conv_ta

#endif
