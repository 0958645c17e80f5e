// What the readers and writers of every format share: the bytes of IN, the
// bytes of OUT, and the step from a result to a stored value.
#ifndef CONV_TA_TOOL_FORMATS_FORMAT_H
#define CONV_TA_TOOL_FORMATS_FORMAT_H

#include "error.h"
#include "image_io.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace conv_ta_tool {

std::string dims(std::int64_t height, std::int64_t width);

// A number written in decimal, INT64_MAX when it has too many digits.
std::int64_t decimal(const std::string& digits);

// Throws unless both fit the library's int32 sizes; the texts are the
// numbers as the file wrote them, for the message.
void check_dimensions(const std::string& name, const std::string& height, const std::string& width);

// The bytes of IN: a regular file of known size, or a pipe or terminal (the
// standard input) read until it ends. Never blocks in open.
class Source {
  public:
    explicit Source(const std::string& path);
    ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    const std::string& name() const { return name_; }
    int fd() const { return fd_; }
    bool seekable() const { return size_.has_value(); }
    // What is left to read, when the size is known.
    std::optional<std::uint64_t> remaining() const;
    // Up to `count` bytes; 0 only at the end.
    std::size_t read_some(void* buffer, std::size_t count);
    // Exactly `count` bytes, or an Error saying the file ended early.
    void read_exact(void* buffer, std::uint64_t count);
    // Puts bytes just read back in front of the rest.
    void unread(const void* bytes, std::size_t count);
    bool at_end();

  private:
    std::string name_;
    int fd_ = -1;
    bool own_ = false;
    std::optional<std::uint64_t> size_;
    std::uint64_t offset_ = 0;
    std::vector<unsigned char> pushed_;
};

// The bytes of OUT: a temporary file beside the destination, renamed over
// it by commit(), and removed if conv-ta fails or a signal ends it first; or
// the standard output.
class Sink {
  public:
    explicit Sink(const std::string& path);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    const std::string& name() const { return path_; }
    int fd() const { return fd_; }
    bool to_stdout() const { return stdout_; }
    void put(const void* data, std::size_t size);
    void put(const std::string& s) { put(s.data(), s.size()); }
    void flush();
    void commit();
    [[noreturn]] void fail();

  private:
    std::string path_;
    bool stdout_ = false;
    unsigned mode_ = 0644;
    int fd_ = -1;
    std::vector<char> buffer_;
};

// A result as the value to store: transformed, then clamped to [low, high],
// counting what was clamped.
struct Store {
    Transform transform;
    std::int64_t low, high;
    std::uint64_t* clamped = nullptr; // set by the writer to its own count

    bool identity() const {
        return transform.divisor == 1 && !transform.absolute && transform.offset == 0 &&
               low <= INT32_MIN && high >= INT32_MAX;
    }
    std::int64_t operator()(std::int32_t value) const {
        std::int64_t v = value;
        if (transform.divisor != 1) {
            const std::int64_t d = transform.divisor;
            v = v >= 0 ? (v + d / 2) / d : -((-v + d / 2) / d);
        }
        if (transform.absolute && v < 0)
            v = -v;
        v += transform.offset;
        if (v < low || v > high) {
            ++*clamped;
            v = v < low ? low : high;
        }
        return v;
    }
};

// One reader per format, given the source from its first byte; one writer
// per format, whose Store clamps to the range create_image chose.
std::unique_ptr<ImageReader> read_npy(std::unique_ptr<Source> source);
std::unique_ptr<ImageReader> read_pgm(std::unique_ptr<Source> source);
std::unique_ptr<ImageReader> read_png(std::unique_ptr<Source> source);
std::unique_ptr<ImageReader> read_tiff(std::unique_ptr<Source> source);

std::unique_ptr<ImageWriter> write_npy(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                       Store store);
std::unique_ptr<ImageWriter> write_pgm(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                       Store store);
std::unique_ptr<ImageWriter> write_png(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                       Store store);
std::unique_ptr<ImageWriter> write_tiff(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                        Store store);

} // namespace conv_ta_tool

#endif
