// conv-ta driven as a user drives it: files in, files out, exit status and
// what it says. Every bad input must give one line on stderr, a non-zero
// exit and no crash, and must leave an existing output file as it was.
#include "reference/reference.h"
#include "reference/values.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using conv_ta_reference::reference_convolution;

struct Outcome {
    int status = -1; // exit status; -1 when it died of a signal
    int signal = 0;
    long peak_kib = 0; // its peak resident memory
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// conv-ta and its libraries copied where any user can reach them, for the runs
// as nobody: the build tree may sit in a directory that only its owner can
// enter (a clone in root's home). Empty when they cannot be copied.
char tool_dir[] = "/tmp/conv_ta_cli_tool_XXXXXX";

std::string tool_for_anyone() {
    static const std::string tool = [] {
        if (mkdtemp(tool_dir) == nullptr)
            return std::string();
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(tool_dir, ignored);
        });
        const fs::path dir = tool_dir;
        std::error_code e;
        fs::copy_file(CONV_TA_TOOL, dir / "conv-ta", e);
        if (!e)
            fs::copy_file(CONV_TA_LIBRARY_PATH, dir / CONV_TA_LIBRARY_SONAME, e);
        if (!e)
            fs::copy_file(CONV_TA_THREADS_LIBRARY_PATH, dir / CONV_TA_THREADS_LIBRARY_SONAME, e);
        if (!e)
            fs::permissions(dir,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec,
                            e);
        return e ? std::string() : (dir / "conv-ta").string();
    }();
    return tool;
}

