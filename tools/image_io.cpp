#include "image_io.h"

#include "error.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <optional>

namespace conv_ta_tool {

std::string errno_text(int error) {
    return std::strerror(error);
}

namespace {

std::string dims(std::int64_t height, std::int64_t width) {
    return std::to_string(height) + " x " + std::to_string(width);
}

std::vector<std::int32_t> allocate(const std::string& path, std::int64_t height,
                                   std::int64_t width) {
    try {
        return std::vector<std::int32_t>(static_cast<std::size_t>(height * width));
    } catch (const std::bad_alloc&) {
        throw Error(path + ": not enough memory for a " + dims(height, width) + " image (" +
                    std::to_string(height * width * 4) + " bytes)");
    }
}

// A string of decimal digits as a number, INT64_MAX when it has too many
// digits to be one.
std::int64_t decimal(const std::string& digits) {
    if (digits.size() > 18)
        return INT64_MAX;
    std::int64_t n = 0;
    for (char c : digits)
        n = n * 10 + (c - '0');
    return n;
}

// The texts are the numbers as the file wrote them, for the message.
void check_dimensions(const std::string& path, const std::string& height,
                      const std::string& width) {
    for (auto [name, text] : {std::pair{"height", &height}, std::pair{"width", &width}})
        if (decimal(*text) > max_dimension)
            throw Error(path + ": the image is too large: its " + name + " of " + *text +
                        " exceeds " + std::to_string(max_dimension) +
                        ", the largest the library takes (it is given sizes as int32)");
}

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

// A regular file read from the start, knowing its size up front so that no
// header can make us allocate more than the file holds.
class InputFile {
  public:
    explicit InputFile(const std::string& path) : path_(path) {
        // Not blocking in open: a FIFO or a terminal is refused below, not
        // waited on.
        fd_.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd_.fd < 0)
            throw Error(path + ": cannot open: " + errno_text(errno));
        struct stat st;
        if (fstat(fd_.fd, &st) != 0)
            throw Error(path + ": cannot read: " + errno_text(errno));
        if (S_ISDIR(st.st_mode))
            throw Error(path + ": cannot read: it is a directory");
        if (!S_ISREG(st.st_mode))
            throw Error(path + ": cannot read: it is not a regular file");
        size_ = static_cast<std::uint64_t>(st.st_size);
        ::fcntl(fd_.fd, F_SETFL, ::fcntl(fd_.fd, F_GETFL) & ~O_NONBLOCK);
    }

    std::uint64_t remaining() const { return size_ - offset_; }

    void read_exact(void* buffer, std::uint64_t count) {
        auto* out = static_cast<char*>(buffer);
        while (count > 0) {
            const std::size_t chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, 1 << 30));
            const ssize_t got = ::read(fd_.fd, out, chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                throw Error(path_ + ": cannot read: " + errno_text(errno));
            if (got == 0)
                throw Error(path_ + ": the file ended early (was it changed while being read?)");
            out += got;
            count -= static_cast<std::uint64_t>(got);
            offset_ += static_cast<std::uint64_t>(got);
        }
    }

  private:
    std::string path_;
    Fd fd_;
    std::uint64_t size_ = 0;
    std::uint64_t offset_ = 0;
};

// ---- .npy ---------------------------------------------------------------

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

constexpr unsigned char npy_magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};

