// The primitives at AVX2: a 16-lane segment is two registers of 8 lanes.
#ifndef CONV_TA_ISA_AVX2_H
#define CONV_TA_ISA_AVX2_H

#include <immintrin.h>
#include <stdint.h>

namespace conv_ta::isa {

inline constexpr int kRegisterLanes = 8;
typedef uint32_t Register __attribute__((vector_size(32)));
// The same lanes at the alignment of one element: rows start anywhere.
typedef uint32_t UnalignedRegister __attribute__((vector_size(32), aligned(4), may_alias));

// The compilers keep these loads in registers on their own.
inline __attribute__((always_inline)) void pin(Register&) {}

// (a7, b0, b1, ..., b6), which the compilers make a two-register shift.
inline __attribute__((always_inline)) Register last_then_first(Register a, Register b) {
    return __builtin_shufflevector(a, b, 7, 8, 9, 10, 11, 12, 13, 14);
}

// (a1, a2, ..., a7, b0)
inline __attribute__((always_inline)) Register rest_then_first(Register a, Register b) {
    return __builtin_shufflevector(a, b, 1, 2, 3, 4, 5, 6, 7, 8);
}

// Each lane all ones where it is below count.
inline __attribute__((always_inline)) __m256i first_lanes_mask(int count) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// p[0] to p[count - 1] in lanes 0 to count - 1, 0 <= count <= 8; the other
// lanes 0, and nothing at or after p + count touched.
inline __attribute__((always_inline)) Register load_first_lanes(const uint32_t* p, int count) {
    return reinterpret_cast<Register>(
        _mm256_maskload_epi32(reinterpret_cast<const int*>(p), first_lanes_mask(count)));
}

// Lanes 0 to count - 1 of r into p[0] to p[count - 1], 0 <= count <= 8.
inline __attribute__((always_inline)) void store_first_lanes(uint32_t* p, Register r, int count) {
    _mm256_maskstore_epi32(reinterpret_cast<int*>(p), first_lanes_mask(count),
                           reinterpret_cast<__m256i>(r));
}

// A segment that starts before the row would take masked moves across
// two registers; rows keep the left band of 16.
inline constexpr bool kAligns = false;
#define CONV_TA_ALIGNS 0

// Putting a row's results on whole 64-byte lines would take a two-source
// permute by a run-time count across two registers; ordinary stores it is.
inline constexpr bool kStreams = false;
#define CONV_TA_STREAMS 0

} // namespace conv_ta::isa

#endif
