// Pseudo-random pixels and coefficients that lean on the values where
// wrapping arithmetic goes wrong first.
#ifndef CONV_TA_REFERENCE_VALUES_H
#define CONV_TA_REFERENCE_VALUES_H

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string_view>

namespace conv_ta_reference {

class Values {
  public:
    explicit Values(std::uint64_t seed) : rng_(seed) {}

    // One value in four is special: 0, +-1, INT32_MIN, INT32_MAX or a signed
    // power of two; the rest are uniform over all 2^32 values.
    std::int32_t next();
    void fill(std::span<std::int32_t> out);

    // Any value at all, for outputs that must be overwritten.
    void fill_garbage(std::span<std::int32_t> out);

    std::mt19937_64& engine() { return rng_; }

  private:
    std::mt19937_64 rng_;
};

// What a kernel's right column is, row by row: as drawn, the left column
// (symmetric left to right) or its wrapping negation (antisymmetric).
enum class KernelKind { General, Symmetric, Antisymmetric };
inline constexpr KernelKind kEveryKernelKind[] = {KernelKind::General, KernelKind::Symmetric,
                                                  KernelKind::Antisymmetric};

// The right column of a drawn kernel made to fit `kind`.
void shape_kernel(KernelKind kind, std::span<std::int32_t, 9> kernel);

// "general", "symmetric", "antisymmetric", and back.
const char* kernel_kind_name(KernelKind kind);
std::optional<KernelKind> kernel_kind_named(std::string_view name);

} // namespace conv_ta_reference

#endif
