// Running the library on one image and comparing every element with the
// reference: the one fill-call-compare helper of every test group.
#ifndef CONV_TA_TESTS_CHECK_H
#define CONV_TA_TESTS_CHECK_H

#include "host.h"
#include "reference/guarded.h"
#include "reference/reference.h"
#include "reference/values.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace conv_ta_test {

using namespace conv_ta_reference;

// Every element of output against the reference, naming the first that
// differs.
inline testing::AssertionResult matches_reference(std::int32_t height, std::int32_t width,
                                                  const std::int32_t* input,
                                                  const std::int32_t* output,
                                                  const std::int32_t* kernel) {
    if (const auto m = first_mismatch(height, width, input, output, kernel))
        return testing::AssertionFailure()
               << height << "x" << width << " image: element (" << m->y << ", " << m->x << ") is "
               << m->got << ", the kernel sum is " << m->want;
    return testing::AssertionSuccess();
}

// Where a call's buffers lie, and what the output holds before it.
enum class Buffers {
    Vectors,          // vectors; the output full of garbage
    GuardedStart,     // each flush against the inaccessible page before it,
    GuardedEnd,       // or after it; input and kernel read-only
    Uninitialised,    // from new[], the output as the allocator leaves it
    MisalignedOutput, // the output one byte past 4-byte alignment
};

// Random pixels and kernel, the kernel of the given kind (the library sweeps
// each kind its own way), one call, every element compared.
inline testing::AssertionResult
convolve_random(Values& values, std::int32_t height, std::int32_t width,
                Buffers buffers = Buffers::Vectors, KernelKind kind = KernelKind::General,
                ConvolutionFn convolution = convolution_under_test()) {
    const std::size_t count =
        height > 0 ? static_cast<std::size_t>(height) * static_cast<std::size_t>(width) : 0;
    std::vector<std::int32_t> vectors[3];
    std::optional<GuardedBuffer> guarded[3];
    std::unique_ptr<std::int32_t[]> heap[3];
    std::vector<unsigned char> misaligned;
    std::int32_t *input, *output, *kernel;
    switch (buffers) {
    case Buffers::GuardedStart:
    case Buffers::GuardedEnd: {
        const Flush flush = buffers == Buffers::GuardedStart ? Flush::Start : Flush::End;
        guarded[0].emplace(count, flush);
        guarded[1].emplace(count, flush);
        guarded[2].emplace(9, flush);
        input = guarded[0]->data(), output = guarded[1]->data(), kernel = guarded[2]->data();
        break;
    }
    case Buffers::Uninitialised:
        // new T[n] without an initialiser leaves the elements indeterminate.
        heap[0].reset(new std::int32_t[count]);
        heap[1].reset(new std::int32_t[count]);
        heap[2].reset(new std::int32_t[9]);
        input = heap[0].get(), output = heap[1].get(), kernel = heap[2].get();
        break;
    default:
        vectors[0].resize(count), vectors[1].resize(count), vectors[2].resize(9);
        input = vectors[0].data(), output = vectors[1].data(), kernel = vectors[2].data();
    }
    values.fill({input, count});
    values.fill({kernel, 9});
    shape_kernel(kind, std::span<std::int32_t, 9>{kernel, 9});
    if (buffers != Buffers::Uninitialised)
        values.fill_garbage({output, count});
    if (buffers == Buffers::MisalignedOutput) {
        // The allocation is aligned for any type, so one byte on is not.
        misaligned.resize(count * 4 + 1);
        std::memcpy(misaligned.data() + 1, output, count * 4);
        output = reinterpret_cast<std::int32_t*>(misaligned.data() + 1);
    }
    if (guarded[0]) {
        // The library only reads these: a write to either faults.
        guarded[0]->forbid_writes();
        guarded[2]->forbid_writes();
    }
    convolution(height, width, input, output, kernel);
    if (buffers == Buffers::MisalignedOutput) {
        std::memcpy(vectors[1].data(), output, count * 4);
        output = vectors[1].data();
    }
    return matches_reference(height, width, input, output, kernel)
           << " (" << kernel_kind_name(kind) << " kernel)";
}

// The same with a general kernel, through the given entry point.
inline testing::AssertionResult convolve_random(Values& values, std::int32_t height,
                                                std::int32_t width, Buffers buffers,
                                                ConvolutionFn convolution) {
    return convolve_random(values, height, width, buffers, KernelKind::General, convolution);
}

} // namespace conv_ta_test

#endif
