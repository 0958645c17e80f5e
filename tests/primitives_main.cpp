// Runs one level's primitives test, or skips (status 77) on a CPU that
// cannot run the level; built for the baseline, so the check itself runs
// anywhere.
#include "reference/cpu_levels.h"

#include <cstdio>

int primitives_test();

int main() {
    if (!conv_ta_reference::cpu_runs_level(CONV_TA_PRIMITIVES_LEVEL)) {
        std::printf("this CPU does not run %s (%s): skipped\n", CONV_TA_PRIMITIVES_LEVEL,
                    conv_ta_reference::level_features(CONV_TA_PRIMITIVES_LEVEL));
        return 77;
    }
    const int failures = primitives_test();
    std::printf("%s primitives: %d failures\n", CONV_TA_PRIMITIVES_LEVEL, failures);
    return failures == 0 ? 0 : 1;
}
