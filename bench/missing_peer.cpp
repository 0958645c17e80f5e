// Stands in for a peer whose package was not found when the benchmark was
// built: no implementation, and a note that says so.
#include "bench.h"

#ifndef CONV_TA_MISSING_PEER
#error "define CONV_TA_MISSING_PEER as the peer's function, e.g. halide_peers"
#endif
#ifndef CONV_TA_MISSING_NOTE
#error "define CONV_TA_MISSING_NOTE as what was not found"
#endif

namespace conv_ta_bench {

Peers CONV_TA_MISSING_PEER() {
    return Peers{{}, {CONV_TA_MISSING_NOTE}};
}

} // namespace conv_ta_bench