// Runs conv-ta with `args`; `file_size_limit` makes every write past that
// many bytes fail, as on a full disk; `as_nobody` runs it without root's
// privilege of ignoring file permissions; `stdout_full` gives it a standard
// output on which every write fails.
Outcome conv_ta(const std::vector<std::string>& args,
                std::optional<rlim_t> file_size_limit = std::nullopt, bool as_nobody = false,
                bool stdout_full = false) {
    char out_name[] = "/tmp/conv_ta_cli_out_XXXXXX";
    char err_name[] = "/tmp/conv_ta_cli_err_XXXXXX";
    const int out_fd = mkstemp(out_name), err_fd = mkstemp(err_name);
    const pid_t child = fork();
    if (child == 0) {
        dup2(stdout_full ? open("/dev/full", O_WRONLY) : out_fd, 1);
        dup2(err_fd, 2);
        alarm(120); // a run that hangs fails instead of stalling the tests
        if (as_nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        if (file_size_limit) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{*file_size_limit, *file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::string tool = CONV_TA_TOOL;
        if (as_nobody) {
            tool = tool_for_anyone();
            setenv("LD_LIBRARY_PATH", fs::path(tool).parent_path().c_str(), 1);
        }
        std::vector<char*> argv{tool.data()};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    close(out_fd);
    close(err_fd);
    Outcome run;
    run.peak_kib = usage.ru_maxrss;
    if (WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    else
        run.signal = WTERMSIG(status);
    run.out = slurp(out_name);
    run.err = slurp(err_name);
    unlink(out_name);
    unlink(err_name);
    return run;
}

// A version 1.0 .npy header around a dict literal, padded as numpy pads it.
std::string npy_header_dict(std::string dict) {
    while ((10 + dict.size() + 1) % 64 != 0)
        dict += ' ';
    dict += '\n';
    std::string h = "\x93NUMPY";
    h += '\x01';
    h += '\x00';
    h += static_cast<char>(dict.size() & 0xff);
    h += static_cast<char>(dict.size() >> 8);
    return h + dict;
}

std::string npy_header(const std::string& descr, bool fortran, const std::string& shape) {
    return npy_header_dict("{'descr': '" + descr + "', 'fortran_order': " +
                           (fortran ? "True" : "False") + ", 'shape': " + shape + ", }");
}

std::string npy(std::int64_t height, std::int64_t width, const std::vector<std::int32_t>& v) {
    std::string shape = "(";
    shape += std::to_string(height) + ", " + std::to_string(width) + ")";
    std::string s = npy_header("<i4", false, shape);
    if (!v.empty())
        s.append(reinterpret_cast<const char*>(v.data()), v.size() * 4);
    return s;
}

// The pixels of an int32 .npy file that conv-ta wrote.
std::vector<std::int32_t> npy_pixels(const std::string& file) {
    const std::size_t header =
        10 + (static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8);
    std::vector<std::int32_t> v((file.size() - header) / 4);
    if (!v.empty())
        std::memcpy(v.data(), file.data() + header, v.size() * 4);
    return v;
}

std::vector<std::int32_t> reference(std::int32_t height, std::int32_t width,
                                    const std::vector<std::int32_t>& input,
                                    const std::vector<std::int32_t>& kernel) {
    std::vector<std::int32_t> out(input.size());
    reference_convolution(height, width, input.data(), out.data(), kernel.data());
    return out;
}

class Cli : public testing::Test {
  protected:
    void SetUp() override {
        umask(022);
        char name[] = "/tmp/conv_ta_cli_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }

    std::string file(const std::string& name, const std::string& bytes) {
        spit(dir / name, bytes);
        return (dir / name).string();
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }

    // The names in the directory, to catch a temporary file left behind.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

// Checks that a run failed the way bad input must: not by a signal, with
// `status`, and with one line on stderr that contains `message`.
void expect_clean_failure(const Outcome& run, int status, const std::string& message,
                          const std::string& what) {
    EXPECT_EQ(run.signal, 0) << what << ": died of signal " << run.signal;
    EXPECT_EQ(run.status, status) << what << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": " << run.err;
    EXPECT_EQ(run.err.rfind("conv-ta: ", 0), 0u) << what << ": " << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos)
        << what << ": expected \"" << message << "\" in: " << run.err;
}

TEST_F(Cli, NpyResultIsTheReferenceForWideAndNarrowImages) {
    conv_ta_reference::Values values(11);
    const std::vector<std::int32_t> kernel{7, -3, 2147483647, 0, -2147483647 - 1, 5, 1, -1, 9};
    std::string k;
    for (std::int32_t c : kernel) {
        k += k.empty() ? "" : ",";
        k += std::to_string(c);
    }
    for (auto [height, width] : {std::pair{37, 45}, {20, 7}, {1, 40}, {0, 16}, {3, 0}}) {
        std::vector<std::int32_t> input(static_cast<std::size_t>(height * width));
        values.fill(input);
        const std::string in = file("in.npy", npy(height, width, input));
        const Outcome run = conv_ta({"apply", "--kernel", k, in, path("out.npy")});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string out = slurp(path("out.npy"));
        EXPECT_NE(
            out.find("'shape': (" + std::to_string(height) + ", " + std::to_string(width) + ")"),
            std::string::npos);
        EXPECT_EQ(npy_pixels(out), reference(height, width, input, kernel))
            << height << " x " << width;
    }
    // A new file gets the umask's permissions, not the temporary file's 0600;
    // a replaced file keeps its own, so that a private result stays private.
    EXPECT_EQ(fs::status(path("out.npy")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    fs::permissions(path("out.npy"), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(conv_ta({"apply", "--kernel", "box", path("in.npy"), path("out.npy")}).status, 0);
    EXPECT_EQ(fs::status(path("out.npy")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.npy", "out.npy"}));
}

// Images large enough to be cut into stripes give the same file for any N.
TEST_F(Cli, ThreadsDoNotChangeTheResult) {
    conv_ta_reference::Values values(12);
    std::vector<std::int32_t> input(1100 * 1000);
    values.fill(input);
    const std::string in = file("in.npy", npy(1100, 1000, input));
    const std::vector<std::int32_t> kernel{-1, -1, -1, -1, 8, -1, -1, -1, -1};
    for (const char* n : {"1", "2", "3", "0"}) {
        const Outcome run =
            conv_ta({"apply", "--kernel", "edge", "--threads", n, in, path("o.npy")});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(npy_pixels(slurp(path("o.npy"))), reference(1100, 1000, input, kernel)) << n;
    }
    for (const char* n : {"-1", "1025", "two"})
        expect_clean_failure(
            conv_ta({"apply", "--kernel", "edge", "--threads", n, in, path("o.npy")}), 1,
            "--threads", n);
}

TEST_F(Cli, BigEndianInt32IsReadToo) {
    std::string s = npy_header(">i4", false, "(2, 20)");
    std::vector<std::int32_t> input(40);
    for (int i = 0; i < 40; ++i) {
        input[i] = i * 1000 - 7;
        const std::uint32_t v = static_cast<std::uint32_t>(input[i]);
        for (int b = 3; b >= 0; --b)
            s += static_cast<char>(v >> (8 * b));
    }
    const Outcome run = conv_ta({"apply", "--kernel", "sharpen", file("in.npy", s), path("o.npy")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(npy_pixels(slurp(path("o.npy"))),
              reference(2, 20, input, {0, -1, 0, -1, 5, -1, 0, -1, 0}));
}

TEST_F(Cli, EveryNamedKernelIsTheNumbersItLists) {
    const Outcome list = conv_ta({"kernels"});
    ASSERT_EQ(list.status, 0);
    std::istringstream lines(list.out);
    std::vector<std::int32_t> input(6 * 30);
    conv_ta_reference::Values(3).fill(input);
    const std::string in = file("in.npy", npy(6, 30, input));
    int named = 0;
    for (std::string name, numbers, rest; lines >> name >> numbers && std::getline(lines, rest);) {
        const Outcome by_name = conv_ta({"apply", "--kernel", name, in, path("a.npy")});
        const Outcome by_numbers = conv_ta({"apply", "--kernel", numbers, in, path("b.npy")});
        ASSERT_EQ(by_name.status, 0) << name << ": " << by_name.err;
        ASSERT_EQ(by_numbers.status, 0) << numbers << ": " << by_numbers.err;
        EXPECT_EQ(slurp(path("a.npy")), slurp(path("b.npy"))) << name;
        ++named;
    }
    for (const char* expected : {"sobel-x", "laplacian", "box", "sharpen", "gaussian"})
        EXPECT_NE(list.out.find(std::string(expected) + " "), std::string::npos) << expected;
    EXPECT_GE(named, 5);
}

TEST_F(Cli, PgmRoundTripsThroughTheIdentity) {
    struct Case {
        const char* name;
        std::string header;
        std::string raster;
        std::vector<std::int32_t> samples;
    };
    std::string raster16;
    for (int v : {0, 1, 256, 65535, 4660, 43981}) {
        raster16 += static_cast<char>(v >> 8);
        raster16 += static_cast<char>(v & 0xff);
    }
    const Case cases[] = {
        {"P2 with comments",
         "P2\n# a comment\n3 2 # another\n9\n",
         "0 1 2\n3 4\n# inside\n9\n",
         {0, 1, 2, 3, 4, 9}},
        {"P5 8-bit",
         "P5\n3 2\n255\n",
         std::string("\x00\x10\x80\xff\x01\x02", 6),
         {0, 16, 128, 255, 1, 2}},
        {"P5 16-bit", "P5 3 2 65535\n", raster16, {0, 1, 256, 65535, 4660, 43981}},
    };
    for (const Case& c : cases) {
        const std::string in = file("in.pgm", c.header + c.raster);
        // Through .npy the samples come out as they were read, as int32.
        Outcome run = conv_ta({"apply", "--kernel", "identity", in, path("o.npy")});
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
        EXPECT_EQ(npy_pixels(slurp(path("o.npy"))), c.samples) << c.name;
        // And back to PGM with the input's maxval: byte for byte for P5.
        run = conv_ta({"apply", "--kernel", "identity", in, path("o.pgm")});
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
        EXPECT_EQ(run.err, "") << c.name;
        const std::string out = slurp(path("o.pgm"));
        if (c.header[1] == '5') {
            EXPECT_EQ(out.substr(out.size() - c.raster.size()), c.raster) << c.name;
        }
        run = conv_ta({"apply", "--kernel", "identity", path("o.pgm"), path("back.npy")});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(npy_pixels(slurp(path("back.npy"))), c.samples) << c.name;
    }
    Outcome run =
        conv_ta({"apply", "--kernel", "identity", "--plain", path("in.pgm"), path("p.pgm")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(slurp(path("p.pgm")).substr(0, 2), "P2");
}

TEST_F(Cli, PgmOutputIsClampedAndSaysSo) {
    std::vector<std::int32_t> input(20 * 31);
    std::string p5 = "P5\n31 20\n255\n";
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<std::int32_t>((i * 37) % 256);
        p5 += static_cast<char>(input[i]);
    }
    const std::string in = file("in.pgm", p5);
    const std::vector<std::int32_t> edge{-1, -1, -1, -1, 8, -1, -1, -1, -1};
    const std::vector<std::int32_t> want = reference(20, 31, input, edge);
    const long clamped =
        std::count_if(want.begin(), want.end(), [](std::int32_t v) { return v < 0 || v > 255; });
    ASSERT_GT(clamped, 0);

    Outcome run = conv_ta({"apply", "--kernel", "edge", in, path("o.pgm")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "conv-ta: clamped " + std::to_string(clamped) + " of 620 values to the " +
                           "PGM range 0..255\n");
    const std::string out = slurp(path("o.pgm"));
    const std::string header = "P5\n31 20\n255\n";
    ASSERT_EQ(out.size(), header.size() + want.size());
    ASSERT_EQ(out.substr(0, header.size()), header);
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(out[header.size() + i]), std::clamp(want[i], 0, 255))
            << i;

    // A wider range clamps fewer; the identity clamps none and says nothing.
    run = conv_ta({"apply", "--kernel", "edge", "--maxval", "4000", in, path("o.pgm")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("0..4000"), std::string::npos) << run.err;
    run = conv_ta({"apply", "--kernel", "identity", in, path("o.pgm")});
    EXPECT_EQ(run.err, "");
}

TEST_F(Cli, DivideRoundsHalfAwayFromZero) {
    const std::vector<std::int32_t> input{-8, -9,  -4, 4,  9, 8,  2, -2, 0, 1,
                                          13, -13, 5,  -5, 7, -7, 6, -6, 3, -3};
    const Outcome run = conv_ta({"apply", "--kernel", "identity", "--divide", "4",
                                 file("in.npy", npy(1, 20, input)), path("o.npy")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(npy_pixels(slurp(path("o.npy"))),
              (std::vector<std::int32_t>{-2, -2, -1, 1,  2, 2,  1, -1, 0, 0,
                                         3,  -3, 1,  -1, 2, -2, 2, -2, 1, -1}));
}

TEST_F(Cli, BadInputFailsInOneLineAndLeavesOutputAlone) {
    const std::vector<std::int32_t> px(12, 1);
    std::string good_data(reinterpret_cast<const char*>(px.data()), 48);
    const std::string good = file("good.npy", npy(3, 4, px));
    const std::string k = "0,1,0,1,-4,1,0,1,0";
    struct Case {
        const char* what;
        std::vector<std::string> args; // IN and OUT included
        int status;
        std::string message;
    };
    const std::string out = path("out.npy");
    const auto in = [&](const char* name, const std::string& bytes) { return file(name, bytes); };
    // A PNG whose header claims 1000000 x 1000000, in 60 bytes.
    const std::string huge_png = [] {
        std::string ihdr("IHDR\0\x0f\x42\x40\0\x0f\x42\x40\x08\0\0\0\0", 17);
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(ihdr.data()), static_cast<uInt>(ihdr.size())));
        std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12);
        png += ihdr;
        for (int b = 3; b >= 0; --b)
            png += static_cast<char>(crc >> (8 * b));
        return png + std::string("\0\0\0\x0aIDAT0123456789", 18);
    }();
    std::vector<Case> cases = {
        {"missing input",
         {"--kernel", k, path("nothing.npy"), out},
         1,
         "nothing.npy: cannot open: No such file or directory"},
        {"input is a directory", {"--kernel", k, dir.string(), out}, 1, "it is a directory"},
        {"not an image",
         {"--kernel", k, in("text.npy", "hello there\n"), out},
         1,
         "not a .npy file, a PGM image (P2 or P5), a PNG or a TIFF"},
        {"empty file", {"--kernel", k, in("empty.npy", ""), out}, 1, "not a .npy file"},
        {"float64",
         {"--kernel", k, in("f8.npy", npy_header("<f8", false, "(3, 4)")), out},
         1,
         "dtype is float64 ('<f8')"},
        {"int64",
         {"--kernel", k, in("i8.npy", npy_header("<i8", false, "(3, 4)")), out},
         1,
         "dtype is int64 ('<i8')"},
        {"uint32",
         {"--kernel", k, in("u4.npy", npy_header("<u4", false, "(3, 4)")), out},
         1,
         "dtype is uint32 ('<u4'); conv-ta reads int8, uint8, int16, uint16 and int32"},
        {"structured",
         {"--kernel", k,
          in("st.npy", npy_header_dict("{'descr': [('a', '<i4')], 'fortran_order': False, "
                                       "'shape': (3, 4), }") +
                           good_data),
          out},
         1,
         "holds a structured array"},
        {"1-D",
         {"--kernel", k, in("1d.npy", npy_header("<i4", false, "(12,)") + good_data), out},
         1,
         "shape is (12,), a 1-D array; conv-ta reads 2-D arrays"},
        {"3-D",
         {"--kernel", k, in("3d.npy", npy_header("<i4", false, "(1, 3, 4)") + good_data), out},
         1,
         "shape is (1, 3, 4), a 3-D array"},
        {"Fortran order",
         {"--kernel", k, in("fo.npy", npy_header("<i4", true, "(3, 4)") + good_data), out},
         1,
         "Fortran (column-major) order"},
        {"truncated npy",
         {"--kernel", k, in("tr.npy", npy_header("<i4", false, "(3, 4)") + good_data.substr(4)),
          out},
         1,
         "truncated: a 3 x 4 int32 array needs 48 bytes of data, it has 44"},
        {"trailing data",
         {"--kernel", k, in("tl.npy", npy(3, 4, px) + "xx"), out},
         1,
         "2 bytes after the 3 x 4 int32 array"},
        {"garbled header",
         {"--kernel", k,
          in("gh.npy", npy_header_dict("{'descr': <i4, 'shape': (3, 4)}") + good_data), out},
         1,
         "malformed .npy header"},
        {"dtype of an absurd item size",
         {"--kernel", k, in("i3e8.npy", npy_header("<i300000000", false, "(3, 4)")), out},
         1,
         "dtype is '<i300000000'"},
        {"huge header length",
         {"--kernel", k, in("hh.npy", std::string("\x93NUMPY\x02\x00\xff\xff\xff\x7f", 12)), out},
         1,
         "malformed .npy file"},
        {"npy version 9",
         {"--kernel", k, in("v9.npy", std::string("\x93NUMPY\x09\x00\x00\x00", 10)), out},
         1,
         "unsupported .npy format version 9.0"},
        {"height beyond int32",
         {"--kernel", k, in("big.npy", npy_header("<i4", false, "(3000000000, 1)")), out},
         1,
         "too large: its height of 3000000000 exceeds 2147483647"},
        {"width beyond int64",
         {"--kernel", k, in("big2.npy", npy_header("<i4", false, "(1, 99999999999999999999999)")),
          out},
         1,
         "too large: its width"},
        {"shape larger than the file",
         {"--kernel", k, in("claim.npy", npy_header("<i4", false, "(100000, 100000)")), out},
         1,
         "needs 40000000000 bytes of data, it has 0"},
        {"P6",
         {"--kernel", k, in("c.pgm", "P6\n1 1\n255\n\x01\x02\x03"), out},
         1,
         "not a .npy file, a PGM image (P2 or P5), a PNG or a TIFF"},
        {"maxval 0",
         {"--kernel", k, in("m0.pgm", "P2 1 1 0 0\n"), out},
         1,
         "maxval 0 is outside 1..65535"},
        {"maxval 70000",
         {"--kernel", k, in("m7.pgm", "P2 1 1 70000 0\n"), out},
         1,
         "maxval above 65535 is outside 1..65535"},
        {"non-numeric header",
         {"--kernel", k, in("nh.pgm", "P2\nabc 2\n255\n"), out},
         1,
         "the width is 'abc', not a number"},
        {"short header",
         {"--kernel", k, in("sh.pgm", "P5\n3 2\n"), out},
         1,
         "ends before the maxval"},
        {"non-numeric sample",
         {"--kernel", k, in("ns.pgm", "P2 2 2 255\n1 2\nx 4\n"), out},
         1,
         "the sample at row 1, column 0 is 'x', not a number"},
        {"negative sample",
         {"--kernel", k, in("neg.pgm", "P2 2 1 255\n1 -2\n"), out},
         1,
         "is '-2', not a number"},
        {"sample above maxval",
         {"--kernel", k, in("sm.pgm", "P2 2 1 100\n1 101\n"), out},
         1,
         "sample 101 at row 0, column 1 exceeds maxval 100"},
        {"binary sample above maxval",
         {"--kernel", k, in("bm.pgm", "P5 2 1 100\n\x01\xc8"), out},
         1,
         "sample 200 at row 0, column 1 exceeds maxval 100"},
        {"truncated P2",
         {"--kernel", k, in("t2.pgm", "P2 3 3 255\n1 2 3 4 5 6 7 8  \n"), out},
         1,
         "truncated: it holds 8 of 9 samples"},
        {"far too short P2",
         {"--kernel", k, in("t3.pgm", "P2 3 3 255\n1 2 3\n"), out},
         1,
         "truncated: it is too short for the 9 samples of a 3 x 3 image"},
        {"truncated P5",
         {"--kernel", k, in("t5.pgm", "P5 3 3 65535\n123456"), out},
         1,
         "needs 18 bytes of samples, it has 6"},
        {"two images in one P5",
         {"--kernel", k, in("two.pgm", "P5 1 1 255\n\x05P5 1 1 255\n\x06"), out},
         1,
         "bytes after the image"},
        {"PGM width beyond int32",
         {"--kernel", k, in("wide.pgm", "P5\n3000000000 1\n255\n"), out},
         1,
         "its width of 3000000000 exceeds 2147483647"},
        {"PGM far larger than its file",
         {"--kernel", k, in("claim.pgm", "P2\n2000000000 2000000000\n255\n1 2 3\n"), out},
         1,
         "too short for the 4000000000000000000 samples"},
        {"colour PNG",
         {"--kernel", k, path("rgb.png"), out},
         1,
         "rgb.png: the PNG is in colour; conv-ta reads grey PNGs"},
        {"PNG far larger than its file",
         {"--kernel", k, in("huge.png", huge_png), out},
         1,
         "huge.png: the PNG is truncated: 10 bytes cannot hold the 1000000 x 1000000 image"},
        {"truncated PNG",
         {"--kernel", k, in("t.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0", 18)), out},
         1,
         "t.png: malformed PNG"},
        {"garbled TIFF",
         {"--kernel", k, in("g.tif", std::string("II*\0\x08\0\0\0\xff\xff", 10)), out},
         1,
         "g.tif: malformed TIFF"},
        {"TIFF to the standard output",
         {"--kernel", k, good, "-", "--format", "tiff"},
         1,
         "a TIFF cannot be written to the standard output"},
        {"standard output without a format",
         {"--kernel", k, good, "-"},
         1,
         "the standard output has no name to tell the format from: give --format"},
        {"unknown format",
         {"--kernel", k, good, out, "--format", "gif"},
         1,
         "--format gif is not one of"},
        {"dtype for PGM",
         {"--kernel", k, "--dtype", "uint8", good, path("o.pgm")},
         2,
         "--dtype applies to .npy and TIFF output only"},
        {"unknown dtype",
         {"--kernel", k, "--dtype", "float32", good, out},
         2,
         "--dtype float32 is not one of int8, uint8, int16, uint16, int32"},
        {"signed 16-bit TIFF",
         {"--kernel", k, "--dtype", "int16", good, path("o.tif")},
         2,
         "TIFF output is uint8, uint16 or int32, not int16"},
        {"offset beyond range",
         {"--kernel", k, "--offset", "99999999999", good, out},
         1,
         "--offset (99999999999) is outside"},
        {"eight kernel values",
         {"--kernel", "1,2,3,4,5,6,7,8", good, out},
         1,
         "the kernel has 8 values; it takes nine"},
        {"ten kernel values",
         {"--kernel", "1,2,3,4,5,6,7,8,9,10", good, out},
         1,
         "the kernel has 10 values"},
        {"one number", {"--kernel", "5", good, out}, 1, "the kernel has 1 value;"},
        {"non-numeric kernel value",
         {"--kernel", "1,2,x,4,5,6,7,8,9", good, out},
         1,
         "kernel value 3 ('x') is not an integer"},
        {"fractional kernel value",
         {"--kernel", "1,2,3,4,1.5,6,7,8,9", good, out},
         1,
         "kernel value 5 ('1.5') is not an integer"},
        {"empty kernel value",
         {"--kernel", "1,,3,4,5,6,7,8,9", good, out},
         1,
         "kernel value 2 is empty"},
        {"kernel value beyond int32",
         {"--kernel", "1,2,3,4,2147483648,6,7,8,9", good, out},
         1,
         "kernel value 5 (2147483648) is outside -2147483648..2147483647"},
        {"kernel value beyond int64",
         {"--kernel", "-99999999999999999999999,2,3,4,5,6,7,8,9", good, out},
         1,
         "kernel value 1 (-99999999999999999999999) is outside"},
        {"empty kernel", {"--kernel", "", good, out}, 1, "the kernel is empty"},
        {"unknown kernel name",
         {"--kernel", "sobel-z", good, out},
         1,
         "unknown kernel 'sobel-z': the named kernels are identity, sobel-x"},
        {"output name without a format",
         {"--kernel", k, good, path("out.txt")},
         1,
         "end it in .npy, .pgm, .png or .tif"},
        {"output directory missing",
         {"--kernel", k, good, path("no/such/dir/out.npy")},
         1,
         "cannot write a file in"},
        {"output is a directory",
         {"--kernel", k, good, path("adir.npy")},
         1,
         "cannot replace it: Is a directory"},
        {"divide by zero",
         {"--kernel", k, "--divide", "0", good, out},
         1,
         "--divide (0) is outside 1..2147483647"},
        {"no kernel", {good, out}, 2, "apply needs --kernel"},
        {"one file", {"--kernel", k, good}, 2, "apply takes IN and OUT, 1 file names given"},
        {"unknown option", {"--kernel", k, "--fast", good, out}, 2, "unknown option --fast"},
        {"maxval for npy",
         {"--kernel", k, "--maxval", "255", good, out},
         2,
         "--maxval applies to PGM and PNG output only"},
        {"maxval too large",
         {"--kernel", k, "--maxval", "65536", good, path("o.pgm")},
         1,
         "--maxval (65536) is outside 1..65535"},
        {"option without value", {good, out, "--kernel"}, 2, "--kernel needs a value"},
    };
    fs::create_directory(dir / "adir.npy");
    png_image rgb{};
    rgb.version = PNG_IMAGE_VERSION;
    rgb.width = rgb.height = 2;
    rgb.format = PNG_FORMAT_RGB;
    const png_byte pixels[12] = {};
    ASSERT_TRUE(png_image_write_to_file(&rgb, path("rgb.png").c_str(), 0, pixels, 0, nullptr));
    const std::string precious = "an earlier result that must survive";
    for (const Case& c : cases) {
        spit(out, precious);
        spit(path("out.txt"), precious);
        const std::vector<std::string> before = listing();
        std::vector<std::string> args{"apply"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = conv_ta(args);
        expect_clean_failure(run, c.status, c.message, c.what);
        EXPECT_EQ(slurp(out), precious) << c.what;
        EXPECT_EQ(slurp(path("out.txt")), precious) << c.what;
        EXPECT_EQ(listing(), before) << c.what << ": a file was left behind";
    }
}

TEST_F(Cli, HostileInputCostsNeitherMemoryNorTime) {
    // 2 GiB of trailing bytes (sparse, so no disk) fail on the header's
    // count alone, without being read.
    for (const char* header : {"P5 2 1 255\n\x01\x02", "P2 2 1 255\n1 2 x"}) {
        const std::string in = file("tail.pgm", header);
        fs::resize_file(in, (std::uintmax_t{1} << 31) + 5);
        const Outcome run = conv_ta({"apply", "--kernel", "box", in, path("o.npy")});
        expect_clean_failure(run, 1, "after the image", header);
#ifndef CONV_TA_SANITIZED // whose shadow memory is resident too
        EXPECT_LT(run.peak_kib, 64 << 10) << header;
#endif
    }
    // A FIFO nobody writes to is refused, not waited on.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    expect_clean_failure(conv_ta({"apply", "--kernel", "box", path("fifo"), path("o.npy")}), 1,
                         "fifo: cannot read: it is not a regular file", "FIFO");
}

// A little-endian .npy of `descr` holding `values`, each `size` bytes.
std::string npy_of(const std::string& descr, int size, std::int64_t height, std::int64_t width,
                   const std::vector<std::int32_t>& values) {
    std::string shape = "(";
    shape += std::to_string(height) + ", " + std::to_string(width) + ")";
    std::string s = npy_header(descr, false, shape);
    for (std::int32_t v : values)
        for (int b = 0; b < size; ++b)
            s += static_cast<char>(static_cast<std::uint32_t>(v) >> (8 * b));
    return s;
}

TEST_F(Cli, NpyOfEveryIntegerTypeInAndOut) {
    const std::vector<std::int32_t> samples{-128, -1,   0,     1,      127,   200,   255,
                                            300,  -300, 32767, -32768, 65535, 70000, -70000,
                                            5,    6,    7,     8,      9,     10};
    struct Type {
        const char* descr;
        const char* name;
        int size;
        std::int64_t low, high;
    };
    const Type types[] = {{"|i1", "int8", 1, -128, 127},
                          {"|u1", "uint8", 1, 0, 255},
                          {"<i2", "int16", 2, -32768, 32767},
                          {"<u2", "uint16", 2, 0, 65535}};
    for (const Type& t : types) {
        // In: each type's own values, read as int32.
        std::vector<std::int32_t> in_range;
        for (std::int32_t v : samples)
            in_range.push_back(
                static_cast<std::int32_t>(std::clamp<std::int64_t>(v, t.low, t.high)));
        Outcome run =
            conv_ta({"apply", "--kernel", "identity",
                     file("in.npy", npy_of(t.descr, t.size, 1, 20, in_range)), path("o.npy")});
        ASSERT_EQ(run.status, 0) << t.name << run.err;
        EXPECT_EQ(npy_pixels(slurp(path("o.npy"))), in_range) << t.name;
        // Out: int32 values clamped to the type, and counted.
        run = conv_ta({"apply", "--kernel", "identity", "--dtype", t.name,
                       file("in.npy", npy(1, 20, samples)), path("o.npy")});
        ASSERT_EQ(run.status, 0) << t.name << run.err;
        const long clamped = std::count_if(samples.begin(), samples.end(),
                                           [&](std::int32_t v) { return v < t.low || v > t.high; });
        EXPECT_EQ(run.err, "conv-ta: clamped " + std::to_string(clamped) + " of 20 values to the " +
                               t.name + " range " + std::to_string(t.low) + ".." +
                               std::to_string(t.high) + "\n");
        EXPECT_EQ(slurp(path("o.npy")), npy_of(t.descr, t.size, 1, 20, in_range)) << t.name;
    }
}

TEST_F(Cli, AbsAndOffsetKeepTheNegativeHalf) {
    const std::vector<std::int32_t> input{0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::string in = file("in.npy", npy(1, 18, input));
    const std::vector<std::int32_t> edge = reference(1, 18, input, {0, 0, 0, -1, 0, 1, 0, 0, 0});
    for (const auto& [option, value] :
         {std::pair{std::vector<std::string>{"--abs"}, 0}, {{"--offset", "128"}, 128}}) {
        std::vector<std::string> args{"apply", "--kernel", "0,0,0,-1,0,1,0,0,0"};
        args.insert(args.end(), option.begin(), option.end());
        args.insert(args.end(), {in, path("o.pgm"), "--maxval", "255"});
        const Outcome run = conv_ta(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string out = slurp(path("o.pgm"));
        for (std::size_t i = 0; i < edge.size(); ++i)
            EXPECT_EQ(static_cast<unsigned char>(out[out.size() - 18 + i]),
                      value == 0 ? std::abs(edge[i]) : edge[i] + value)
                << option[0] << " " << i;
    }
}

TEST_F(Cli, PngAndTiffReadWhatTheirLibrariesWriteAndBack) {
    std::vector<std::int32_t> samples(23 * 37);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int32_t>((i * 7919) % 256);
    // An 8-bit grey PNG from libpng's own writer.
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = 37;
    png.height = 23;
    png.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> bytes(samples.begin(), samples.end());
    ASSERT_TRUE(png_image_write_to_file(&png, path("in.png").c_str(), 0, bytes.data(), 0, nullptr));
    Outcome run = conv_ta({"apply", "--kernel", "identity", path("in.png"), path("o.npy")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(npy_pixels(slurp(path("o.npy"))), samples);
    // And back: a PNG of the same samples, at the input's depth.
    run =
        conv_ta({"apply", "--kernel", "identity", path("o.npy"), path("o.png"), "--maxval", "255"});
    ASSERT_EQ(run.status, 0) << run.err;
    png_image back{};
    back.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&back, path("o.png").c_str()));
    back.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> read(PNG_IMAGE_SIZE(back));
    ASSERT_TRUE(png_image_finish_read(&back, nullptr, read.data(), 0, nullptr));
    EXPECT_EQ(std::vector<std::int32_t>(read.begin(), read.end()), samples);

    // A tiled 16-bit TIFF and a stripped int32 one, from libtiff.
    conv_ta_reference::Values values(5);
    std::vector<std::int32_t> wide(samples.size());
    values.fill(wide);
    for (const bool tiled : {true, false}) {
        TIFF* tiff = TIFFOpen(path("in.tif").c_str(), "w");
        ASSERT_NE(tiff, nullptr);
        const int bits = tiled ? 16 : 32;
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 37);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 23);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, tiled ? SAMPLEFORMAT_UINT : SAMPLEFORMAT_INT);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION,
                     tiled ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_LZW);
        std::vector<std::int32_t> want = wide;
        if (tiled) {
            for (std::int32_t& v : want)
                v &= 0xffff;
            TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
            TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
            for (std::uint32_t y = 0; y < 23; y += 16)
                for (std::uint32_t x = 0; x < 37; x += 16) {
                    std::vector<std::uint16_t> tile(256, 0);
                    for (std::uint32_t ty = 0; ty < 16 && y + ty < 23; ++ty)
                        for (std::uint32_t tx = 0; tx < 16 && x + tx < 37; ++tx)
                            tile[ty * 16 + tx] =
                                static_cast<std::uint16_t>(want[(y + ty) * 37 + x + tx]);
                    ASSERT_GE(TIFFWriteTile(tiff, tile.data(), x, y, 0, 0), 0);
                }
        } else {
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 5);
            for (std::uint32_t y = 0; y < 23; ++y)
                ASSERT_GE(TIFFWriteScanline(tiff, want.data() + y * 37, y, 0), 0);
        }
        TIFFClose(tiff);
        run = conv_ta({"apply", "--kernel", "identity", path("in.tif"), path("o.npy")});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(npy_pixels(slurp(path("o.npy"))), want) << "tiled " << tiled;
    }
    // int32 written exactly, read back by libtiff.
    const std::vector<std::int32_t> kernel{1, 2, 3, 4, 5, 6, 7, 8, -9};
    run = conv_ta({"apply", "--kernel", "1,2,3,4,5,6,7,8,-9", file("w.npy", npy(23, 37, wide)),
                   path("o.tiff")});
    ASSERT_EQ(run.status, 0) << run.err;
    TIFF* tiff = TIFFOpen(path("o.tiff").c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    std::vector<std::int32_t> got(wide.size());
    for (std::uint32_t y = 0; y < 23; ++y)
        ASSERT_GE(TIFFReadScanline(tiff, got.data() + y * 37, y, 0), 0);
    TIFFClose(tiff);
    EXPECT_EQ(got, reference(23, 37, wide, kernel));
    // 16-bit PNG and uint16 TIFF through conv-ta and back, unchanged.
    std::vector<std::int32_t> sixteen(wide);
    for (std::int32_t& v : sixteen)
        v &= 0xffff;
    file("16.npy", npy(23, 37, sixteen));
    for (const char* name : {"o16.png", "o16.tif"}) {
        std::vector<std::string> args{"apply", "--kernel", "identity", path("16.npy"), path(name)};
        if (std::string(name).ends_with(".tif"))
            args.insert(args.end(), {"--dtype", "uint16"});
        ASSERT_EQ(conv_ta(args).status, 0) << name;
        ASSERT_EQ(conv_ta({"apply", "--kernel", "identity", path(name), path("b.npy")}).status, 0);
        EXPECT_EQ(npy_pixels(slurp(path("b.npy"))), sixteen) << name;
    }
}

TEST_F(Cli, StandardInputAndOutput) {
    const std::vector<std::int32_t> input{1,  2,  3,  4,  5,  6,  7,  8, 9,
                                          10, 11, 12, 13, 14, 15, 16, 17};
    const std::string in = file("in.npy", npy(1, 17, input));
    // Through a pipe, so that the size is not known beforehand.
    const std::string command =
        "cat '" + in + "' | '" CONV_TA_TOOL "' apply --kernel sharpen --format npy - - > '" +
        path("o.npy") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(npy_pixels(slurp(path("o.npy"))),
              reference(1, 17, input, {0, -1, 0, -1, 5, -1, 0, -1, 0}));
    const std::string truncated = "head -c 70 '" + in +
                                  "' | '" CONV_TA_TOOL "' apply --kernel box - '" + path("t.npy") +
                                  "' 2>'" + path("err") + "'";
    EXPECT_NE(std::system(truncated.c_str()), 0);
    EXPECT_NE(slurp(path("err")).find("standard input: the file ended early"), std::string::npos)
        << slurp(path("err"));
    EXPECT_FALSE(fs::exists(path("t.npy")));
}

TEST_F(Cli, StreamsLargeImagesInBoundedMemory) {
    // Many bands of rows, the last one short, against the reference; the
    // input alone is 34 MB, and neither it nor the output is held whole.
    const std::int32_t height = 2100, width = 4096;
    const auto image = [&] {
        std::vector<std::int32_t> v(static_cast<std::size_t>(height) * width);
        conv_ta_reference::Values(9).fill(v);
        return v;
    };
    file("in.npy", npy(height, width, image()));
    const Outcome run =
        conv_ta({"apply", "--kernel", "3,-1,4,-1,5,-9,2,6,-5", path("in.npy"), path("o.npy")});
    ASSERT_EQ(run.status, 0) << run.err;
#ifndef CONV_TA_SANITIZED
    EXPECT_LT(run.peak_kib, 32 << 10);
#endif
    EXPECT_TRUE(npy_pixels(slurp(path("o.npy"))) ==
                reference(height, width, image(), {3, -1, 4, -1, 5, -9, 2, 6, -5}));
}

TEST_F(Cli, FailedWriteLeavesTheOldOutputWhole) {
    std::vector<std::int32_t> input(100 * 100, 3);
    const std::string in = file("in.npy", npy(100, 100, input));
    const std::string precious = "an earlier result that must survive";
    for (const char* name : {"out.npy", "out.pgm"}) {
        spit(path(name), precious);
        // Room for the input, not for the output: the disk is full mid-write.
        const Outcome run = conv_ta({"apply", "--kernel", "box", in, path(name)}, 4096);
        expect_clean_failure(run, 1, "cannot write: File too large (left as it was)", name);
        EXPECT_EQ(slurp(path(name)), precious) << name;
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.npy", "out.npy", "out.pgm"}));
}

TEST_F(Cli, PermissionsAreHonoured) {
    // Run as an ordinary user, since root reads and writes regardless.
    if (geteuid() != 0)
        GTEST_SKIP() << "not run as root: the owner's permissions cannot be taken away";
    if (tool_for_anyone().empty())
        GTEST_SKIP() << "cannot copy conv-ta to /tmp for a run as nobody";
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const std::string in = file("in.npy", npy(1, 1, {1}));
    fs::permissions(in, fs::perms::owner_read | fs::perms::owner_write);
    expect_clean_failure(conv_ta({"apply", "--kernel", "box", in, path("o.npy")}, {}, true), 1,
                         "in.npy: cannot open: Permission denied", "unreadable input");
    fs::permissions(in, fs::perms::all);
    // Readable input, but a directory the user cannot write to.
    expect_clean_failure(conv_ta({"apply", "--kernel", "box", in, path("o.npy")}, {}, true), 1,
                         "cannot write a file in " + dir.string() + ": Permission denied",
                         "read-only directory");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.npy"});
}

TEST(Commands, UsageErrorsAndHelp) {
    expect_clean_failure(conv_ta({}), 2, "no command given", "no command");
    expect_clean_failure(conv_ta({"convolve"}), 2, "unknown command 'convolve'", "unknown");
    expect_clean_failure(conv_ta({"check", "a", "b"}), 2, "at most one library", "check args");
    const Outcome help = conv_ta({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: conv-ta apply"), std::string::npos);
    // Each command's own help, however it is asked for, is a success.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"apply", "--help"},
                                                 {"apply", "--kernel", "box", "-h"},
                                                 {"help", "apply"},
                                                 {"check", "--help"},
                                                 {"kernels", "--help"}}) {
        const Outcome run = conv_ta(args);
        EXPECT_EQ(run.status, 0) << args[0] << run.err;
        EXPECT_NE(run.out.find("\n" + (args[0] == "help" ? args[1] : args[0]) + " "),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(run.err, "");
    }
    const Outcome version = conv_ta({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "conv-ta " CONV_TA_VERSION "\n");
}

TEST(Commands, OutputThatCannotBeWrittenIsAFailure) {
    // A check that passed is reported as failed when its report is lost.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"kernels"}, {"check"}, {"check", FAULTY_WRONG_EDGE}})
        expect_clean_failure(conv_ta(args, {}, false, true), 1,
                             "cannot write the standard output: No space left on device",
                             args.back());
}

TEST(Commands, BenchHelpAndErrors) {
    if (!CONV_TA_HAVE_BENCH) {
        expect_clean_failure(conv_ta({"bench"}), 1, "built without the benchmarks", "bench");
        EXPECT_EQ(conv_ta({"bench", "--help"}).status, 0);
        return;
    }
    // Its help makes no output folder; a filter that matches nothing is one
    // line, not a traceback.
    char name[] = "/tmp/conv_ta_cli_bench_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    setenv("TMPDIR", name, 1);
    const Outcome help = conv_ta({"bench", "--help"});
    EXPECT_TRUE(fs::is_empty(name));
    const Outcome none = conv_ta({"bench", "--filter", "no-such-benchmark", "--repetitions", "1"});
    unsetenv("TMPDIR");
    fs::remove_all(name);
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_NE(help.out.find("--filter"), std::string::npos) << help.out;
    EXPECT_EQ(none.status, 1) << none.err;
    EXPECT_NE(none.err.find("bench: no benchmark ran (--filter no-such-benchmark matches none)\n"),
              std::string::npos)
        << none.err;
    EXPECT_EQ(none.err.find("Traceback"), std::string::npos) << none.err;
}

// ---- conv-ta check ----------------------------------------------------------

constexpr int groups = 11;

int count_lines_starting(const std::string& text, const std::string& prefix) {
    int n = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

TEST(Check, PassesOnTheProjectsLibrary) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"check"}, {"check", CONV_TA_LIBRARY_PATH}}) {
        const Outcome run = conv_ta(args);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(count_lines_starting(run.out, "ok    "), groups) << run.out;
        EXPECT_EQ(count_lines_starting(run.out, "FAIL"), 0) << run.out;
        EXPECT_NE(run.out.find("check passed: 11 of 11 groups"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("libconv_TA.so"), std::string::npos) << run.out;
    }
}

TEST(Check, FindsEachFaultAndSurvivesACrash) {
    struct Case {
        const char* library;
        std::string failing_line; // the start of the first FAIL line
        std::string detail;
    };
    const Case cases[] = {
        {FAULTY_WRONG_EDGE,
         "FAIL  one row: widths 16 to 160: ", "element (0, 15) of the 1 x 16 image is"},
        {FAULTY_OVERRUN, "FAIL  one row: widths 16 to 160: ", "crashed with signal"},
        {FAULTY_DELEGATE_ALL, "FAIL  no rows: heights 0 and below touch no element: ",
         "it called convolution_ref for the 0 x 16 image"},
        {FAULTY_NARROW_SELF, "FAIL  narrow: widths below 16 go whole to convolution_ref: ",
         "it called convolution_ref 0 times for the -2147483648 x -2147483648 image"},
        {FAULTY_LARGE_PAIRS,
         "FAIL  sweeps: a shape for every sweep of the row plan: ", "element ("},
        {FAULTY_WIDE_BORDER, "FAIL  wide rows: every width 201 to 1100, heights 2 and 3: ",
         "element (1, 214) of the 2 x 215 image"},
        {FAULTY_SHARED_SCRATCH,
         "FAIL  threads: two threads at once, each on its own images: ", "images in 2 threads"},
        {FAULTY_TOUCHES_INPUT, "FAIL  one row: widths 16 to 160: ",
         "during the 1 x 16 image: it read or wrote memory it must not"},
    };
    for (const Case& c : cases) {
        const Outcome run = conv_ta({"check", c.library});
        EXPECT_EQ(run.signal, 0) << c.library;
        EXPECT_EQ(run.status, 1) << c.library << run.out << run.err;
        const std::size_t at = run.out.find("FAIL");
        ASSERT_NE(at, std::string::npos) << run.out;
        EXPECT_EQ(run.out.substr(at, c.failing_line.size()), c.failing_line) << run.out;
        EXPECT_NE(run.out.find(c.detail, at), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("check FAILED"), std::string::npos) << run.out;
        // Every group still gets its line after a failure or a crash.
        EXPECT_EQ(count_lines_starting(run.out, "ok    ") + count_lines_starting(run.out, "FAIL  "),
                  groups)
            << run.out;
    }
    // Loading it runs in a child too: a library that ends the process as it
    // is loaded cannot end conv-ta with a success.
    const Outcome run = conv_ta({"check", FAULTY_EXIT_ON_LOAD});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("FAIL  loading: it ended with status 0 while it was being loaded"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("check FAILED"), std::string::npos) << run.out;
}

TEST(Check, ReportsWhatCannotBeChecked) {
    expect_clean_failure(conv_ta({"check", "/no/such/library.so"}), 2,
                         "cannot load /no/such/library.so", "missing library");
    expect_clean_failure(conv_ta({"check", FAULTY_NO_EXPORT}), 2, "does not export convolution_TA",
                         "no export");
    expect_clean_failure(conv_ta({"check", CONV_TA_TOOL}), 2, "cannot load", "not a library");
}

} // namespace
