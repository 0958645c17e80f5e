// The four routines a freestanding C++ environment must provide itself: the
// compilers may call any of them for copies, moves, zeroing and comparisons
// they generate (clang calls memcpy and memset at -O0 for aggregates of
// vectors), and the library links no libc. Those never called are dropped
// at link time. They are
// hidden, so they are neither exported nor imported. The loops stay loops:
// the library is built with -fno-builtin, and with GCC without loop
// distribution into library calls.
#include <stddef.h>
#include <stdint.h>

#define CONV_TA_LOCAL extern "C" __attribute__((visibility("hidden")))

CONV_TA_LOCAL void* memcpy(void* __restrict to, const void* __restrict from, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    for (size_t i = 0; i < n; ++i)
        d[i] = s[i];
    return to;
}

CONV_TA_LOCAL void* memmove(void* to, const void* from, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    // Addresses compared as integers: unrelated pointers have no order.
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
        for (size_t i = 0; i < n; ++i)
            d[i] = s[i];
    } else {
        for (size_t i = n; i > 0; --i)
            d[i - 1] = s[i - 1];
    }
    return to;
}

CONV_TA_LOCAL void* memset(void* to, int value, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(to);
    for (size_t i = 0; i < n; ++i)
        d[i] = static_cast<unsigned char>(value);
    return to;
}

CONV_TA_LOCAL int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i)
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    return 0;
}
