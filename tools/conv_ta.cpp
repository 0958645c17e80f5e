// conv-ta: a command-line host of the library. It defines and exports
// convolution_ref (the plain reference, recording its calls, which receives
// every image narrower than 16 columns) and uses convolution_TA for the rest.
#include "conv_TA.h"
#include "check.h"
#include "conv_TA_threads.h"
#include "error.h"
#include "image_io.h"
#include "kernels.h"
#include "reference/recording_host.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

// The benchmark table, when the build has one: the command to run, or empty.
#ifndef CONV_TA_BENCH_COMMAND
#define CONV_TA_BENCH_COMMAND ""
#endif
#ifndef CONV_TA_BENCH_FROM_BINDIR
#define CONV_TA_BENCH_FROM_BINDIR ""
#endif

namespace {

using namespace conv_ta_tool;

// A mistake in the command line itself, reported with exit status 2.
class UsageError : public Error {
  public:
    using Error::Error;
};

const char usage[] = "usage: conv-ta apply --kernel K0,...,K8|NAME [OPTIONS] IN OUT\n"
                     "       conv-ta check [LIBRARY]\n"
                     "       conv-ta bench [ARGS...]\n"
                     "       conv-ta kernels\n"
                     "       conv-ta --help | --version | COMMAND --help\n";

const char apply_help[] =
    "apply   convolves IN with a 3x3 kernel (wrapping int32 arithmetic, zero border,\n"
    "        kernel not mirrored: K0 weighs the neighbour above-left) and writes OUT,\n"
    "        a band of rows at a time, so that memory stays small whatever the size.\n"
    "        IN is told by its contents: NumPy .npy (2-D, C order, int8, uint8,\n"
    "        int16, uint16 or int32, either byte order), PGM (P2 or P5, 8 or 16\n"
    "        bits), grey PNG (1 to 16 bits) or grey TIFF (8- or 16-bit integers,\n"
    "        32-bit signed; strips or tiles). OUT's format follows its name (.npy,\n"
    "        .pgm, .png, .tif, .tiff) or --format; values outside its range are\n"
    "        clamped, and conv-ta says how many. OUT is replaced only once it is\n"
    "        written in full. '-' is the standard input or output (not for TIFF).\n"
    "          --kernel   nine integers row by row, or a name (conv-ta kernels)\n"
    "          --divide   divide each result by D, rounding half away from zero\n"
    "                     (--divide 16 makes gaussian a blur that keeps brightness)\n"
    "          --abs      then take the absolute value (edges of either sign)\n"
    "          --offset   then add V (--offset 128 keeps the negative half in 8 bits)\n"
    "          --dtype    element type of a .npy or TIFF OUT: int8, uint8, int16,\n"
    "                     uint16, int32 (default; TIFF: uint8, uint16, int32)\n"
    "          --maxval   maxval of a PGM or PNG OUT: default that of IN's format\n"
    "                     (255 for 8-bit input), else 65535; above 255 is 16-bit\n"
    "          --format   npy, pgm, png or tiff, whatever OUT's name\n"
    "          --plain    write a PGM OUT as plain text (P2), not binary (P5)\n"
    "          --threads  use at most N threads, 1 to 1024 (default, or 0: one per\n"
    "                     online CPU); the result is the same for every N\n"
    "        Progress shows on a terminal when it takes more than a second.\n"
    "        Heights and widths up to 2147483647 each (the library's sizes are int32).\n";

const char check_help[] =
    "check   checks the convolution_TA of LIBRARY (default: the library conv-ta is\n"
    "        linked with) against the reference over a sweep of shapes, loading it\n"
    "        only in child processes; exit status 0 when every group passes, 1 when\n"
    "        one fails, 2 when it cannot be loaded.\n";

const char bench_help[] =
    "bench   prints the benchmarks' ratio table, when conv-ta was built with them;\n"
    "        conv-ta bench --help lists its options.\n";

const char kernels_help[] = "kernels lists the named kernels.\n";

// The help of one command, or of all when `command` is null.
int print_help(const char* command) {
    const std::pair<const char*, const char*> helps[] = {{"apply", apply_help},
                                                         {"check", check_help},
                                                         {"bench", bench_help},
                                                         {"kernels", kernels_help}};
    std::printf("%s\n", usage);
    for (auto [name, text] : helps)
        if (command == nullptr || std::strcmp(command, name) == 0)
            std::printf("%s", text);
    return 0;
}

// Whether the arguments, up to a "--", ask for help.
bool asks_for_help(char** argv) {
    for (char** a = argv; *a != nullptr && std::strcmp(*a, "--") != 0; ++a)
        if (std::strcmp(*a, "--help") == 0 || std::strcmp(*a, "-h") == 0)
            return true;
    return false;
}

int list_kernels() {
    for (const NamedKernel& k : named_kernels()) {
        std::string numbers;
        for (std::int32_t c : k.coefficients) {
            numbers += numbers.empty() ? "" : ",";
            numbers += std::to_string(c);
        }
        std::printf("%-12s %-26s %s\n", k.name, numbers.c_str(), k.meaning);
    }
    return 0;
}

// The progress of a long apply on standard error, when it is a terminal:
// nothing for the first second, then the share of rows done.
class Progress {
  public:
    explicit Progress(std::int64_t total)
        : total_(total), start_(std::chrono::steady_clock::now()),
          terminal_(isatty(STDERR_FILENO) == 1) {}
    void update(std::int64_t done) {
        if (!terminal_ || total_ == 0)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < std::chrono::seconds(1))
            return;
        const int percent = static_cast<int>(done * 100 / total_);
        if (percent != shown_) {
            std::fprintf(stderr, "\rconv-ta: %3d%%", percent);
            shown_ = percent;
        }
    }
    ~Progress() {
        if (shown_ >= 0)
            std::fprintf(stderr, "\r\033[K");
    }

