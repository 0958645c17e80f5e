// NumPy .npy: a 2-D array in C order of int8, uint8, int16, uint16 or
// int32, either byte order, read as int32; written as the type asked for.
#include "formats/format.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>

namespace conv_ta_tool {

namespace {

// A value of the Python literal that a .npy header holds: a dict of strings,
// booleans and tuples of integers.
struct Literal {
    enum Kind { String, Name, Integer, Tuple, List, Dict } kind = Name;
    std::string text;                    // String, Name, Integer (digits)
    std::vector<Literal> items;          // Tuple, List
    std::map<std::string, Literal> dict; // Dict
};

class HeaderParser {
  public:
    explicit HeaderParser(const std::string& text) : s_(text) {}

    std::optional<Literal> parse() {
        std::optional<Literal> v = value();
        skip_space();
        if (!v || pos_ != s_.size())
            return std::nullopt;
        return v;
    }

  private:
    void skip_space() {
        while (pos_ < s_.size() && std::strchr(" \t\r\n", s_[pos_]) != nullptr)
            ++pos_;
    }
    bool eat(char c) {
        skip_space();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    std::optional<Literal> value() {
        skip_space();
        if (pos_ >= s_.size() || ++depth_ > 16)
            return std::nullopt;
        std::optional<Literal> v;
        const char c = s_[pos_];
        if (c == '\'' || c == '"')
            v = string();
        else if (c == '(' || c == '[')
            v = sequence();
        else if (c == '{')
            v = dict();
        else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-')
            v = integer();
        else if (std::isalpha(static_cast<unsigned char>(c)))
            v = name();
        --depth_;
        return v;
    }

    std::optional<Literal> string() {
        const char quote = s_[pos_++];
        Literal v{Literal::String, {}, {}, {}};
        while (pos_ < s_.size() && s_[pos_] != quote) {
            if (s_[pos_] == '\\')
                return std::nullopt; // no dtype or key needs an escape
            v.text += s_[pos_++];
        }
        if (pos_ >= s_.size())
            return std::nullopt;
        ++pos_;
        return v;
    }

    std::optional<Literal> integer() {
        Literal v{Literal::Integer, {}, {}, {}};
        if (s_[pos_] == '-')
            v.text += s_[pos_++];
        while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_])))
            v.text += s_[pos_++];
        if (pos_ < s_.size() && s_[pos_] == 'L') // written by old versions
            ++pos_;
        if (v.text.empty() || v.text == "-")
            return std::nullopt;
        return v;
    }

    std::optional<Literal> name() {
        Literal v{Literal::Name, {}, {}, {}};
        while (pos_ < s_.size() && std::isalnum(static_cast<unsigned char>(s_[pos_])))
            v.text += s_[pos_++];
        return v;
    }

    std::optional<Literal> sequence() {
        const char close = s_[pos_] == '(' ? ')' : ']';
        Literal v{close == ')' ? Literal::Tuple : Literal::List, {}, {}, {}};
        ++pos_;
        while (!eat(close)) {
            std::optional<Literal> item = value();
            if (!item)
                return std::nullopt;
            v.items.push_back(std::move(*item));
            if (!eat(',')) {
                if (!eat(close))
                    return std::nullopt;
                break;
            }
        }
        return v;
    }

    std::optional<Literal> dict() {
        Literal v{Literal::Dict, {}, {}, {}};
        ++pos_;
        while (!eat('}')) {
            skip_space();
            if (pos_ >= s_.size() || (s_[pos_] != '\'' && s_[pos_] != '"'))
                return std::nullopt;
            std::optional<Literal> key = string();
            if (!key || !eat(':'))
                return std::nullopt;
            std::optional<Literal> item = value();
            if (!item)
                return std::nullopt;
            v.dict[key->text] = std::move(*item);
            if (!eat(',')) {
                if (!eat('}'))
                    return std::nullopt;
                break;
            }
        }
        return v;
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

// "float64 ('<f8')" for a dtype string, as far as it can be named.
std::string describe_dtype(const std::string& descr) {
    std::string body = descr;
    if (!body.empty() && std::strchr("<>|=", body[0]) != nullptr)
        body.erase(0, 1);
    const std::string quoted = "'" + descr + "'";
    if (body.size() < 2 || !std::all_of(body.begin() + 1, body.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return quoted;
    // Item sizes of more digits than any dtype has are shown as written.
    if (body.size() > 6)
        return quoted;
    const int bits = std::atoi(body.c_str() + 1) * 8;
    const char* kind = nullptr;
    switch (body[0]) {
    case 'i':
        kind = "int";
        break;
    case 'u':
        kind = "uint";
        break;
    case 'f':
        kind = "float";
        break;
    case 'c':
        kind = "complex";
        break;
    case 'b':
        return "bool (" + quoted + ")";
    case 'S':
        return "bytes (" + quoted + ")";
    case 'U':
        return "str (" + quoted + ")";
    case 'M':
        return "datetime64 (" + quoted + ")";
    case 'm':
        return "timedelta64 (" + quoted + ")";
    default:
        return quoted;
    }
    return kind + std::to_string(bits) + " (" + quoted + ")";
}

std::string describe_shape(const std::vector<Literal>& items) {
    std::string s = "(";
    for (std::size_t i = 0; i < items.size(); ++i)
        s += (i ? ", " : "") + items[i].text;
    return s + (items.size() == 1 ? ",)" : ")");
}

// A dimension from the header: digits alone (no sign).
bool is_dimension(const Literal& v) {
    return v.kind == Literal::Integer && v.text[0] != '-';
}

struct Dtype {
    Sample sample;
    int size;
    bool big_endian;
};

// The dtypes read: integers of up to 32 bits, signed or not but uint32.
std::optional<Dtype> dtype_of(const std::string& descr) {
    if (descr.size() != 3 || std::strchr("<>|=", descr[0]) == nullptr)
        return std::nullopt;
    const bool big = descr[0] == '>';
    const std::string body = descr.substr(1);
    const std::pair<const char*, Sample> known[] = {{"i1", Sample::Int8},
                                                    {"u1", Sample::UInt8},
                                                    {"i2", Sample::Int16},
                                                    {"u2", Sample::UInt16},
                                                    {"i4", Sample::Int32}};
    for (auto [name, sample] : known)
        if (body == name)
            return Dtype{sample, body[1] - '0', big};
    return std::nullopt;
}

class NpyReader : public ImageReader {
  public:
    NpyReader(std::unique_ptr<Source> source, Dtype dtype)
        : source_(std::move(source)), dtype_(dtype) {}

    void read_rows(std::int32_t* pixels, std::int64_t rows) override {
        const std::size_t count = static_cast<std::size_t>(rows * info_.width);
        if (dtype_.size == 4) {
            // Read in place, and converted there when it must be.
            source_->read_exact(pixels, count * 4);
            if (dtype_.big_endian)
                for (std::size_t i = 0; i < count; ++i)
                    pixels[i] = static_cast<std::int32_t>(
                        __builtin_bswap32(static_cast<std::uint32_t>(pixels[i])));
            return;
        }
        // Narrower elements are read into the end of the rows and widened
        // from the front, which never overtakes what is still to be read.
        const std::size_t bytes = count * static_cast<std::size_t>(dtype_.size);
        auto* raw = reinterpret_cast<unsigned char*>(pixels) + count * 4 - bytes;
        source_->read_exact(raw, bytes);
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char* p = raw + i * static_cast<std::size_t>(dtype_.size);
            std::int32_t v;
            if (dtype_.size == 1) {
                v = dtype_.sample == Sample::Int8 ? static_cast<std::int8_t>(p[0]) : p[0];
            } else {
                const std::uint16_t u = static_cast<std::uint16_t>(
                    dtype_.big_endian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
                v = dtype_.sample == Sample::Int16 ? static_cast<std::int16_t>(u) : u;
            }
            pixels[i] = v;
        }
    }

    void finish() override {
        if (!source_->at_end())
            throw Error(source_->name() + ": there are bytes after the " +
                        dims(info_.height, info_.width) + " array");
    }

    ImageInfo& info() { return info_; }

  private:
    std::unique_ptr<Source> source_;
    Dtype dtype_;
};

class NpyWriter : public ImageWriter {
  public:
    NpyWriter(std::unique_ptr<Sink> sink, const ImageInfo& image, Store store)
        : sink_(std::move(sink)), image_(image), store_(store) {
        store_.clamped = &clamped_;
        static const char* const descrs[] = {"|i1", "|u1", "<i2", "<u2", "<i4"};
        std::string header = std::string("{'descr': '") + descrs[static_cast<int>(image.sample)] +
                             "', 'fortran_order': False, 'shape': (" +
                             std::to_string(image.height) + ", " + std::to_string(image.width) +
                             "), }";
        // Data starts on a 64-byte boundary, as numpy writes it.
        while ((10 + header.size() + 1) % 64 != 0)
            header += ' ';
        header += '\n';
        const unsigned char prefix[10] = {0x93,
                                          'N',
                                          'U',
                                          'M',
                                          'P',
                                          'Y',
                                          1,
                                          0,
                                          static_cast<unsigned char>(header.size() & 0xff),
                                          static_cast<unsigned char>(header.size() >> 8)};
        sink_->put(prefix, sizeof prefix);
        sink_->put(header);
    }

    void write_rows(const std::int32_t* pixels, std::int64_t rows) override {
        const std::size_t count = static_cast<std::size_t>(rows * image_.width);
        if (image_.sample == Sample::Int32 && store_.identity()) {
            sink_->put(pixels, count * 4);
            return;
        }
        const int size = image_.sample == Sample::Int32                                      ? 4
                         : image_.sample == Sample::Int16 || image_.sample == Sample::UInt16 ? 2
                                                                                             : 1;
        for (std::size_t i = 0; i < count;) {
            const std::size_t n = std::min<std::size_t>(count - i, 1 << 16);
            chunk_.resize(n * static_cast<std::size_t>(size));
            for (std::size_t j = 0; j < n; ++j) {
                const auto v = static_cast<std::uint32_t>(store_(pixels[i + j]));
                for (int b = 0; b < size; ++b)
                    chunk_[j * static_cast<std::size_t>(size) + static_cast<std::size_t>(b)] =
                        static_cast<char>(v >> (8 * b));
            }
            sink_->put(chunk_.data(), chunk_.size());
            i += n;
        }
    }

    void finish() override { sink_->commit(); }

  private:
    std::unique_ptr<Sink> sink_;
    ImageInfo image_;
    Store store_;
    std::vector<char> chunk_;
};

} // namespace

std::unique_ptr<ImageReader> read_npy(std::unique_ptr<Source> source) {
    const std::string& path = source->name();
    unsigned char start[8];
    source->read_exact(start, sizeof start); // the magic string and the version
    const int major = start[6], minor = start[7];
    std::uint32_t header_size = 0;
    if (major == 1) {
        unsigned char n[2];
        source->read_exact(n, 2);
        header_size = n[0] | n[1] << 8;
    } else if (major == 2 || major == 3) {
        unsigned char n[4];
        source->read_exact(n, 4);
        header_size = n[0] | n[1] << 8 | n[2] << 16 | static_cast<std::uint32_t>(n[3]) << 24;
    } else {
        throw Error(path + ": unsupported .npy format version " + std::to_string(major) + "." +
                    std::to_string(minor));
    }
    const auto left = source->remaining();
    if (header_size > (1u << 20) || (left && header_size > *left))
        throw Error(path + ": malformed .npy file: its header claims " +
                    std::to_string(header_size) + " bytes");
    std::string text(header_size, '\0');
    source->read_exact(text.data(), header_size);

    const std::optional<Literal> header = HeaderParser(text).parse();
    const auto field = [&](const char* key) -> const Literal& {
        if (!header || header->kind != Literal::Dict || !header->dict.count(key))
            throw Error(path + ": malformed .npy header (no '" + key + "' in it)");
        return header->dict.at(key);
    };
    const Literal& descr = field("descr");
    const Literal& fortran = field("fortran_order");
    const Literal& shape = field("shape");
    if (descr.kind != Literal::String)
        throw Error(path + ": holds a structured array; conv-ta reads 2-D integer arrays");
    const std::optional<Dtype> dtype = dtype_of(descr.text);
    if (!dtype)
        throw Error(path + ": dtype is " + describe_dtype(descr.text) +
                    "; conv-ta reads int8, uint8, int16, uint16 and int32: save "
                    "a.astype(numpy.int32)");
    if (fortran.kind != Literal::Name || (fortran.text != "False" && fortran.text != "True"))
        throw Error(path + ": malformed .npy header (fortran_order is not True or False)");
    if (fortran.text == "True")
        throw Error(path + ": the array is in Fortran (column-major) order; conv-ta reads C order: "
                           "save numpy.ascontiguousarray(a)");
    if (shape.kind != Literal::Tuple)
        throw Error(path + ": malformed .npy header (shape is not a tuple)");
    if (shape.items.size() != 2)
        throw Error(path + ": shape is " + describe_shape(shape.items) + ", a " +
                    std::to_string(shape.items.size()) + "-D array; conv-ta reads 2-D arrays");
    if (!is_dimension(shape.items[0]) || !is_dimension(shape.items[1]))
        throw Error(path + ": malformed .npy header (shape " + describe_shape(shape.items) + ")");
    check_dimensions(path, shape.items[0].text, shape.items[1].text);
    const std::int64_t height = decimal(shape.items[0].text);
    const std::int64_t width = decimal(shape.items[1].text);

    const std::string type = sample_name(dtype->sample);
    const std::uint64_t needed =
        static_cast<std::uint64_t>(height * width) * static_cast<std::uint64_t>(dtype->size);
    if (const auto have = source->remaining()) {
        if (*have < needed)
            throw Error(path + ": the file is truncated: a " + dims(height, width) + " " + type +
                        " array needs " + std::to_string(needed) + " bytes of data, it has " +
                        std::to_string(*have));
        if (*have > needed)
            throw Error(path + ": the file has " + std::to_string(*have - needed) +
                        " bytes after the " + dims(height, width) + " " + type + " array");
    }
    auto reader = std::make_unique<NpyReader>(std::move(source), *dtype);
    reader->info() = ImageInfo{height, width, Format::Npy, dtype->sample, 0};
    return reader;
}

std::unique_ptr<ImageWriter> write_npy(std::unique_ptr<Sink> sink, const ImageInfo& image,
                                       Store store) {
    return std::make_unique<NpyWriter>(std::move(sink), image, store);
}

} // namespace conv_ta_tool
