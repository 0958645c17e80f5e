// PNG through libpng: grey images of 1 to 16 bits read, 8 and 16 written.
// libpng reports errors by longjmp; each call into it is made in a frame of
// its own that holds nothing to destroy, and the error is thrown from there.
#include "formats/format.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace conv_ta_tool {

namespace {

struct PngState {
    Source* source = nullptr;
    Sink* sink = nullptr;
    char message[256] = "";
};

extern "C" void png_failed(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

extern "C" void png_warned(png_structp, png_const_charp) {}

extern "C" void png_read_bytes(png_structp png, png_bytep data, png_size_t size) {
    auto* state = static_cast<PngState*>(png_get_io_ptr(png));
    const char* failure = nullptr;
    try {
        std::size_t got = 0;
        while (got < size && failure == nullptr) {
            const std::size_t n = state->source->read_some(data + got, size - got);
            got += n;
            if (n == 0)
                failure = "the file ended early";
        }
    } catch (const Error&) {
        failure = "cannot read the file";
    }
    if (failure != nullptr)
        png_error(png, failure);
}

extern "C" void png_write_bytes(png_structp png, png_bytep data, png_size_t size) {
    auto* state = static_cast<PngState*>(png_get_io_ptr(png));
    bool failed = false;
    try {
        state->sink->put(data, size);
    } catch (const Error&) {
        failed = true;
    }
    if (failed)
        png_error(png, std::strerror(errno));
}

extern "C" void png_flush_nothing(png_structp) {}

// libpng's structures for one file, freed however the reader or writer that
// holds them ends, its constructor's throws included.
struct PngHandles {
    bool reading;
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngHandles() {
        if (reading)
            png_destroy_read_struct(&png, &info, nullptr);
        else
            png_destroy_write_struct(&png, &info);
    }
};

// Runs `call` on `png`; a libpng error comes back as false, its message in
// the state.
template <class Call>
bool png_guarded(png_structp png, Call&& call) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    call();
    return true;
}

class PngReader : public ImageReader {
  public:
    explicit PngReader(std::unique_ptr<Source> source) : source_(std::move(source)) {
        state_.source = source_.get();
        handles_.png =
            png_create_read_struct(PNG_LIBPNG_VER_STRING, &state_, png_failed, png_warned);
        if (handles_.png == nullptr ||
            (handles_.info = png_create_info_struct(handles_.png)) == nullptr)
            throw Error(source_->name() + ": cannot read the PNG: out of memory");
        png_ = handles_.png;
        info_ptr_ = handles_.info;
        png_uint_32 width = 0, height = 0;
        int depth = 0, colour = 0, interlace = 0;
        const bool ok = png_guarded(png_, [&] {
            png_set_read_fn(png_, &state_, png_read_bytes);
            png_set_user_limits(png_, 0x7fffffff, 0x7fffffff);
            png_read_info(png_, info_ptr_);
            png_get_IHDR(png_, info_ptr_, &width, &height, &depth, &colour, &interlace, nullptr,
                         nullptr);
        });
        if (!ok)
            fail();
        if (colour != PNG_COLOR_TYPE_GRAY)
            throw Error(source_->name() + ": the PNG is " +
                        (colour == PNG_COLOR_TYPE_GRAY_ALPHA ? "grey with alpha"
                         : colour == PNG_COLOR_TYPE_PALETTE  ? "a palette image"
                                                             : "in colour") +
                        "; conv-ta reads grey PNGs (8 or 16 bits, no alpha)");
        if (interlace != PNG_INTERLACE_NONE)
            throw Error(source_->name() +
                        ": the PNG is interlaced; conv-ta reads PNGs row by row: save it "
                        "without interlacing");
        // Deflate shrinks data at most about 1032 times: a file too small for
        // the rows its header claims fails here, before they are allocated.
        const auto left = source_->remaining();
        const std::uint64_t raw =
            std::uint64_t{height} *
            ((std::uint64_t{width} * static_cast<unsigned>(depth) + 7) / 8 + 1);
        if (left && raw / 1100 > *left + 1024)
            throw Error(source_->name() + ": the PNG is truncated: " + std::to_string(*left) +
                        " bytes cannot hold the " + dims(height, width) +
                        " image its header claims");
        depth_ = depth;
        if (png_guarded(png_, [&] {
                if (depth < 8)
                    png_set_expand_gray_1_2_4_to_8(png_);
                png_read_update_info(png_, info_ptr_);
            }) == false)
            fail();
        info_.height = height;
        info_.width = width;
        info_.format = Format::Png;
        info_.maxval = depth == 16 ? 65535 : (1 << depth) - 1;
        info_.sample = depth == 16 ? Sample::UInt16 : Sample::UInt8;
    }