  private:
    std::int64_t total_;
    std::chrono::steady_clock::time_point start_;
    bool terminal_;
    int shown_ = -1;
};

// Rows of int32 not initialised: every element is read or computed into
// before it is used.
std::unique_ptr<std::int32_t[]> rows_buffer(std::int64_t rows, std::int64_t width) {
    const auto count = static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(width);
    try {
        return std::unique_ptr<std::int32_t[]>(new std::int32_t[static_cast<std::size_t>(count)]);
    } catch (const std::bad_alloc&) {
        throw Error("not enough memory for " + std::to_string(rows) + " rows of " +
                    std::to_string(width) + " columns (" + std::to_string(count * 4) + " bytes)");
    }
}

// The image in bands of rows, each convolved by the library with the rows
// on either side of it, whose own results are dropped: so every result is
// the library's, and memory holds two bands whatever the image's size.
void convolve_in_bands(ImageReader& in, ImageWriter& out, const Kernel& kernel,
                       std::int32_t threads) {
    const std::int64_t height = in.info().height, width = in.info().width;
    if (height == 0 || width == 0) {
        in.finish();
        return;
    }
    // Bands of about 1 MiB a thread stay in the cache between read,
    // convolution and write; at least 8 rows while they take at most 16 MiB,
    // so that the two rows computed twice stay a small share. Such a band is
    // below the size from which the threaded companion splits an image, and
    // the files' reading and writing take the time anyway.
    const std::int64_t online = sysconf(_SC_NPROCESSORS_ONLN);
    const std::int64_t workers = threads > 0 ? threads : std::max<std::int64_t>(1, online);
    const std::int64_t row_bytes = width * 4;
    const std::int64_t band = std::clamp<std::int64_t>(
        std::max(workers * (std::int64_t{1} << 20) / row_bytes,
                 std::min<std::int64_t>(8, (std::int64_t{16} << 20) / row_bytes)),
        1, height);
    const std::int64_t buffer_rows = std::min(band + 2, height);
    const auto input = rows_buffer(buffer_rows, width);
    const auto output = rows_buffer(buffer_rows, width);
    Progress progress(height);
    std::int64_t base = 0;   // the image row in the first row of the buffers
    std::int64_t loaded = 0; // the rows base..loaded-1 are in `input`
    std::int64_t next = 0;   // the first row whose result is still to write
    while (next < height) {
        const std::int64_t want = std::min(height, next + band + 1);
        in.read_rows(input.get() + (loaded - base) * width, want - loaded);
        loaded = want;
        convolution_TA_threads(static_cast<std::int32_t>(loaded - base),
                               static_cast<std::int32_t>(width), input.get(), output.get(),
                               kernel.data(), threads);
        // A row's result holds once the row below it is in, or it is the last.
        const std::int64_t end = loaded == height ? height : loaded - 1;
        out.write_rows(output.get() + (next - base) * width, end - next);
        next = end;
        progress.update(next);
        if (next < height) {
            // The row above the next band and the rows read beyond it stay.
            const std::int64_t keep_from = next - 1;
            std::memmove(input.get(), input.get() + (keep_from - base) * width,
                         static_cast<std::size_t>((loaded - keep_from) * width) * 4);
            base = keep_from;
        }
    }
    in.finish();
}

