// The kernel argument of conv-ta apply: nine integers or a name.
#ifndef CONV_TA_TOOL_KERNELS_H
#define CONV_TA_TOOL_KERNELS_H

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace conv_ta_tool {

using Kernel = std::array<std::int32_t, 9>;

struct NamedKernel {
    const char* name;
    Kernel coefficients;
    const char* meaning;
};

std::span<const NamedKernel> named_kernels();

// "K0,...,K8" (row by row, each a signed 32-bit integer) or one of the named
// kernels. Throws Error saying what is wrong with the text.
Kernel parse_kernel(const std::string& text);

// A whole decimal integer in [low, high], or an Error naming `what`.
std::int64_t parse_integer(const std::string& text, std::int64_t low, std::int64_t high,
                           const std::string& what);

} // namespace conv_ta_tool

#endif
