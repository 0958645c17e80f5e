// convolution_TA: the library's one entry point.
//
// Images narrower than 16 columns go whole to the host's convolution_ref.
// A wider image is planned twice, then swept: the column plan divides every
// row into the left band, the interior blocks and the remainder; the row
// plan says which rows each sweep covers; each sweep then computes its rows
// top to bottom, every row left to right (sweep.h). Sweeping rows rather
// than blocks keeps the reads on three consecutive input rows, so every
// cache line and page is touched in order; with distinct buffers the order
// cannot change any element.
#include "conv_TA.h"

#include "column_plan.h"
#include "row_plan.h"
#include "sweep.h"

namespace conv_ta {
namespace {

// The aligned sweeps and the last row, out of line with coefficients of their
// own, as the caller's last call: inlined beside the other sweeps they ran
// rows of 16 columns 5 % slower, and with any sweep after the call the
// caller kept its coefficients on the stack for every sweep.
template <Symmetry kSymmetry>
__attribute__((noinline)) void finish_aligned(ptrdiff_t height, ptrdiff_t width,
                                              const uint32_t* input, uint32_t* output,
                                              const uint32_t* kernel, const RowPlan& rows) {
    const Image<kSymmetry> image{
        input, output, height, width, plan_columns(width), splat_coefficients(kernel)};
    image.template sweep<2, Sweep::Aligned>(rows.aligned_pairs);
    image.template sweep<1, Sweep::Aligned>(rows.aligned);
    image.template one_row<RowForm::Bottom>(height - 1);
}

template <Symmetry kSymmetry>
void convolve_wide(ptrdiff_t height, ptrdiff_t width, const uint32_t* input, uint32_t* output,
                   const uint32_t* kernel) {
    const Image<kSymmetry> image{
        input, output, height, width, plan_columns(width), splat_coefficients(kernel)};
    if (height <= 0)
        return;
    if (height == 1) {
        image.template one_row<RowForm::Single>(0);
        return;
    }
    const bool output_aligned = reinterpret_cast<uintptr_t>(output) % sizeof(uint32_t) == 0;
    const RowPlan rows = plan_rows(height, width, output_aligned, kLevel);

    image.template one_row<RowForm::Top>(0);
    if constexpr (kLevel.streams) {
        if constexpr (kLevel.pairs_rows)
            image.template sweep<2, Sweep::Streaming>(rows.streamed_pairs);
        image.template sweep<1, Sweep::Streaming>(rows.streamed);
    }
    image.template sweep<1, Sweep::Fetching>(rows.fetched);
    if constexpr (kLevel.aligns) {
        if (!rows.aligned_pairs.empty() || !rows.aligned.empty()) {
            finish_aligned<kSymmetry>(height, width, input, output, kernel, rows);
            return;
        }
    }
    if constexpr (kLevel.pairs_rows)
        image.template sweep<2, Sweep::Cached>(rows.cached_pairs);
    image.template sweep<1, Sweep::Cached>(rows.cached);
    image.template one_row<RowForm::Bottom>(height - 1);
}

// The kernel is copied before any output is written, and its symmetry told
// from the copy: the sweep for each kind is compiled on its own.
void convolve_wide(ptrdiff_t height, ptrdiff_t width, const uint32_t* input, uint32_t* output,
                   const uint32_t* kernel) {
    uint32_t k[9];
    for (int i = 0; i < 9; ++i)
        k[i] = kernel[i];
    switch (symmetry_of(k)) {
    case Symmetry::Symmetric:
        return convolve_wide<Symmetry::Symmetric>(height, width, input, output, k);
    case Symmetry::Antisymmetric:
        return convolve_wide<Symmetry::Antisymmetric>(height, width, input, output, k);
    case Symmetry::General:
        return convolve_wide<Symmetry::General>(height, width, input, output, k);
    }
}

} // namespace
} // namespace conv_ta

extern "C" void convolution_TA(int32_t height, int32_t width, const int32_t* input, int32_t* output,
                               const int32_t* kernel) {
    if (width < conv_ta::kMinWideWidth) {
        convolution_ref(height, width, input, output, kernel);
        return;
    }
    // Signed and unsigned views of the same element type may alias.
    conv_ta::convolve_wide(height, width, reinterpret_cast<const uint32_t*>(input),
                           reinterpret_cast<uint32_t*>(output),
                           reinterpret_cast<const uint32_t*>(kernel));
}
