// conv-ta: a command-line host of the library. It defines and exports
// convolution_ref (the plain reference, recording its calls, which receives
// every image narrower than 16 columns) and uses convolution_TA for the rest.
#include "conv_TA.h"
#include "check.h"
#include "error.h"
#include "image_io.h"
#include "kernels.h"
#include "reference/recording_host.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    "        kernel not mirrored: K0 weighs the neighbour above-left) and writes OUT.\n"
    "        IN is a NumPy .npy file (2-D int32, C order) or a PGM image (P2 or P5,\n"
    "        8- or 16-bit), told apart by their contents; OUT's format follows its\n"
    "        name: .npy keeps every int32, .pgm clamps to 0..maxval and says how many\n"
    "        values it clamped. OUT is replaced only once it is written in full.\n"
    "          --kernel   nine integers row by row, or a name (conv-ta kernels)\n"
    "          --divide   divide each result by D, rounding half away from zero\n"
    "                     (--divide 16 makes gaussian a blur that keeps brightness)\n"
    "          --maxval   maxval of a PGM OUT: default that of a PGM IN, else 65535\n"
    "          --plain    write a PGM OUT as plain text (P2), not binary (P5)\n"
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

std::int32_t divide_rounded(std::int32_t value, std::int64_t divisor) {
    const std::int64_t v = value;
    const std::int64_t q = v >= 0 ? (v + divisor / 2) / divisor : -((-v + divisor / 2) / divisor);
    return static_cast<std::int32_t>(q);
}

int apply(int argc, char** argv) {
    std::string kernel_text, in_path, out_path;
    bool have_kernel = false, plain = false, options_done = false;
    std::int64_t divisor = 1, maxval = 0;
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
            divisor = parse_integer(value("--divide"), 1, 2147483647, "--divide");
        } else if (is("--maxval")) {
            maxval = parse_integer(value("--maxval"), 1, 65535, "--maxval");
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
    in_path = positional[0];
    out_path = positional[1];

    // Everything that can be told from the arguments alone fails before the
    // image is read.
    const Kernel kernel = parse_kernel(kernel_text);
    const Format out_format = output_format(out_path, plain);
    if (out_format == Format::Npy && (maxval != 0 || plain))
        throw UsageError(std::string(plain ? "--plain" : "--maxval") +
                         " applies to PGM output only");

    Image image = read_image(in_path);
    std::vector<std::int32_t> result;
    try {
        result.resize(image.pixels.size());
    } catch (const std::bad_alloc&) {
        throw Error("not enough memory for the output of a " + std::to_string(image.height) +
                    " x " + std::to_string(image.width) + " image");
    }
    convolution_TA(static_cast<std::int32_t>(image.height), static_cast<std::int32_t>(image.width),
                   image.pixels.data(), result.data(), kernel.data());
    if (divisor != 1)
        for (std::int32_t& v : result)
            v = divide_rounded(v, divisor);

    if (maxval == 0)
        maxval = image.format == Format::Npy ? 65535 : image.maxval;
    const std::uint64_t clamped = write_image(out_path, out_format, image.height, image.width,
                                              result, static_cast<int>(maxval));
    if (clamped > 0)
        std::fprintf(stderr, "conv-ta: clamped %llu of %zu values to the PGM range 0..%lld\n",
                     static_cast<unsigned long long>(clamped), result.size(),
                     static_cast<long long>(maxval));
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
