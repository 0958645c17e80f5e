// TIFF through libtiff: one grey sample a pixel, 8- or 16-bit integers or
// 32-bit signed, in strips or tiles, any compression libtiff reads; written
// uncompressed in strips, as BigTIFF when the data passes 2 GiB.
#include "formats/format.h"

#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace conv_ta_tool {

namespace {

// libtiff's last error, kept for the message of the call that failed.
struct TiffErrors {
    char message[256] = "";
};

extern "C" int tiff_failed(TIFF*, void* user, const char* module, const char* format,
                           va_list args) {
    auto* errors = static_cast<TiffErrors*>(user);
    char text[200];
    std::vsnprintf(text, sizeof text, format, args);
    std::snprintf(errors->message, sizeof errors->message, "%s%s%s", module ? module : "",
                  module ? ": " : "", text);
    return 1;
}

extern "C" int tiff_warned(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// The most a single allocation of libtiff may take: enough for any strip or
// tile conv-ta writes, and for reasonable ones it reads.
constexpr tmsize_t max_allocation = tmsize_t{256} << 20;
constexpr std::uint64_t max_tile = std::uint64_t{256} << 20;

TIFF* open_tiff(int fd, const std::string& name, const char* mode, TiffErrors* errors) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, max_allocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_failed, errors);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_warned, errors);
    TIFF* tiff = TIFFFdOpenExt(fd, name.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    return tiff;
}

// An open TIFF, closed however its reader or writer ends.
struct TiffHandle {
    TIFF* tiff = nullptr;
    ~TiffHandle() {
        if (tiff != nullptr)
            TIFFClose(tiff);
    }
};

