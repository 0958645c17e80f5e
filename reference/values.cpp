#include "values.h"

#include <limits>

namespace conv_ta_reference {

std::int32_t Values::next() {
    const std::uint64_t r = rng_();
    if ((r & 3) != 0)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(r >> 32));
    constexpr std::int32_t special[] = {0, 1, -1, std::numeric_limits<std::int32_t>::min(),
                                        std::numeric_limits<std::int32_t>::max()};
    const unsigned pick = static_cast<unsigned>((r >> 2) % 7);
    if (pick < 5)
        return special[pick];
    const std::uint32_t power = std::uint32_t{1} << ((r >> 8) % 32);
    return static_cast<std::int32_t>(pick == 5 ? power : 0u - power);
}

void Values::fill(std::span<std::int32_t> out) {
    for (std::int32_t& v : out)
        v = next();
}

void Values::fill_garbage(std::span<std::int32_t> out) {
    for (std::int32_t& v : out)
        v = static_cast<std::int32_t>(static_cast<std::uint32_t>(rng_()));
}

void shape_kernel(KernelKind kind, std::span<std::int32_t, 9> kernel) {
    if (kind == KernelKind::General)
        return;
    for (int row = 0; row < 3; ++row) {
        const auto left = static_cast<std::uint32_t>(kernel[3 * row]);
        kernel[3 * row + 2] =
            static_cast<std::int32_t>(kind == KernelKind::Symmetric ? left : 0u - left);
    }
}

const char* kernel_kind_name(KernelKind kind) {
    switch (kind) {
    case KernelKind::Symmetric:
        return "symmetric";
    case KernelKind::Antisymmetric:
        return "antisymmetric";
    case KernelKind::General:
        break;
    }
    return "general";
}

std::optional<KernelKind> kernel_kind_named(std::string_view name) {
    for (KernelKind kind : kEveryKernelKind)
        if (name == kernel_kind_name(kind))
            return kind;
    return std::nullopt;
}

} // namespace conv_ta_reference
