/* conv_TA_threads.h: convolution_TA over several threads, bit-identical.
 *
 * convolution_TA_threads(height, width, input, output, kernel, threads)
 * writes into `output` exactly what convolution_TA(height, width, input,
 * output, kernel) writes (see conv_TA.h for the arithmetic, the layout and
 * the preconditions, which are the same), using up to `threads` threads:
 * 0 means one per online CPU, and 1 or any negative value means the calling
 * thread alone. It returns when the whole output is written.
 *
 * The rows are cut into stripes, one per thread, and every piece is computed
 * by convolution_TA. A stripe computed alone misses, in its first and last
 * rows, the terms of the rows beyond it; they are added afterwards, exactly,
 * from one-row calls into a scratch row (the arithmetic wraps and is linear).
 * Images narrower than 16 columns, and images too small for a second thread
 * to gain, are one call on the calling thread; a thread that cannot be
 * started, or scratch that cannot be allocated, leaves its work to the
 * calling thread, so the result is always whole.
 *
 * Lives in libconv_TA_threads, which needs libconv_TA and the C++ runtime
 * (std::thread); the host still defines convolution_ref. No state is kept
 * between calls, and calls from several threads at once are independent.
 * Every thread the call starts has ended when it returns.
 */
#ifndef CONV_TA_THREADS_H
#define CONV_TA_THREADS_H

#include "conv_TA.h"

#ifdef __cplusplus
extern "C" {
#endif

CONV_TA_VISIBLE void convolution_TA_threads(int32_t height, int32_t width, const int32_t* input,
                                            int32_t* output, const int32_t* kernel,
                                            int32_t threads);

#ifdef __cplusplus
}
#endif

#endif /* CONV_TA_THREADS_H */