class TiffReader : public ImageReader {
  public:
    explicit TiffReader(std::unique_ptr<Source> source) : source_(std::move(source)) {
        const std::string& name = source_->name();
        if (!source_->seekable())
            throw Error(name + ": a TIFF cannot be read from a pipe: give it as a file");
        // libtiff reads from the start, as a file of its own.
        const int fd = ::dup(source_->fd());
        if (fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            throw Error(name + ": cannot read: " + errno_text(errno));
        handle_.tiff = tiff_ = open_tiff(fd, name, "rm", &errors_);
        if (tiff_ == nullptr) {
            ::close(fd);
            fail("malformed TIFF");
        }
        std::uint32_t width = 0, height = 0;
        std::uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT;
        if (!TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &width) ||
            !TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &height))
            fail("malformed TIFF: no image width or length");
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLEFORMAT, &format);
        if (samples != 1)
            throw Error(name + ": the TIFF has " + std::to_string(samples) +
                        " samples a pixel; conv-ta reads grey images of one");
        const bool is_signed = format == SAMPLEFORMAT_INT;
        if ((format != SAMPLEFORMAT_UINT && !is_signed) ||
            (bits != 8 && bits != 16 && bits != 32) || (bits == 32 && !is_signed)) {
            const char* kind = format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                               : is_signed                   ? "signed"
                               : format == SAMPLEFORMAT_UINT ? "unsigned"
                                                             : "other";
            throw Error(name + ": the TIFF's samples are " + std::to_string(bits) + "-bit " + kind +
                        "; conv-ta reads 8- and 16-bit integers and 32-bit signed");
        }
        check_dimensions(name, std::to_string(height), std::to_string(width));
        info_.height = height;
        info_.width = width;
        info_.format = Format::Tiff;
        info_.sample = bits == 8    ? (is_signed ? Sample::Int8 : Sample::UInt8)
                       : bits == 16 ? (is_signed ? Sample::Int16 : Sample::UInt16)
                                    : Sample::Int32;
        bytes_ = bits / 8;
        if (TIFFIsTiled(tiff_)) {
            if (!TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tile_width_) ||
                !TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &tile_height_) || tile_width_ == 0 ||
                tile_height_ == 0)
                fail("malformed TIFF: no tile size");
            // A tile, and the row of tiles kept while its rows are used, each
            // at most max_tile: a tiny file cannot claim gigabytes of either.
            std::uint32_t depth = 1;
            TIFFGetFieldDefaulted(tiff_, TIFFTAG_IMAGEDEPTH, &depth);
            const tmsize_t tile_bytes = TIFFTileSize(tiff_);
            const std::uint64_t band_bytes =
                std::min<std::uint64_t>(tile_height_, height) * std::uint64_t{width} * 4;
            if (depth != 1)
                throw Error(name + ": the TIFF is 3-D (depth " + std::to_string(depth) +
                            "); conv-ta reads 2-D images");
            if (tile_bytes <= 0 || static_cast<std::uint64_t>(tile_bytes) > max_tile ||
                band_bytes > max_tile)
                throw Error(name + ": the TIFF's tiles of " + std::to_string(tile_width_) + " x " +
                            std::to_string(tile_height_) + " are larger than conv-ta reads (" +
                            std::to_string(max_tile >> 20) + " MiB a row of tiles)");
            tile_.resize(static_cast<std::size_t>(tile_bytes));
            if (tile_.size() < std::size_t{tile_width_} * tile_height_ * bytes_)
                fail("malformed TIFF: tile size");
        } else {
            const tmsize_t line = TIFFScanlineSize(tiff_);
            if (line <= 0 || static_cast<std::uint64_t>(line) < std::uint64_t{width} * bytes_)
                fail("malformed TIFF: scanline size");
            line_bytes_ = static_cast<std::size_t>(line); // allocated with the first row
        }
    }

    void read_rows(std::int32_t* pixels, std::int64_t rows) override {
        const auto width = static_cast<std::size_t>(info_.width);
        for (std::int64_t r = 0; r < rows; ++r, ++row_) {
            std::int32_t* out = pixels + static_cast<std::size_t>(r) * width;
            if (tile_width_ == 0) {
                tile_.resize(line_bytes_);
                if (TIFFReadScanline(tiff_, tile_.data(), static_cast<std::uint32_t>(row_), 0) < 0)
                    fail("malformed TIFF");
                widen(tile_.data(), out, width);
                continue;
            }
            // Tiled: a row of tiles at a time, kept until its rows are used.
            const std::int64_t band_row = row_ % tile_height_;
            if (band_row == 0)
                read_tile_row();
            std::copy_n(band_.data() + static_cast<std::size_t>(band_row) * width, width, out);
        }
    }

  private:
    void read_tile_row() {
        const auto width = static_cast<std::size_t>(info_.width);
        const std::size_t rows =
            std::min<std::size_t>(tile_height_, static_cast<std::size_t>(info_.height - row_));
        band_.resize(rows * width);
        for (std::uint32_t x = 0; x < info_.width; x += tile_width_) {
            if (TIFFReadTile(tiff_, tile_.data(), x, static_cast<std::uint32_t>(row_), 0, 0) < 0)
                fail("malformed TIFF");
            const std::size_t columns = std::min<std::size_t>(tile_width_, width - x);
            for (std::size_t y = 0; y < rows; ++y)
                widen(tile_.data() + y * tile_width_ * bytes_, band_.data() + y * width + x,
                      columns);
        }
    }

    // Samples in the machine's byte order, as libtiff gives them.
    void widen(const unsigned char* raw, std::int32_t* out, std::size_t count) const {
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char* p = raw + i * static_cast<std::size_t>(bytes_);
            switch (info_.sample) {
            case Sample::Int8:
                out[i] = static_cast<std::int8_t>(p[0]);
                break;
            case Sample::UInt8:
                out[i] = p[0];
                break;
            case Sample::Int16:
                out[i] = static_cast<std::int16_t>(p[0] | p[1] << 8);
                break;
            case Sample::UInt16:
                out[i] = p[0] | p[1] << 8;
                break;
            case Sample::Int32:
                out[i] = static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                                   static_cast<std::uint32_t>(p[3]) << 24);
                break;
            }
        }
    }

    [[noreturn]] void fail(const char* what) const {
        throw Error(source_->name() + ": " + what +
                    (errors_.message[0] ? std::string(": ") + errors_.message : std::string()));
    }

    std::unique_ptr<Source> source_;
    TiffErrors errors_;
    TiffHandle handle_;
    TIFF* tiff_ = nullptr;
    int bytes_ = 1;
    std::uint32_t tile_width_ = 0, tile_height_ = 0;
    std::size_t line_bytes_ = 0;
    std::int64_t row_ = 0;
    std::vector<unsigned char> tile_;
    std::vector<std::int32_t> band_;
};

