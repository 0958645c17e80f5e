/* A host of the installed library, in C: it defines convolution_ref, which
 * the library calls for images narrower than 16 columns, and checks one wide
 * and one narrow result against its own plain loop. */
#include <conv_TA.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static int reference_calls = 0;

/* The kernel sum at every element, with every neighbour tested against the
 * image and the arithmetic wrapping as the library's does. */
static void plain(int32_t height, int32_t width, const int32_t* input, int32_t* output,
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
    ++reference_calls;
    plain(height, width, input, output, kernel);
}

/* Convolves a generated image; returns 1 when it matches the plain loop. */
static int convolve(int32_t height, int32_t width) {
    static const int32_t sobel_x[9] = {-1, 0, 1, -2, 0, 2, -1, 0, 1};
    const size_t count = (size_t)height * (size_t)width;
    int32_t* input = malloc(count * sizeof *input);
    int32_t* output = malloc(count * sizeof *output);
    int32_t* expected = malloc(count * sizeof *expected);
    if (input == NULL || output == NULL || expected == NULL) {
        fprintf(stderr, "consumer: out of memory\n");
        exit(1);
    }
    for (size_t i = 0; i < count; ++i)
        input[i] = (int32_t)(i * 2654435761u);
    convolution_TA(height, width, input, output, sobel_x);
    plain(height, width, input, expected, sobel_x);
    int same = 1;
    for (size_t i = 0; i < count; ++i)
        same &= output[i] == expected[i];
    free(input);
    free(output);
    free(expected);
    return same;
}

int main(void) {
    const int wide = convolve(6, 40);
    const int calls_after_wide = reference_calls;
    const int narrow = convolve(5, 9);
    const int ok = wide && narrow && calls_after_wide == 0 && reference_calls == 1;
    printf("consumer (C): 6 x 40 by the library %s, 5 x 9 by convolution_ref %s: %s\n",
           wide ? "matches" : "DIFFERS", narrow ? "matches" : "DIFFERS", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
