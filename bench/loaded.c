/* Prints the file the dynamic loader mapped for libconv_TA.so.1: this host
 * is linked with -lconv_TA and has no run path, so that is the copy any such
 * host gets from the system's directories or LD_LIBRARY_PATH. It calls
 * nothing, so it needs no convolution_ref. */
#define _GNU_SOURCE
#include "conv_TA.h"

#include <dlfcn.h>
#include <stdio.h>

int main(void) {
    Dl_info info;
    if (!dladdr((void*)&convolution_TA, &info) || !info.dli_fname) {
        fputs("conv_TA_loaded: dladdr found no file for convolution_TA\n", stderr);
        return 1;
    }
    return printf("%s\n", info.dli_fname) < 0;
}