class TiffWriter : public ImageWriter {
  public:
    TiffWriter(std::unique_ptr<Sink> sink, const ImageInfo& image, Store store)
        : sink_(std::move(sink)), image_(image), store_(store) {
        store_.clamped = &clamped_;
        if (image.height == 0 || image.width == 0)
            throw Error(sink_->name() + ": a TIFF cannot hold an empty image (" +
                        dims(image.height, image.width) + ")");
        bytes_ = image.sample == Sample::Int32 ? 4 : image.sample == Sample::UInt16 ? 2 : 1;
        const std::uint64_t data = static_cast<std::uint64_t>(image.height * image.width) *
                                   static_cast<std::uint64_t>(bytes_);
        const int fd = ::dup(sink_->fd());
        if (fd < 0)
            sink_->fail();
        tiff_ =
            open_tiff(fd, sink_->name(), data > (std::uint64_t{1} << 31) ? "w8" : "w", &errors_);
        if (tiff_ == nullptr) {
            ::close(fd);
            fail();
        }
        const std::uint64_t row_bytes = static_cast<std::uint64_t>(image.width) * bytes_;
        const auto rows_per_strip = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(
            (std::uint64_t{1} << 20) / row_bytes, 1, static_cast<std::uint64_t>(image.height)));
        if (!TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.width)) ||
            !TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.height)) ||
            !TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, bytes_ * 8) ||
            !TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, 1) ||
            !TIFFSetField(tiff_, TIFFTAG_SAMPLEFORMAT,
                          image.sample == Sample::Int32 ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT) ||
            !TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) ||
            !TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) ||
            !TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE) ||
            !TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, rows_per_strip))
            fail();
        line_.resize(static_cast<std::size_t>(row_bytes));
    }

    void write_rows(const std::int32_t* pixels, std::int64_t rows) override {
        const auto width = static_cast<std::size_t>(image_.width);
        for (std::int64_t r = 0; r < rows; ++r, ++row_) {
            const std::int32_t* in = pixels + static_cast<std::size_t>(r) * width;
            for (std::size_t x = 0; x < width; ++x) {
                const auto v = static_cast<std::uint32_t>(store_(in[x]));
                for (int b = 0; b < bytes_; ++b)
                    line_[x * static_cast<std::size_t>(bytes_) + static_cast<std::size_t>(b)] =
                        static_cast<unsigned char>(v >> (8 * b));
            }
            if (TIFFWriteScanline(tiff_, line_.data(), static_cast<std::uint32_t>(row_), 0) < 0)
                fail();
        }
    }

    void finish() override {
        const bool flushed = TIFFFlush(tiff_) == 1;
        TIFFClose(tiff_);
        handle_.tiff = tiff_ = nullptr;
        if (!flushed)
            fail();
        sink_->commit();
    }

  private:
    [[noreturn]] void fail() const {
        throw Error(sink_->name() + ": cannot write the TIFF" +
                    (errors_.message[0] ? std::string(": ") + errors_.message : std::string()) +
                    " (left as it was)");
    }

    std::unique_ptr<Sink> sink_;
    ImageInfo image_;
    Store store_;
    TiffErrors errors_;
    TiffHandle handle_;
    TIFF* tiff_ = nullptr;
    int bytes_ = 4;
    std::int64_t row_ = 0;
    std::vector<unsigned char> line_;
};

} // namespace

std::unique_ptr<ImageReader> read_tiff(std::unique_ptr<Source> source) {
    return std::make_unique<TiffReader>(std::move(source));
}

std::unique_ptr<ImageWriter> write_tiff(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                        Store store) {
    return std::make_unique<TiffWriter>(std::move(sink), image, store);
}

} // namespace conv_ta_tool
