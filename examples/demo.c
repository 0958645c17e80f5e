/* A small host of the library: it defines convolution_ref, convolves a
 * generated image and a narrow one, checks both against its own plain loop
 * and says what happened. Link it with -rdynamic so that the library finds
 * convolution_ref in the executable. */
#include "conv_TA.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long narrow_calls = 0;

/* The plain bound-tested loop: the library hands it every image narrower
 * than 16 columns, and the demo checks the library's results with it. */
static void reference(int32_t height, int32_t width, const int32_t* input, int32_t* output,
                      const int32_t* kernel) {
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            uint32_t sum = 0;
            for (int ky = 0; ky < 3; ++ky) {
                for (int kx = 0; kx < 3; ++kx) {
                    const int64_t r = y + ky - 1, c = x + kx - 1;
                    if (r >= 0 && r < height && c >= 0 && c < width)
                        sum += (uint32_t)kernel[3 * ky + kx] * (uint32_t)input[r * width + c];
                }
            }
            output[y * width + x] = (int32_t)sum;
        }
    }
}

void convolution_ref(int32_t height, int32_t width, const int32_t* input, int32_t* output,
                     const int32_t* kernel) {
    ++narrow_calls;
    reference(height, width, input, output, kernel);
}

static double seconds_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Convolves one generated image, compares it with the reference and prints
 * one line; returns the number of differing elements. */
static long run(int32_t height, int32_t width, const int32_t kernel[9], const char* name) {
    const size_t count = (size_t)height * (size_t)width;
    int32_t* input = malloc(count * sizeof *input);
    int32_t* output = malloc(count * sizeof *output);
    int32_t* expected = malloc(count * sizeof *expected);
    if (input == NULL || output == NULL || expected == NULL) {
        fprintf(stderr, "demo: out of memory\n");
        exit(1);
    }
    /* A smooth gradient with a bright square in it, so the edges stand out. */
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            input[y * width + x] =
                (int32_t)(x + 2 * y) +
                ((y > height / 4 && y < height / 2 && x > width / 4 && x < width / 2) ? 1000 : 0);

    /* The output is left uninitialised: every element is overwritten. The
     * first call also pays for faulting in the fresh output's pages, so the
     * time printed is the second call's. */
    const long calls_before = narrow_calls;
    convolution_TA(height, width, input, output, kernel);
    const double start = seconds_now();
    convolution_TA(height, width, input, output, kernel);
    const double elapsed = seconds_now() - start;

    reference(height, width, input, expected, kernel);
    long wrong = 0;
    int64_t edges = 0;
    for (size_t i = 0; i < count; ++i) {
        wrong += output[i] != expected[i];
        edges += output[i] != 0;
    }
    printf("%-9s %5d x %-5d %s: %7.3f ms, %lld nonzero elements, %s\n", name, height, width,
           narrow_calls > calls_before ? "by convolution_ref" : "by the library    ", elapsed * 1e3,
           (long long)edges, wrong == 0 ? "all match the reference" : "MISMATCH");
    if (wrong != 0)
        printf("          %ld of %zu elements differ from the reference\n", wrong, count);
    free(input);
    free(output);
    free(expected);
    return wrong;
}

int main(void) {
    const int32_t laplacian[9] = {0, 1, 0, 1, -4, 1, 0, 1, 0};
    const int32_t sobel_x[9] = {-1, 0, 1, -2, 0, 2, -1, 0, 1};
    long wrong = 0;
    wrong += run(1080, 1920, laplacian, "laplacian");
    wrong += run(1080, 1920, sobel_x, "sobel-x");
    wrong += run(480, 10, laplacian, "narrow");
    printf("%s\n", wrong == 0 ? "demo: every result matches the reference"
                              : "demo: results differ from the reference");
    return wrong == 0 ? 0 : 1;
}
