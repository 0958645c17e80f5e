// Reading and writing the images conv-ta works on, a band of rows at a time
// so that no image has to fit in memory: NumPy .npy (2-D, C order, int8 to
// int32), PGM (plain P2 and binary P5, 8- and 16-bit), PNG (8- and 16-bit
// grey) and TIFF (8- and 16-bit unsigned, 32-bit signed grey).
#ifndef CONV_TA_TOOL_IMAGE_IO_H
#define CONV_TA_TOOL_IMAGE_IO_H

#include <cstdint>
#include <memory>
#include <string>

namespace conv_ta_tool {

enum class Format { Npy, PgmPlain, PgmBinary, Png, Tiff };

// The element type of a .npy or TIFF file; PGM and PNG hold unsigned
// samples of 8 or 16 bits, told by their maxval.
enum class Sample { Int8, UInt8, Int16, UInt16, Int32 };

// The largest height or width: the library takes both as int32. Their
// product is not limited beyond that, since the library indexes in 64 bits.
inline constexpr std::int64_t max_dimension = 2147483647;

struct ImageInfo {
    std::int64_t height = 0;
    std::int64_t width = 0;
    Format format = Format::Npy;
    Sample sample = Sample::Int32;
    int maxval = 0; // PGM and PNG: the largest sample value the file allows
};

// An image being read row after row. Every row is checked as it is read;
// errors are thrown as Error naming the file and what was found.
class ImageReader {
  public:
    virtual ~ImageReader() = default;
    const ImageInfo& info() const { return info_; }
    // The next `rows` rows, as int32, into `pixels` (rows * width elements).
    virtual void read_rows(std::int32_t* pixels, std::int64_t rows) = 0;
    // Called after the last row: fails if anything follows the image.
    virtual void finish() {}

  protected:
    ImageInfo info_;
};

// Opens IN ("-": the standard input) and reads its header, telling the
// format from the contents.
std::unique_ptr<ImageReader> open_image(const std::string& path);

// What is done to each result before it is stored, and the range it is
// clamped to.
struct Transform {
    std::int64_t divisor = 1; // divide, rounding half away from zero
    bool absolute = false;    // then take the absolute value
    std::int64_t offset = 0;  // then add
};

// An image being written row after row: to a temporary file beside `path`
// renamed over it only once complete, or to the standard output for "-".
class ImageWriter {
  public:
    virtual ~ImageWriter() = default;
    virtual void write_rows(const std::int32_t* pixels, std::int64_t rows) = 0;
    // Completes the file and puts it in place.
    virtual void finish() = 0;
    // How many values were clamped to the output's range so far.
    std::uint64_t clamped() const { return clamped_; }

  protected:
    std::uint64_t clamped_ = 0;
};

// The format that the name of an output file asks for (.npy, .pgm, .png,
// .tif or .tiff), or that `format_name` gives ("npy", "pgm", "png", "tiff");
// plain PGM when `plain_pgm` is set. Throws Error for anything else.
Format output_format(const std::string& path, const std::string& format_name, bool plain_pgm);

// `image` says the output's shape, format, sample type and maxval.
std::unique_ptr<ImageWriter> create_image(const std::string& path, const ImageInfo& image,
                                          const Transform& transform);

// The range of values a sample type holds, and its name.
std::int64_t sample_min(Sample sample);
std::int64_t sample_max(Sample sample);
const char* sample_name(Sample sample);

} // namespace conv_ta_tool

#endif
