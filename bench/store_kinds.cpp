// What writing an image's bytes costs by each kind of store, against reading
// them and memcpy of them, for deciding where streaming stores pay:
//   conv_TA_store_kinds [SIDE ...]
// For each square SIDE x SIDE of int32 (default 512 1024 1536 2048 4096) it
// prints the median time of each kind over rounds that alternate the kinds,
// as a ratio to memcpy. Ordinary stores read each line before writing it;
// streaming stores write whole lines to memory without reading them.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

__attribute__((target("avx512f"))) void ordinary(std::uint32_t* out, const std::uint32_t*,
                                                 std::size_t n) {
    const __m512i v = _mm512_set1_epi32(7);
    for (std::size_t i = 0; i < n; i += 16)
        _mm512_store_si512(out + i, v);
}

__attribute__((target("avx512f"))) void streaming(std::uint32_t* out, const std::uint32_t*,
                                                  std::size_t n) {
    const __m512i v = _mm512_set1_epi32(7);
    for (std::size_t i = 0; i < n; i += 16)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(out + i), v);
    _mm_sfence();
}

__attribute__((target("avx512f"))) void reading(std::uint32_t*, const std::uint32_t* in,
                                                std::size_t n) {
    __m512i sum = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16)
        sum = _mm512_add_epi32(sum, _mm512_load_si512(in + i));
    asm volatile("" : : "v"(sum));
}

void copying(std::uint32_t* out, const std::uint32_t* in, std::size_t n) {
    std::memcpy(out, in, n * 4);
}

} // namespace

int main(int argc, char** argv) {
    if (!__builtin_cpu_supports("avx512f")) {
        std::fprintf(stderr, "conv_TA_store_kinds: needs AVX-512\n");
        return 77;
    }
    std::vector<int> sides;
    for (int i = 1; i < argc; ++i) {
        const int side = std::atoi(argv[i]);
        if (side < 4 || side > 32768) {
            std::fprintf(stderr, "conv_TA_store_kinds: not a side from 4 to 32768: %s\n", argv[i]);
            return 2;
        }
        sides.push_back(side);
    }
    if (sides.empty())
        sides = {512, 1024, 1536, 2048, 4096};
    struct Kind {
        const char* name;
        void (*run)(std::uint32_t*, const std::uint32_t*, std::size_t);
    };
    const Kind kinds[] = {
        {"memcpy", copying}, {"ordinary", ordinary}, {"streaming", streaming}, {"read", reading}};
    std::printf("%-10s %12s %10s %10s %10s\n", "side", "memcpy ns", "ordinary x", "stream x",
                "read x");
    for (const int side : sides) {
        const std::size_t n = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
        const std::size_t bytes = (n * 4 + 63) / 64 * 64;
        auto* in = static_cast<std::uint32_t*>(std::aligned_alloc(64, bytes));
        auto* out = static_cast<std::uint32_t*>(std::aligned_alloc(64, bytes));
        if (in == nullptr || out == nullptr) {
            std::fprintf(stderr, "conv_TA_store_kinds: out of memory\n");
            return 1;
        }
        std::memset(in, 1, bytes);
        std::memset(out, 2, bytes);
        const std::size_t whole = n / 16 * 16;
        std::vector<double> times[4];
        for (int round = 0; round < 41; ++round) {
            for (int k = 0; k < 4; ++k) {
                const auto start = std::chrono::steady_clock::now();
                kinds[k].run(out, in, k == 0 ? n : whole);
                times[k].push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                        .count());
            }
        }
        double median[4];
        for (int k = 0; k < 4; ++k) {
            std::sort(times[k].begin(), times[k].end());
            median[k] = times[k][times[k].size() / 2];
        }
        std::printf("%-10d %12.0f %10.2f %10.2f %10.2f\n", side, median[0] * 1e9,
                    median[1] / median[0], median[2] / median[0], median[3] / median[0]);
        std::free(in);
        std::free(out);
    }
    return 0;
}
