// Reading and writing the images conv-ta works on: NumPy .npy (2-D int32,
// C order) and PGM (plain P2 and binary P5, 8- and 16-bit).
#ifndef CONV_TA_TOOL_IMAGE_IO_H
#define CONV_TA_TOOL_IMAGE_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace conv_ta_tool {

enum class Format { Npy, PgmPlain, PgmBinary };

// The largest height or width: the library takes both as int32. Their
// product is not limited beyond that, since the library indexes in 64 bits;
// the elements must be in the file and fit in memory.
inline constexpr std::int64_t max_dimension = 2147483647;

struct Image {
    std::int64_t height = 0;
    std::int64_t width = 0;
    std::vector<std::int32_t> pixels; // height * width, row after row
    Format format = Format::Npy;
    int maxval = 0; // PGM only: the largest sample value the file allows
};

// The whole image, validated against the file before anything is allocated
// for it. Throws Error naming the file and what was found.
Image read_image(const std::string& path);

// The format that the name of an output file asks for (.npy or .pgm); plain
// PGM only when `plain_pgm` is set. Throws Error for any other name.
Format output_format(const std::string& path, bool plain_pgm);

// Writes the pixels to a temporary file in the directory of `path` and
// renames it over `path` once it is complete, so that `path` is either left
// as it was or replaced whole. PGM samples are clamped to 0..maxval; returns
// how many were.
std::uint64_t write_image(const std::string& path, Format format, std::int64_t height,
                          std::int64_t width, const std::vector<std::int32_t>& pixels, int maxval);

} // namespace conv_ta_tool

#endif