// Called with the file just past its magic string.
Image read_npy(const std::string& path, InputFile& file) {
    unsigned char version[2];
    file.read_exact(version, sizeof version);
    const int major = version[0], minor = version[1];
    std::uint32_t header_size = 0;
    if (major == 1) {
        unsigned char n[2];
        file.read_exact(n, 2);
        header_size = n[0] | n[1] << 8;
    } else if (major == 2 || major == 3) {
        unsigned char n[4];
        file.read_exact(n, 4);
        header_size = n[0] | n[1] << 8 | n[2] << 16 | static_cast<std::uint32_t>(n[3]) << 24;
    } else {
        throw Error(path + ": unsupported .npy format version " + std::to_string(major) + "." +
                    std::to_string(minor));
    }
    if (header_size > (1u << 20) || header_size > file.remaining())
        throw Error(path + ": malformed .npy file: its header claims " +
                    std::to_string(header_size) + " bytes");
    std::string text(header_size, '\0');
    file.read_exact(text.data(), header_size);

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
        throw Error(path + ": holds a structured array; conv-ta reads 2-D int32 arrays");
    const bool big_endian = descr.text == ">i4";
    if (descr.text != "<i4" && !big_endian)
        throw Error(path + ": dtype is " + describe_dtype(descr.text) +
                    "; conv-ta reads int32 ('<i4'): save a.astype(numpy.int32)");
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
    const std::optional<std::int64_t> height = decimal(shape.items[0].text);
    const std::optional<std::int64_t> width = decimal(shape.items[1].text);

    const std::uint64_t needed = static_cast<std::uint64_t>(*height * *width) * 4;
    if (file.remaining() < needed)
        throw Error(path + ": the file is truncated: a " + dims(*height, *width) +
                    " int32 array needs " + std::to_string(needed) + " bytes of data, it has " +
                    std::to_string(file.remaining()));
    if (file.remaining() > needed)
        throw Error(path + ": the file has " + std::to_string(file.remaining() - needed) +
                    " bytes after the " + dims(*height, *width) + " int32 array");

    Image image;
    image.height = *height;
    image.width = *width;
    image.format = Format::Npy;
    image.pixels = allocate(path, *height, *width);
    file.read_exact(image.pixels.data(), needed);
    if (big_endian)
        for (std::int32_t& v : image.pixels)
            v = static_cast<std::int32_t>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
    return image;
}

// ---- PGM ----------------------------------------------------------------

// Reads the file as it scans, a chunk at a time, so that neither a header
// nor a sample costs more than what has been read to reach it.
class PgmScanner {
  public:
    PgmScanner(const std::string& path, std::vector<unsigned char>& bytes, InputFile& file)
        : path_(path), b_(bytes), file_(file), pos_(2) {}

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

    // The bytes not yet scanned, in the buffer and in the file.
    std::uint64_t left() const { return b_.size() - pos_ + file_.remaining(); }

    // The next `count` bytes, at most what left() says.
    const unsigned char* take(std::size_t count) {
        b_.erase(b_.begin(), b_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
        const std::size_t have = b_.size();
        if (have < count) {
            b_.resize(count);
            file_.read_exact(b_.data() + have, count - have);
        }
        pos_ = count;
        return b_.data();
    }

    // A header field: width, height or maxval, as written.
    std::string header_field(const char* what) {
        if (!skip())
            throw Error(path_ + ": the PGM header ends before the " + what);
        std::string token;
        if (!number(&token))
            throw Error(path_ + ": malformed PGM header: the " + what + " is '" + shown(token) +
                        "', not a number");
        return token;
    }

    static std::string shown(const std::string& token) {
        std::string s;
        for (char c : token.substr(0, 20))
            s += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
        return token.size() > 20 ? s + "..." : s;
    }

    // The next byte, when there is one.
    std::optional<unsigned char> peek() {
        if (!available())
            return std::nullopt;
        return b_[pos_];
    }
    void advance(std::size_t n) { pos_ += n; }

  private:
    // Whether a byte is at pos_, reading the next chunk when the buffer is
    // used up; what is scanned already is dropped then.
    bool available() {
        if (pos_ < b_.size())
            return true;
        if (file_.remaining() == 0)
            return false;
        b_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file_.remaining(), 1 << 16)));
        file_.read_exact(b_.data(), b_.size());
        pos_ = 0;
        return true;
    }

    const std::string& path_;
    std::vector<unsigned char>& b_;
    InputFile& file_;
    std::size_t pos_;
};

std::string position(std::int64_t index, std::int64_t width) {
    return "row " + std::to_string(index / width) + ", column " + std::to_string(index % width);
}

