// Differential fuzzing of convolution_TA against the scalar reference.
//
// Each input decodes to one call: a height and a width (negative through a
// few hundred, the block boundaries, rows of just over 4096 columns and the
// extremes of int32 common among them), nine coefficients and the pixels,
// which lean on 0, +-1, INT32_MIN, INT32_MAX and powers of two, where
// wrapping arithmetic goes wrong first. Once the input runs out, a generator
// seeded from it goes on with the same distribution, so a short input still
// describes a large image.
//
// A wide image runs twice, every buffer flush against the guard page before
// it and then against the one after it, so that a read or write of a single
// element outside a buffer faults. Input and kernel are read-only and the
// output starts as garbage: every element must be overwritten with its
// kernel sum. A narrow image must reach the host's convolution_ref exactly
// once, with the arguments unchanged, while the library touches no element.
#include "conv_TA.h"
#include "reference/guarded.h"
#include "reference/recording_host.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace conv_ta_reference;

class Decoder {
  public:
    Decoder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        // FNV-1a of the whole input: a different input continues differently.
        state_ = 0xcbf29ce484222325u;
        for (std::size_t i = 0; i < size; ++i)
            state_ = (state_ ^ data[i]) * 0x100000001b3u;
    }

    std::uint8_t byte() {
        return pos_ < size_ ? data_[pos_++] : static_cast<std::uint8_t>(random() >> 56);
    }
    // Little-endian; each byte read in turn, as the operands of | are not
    // sequenced.
    std::uint16_t u16() {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }

    // A pixel or coefficient: one byte for the special values, five for any
    // other.
    std::int32_t value() {
        const std::uint8_t tag = byte();
        const std::uint32_t power = std::uint32_t{1} << (tag >> 3);
        switch (tag & 7) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 2:
            return -1;
        case 3:
            return INT32_MIN;
        case 4:
            return INT32_MAX;
        case 5:
            return static_cast<std::int32_t>(power);
        case 6:
            return static_cast<std::int32_t>(0u - power);
        default:
            return static_cast<std::int32_t>(u32());
        }
    }

    // A height or a width.
    std::int32_t dimension() {
        const std::uint16_t v = u16();
        const std::int32_t n = v >> 3;
        switch (v & 7) {
        case 0:
        case 1:
            return n % 40; // narrow, the left band alone, the first block
        case 2:
            return n % 320; // up to nineteen blocks
        case 3:
            return 4096 + n % 32; // rows too long for three to stay in L1
        case 4:
            return 16 * (n % 20) + n / 20 % 3 - 1; // beside a block boundary
        case 5:
            return -1 - n % 40;
        case 6: {
            const std::int32_t extremes[] = {INT32_MIN, INT32_MAX, INT32_MIN + n, INT32_MAX - n};
            return extremes[n % 4];
        }
        default:
            return n % 8;
        }
    }

    // Not taken from the input: for values no result may depend on.
    std::uint64_t random() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint64_t state_;
};

// Large enough for every band shape with rows to spare, small enough that a
// run stays fast.
constexpr std::int64_t kMaxElements = 1 << 15;

[[noreturn]] void finding(const char* what, std::int32_t height, std::int32_t width) {
    std::fprintf(stderr, "conv_TA fuzz: %s for a %d x %d image\n", what, height, width);
    std::abort();
}

void check_narrow(std::int32_t height, std::int32_t width, Decoder& d) {
    // No element is accessible at all: any access by the library faults.
    GuardedBuffer input(64, Flush::Start), output(64, Flush::End), kernel(9, Flush::End);
    input.forbid_access();
    output.forbid_access();
    kernel.forbid_access();
    const RefCall expected{height, width, input.data() + d.byte() % 64,
                           output.data() + d.byte() % 64, kernel.data()};
    take_ref_calls();
    convolution_TA(expected.height, expected.width, expected.input, expected.output,
                   expected.kernel);
    const std::vector<RefCall> calls = take_ref_calls();
    if (calls.size() != 1)
        finding("convolution_ref not called exactly once", height, width);
    if (!(calls[0] == expected))
        finding("convolution_ref called with changed arguments", height, width);
}

void check_wide(std::int32_t height, std::int32_t width, const std::vector<std::int32_t>& pixels,
                const std::int32_t (&coefficients)[9], const std::vector<std::int32_t>& expected,
                Decoder& d, Flush flush) {
    const std::size_t count = height > 0 ? pixels.size() : 0;
    GuardedBuffer input(count, flush), output(count, flush), kernel(9, flush);
    for (std::size_t i = 0; i < count; ++i)
        input.data()[i] = pixels[i];
    for (int i = 0; i < 9; ++i)
        kernel.data()[i] = coefficients[i];
    for (std::int32_t& v : output.elements())
        v = static_cast<std::int32_t>(d.random());
    input.forbid_writes();
    kernel.forbid_writes();

    take_ref_calls();
    convolution_TA(height, width, input.data(), output.data(), kernel.data());
    if (!take_ref_calls().empty())
        finding("convolution_ref called for a wide image", height, width);

    for (std::ptrdiff_t y = 0; y < height; ++y) {
        for (std::ptrdiff_t x = 0; x < width; ++x) {
            const std::int32_t want = expected[y * width + x];
            const std::int32_t got = output.data()[y * width + x];
            if (got != want) {
                std::fprintf(stderr, "element (%td, %td) is %d, the kernel sum is %d\n", y, x, got,
                             want);
                finding(flush == Flush::Start ? "wrong element (buffers flush at their start)"
                                              : "wrong element (buffers flush at their end)",
                        height, width);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Decoder d(data, size);
    std::int32_t height = d.dimension();
    std::int32_t width = d.dimension();
    if (width < 16) {
        check_narrow(height, width, d);
        return 0;
    }
    // An image too large to allocate keeps a few rows, and its width where
    // they fit, else a width near the block boundaries; with no rows, any
    // width is fine, as nothing is allocated.
    if (height > 0 && std::int64_t{height} * width > kMaxElements) {
        height = 1 + height % 8;
        if (std::int64_t{height} * width > kMaxElements)
            width = 16 + width % 320;
    }
    std::int32_t coefficients[9];
    for (std::int32_t& k : coefficients)
        k = d.value();
    // One kernel in two symmetric or antisymmetric left to right: the library
    // sweeps those its own way.
    const std::uint8_t kind = d.byte() % 4;
    if (kind >= 2)
        shape_kernel(kind == 2 ? KernelKind::Symmetric : KernelKind::Antisymmetric, coefficients);
    std::vector<std::int32_t> pixels(height > 0 ? std::size_t(height) * std::size_t(width) : 0);
    for (std::int32_t& p : pixels)
        p = d.value();
    std::vector<std::int32_t> expected(pixels.size());
    reference_convolution(height, width, pixels.data(), expected.data(), coefficients);
    check_wide(height, width, pixels, coefficients, expected, d, Flush::Start);
    check_wide(height, width, pixels, coefficients, expected, d, Flush::End);
    return 0;
}