// The sample type that --dtype names.
Sample parse_dtype(const std::string& name) {
    for (Sample s : {Sample::Int8, Sample::UInt8, Sample::Int16, Sample::UInt16, Sample::Int32})
        if (name == sample_name(s))
            return s;
    throw UsageError("--dtype " + name + " is not one of int8, uint8, int16, uint16, int32");
}

int apply(int argc, char** argv) {
    std::string kernel_text, format_name, dtype_name;
    bool have_kernel = false, plain = false, options_done = false;
    std::int64_t maxval = 0, threads = 0;
    Transform transform;
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char* option) -> std::string {
            const std::string prefix = std::string(option) + "=";
            if (arg.rfind(prefix, 0) == 0)
                return arg.substr(prefix.size());
            if (i + 1 >= argc)
                throw UsageError(std::string(option) + " needs a value");
            return argv[++i];
        };
        const auto is = [&](const char* option) {
            return arg == option || arg.rfind(std::string(option) + "=", 0) == 0;
        };
        if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (is("--kernel")) {
            kernel_text = value("--kernel");
            have_kernel = true;
        } else if (is("--divide")) {
            transform.divisor = parse_integer(value("--divide"), 1, 2147483647, "--divide");
        } else if (is("--maxval")) {
            maxval = parse_integer(value("--maxval"), 1, 65535, "--maxval");
        } else if (is("--threads")) {
            threads = parse_integer(value("--threads"), 0, 1024, "--threads");
        } else if (is("--offset")) {
            transform.offset =
                parse_integer(value("--offset"), -4294967295LL, 4294967295LL, "--offset");
        } else if (arg == "--abs") {
            transform.absolute = true;
        } else if (is("--dtype")) {
            dtype_name = value("--dtype");
        } else if (is("--format")) {
            format_name = value("--format");
        } else if (arg == "--plain") {
            plain = true;
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    if (!have_kernel)
        throw UsageError("apply needs --kernel");
    if (positional.size() != 2)
        throw UsageError("apply takes IN and OUT, " + std::to_string(positional.size()) +
                         " file names given");
    const std::string& in_path = positional[0];
    const std::string& out_path = positional[1];

    // Everything that can be told from the arguments alone fails before the
    // image is read.
    const Kernel kernel = parse_kernel(kernel_text);
    ImageInfo out_image;
    out_image.format = output_format(out_path, format_name, plain);
    const bool grey = out_image.format == Format::PgmPlain ||
                      out_image.format == Format::PgmBinary || out_image.format == Format::Png;
    if (!grey && maxval != 0)
        throw UsageError("--maxval applies to PGM and PNG output only");
    if (plain && out_image.format != Format::PgmPlain)
        throw UsageError("--plain applies to PGM output only");
    if (!dtype_name.empty()) {
        out_image.sample = parse_dtype(dtype_name);
        if (grey)
            throw UsageError("--dtype applies to .npy and TIFF output only; PGM and PNG take "
                             "--maxval");
        if (out_image.format == Format::Tiff &&
            (out_image.sample == Sample::Int8 || out_image.sample == Sample::Int16))
            throw UsageError("TIFF output is uint8, uint16 or int32, not " + dtype_name);
    }

    const std::unique_ptr<ImageReader> in = open_image(in_path);
    const ImageInfo& image = in->info();
    out_image.height = image.height;
    out_image.width = image.width;
    if (maxval == 0)
        maxval = image.maxval != 0 ? image.maxval : image.sample == Sample::UInt8 ? 255 : 65535;
    out_image.maxval = static_cast<int>(maxval);
    const std::unique_ptr<ImageWriter> out = create_image(out_path, out_image, transform);
    convolve_in_bands(*in, *out, kernel, static_cast<std::int32_t>(threads));
    out->finish();

    if (out->clamped() > 0) {
        std::string range;
        if (grey)
            range = std::string(out_image.format == Format::Png ? "PNG" : "PGM") + " range 0.." +
                    std::to_string(maxval);
        else
            range = std::string(sample_name(out_image.sample)) + " range " +
                    std::to_string(sample_min(out_image.sample)) + ".." +
                    std::to_string(sample_max(out_image.sample));
        std::fprintf(stderr, "conv-ta: clamped %llu of %llu values to the %s\n",
                     static_cast<unsigned long long>(out->clamped()),
                     static_cast<unsigned long long>(image.height * image.width), range.c_str());
    }
    return 0;
}