// Called with the file's first bytes already taken.
Image read_pgm(const std::string& path, std::vector<unsigned char> bytes, InputFile& file) {
    const bool plain = bytes[1] == '2';
    PgmScanner scan(path, bytes, file);
    Image image;
    image.format = plain ? Format::PgmPlain : Format::PgmBinary;
    const std::string width = scan.header_field("width");
    const std::string height = scan.header_field("height");
    check_dimensions(path, height, width);
    image.width = decimal(width);
    image.height = decimal(height);
    const std::int64_t maxval = decimal(scan.header_field("maxval"));
    if (maxval < 1 || maxval > 65535)
        throw Error(path + ": PGM maxval " + (maxval > 65535 ? "above 65535" : "0") +
                    " is outside 1..65535");
    image.maxval = static_cast<int>(maxval);
    const std::uint64_t count = static_cast<std::uint64_t>(image.height * image.width);

    if (!plain) {
        // Exactly one white-space byte separates maxval from the samples.
        const std::optional<unsigned char> separator = scan.peek();
        if (!separator || !std::isspace(*separator))
            throw Error(path + ": malformed PGM header: no white space after maxval");
        scan.advance(1);
        const int size = maxval > 255 ? 2 : 1;
        const std::uint64_t needed = count * static_cast<std::uint64_t>(size);
        const std::uint64_t have = scan.left();
        if (have < needed)
            throw Error(path + ": the file is truncated: a " + dims(image.height, image.width) +
                        " image with maxval " + std::to_string(maxval) + " needs " +
                        std::to_string(needed) + " bytes of samples, it has " +
                        std::to_string(have));
        if (have > needed)
            throw Error(path + ": the file has " + std::to_string(have - needed) +
                        " bytes after the image; conv-ta reads files of one image");
        image.pixels = allocate(path, image.height, image.width);
        const unsigned char* p = scan.take(static_cast<std::size_t>(needed));
        for (std::uint64_t i = 0; i < count; ++i) {
            const int v = size == 1 ? p[i] : p[2 * i] << 8 | p[2 * i + 1];
            if (v > maxval)
                throw Error(path + ": sample " + std::to_string(v) + " at " +
                            position(static_cast<std::int64_t>(i), image.width) +
                            " exceeds maxval " + std::to_string(maxval));
            image.pixels[i] = v;
        }
        return image;
    }

    // Every plain sample takes a digit and a separator, except the last one's.
    if (count > (scan.left() + 1) / 2)
        throw Error(path + ": the file is truncated: it is too short for the " +
                    std::to_string(count) + " samples of a " + dims(image.height, image.width) +
                    " image");
    image.pixels = allocate(path, image.height, image.width);
    std::string token;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!scan.skip())
            throw Error(path + ": the file is truncated: it holds " + std::to_string(i) + " of " +
                        std::to_string(count) + " samples");
        const std::optional<std::int64_t> v = scan.number(&token);
        const std::string where = position(static_cast<std::int64_t>(i), image.width);
        if (!v)
            throw Error(path + ": the sample at " + where + " is '" + PgmScanner::shown(token) +
                        "', not a number");
        if (*v > maxval)
            throw Error(path + ": sample " + PgmScanner::shown(token) + " at " + where +
                        " exceeds maxval " + std::to_string(maxval));
        image.pixels[i] = static_cast<std::int32_t>(*v);
    }
    if (scan.skip())
        throw Error(path + ": the file has data after the image; conv-ta reads files of one image");
    return image;
}

// ---- writing --------------------------------------------------------------

// The temporary file being written, removed if a signal ends conv-ta
// before it is complete. Signals that were ignored stay ignored.
volatile sig_atomic_t have_temporary = 0;
char temporary_name[4096];
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
struct sigaction previous_actions[std::size(cleanup_signals)];

extern "C" void remove_temporary(int signal_number) {
    if (have_temporary)
        ::unlink(temporary_name);
    for (std::size_t i = 0; i < std::size(cleanup_signals); ++i)
        if (cleanup_signals[i] == signal_number)
            ::sigaction(signal_number, &previous_actions[i], nullptr);
    ::raise(signal_number);
}

void catch_signals() {
    struct sigaction action {};
    action.sa_handler = remove_temporary;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(cleanup_signals); ++i) {
        ::sigaction(cleanup_signals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN)
            ::sigaction(cleanup_signals[i], &action, nullptr);
    }
}

void restore_signals() {
    for (std::size_t i = 0; i < std::size(cleanup_signals); ++i)
        ::sigaction(cleanup_signals[i], &previous_actions[i], nullptr);
}

