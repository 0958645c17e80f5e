// PGM: plain (P2) and binary (P5), 8- and 16-bit, one image a file.
#include "formats/format.h"

#include <algorithm>
#include <cctype>

namespace conv_ta_tool {

namespace {

// The file scanned a chunk at a time, so that neither a header nor a sample
// costs more than what has been read to reach it.
class Scanner {
  public:
    explicit Scanner(Source& source) : source_(source) {}

    // Skips white space and comments; false at the end of the file.
    bool skip() {
        while (available()) {
            if (b_[pos_] == '#') {
                while (available() && b_[pos_] != '\n' && b_[pos_] != '\r')
                    ++pos_;
            } else if (std::isspace(b_[pos_])) {
                ++pos_;
            } else {
                return true;
            }
        }
        return false;
    }

    // The next token as an unsigned decimal number, INT64_MAX when it has
    // too many digits; empty when the token is not a number.
    std::optional<std::int64_t> number(std::string* token) {
        token->clear();
        while (available() && !std::isspace(b_[pos_]) && b_[pos_] != '#') {
            if (token->size() < 64) // enough to show, and to tell a number too long
                *token += static_cast<char>(b_[pos_]);
            ++pos_;
        }
        if (token->empty() ||
            !std::all_of(token->begin(), token->end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        return decimal(*token);
    }

    // A header field: width, height or maxval, as written.
    std::string header_field(const char* what) {
        if (!skip())
            throw Error(source_.name() + ": the PGM header ends before the " + what);
        std::string token;
        if (!number(&token))
            throw Error(source_.name() + ": malformed PGM header: the " + what + " is '" +
                        shown(token) + "', not a number");
        return token;
    }

    static std::string shown(const std::string& token) {
        std::string s;
        for (char c : token.substr(0, 20))
            s += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
        return token.size() > 20 ? s + "..." : s;
    }

    std::optional<unsigned char> get() {
        if (!available())
            return std::nullopt;
        return b_[pos_++];
    }

    // The bytes not yet scanned, when the size is known.
    std::optional<std::uint64_t> left() const {
        const auto rest = source_.remaining();
        if (!rest)
            return std::nullopt;
        return b_.size() - pos_ + *rest;
    }

    // The next `count` bytes, exactly.
    void take(unsigned char* out, std::size_t count) {
        const std::size_t buffered = std::min(count, b_.size() - pos_);
        std::copy_n(b_.begin() + static_cast<std::ptrdiff_t>(pos_), buffered, out);
        pos_ += buffered;
        source_.read_exact(out + buffered, count - buffered);
    }

  private:
    // Whether a byte is at pos_, reading the next chunk when the buffer is
    // used up.
    bool available() {
        if (pos_ < b_.size())
            return true;
        b_.resize(1 << 16);
        b_.resize(source_.read_some(b_.data(), b_.size()));
        pos_ = 0;
        return !b_.empty();
    }

    Source& source_;
    std::vector<unsigned char> b_;
    std::size_t pos_ = 0;
};

std::string position(std::int64_t row, std::int64_t column) {
    return "row " + std::to_string(row) + ", column " + std::to_string(column);
}

class PgmReader : public ImageReader {
  public:
    explicit PgmReader(std::unique_ptr<Source> source)
        : source_(std::move(source)), scan_(*source_) {
        const std::string& path = source_->name();
        std::string magic(2, '\0');
        magic[0] = static_cast<char>(*scan_.get());
        magic[1] = static_cast<char>(*scan_.get());
        plain_ = magic[1] == '2';
        info_.format = plain_ ? Format::PgmPlain : Format::PgmBinary;
        const std::string width = scan_.header_field("width");
        const std::string height = scan_.header_field("height");
        check_dimensions(path, height, width);
        info_.width = decimal(width);
        info_.height = decimal(height);
        const std::int64_t maxval = decimal(scan_.header_field("maxval"));
        if (maxval < 1 || maxval > 65535)
            throw Error(path + ": PGM maxval " + (maxval > 65535 ? "above 65535" : "0") +
                        " is outside 1..65535");
        info_.maxval = static_cast<int>(maxval);
        info_.sample = maxval > 255 ? Sample::UInt16 : Sample::UInt8;
        count_ = static_cast<std::uint64_t>(info_.height * info_.width);
        if (plain_) {
            // Every plain sample takes a digit and a separator, except the last one's.
            const auto left = scan_.left();
            if (left && count_ > (*left + 1) / 2)
                throw Error(path + ": the file is truncated: it is too short for the " +
                            std::to_string(count_) + " samples of a " +
                            dims(info_.height, info_.width) + " image");
            return;
        }
        // Exactly one white-space byte separates maxval from the samples.
        const std::optional<unsigned char> separator = scan_.get();
        if (!separator || !std::isspace(*separator))
            throw Error(path + ": malformed PGM header: no white space after maxval");
        size_ = maxval > 255 ? 2 : 1;
        const std::uint64_t needed = count_ * static_cast<std::uint64_t>(size_);
        if (const auto have = scan_.left()) {
            if (*have < needed)
                throw Error(path + ": the file is truncated: a " + dims(info_.height, info_.width) +
                            " image with maxval " + std::to_string(maxval) + " needs " +
                            std::to_string(needed) + " bytes of samples, it has " +
                            std::to_string(*have));
            if (*have > needed)
                throw Error(path + ": the file has " + std::to_string(*have - needed) +
                            " bytes after the image; conv-ta reads files of one image");
        }
    }

    void read_rows(std::int32_t* pixels, std::int64_t rows) override {
        const std::string& path = source_->name();
        const std::size_t count = static_cast<std::size_t>(rows * info_.width);
        const int maxval = info_.maxval;
        if (!plain_) {
            // Read into the end of the rows and widened from the front.
            const std::size_t bytes = count * static_cast<std::size_t>(size_);
            auto* raw = reinterpret_cast<unsigned char*>(pixels) + count * 4 - bytes;
            scan_.take(raw, bytes);
            for (std::size_t i = 0; i < count; ++i) {
                const int v = size_ == 1 ? raw[i] : raw[2 * i] << 8 | raw[2 * i + 1];
                if (v > maxval)
                    throw Error(path + ": sample " + std::to_string(v) + " at " + where(i) +
                                " exceeds maxval " + std::to_string(maxval));
                pixels[i] = v;
            }
            done_ += count;
            return;
        }
        std::string token;
        for (std::size_t i = 0; i < count; ++i) {
            if (!scan_.skip())
                throw Error(path + ": the file is truncated: it holds " +
                            std::to_string(done_ + i) + " of " + std::to_string(count_) +
                            " samples");
            const std::optional<std::int64_t> v = scan_.number(&token);
            if (!v)
                throw Error(path + ": the sample at " + where(i) + " is '" + Scanner::shown(token) +
                            "', not a number");
            if (*v > maxval)
                throw Error(path + ": sample " + Scanner::shown(token) + " at " + where(i) +
                            " exceeds maxval " + std::to_string(maxval));
            pixels[i] = static_cast<std::int32_t>(*v);
        }
        done_ += count;
    }

    void finish() override {
        const bool more = plain_ ? scan_.skip() : scan_.get().has_value();
        if (more)
            throw Error(source_->name() +
                        ": the file has data after the image; conv-ta reads files of one image");
    }

  private:
    std::string where(std::size_t i) const {
        const std::uint64_t index = done_ + i;
        const auto w = static_cast<std::uint64_t>(info_.width);
        return position(static_cast<std::int64_t>(index / w), static_cast<std::int64_t>(index % w));
    }

    std::unique_ptr<Source> source_;
    Scanner scan_;
    bool plain_ = false;
    int size_ = 1;
    std::uint64_t count_ = 0;
    std::uint64_t done_ = 0;
};

class PgmWriter : public ImageWriter {
  public:
    PgmWriter(std::unique_ptr<Sink> sink, const ImageInfo& image, Store store)
        : sink_(std::move(sink)), image_(image), store_(store) {
        store_.clamped = &clamped_;
        plain_ = image.format == Format::PgmPlain;
        sink_->put(std::string(plain_ ? "P2\n" : "P5\n") + std::to_string(image.width) + " " +
                   std::to_string(image.height) + "\n" + std::to_string(image.maxval) + "\n");
    }

    void write_rows(const std::int32_t* pixels, std::int64_t rows) override {
        const auto width = static_cast<std::size_t>(image_.width);
        const std::size_t count = static_cast<std::size_t>(rows) * width;
        for (std::size_t i = 0; i < count; ++i) {
            const auto v = static_cast<int>(store_(pixels[i]));
            if (plain_) {
                chunk_ += std::to_string(v);
                ++column_;
                const bool row_end = column_ == width;
                chunk_ += row_end || column_ % 16 == 0 ? '\n' : ' ';
                if (row_end)
                    column_ = 0;
            } else {
                if (image_.maxval > 255)
                    chunk_ += static_cast<char>(v >> 8);
                chunk_ += static_cast<char>(v & 0xff);
            }
            if (chunk_.size() >= 1 << 16) {
                sink_->put(chunk_);
                chunk_.clear();
            }
        }
    }

    void finish() override {
        sink_->put(chunk_);
        chunk_.clear();
        sink_->commit();
    }

  private:
    std::unique_ptr<Sink> sink_;
    ImageInfo image_;
    Store store_;
    bool plain_ = false;
    std::size_t column_ = 0;
    std::string chunk_;
};

} // namespace

std::unique_ptr<ImageReader> read_pgm(std::unique_ptr<Source> source) {
    return std::make_unique<PgmReader>(std::move(source));
}

std::unique_ptr<ImageWriter> write_pgm(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                       Store store) {
    return std::make_unique<PgmWriter>(std::move(sink), image, store);
}

} // namespace conv_ta_tool
