#include "cpu_levels.h"

namespace conv_ta_reference {

// __builtin_cpu_supports takes literal names only. Each level needs the one
// below it; the features tested are those that set a level apart, which no
// CPU has without the rest of its level.
bool cpu_runs_level(std::string_view level) {
    __builtin_cpu_init();
    if (level == "x86-64")
        return true;
    const bool v2 = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt") &&
                    __builtin_cpu_supports("ssse3");
    if (level == "x86-64-v2")
        return v2;
    const bool v3 = v2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("bmi2");
    if (level == "x86-64-v3")
        return v3;
    if (level == "x86-64-v4")
        return v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    return false;
}

const char* level_features(std::string_view level) {
    if (level == "x86-64-v2")
        return "sse4.2, popcnt, ssse3";
    if (level == "x86-64-v3")
        return "avx2, fma, bmi2";
    if (level == "x86-64-v4")
        return "avx512f, avx512bw, avx512dq, avx512vl";
    return "";
}

} // namespace conv_ta_reference
