// Sixteen 32-bit lanes, one block of columns, in the build's vector
// registers.
//
// The arithmetic is written once with the compilers' vector extensions and
// compiles at every instruction-set level: the sixteen lanes fill one
// register at AVX-512, two at AVX2 and four at SSE. They are held as an
// array of whole registers rather than as one wider vector type, because
// the compilers split a shuffle of a vector wider than the registers into
// single elements through memory. Lanes are unsigned so that products and
// sums wrap modulo 2^32 by definition; as bits they are the signed results
// the caller asked for. A few helpers use an instruction set's own
// instructions where the compilers' generic code would be slower or cannot
// express them: the masked loads and stores of the remainder, the lane
// shifts at AVX-512, pinning a load to a register, and the streaming
// stores. Each has a portable fallback.
#ifndef CONV_TA_VEC_H
#define CONV_TA_VEC_H

#include <stddef.h>
#include <stdint.h>

#if defined(__AVX512F__) || defined(__AVX2__)
#include <immintrin.h>
#endif

namespace conv_ta {

inline constexpr int kLanes = 16;

#if defined(__AVX512F__)
inline constexpr int kRegisterLanes = 16;
#elif defined(__AVX2__)
inline constexpr int kRegisterLanes = 8;
#else
inline constexpr int kRegisterLanes = 4;
#endif
inline constexpr int kRegisters = kLanes / kRegisterLanes;

typedef uint32_t Register __attribute__((vector_size(4 * kRegisterLanes)));
// The same lanes at the alignment of one element: rows start anywhere.
typedef uint32_t UnalignedRegister
    __attribute__((vector_size(4 * kRegisterLanes), aligned(4), may_alias));

// Lanes 0 to 15, register by register.
struct Vec {
    Register r[kRegisters];
};

#define CONV_TA_INLINE inline __attribute__((always_inline))
// The same for a lambda, written after its parameter list. The sweep is
// written as small lambdas over the coefficients; one left out of line
// takes the coefficients from memory on every use.
#define CONV_TA_INLINE_LAMBDA __attribute__((always_inline))

CONV_TA_INLINE Vec operator+(Vec a, const Vec& b) {
    for (int i = 0; i < kRegisters; ++i)
        a.r[i] += b.r[i];
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

CONV_TA_INLINE Register load_register(const uint32_t* p) {
    return *reinterpret_cast<const UnalignedRegister*>(p);
}

CONV_TA_INLINE void store_register(uint32_t* p, Register r) {
    *reinterpret_cast<UnalignedRegister*>(p) = r;
}

CONV_TA_INLINE Vec load(const uint32_t* p) {
    Vec v;
    for (int i = 0; i < kRegisters; ++i)
        v.r[i] = load_register(p + i * kRegisterLanes);
    return v;
}

CONV_TA_INLINE void store(uint32_t* p, const Vec& v) {
    for (int i = 0; i < kRegisters; ++i)
        store_register(p + i * kRegisterLanes, v.r[i]);
}

// A loaded value used by several instructions, pinned to a register. Left
// alone, the compilers fold the load into each of its uses: three loads per
// segment instead of one, and on the masked loads of the remainder, three
// masked multiplies. Measured: a third slower on images of 17 to 33 columns.
CONV_TA_INLINE Vec in_register(Vec v) {
#if defined(__AVX512F__)
    asm("" : "+v"(v.r[0]));
#endif
    return v;
}

// (a_last, b_0, b_1, ..., b_second_last) of two registers.
CONV_TA_INLINE Register last_then_first(Register a, Register b) {
#if defined(__AVX512F__)
    // valignd leaves its sources intact; the compilers' general two-source
    // permute overwrites one and costs a register copy per shift.
    return reinterpret_cast<Register>(_mm512_maskz_alignr_epi32(
        0xFFFF, reinterpret_cast<__m512i>(b), reinterpret_cast<__m512i>(a), 15));
#elif defined(__AVX2__)
    return __builtin_shufflevector(a, b, 7, 8, 9, 10, 11, 12, 13, 14);
#else
    return __builtin_shufflevector(a, b, 3, 4, 5, 6);
#endif
}

// (a_1, a_2, ..., a_last, b_0) of two registers.
CONV_TA_INLINE Register rest_then_first(Register a, Register b) {
#if defined(__AVX512F__)
    return reinterpret_cast<Register>(_mm512_maskz_alignr_epi32(
        0xFFFF, reinterpret_cast<__m512i>(b), reinterpret_cast<__m512i>(a), 1));
#elif defined(__AVX2__)
    return __builtin_shufflevector(a, b, 1, 2, 3, 4, 5, 6, 7, 8);
#else
    return __builtin_shufflevector(a, b, 1, 2, 3, 4);
#endif
}

// (prev15, cur0, cur1, ..., cur14): each lane's left-hand neighbour.
CONV_TA_INLINE Vec left_neighbours(const Vec& prev, const Vec& cur) {
    Vec v;
    v.r[0] = last_then_first(prev.r[kRegisters - 1], cur.r[0]);
    for (int i = 1; i < kRegisters; ++i)
        v.r[i] = last_then_first(cur.r[i - 1], cur.r[i]);
    return v;
}

// (cur1, cur2, ..., cur15, next0): each lane's right-hand neighbour.
CONV_TA_INLINE Vec right_neighbours(const Vec& cur, const Vec& next) {
    Vec v;
    for (int i = 0; i + 1 < kRegisters; ++i)
        v.r[i] = rest_then_first(cur.r[i], cur.r[i + 1]);
    v.r[kRegisters - 1] = rest_then_first(cur.r[kRegisters - 1], next.r[0]);
    return v;
}

// The partial segment at a row's right-hand end: lanes 0 to count - 1, with
// 0 <= count <= 16, are elements of the row and the rest lie beyond it.
// Register i holds `count - 8 * i` of them at AVX2, `count - 4 * i` at SSE,
// clamped to 0 and its own lanes.
#if defined(__AVX512F__)
CONV_TA_INLINE __mmask16 first_lanes_mask(int count) {
    return static_cast<__mmask16>((1u << count) - 1u);
}
#elif defined(__AVX2__)
// Each lane all ones where it is below count.
CONV_TA_INLINE __m256i first_lanes_mask(int count) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}
#else
// The last `count` lanes of r, 0 < count < 4, moved to its first lanes;
// the others 0.
CONV_TA_INLINE Register last_lanes_first(Register r, int count) {
    const Register zero{};
    switch (count) {
    case 1:
        return __builtin_shufflevector(r, zero, 3, 4, 4, 4);
    case 2:
        return __builtin_shufflevector(r, zero, 2, 3, 4, 4);
    default:
        return __builtin_shufflevector(r, zero, 1, 2, 3, 4);
    }
}
#endif

// Reads p[0] to p[count - 1] into lanes 0 to count - 1; the other lanes are
// 0 and no element at or after p + count is touched, so p + count may be
// the end of the buffer. At SSE a partly filled register is read from the
// four elements that end at p + count, so up to three elements before p are
// read too: the remainder follows at least 16 columns of its row.
CONV_TA_INLINE Vec load_first_lanes(const uint32_t* p, int count) {
    Vec v{};
#if defined(__AVX512F__)
    v.r[0] = reinterpret_cast<Register>(_mm512_maskz_loadu_epi32(first_lanes_mask(count), p));
#elif defined(__AVX2__)
    for (int i = 0; i < kRegisters; ++i) {
        const int* q = reinterpret_cast<const int*>(p + i * kRegisterLanes);
        v.r[i] = reinterpret_cast<Register>(
            _mm256_maskload_epi32(q, first_lanes_mask(count - i * kRegisterLanes)));
    }
#else
    for (int i = 0; i < kRegisters; ++i) {
        const int n = count - i * kRegisterLanes;
        const uint32_t* q = p + i * kRegisterLanes;
        if (n >= kRegisterLanes)
            v.r[i] = load_register(q);
        else if (n > 0)
            v.r[i] = last_lanes_first(load_register(q + n - kRegisterLanes), n);
    }
#endif
    return v;
}

// Writes lanes 0 to count - 1 of v to p[0] to p[count - 1]; nothing beyond
// them is touched.
CONV_TA_INLINE void store_first_lanes(uint32_t* p, const Vec& v, int count) {
#if defined(__AVX512F__)
    _mm512_mask_storeu_epi32(p, first_lanes_mask(count), reinterpret_cast<__m512i>(v.r[0]));
#elif defined(__AVX2__)
    for (int i = 0; i < kRegisters; ++i) {
        int* q = reinterpret_cast<int*>(p + i * kRegisterLanes);
        _mm256_maskstore_epi32(q, first_lanes_mask(count - i * kRegisterLanes),
                               reinterpret_cast<__m256i>(v.r[i]));
    }
#else
    for (int i = 0; i < kRegisters; ++i) {
        const int n = count - i * kRegisterLanes;
        uint32_t* q = p + i * kRegisterLanes;
        if (n >= kRegisterLanes)
            store_register(q, v.r[i]);
        else
            for (int lane = 0; lane < n; ++lane)
                q[lane] = v.r[i][lane];
    }
#endif
}

// Non-temporal stores write whole cache lines to memory without reading
// them first and without keeping them in the caches. They need 64-byte
// aligned addresses, and putting a row's results on them needs a two-source
// permute by a count known only at run time: only AVX-512 has both cheaply,
// so the other levels use ordinary stores throughout.
#if defined(__AVX512F__)
#define CONV_TA_CAN_STREAM 1

// ( 0, 1, ..., 15 )
inline constexpr Vec kLaneIndex{{Register{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}};

// Lanes lead to lead + 15 of the 32 lanes (a, b), for index = lead + (0, 1,
// ..., 15) and 0 <= lead <= 16.
CONV_TA_INLINE Vec lanes_from(const Vec& a, const Vec& b, const Vec& index) {
    return Vec{{reinterpret_cast<Register>(_mm512_permutex2var_epi32(
        reinterpret_cast<__m512i>(a.r[0]), reinterpret_cast<__m512i>(index.r[0]),
        reinterpret_cast<__m512i>(b.r[0])))}};
}

// p must be 64-byte aligned.
CONV_TA_INLINE void store_streaming(uint32_t* p, const Vec& v) {
    _mm512_stream_si512(reinterpret_cast<__m512i*>(p), reinterpret_cast<__m512i>(v.r[0]));
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