// A file written beside its destination and renamed over it only once it is
// complete and on disk.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path) : path_(path) {
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base.empty())
            throw Error(path + ": cannot write: the name is a directory");
        // A replaced file keeps its permissions; a new one gets the umask's.
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            mode_ = st.st_mode & 0777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode_ = 0666 & ~mask;
        }
        // Short enough for any file system however long the name is.
        const std::string pattern = dir + "/." + base.substr(0, 100) + ".tmp-XXXXXX";
        if (pattern.size() >= sizeof temporary_name)
            throw Error(path + ": cannot write: the name is too long");
        std::memcpy(temporary_name, pattern.c_str(), pattern.size() + 1);
        catch_signals();
        fd_ = ::mkstemp(temporary_name);
        if (fd_ < 0) {
            const int e = errno;
            restore_signals();
            throw Error(path + ": cannot write a file in " + dir + ": " + errno_text(e));
        }
        have_temporary = 1;
        buffer_.reserve(1 << 20);
    }

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    ~OutputFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (have_temporary) {
            ::unlink(temporary_name);
            have_temporary = 0;
        }
        restore_signals();
    }

    void put(const void* data, std::size_t size) {
        const char* p = static_cast<const char*>(data);
        buffer_.insert(buffer_.end(), p, p + size);
        if (buffer_.size() >= (1 << 20))
            flush();
    }
    void put(const std::string& s) { put(s.data(), s.size()); }

    void commit() {
        flush();
        if (::fchmod(fd_, mode_) != 0 || ::fsync(fd_) != 0)
            fail();
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            fail();
        if (::rename(temporary_name, path_.c_str()) != 0) {
            const int e = errno;
            throw Error(path_ + ": cannot replace it: " + errno_text(e));
        }
        have_temporary = 0;
    }

  private:
    void flush() {
        const char* p = buffer_.data();
        std::size_t left = buffer_.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail();
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        buffer_.clear();
    }

    [[noreturn]] void fail() {
        throw Error(path_ + ": cannot write: " + errno_text(errno) + " (left as it was)");
    }

    std::string path_;
    mode_t mode_ = 0644;
    int fd_ = -1;
    std::vector<char> buffer_;
};

bool ends_with(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (s.size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    return true;
}

} // namespace

Image read_image(const std::string& path) {
    InputFile file(path);
    std::vector<unsigned char> start(std::min<std::uint64_t>(file.remaining(), 6));
    file.read_exact(start.data(), start.size());
    if (start.size() >= 2 && start[0] == 'P' && (start[1] == '2' || start[1] == '5'))
        return read_pgm(path, std::move(start), file);
    if (start.size() == 6 && std::memcmp(start.data(), npy_magic, 6) == 0)
        return read_npy(path, file);
    throw Error(path + ": not a .npy file or a PGM image (P2 or P5)");
}

Format output_format(const std::string& path, bool plain_pgm) {
    if (ends_with(path, ".npy"))
        return Format::Npy;
    if (ends_with(path, ".pgm"))
        return plain_pgm ? Format::PgmPlain : Format::PgmBinary;
    throw Error(path + ": cannot tell the output format from the name: end it in .npy or .pgm");
}

std::uint64_t write_image(const std::string& path, Format format, std::int64_t height,
                          std::int64_t width, const std::vector<std::int32_t>& pixels, int maxval) {
    OutputFile out(path);
    std::uint64_t clamped = 0;
    if (format == Format::Npy) {
        std::string header = "{'descr': '<i4', 'fortran_order': False, 'shape': (" +
                             std::to_string(height) + ", " + std::to_string(width) + "), }";
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
        out.put(prefix, sizeof prefix);
        out.put(header);
        for (std::size_t i = 0; i < pixels.size(); i += 1 << 18)
            out.put(pixels.data() + i, std::min<std::size_t>(pixels.size() - i, 1 << 18) * 4);
    } else {
        const bool plain = format == Format::PgmPlain;
        out.put(std::string(plain ? "P2\n" : "P5\n") + std::to_string(width) + " " +
                std::to_string(height) + "\n" + std::to_string(maxval) + "\n");
        std::string chunk;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            std::int32_t v = pixels[i];
            if (v < 0 || v > maxval) {
                v = v < 0 ? 0 : maxval;
                ++clamped;
            }
            if (plain) {
                chunk += std::to_string(v);
                const bool row_end = (i + 1) % static_cast<std::size_t>(width) == 0;
                chunk += row_end || (i + 1) % 16 == 0 ? '\n' : ' ';
            } else {
                if (maxval > 255)
                    chunk += static_cast<char>(v >> 8);
                chunk += static_cast<char>(v & 0xff);
            }
            if (chunk.size() >= 1 << 16) {
                out.put(chunk);
                chunk.clear();
            }
        }
        out.put(chunk);
    }
    out.commit();
    return clamped;
}

} // namespace conv_ta_tool