// The benchmarks' table command: the build tree's for conv-ta as built,
// the one installed beside it for an installed conv-ta; empty when there is
// none.
std::string bench_command() {
    if (CONV_TA_BENCH_COMMAND[0] == '\0')
        return {};
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    exe[n] = '\0';
    if (std::strcmp(exe, CONV_TA_BUILD_TOOL) == 0)
        return CONV_TA_BENCH_COMMAND;
    const std::string from_bin = CONV_TA_BENCH_FROM_BINDIR;
    if (from_bin[0] == '/')
        return from_bin + "/bench-table";
    std::string dir = exe;
    dir.erase(dir.rfind('/'));
    return dir + "/" + from_bin + "/bench-table";
}

int bench(char** argv) {
    const std::string command = bench_command();
    if (command.empty() && asks_for_help(argv))
        return print_help("bench");
    if (command.empty()) {
        std::fprintf(stderr, "conv-ta: built without the benchmarks\n");
        return 1;
    }
    if (access(command.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "conv-ta: the benchmarks are not installed beside conv-ta (%s: %s)\n",
                     command.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<char*> args{const_cast<char*>(command.c_str())};
    for (char** a = argv; *a != nullptr; ++a)
        args.push_back(*a);
    args.push_back(nullptr);
    std::fflush(nullptr);
    execv(command.c_str(), args.data());
    std::fprintf(stderr, "conv-ta: cannot run the benchmarks (%s): %s\n", command.c_str(),
                 std::strerror(errno));
    return 1;
}

int run(int argc, char** argv) {
    if (argc < 2)
        throw UsageError("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help")
        return print_help(argc > 2 ? argv[2] : nullptr);
    if (command == "--version") {
        std::printf("conv-ta %s\n", CONV_TA_VERSION);
        return 0;
    }
    if (command != "bench" && asks_for_help(argv + 2))
        return print_help(argv[1]);
    if (command == "apply")
        return apply(argc - 2, argv + 2);
    if (command == "check") {
        if (argc > 3)
            throw UsageError("check takes at most one library");
        return run_check(argc == 3 ? argv[2] : nullptr, stdout);
    }
    if (command == "bench")
        return bench(argv + 2);
    if (command == "kernels") {
        if (argc > 2)
            throw UsageError("kernels takes no arguments");
        return list_kernels();
    }
    throw UsageError("unknown command '" + command + "'");
}

// What a command printed counts only once it has reached its destination: a
// report lost to a full disk or a closed pipe is a failure, whatever it said.
int finish(int status) {
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout))
        return status;
    std::fprintf(stderr, "conv-ta: cannot write the standard output%s%s\n", flushed ? "" : ": ",
                 flushed ? "" : std::strerror(error));
    return status != 0 ? status : 1;
}

} // namespace

int main(int argc, char** argv) {
    // The recording host computes the reference for every
    // narrow image; check switches it to recording alone where it needs to.
    conv_ta_reference::set_ref_action(conv_ta_reference::RefAction::Compute);
    try {
        return finish(run(argc, argv));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "conv-ta: %s (conv-ta --help tells the usage)\n", e.what());
        return 2;
    } catch (const Error& e) {
        std::fprintf(stderr, "conv-ta: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "conv-ta: not enough memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "conv-ta: %s\n", e.what());
        return 1;
    }
}
