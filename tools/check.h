// conv-ta check: any library exporting convolution_TA against the plain
// reference, over a sweep of shapes, kernels and buffer placements.
#ifndef CONV_TA_TOOL_CHECK_H
#define CONV_TA_TOOL_CHECK_H

#include <cstdio>

namespace conv_ta_tool {

// Checks the library at `library` (dlopen'ed), or the one conv-ta is linked
// with when it is null. Prints one line per group and a verdict to `out`.
// Returns 0 when every group passes, 1 when one fails, 2 when the library
// cannot be loaded.
int run_check(const char* library, std::FILE* out);

} // namespace conv_ta_tool

#endif
