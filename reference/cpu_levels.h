// Which portable x86-64 instruction-set levels this CPU runs, for the hosts
// that load the library built for each level (the tests and the benchmark).
#ifndef CONV_TA_REFERENCE_CPU_LEVELS_H
#define CONV_TA_REFERENCE_CPU_LEVELS_H

#include <string_view>

namespace conv_ta_reference {

// True when the CPU runs code built with -march=level (x86-64, x86-64-v2,
// x86-64-v3 or x86-64-v4); false for any other name.
bool cpu_runs_level(std::string_view level);

// The features that set the level apart from the one below, for messages.
const char* level_features(std::string_view level);

} // namespace conv_ta_reference

#endif
