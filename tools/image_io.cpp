#include "image_io.h"

#include "formats/format.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace conv_ta_tool {

std::string errno_text(int error) {
    return std::strerror(error);
}

std::string dims(std::int64_t height, std::int64_t width) {
    return std::to_string(height) + " x " + std::to_string(width);
}

std::int64_t decimal(const std::string& digits) {
    if (digits.size() > 18)
        return INT64_MAX;
    std::int64_t n = 0;
    for (char c : digits)
        n = n * 10 + (c - '0');
    return n;
}

void check_dimensions(const std::string& name, const std::string& height,
                      const std::string& width) {
    for (auto [what, text] : {std::pair{"height", &height}, std::pair{"width", &width}})
        if (decimal(*text) > max_dimension)
            throw Error(name + ": the image is too large: its " + what + " of " + *text +
                        " exceeds " + std::to_string(max_dimension) +
                        ", the largest the library takes (it is given sizes as int32)");
}

// ---- Source -----------------------------------------------------------------

Source::Source(const std::string& path) : name_(path == "-" ? "standard input" : path) {
    if (path == "-") {
        fd_ = 0;
    } else {
        // Not blocking in open: a FIFO is refused below, not waited on.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd_ < 0)
            throw Error(name_ + ": cannot open: " + errno_text(errno));
        own_ = true;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0)
        throw Error(name_ + ": cannot read: " + errno_text(errno));
    if (S_ISDIR(st.st_mode))
        throw Error(name_ + ": cannot read: it is a directory");
    if (S_ISREG(st.st_mode)) {
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        size_ = static_cast<std::uint64_t>(st.st_size);
        offset_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
    } else if (own_) {
        // Named files are read whole and only once; a pipe is for "-".
        throw Error(name_ + ": cannot read: it is not a regular file");
    }
    if (own_)
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

Source::~Source() {
    if (own_)
        ::close(fd_);
}

std::optional<std::uint64_t> Source::remaining() const {
    if (!size_)
        return std::nullopt;
    const std::uint64_t left = *size_ > offset_ ? *size_ - offset_ : 0;
    return left + pushed_.size();
}

std::size_t Source::read_some(void* buffer, std::size_t count) {
    if (count == 0)
        return 0;
    if (!pushed_.empty()) {
        const std::size_t n = std::min(count, pushed_.size());
        std::memcpy(buffer, pushed_.data(), n);
        pushed_.erase(pushed_.begin(), pushed_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, std::min<std::size_t>(count, 1 << 30));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error(name_ + ": cannot read: " + errno_text(errno));
        offset_ += static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
    }
}

void Source::read_exact(void* buffer, std::uint64_t count) {
    auto* out = static_cast<char*>(buffer);
    while (count > 0) {
        const std::size_t got =
            read_some(out, static_cast<std::size_t>(std::min<std::uint64_t>(count, 1 << 30)));
        if (got == 0)
            throw Error(name_ + ": the file ended early (was it changed while being read?)");
        out += got;
        count -= got;
    }
}

void Source::unread(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    pushed_.insert(pushed_.begin(), p, p + count);
}

bool Source::at_end() {
    if (const auto left = remaining())
        return *left == 0;
    unsigned char byte;
    if (read_some(&byte, 1) == 0)
        return true;
    unread(&byte, 1);
    return false;
}

// ---- Sink -------------------------------------------------------------------

namespace {

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

constexpr std::size_t sink_buffer = 1 << 20;

} // namespace

Sink::Sink(const std::string& path) : path_(path) {
    if (path == "-") {
        path_ = "standard output";
        stdout_ = true;
        fd_ = 1;
        buffer_.reserve(sink_buffer);
        return;
    }
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
    buffer_.reserve(sink_buffer);
}

Sink::~Sink() {
    if (stdout_)
        return;
    if (fd_ >= 0)
        ::close(fd_);
    if (have_temporary) {
        ::unlink(temporary_name);
        have_temporary = 0;
    }
    restore_signals();
}

void Sink::put(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    // Large blocks go straight to the file, not through the buffer.
    if (size >= sink_buffer) {
        flush();
        while (size > 0) {
            const ssize_t n = ::write(fd_, p, std::min<std::size_t>(size, 1 << 30));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail();
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return;
    }
    buffer_.insert(buffer_.end(), p, p + size);
    if (buffer_.size() >= sink_buffer)
        flush();
}

void Sink::flush() {
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

void Sink::commit() {
    flush();
    if (stdout_)
        return;
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

void Sink::fail() {
    throw Error(path_ + ": cannot write: " + errno_text(errno) +
                (stdout_ ? "" : " (left as it was)"));
}

// ---- choosing the format ----------------------------------------------------

namespace {

bool ends_with(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (s.size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    return true;
}

bool starts(const unsigned char* bytes, std::size_t have, const char* magic, std::size_t n) {
    return have >= n && std::memcmp(bytes, magic, n) == 0;
}

} // namespace

std::unique_ptr<ImageReader> open_image(const std::string& path) {
    auto source = std::make_unique<Source>(path);
    unsigned char start[8];
    std::size_t have = 0;
    while (have < sizeof start) {
        const std::size_t got = source->read_some(start + have, sizeof start - have);
        if (got == 0)
            break;
        have += got;
    }
    source->unread(start, have);
    if (have >= 2 && start[0] == 'P' && (start[1] == '2' || start[1] == '5'))
        return read_pgm(std::move(source));
    if (starts(start, have, "\x93NUMPY", 6))
        return read_npy(std::move(source));
    if (starts(start, have, "\x89PNG\r\n\x1a\n", 8))
        return read_png(std::move(source));
    if (starts(start, have, "II*\0", 4) || starts(start, have, "MM\0*", 4) ||
        starts(start, have, "II+\0", 4) || starts(start, have, "MM\0+", 4))
        return read_tiff(std::move(source));
    throw Error(source->name() + ": not a .npy file, a PGM image (P2 or P5), a PNG or a TIFF");
}

Format output_format(const std::string& path, const std::string& format_name, bool plain_pgm) {
    const std::string& name = format_name.empty() ? path : format_name;
    const std::string dotted = format_name.empty() ? name : "." + name;
    if (ends_with(dotted, ".npy"))
        return Format::Npy;
    if (ends_with(dotted, ".pgm"))
        return plain_pgm ? Format::PgmPlain : Format::PgmBinary;
    if (ends_with(dotted, ".png"))
        return Format::Png;
    if (ends_with(dotted, ".tif") || ends_with(dotted, ".tiff"))
        return Format::Tiff;
    if (!format_name.empty())
        throw Error("--format " + format_name + " is not one of npy, pgm, png, tiff");
    if (path == "-")
        throw Error("the standard output has no name to tell the format from: give --format");
    throw Error(path + ": cannot tell the output format from the name: end it in .npy, .pgm, .png "
                       "or .tif");
}

std::int64_t sample_min(Sample sample) {
    switch (sample) {
    case Sample::Int8:
        return -128;
    case Sample::Int16:
        return -32768;
    case Sample::Int32:
        return INT32_MIN;
    default:
        return 0;
    }
}

std::int64_t sample_max(Sample sample) {
    switch (sample) {
    case Sample::Int8:
        return 127;
    case Sample::UInt8:
        return 255;
    case Sample::Int16:
        return 32767;
    case Sample::UInt16:
        return 65535;
    case Sample::Int32:
        break;
    }
    return INT32_MAX;
}

const char* sample_name(Sample sample) {
    switch (sample) {
    case Sample::Int8:
        return "int8";
    case Sample::UInt8:
        return "uint8";
    case Sample::Int16:
        return "int16";
    case Sample::UInt16:
        return "uint16";
    case Sample::Int32:
        break;
    }
    return "int32";
}

std::unique_ptr<ImageWriter> create_image(const std::string& path, const ImageInfo& image,
                                          const Transform& transform) {
    const bool grey = image.format == Format::PgmPlain || image.format == Format::PgmBinary ||
                      image.format == Format::Png;
    Store store{transform, grey ? 0 : sample_min(image.sample),
                grey ? image.maxval : sample_max(image.sample)};
    if (image.format == Format::Tiff && path == "-")
        throw Error("a TIFF cannot be written to the standard output: give a file name");
    auto sink = std::make_unique<Sink>(path);
    switch (image.format) {
    case Format::Npy:
        return write_npy(std::move(sink), image, store);
    case Format::Png:
        return write_png(std::move(sink), image, store);
    case Format::Tiff:
        return write_tiff(std::move(sink), image, store);
    default:
        return write_pgm(std::move(sink), image, store);
    }
}

} // namespace conv_ta_tool
