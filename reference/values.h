// Pseudo-random pixels and coefficients that lean on the values where
// wrapping arithmetic goes wrong first.
#ifndef CONV_TA_REFERENCE_VALUES_H
#define CONV_TA_REFERENCE_VALUES_H

#include <cstdint>
#include <random>
#include <span>

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

} // namespace conv_ta_reference

#endif