    void read_rows(std::int32_t* pixels, std::int64_t rows) override {
        const auto width = static_cast<std::size_t>(info_.width);
        // Allocated with the first row, as the caller's rows are: a header
        // alone costs nothing.
        row_.resize(width * (depth_ == 16 ? 2 : 1));
        for (std::int64_t r = 0; r < rows; ++r) {
            png_bytep row = row_.data();
            if (!png_guarded(png_, [&] { png_read_row(png_, row, nullptr); }))
                fail();
            std::int32_t* out = pixels + static_cast<std::size_t>(r) * width;
            // Samples of fewer than 8 bits are expanded to the 0..255 scale;
            // they are read as the values they were written as.
            const int shift = depth_ < 8 ? 8 - depth_ : 0;
            for (std::size_t x = 0; x < width; ++x)
                out[x] = depth_ == 16 ? row[2 * x] << 8 | row[2 * x + 1] : row[x] >> shift;
        }
    }

    void finish() override {
        if (!png_guarded(png_, [&] { png_read_end(png_, nullptr); }))
            fail();
    }

  private:
    [[noreturn]] void fail() {
        throw Error(source_->name() + ": malformed PNG: " + state_.message);
    }

    std::unique_ptr<Source> source_;
    PngState state_;
    PngHandles handles_{true};
    png_structp png_ = nullptr;
    png_infop info_ptr_ = nullptr;
    int depth_ = 8;
    std::vector<unsigned char> row_;
};

class PngWriter : public ImageWriter {
  public:
    PngWriter(std::unique_ptr<Sink> sink, const ImageInfo& image, Store store)
        : sink_(std::move(sink)), image_(image), store_(store) {
        store_.clamped = &clamped_;
        if (image.height > 0x7fffffff || image.width > 0x7fffffff)
            throw Error(sink_->name() + ": a PNG holds at most 2147483647 rows and columns");
        if (image.height == 0 || image.width == 0)
            throw Error(sink_->name() + ": a PNG cannot hold an empty image (" +
                        dims(image.height, image.width) + ")");
        state_.sink = sink_.get();
        handles_.png =
            png_create_write_struct(PNG_LIBPNG_VER_STRING, &state_, png_failed, png_warned);
        if (handles_.png == nullptr ||
            (handles_.info = png_create_info_struct(handles_.png)) == nullptr)
            throw Error(sink_->name() + ": cannot write the PNG: out of memory");
        png_ = handles_.png;
        info_ptr_ = handles_.info;
        const int depth = image.maxval > 255 ? 16 : 8;
        const auto width = static_cast<png_uint_32>(image.width);
        const auto height = static_cast<png_uint_32>(image.height);
        if (!png_guarded(png_, [&] {
                png_set_write_fn(png_, &state_, png_write_bytes, png_flush_nothing);
                png_set_user_limits(png_, 0x7fffffff, 0x7fffffff);
                png_set_IHDR(png_, info_ptr_, width, height, depth, PNG_COLOR_TYPE_GRAY,
                             PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                             PNG_FILTER_TYPE_DEFAULT);
                png_write_info(png_, info_ptr_);
            }))
            fail();
        row_.resize(static_cast<std::size_t>(image.width) * (depth == 16 ? 2 : 1));
    }

    void write_rows(const std::int32_t* pixels, std::int64_t rows) override {
        const auto width = static_cast<std::size_t>(image_.width);
        const bool wide = image_.maxval > 255;
        for (std::int64_t r = 0; r < rows; ++r) {
            const std::int32_t* in = pixels + static_cast<std::size_t>(r) * width;
            for (std::size_t x = 0; x < width; ++x) {
                const auto v = static_cast<unsigned>(store_(in[x]));
                if (wide) {
                    row_[2 * x] = static_cast<unsigned char>(v >> 8);
                    row_[2 * x + 1] = static_cast<unsigned char>(v);
                } else {
                    row_[x] = static_cast<unsigned char>(v);
                }
            }
            png_bytep row = row_.data();
            if (!png_guarded(png_, [&] { png_write_row(png_, row); }))
                fail();
        }
    }

    void finish() override {
        if (!png_guarded(png_, [&] { png_write_end(png_, nullptr); }))
            fail();
        sink_->commit();
    }

  private:
    [[noreturn]] void fail() {
        throw Error(sink_->name() + ": cannot write the PNG: " + state_.message);
    }

    std::unique_ptr<Sink> sink_;
    ImageInfo image_;
    Store store_;
    PngState state_;
    PngHandles handles_{false};
    png_structp png_ = nullptr;
    png_infop info_ptr_ = nullptr;
    std::vector<unsigned char> row_;
};

} // namespace

std::unique_ptr<ImageReader> read_png(std::unique_ptr<Source> source) {
    return std::make_unique<PngReader>(std::move(source));
}

std::unique_ptr<ImageWriter> write_png(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                       Store store) {
    return std::make_unique<PngWriter>(std::move(sink), image, store);
}

} // namespace conv_ta_tool
