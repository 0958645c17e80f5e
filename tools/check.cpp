#include "check.h"

#include "conv_TA.h"
#include "reference/guarded.h"
#include "reference/recording_host.h"
#include "reference/reference.h"
#include "reference/shapes.h"
#include "reference/values.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace conv_ta_tool {

namespace {

using namespace conv_ta_reference;

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

// Shared between conv-ta and the child process that runs one group, so that
// a library that crashes is still reported with the image it crashed on.
struct Report {
    char current[160];
    char failure[512];
    char where[512]; // the file the library was loaded from
    long images;
    int loading;
    int finished;
};

void format_into(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void format_into(char* buffer, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, size, format, args);
    va_end(args);
}

enum class Fill { Random, Min, Max, Alternate };

// Runs one image after another through the library under test, each in
// guard-paged buffers, and stops at the first that is wrong.
class Runner {
  public:
    Runner(ConvolutionFn convolution, Report* report, std::uint64_t seed)
        : convolution_(convolution), report_(report), values_(seed) {}

    // An image of 16 columns or more, or of no rows: every element must be
    // its kernel sum, the input and kernel must be left alone, and
    // convolution_ref must not be called. `kernel` null means a random one.
    bool wide(std::int32_t height, std::int32_t width, const std::int32_t* kernel = nullptr,
              Fill fill = Fill::Random, std::size_t input_offset = 0,
              std::size_t output_offset = 0) {
        format_into(report_->current, sizeof report_->current, "%d x %d image", height, width);
        const std::size_t count =
            height > 0 ? static_cast<std::size_t>(height) * static_cast<std::size_t>(width) : 0;
        // Alternate which end of each buffer meets its guard page.
        const Flush first = report_->images % 2 ? Flush::Start : Flush::End;
        const Flush second = first == Flush::Start ? Flush::End : Flush::Start;
        GuardedBuffer in(count + input_offset, first), out(count + output_offset, second);
        GuardedBuffer k(9, Flush::End);
        std::int32_t* input = in.data() + input_offset;
        std::int32_t* output = out.data() + output_offset;
        for (std::size_t i = 0; i < count; ++i)
            input[i] = pixel(fill, i, width);
        if (kernel != nullptr)
            std::copy(kernel, kernel + 9, k.data());
        else
            values_.fill(k.elements());
        values_.fill_garbage(out.elements());
        const std::vector<std::int32_t> input_before(input, input + count);
        const std::array<std::int32_t, 9> kernel_before = copy9(k.data());
        if (count == 0) {
            in.forbid_access();
            out.forbid_access();
        } else {
            // A library that writes into its const input and puts it back
            // faults here rather than passing.
            in.forbid_writes();
        }

        take_ref_calls();
        convolution_(height, width, input, output, k.data());
        ++report_->images;

        if (!take_ref_calls().empty())
            return fail("it called convolution_ref for the %s, which is the library's own",
                        report_->current);
        if (!std::equal(input_before.begin(), input_before.end(), input))
            return fail("it changed the input of the %s", report_->current);
        if (copy9(k.data()) != kernel_before)
            return fail("it changed the kernel during the %s", report_->current);
        if (const auto m = first_mismatch(height, width, input, output, k.data()))
            return fail("element (%td, %td) of the %s is %d, its kernel sum is %d", m->y, m->x,
                        report_->current, m->got, m->want);
        return true;
    }

    // An image narrower than 16 columns: exactly one call of convolution_ref
    // with the arguments unchanged, and not one element or coefficient
    // touched by the library itself, which the inaccessible buffers enforce.
    bool narrow(std::int32_t height, std::int32_t width) {
        format_into(report_->current, sizeof report_->current, "%d x %d image", height, width);
        const std::size_t count = height > 0 && width > 0 ? static_cast<std::size_t>(height) *
                                                                static_cast<std::size_t>(width)
                                                          : 0;
        GuardedBuffer in(count, Flush::End), out(count, Flush::Start), k(9, Flush::End);
        in.forbid_access();
        out.forbid_access();
        k.forbid_access();
        set_ref_action(RefAction::Record);
        take_ref_calls();
        convolution_(height, width, in.data(), out.data(), k.data());
        const std::vector<RefCall> calls = take_ref_calls();
        set_ref_action(RefAction::Compute);
        ++report_->images;
        if (calls.size() != 1)
            return fail("it called convolution_ref %zu times for the %s; it must call it once",
                        calls.size(), report_->current);
        const RefCall& c = calls[0];
        if (c != RefCall{height, width, in.data(), out.data(), k.data()})
            return fail("it passed convolution_ref (%d, %d, %p, %p, %p) for the %s called with "
                        "(%d, %d, %p, %p, %p)",
                        c.height, c.width, static_cast<const void*>(c.input),
                        static_cast<void*>(c.output), static_cast<const void*>(c.kernel),
                        report_->current, height, width, static_cast<void*>(in.data()),
                        static_cast<void*>(out.data()), static_cast<void*>(k.data()));
        return true;
    }

    // Images from `threads` threads at once, each on its own buffers: a
    // library with shared scratch state goes wrong here.
    bool in_threads(int threads, int images, std::int32_t height, std::int32_t width) {
        format_into(report_->current, sizeof report_->current, "%d x %d images in %d threads",
                    height, width, threads);
        std::atomic<int> waiting{threads};
        std::atomic<bool> failed{false};
        std::mutex report_lock;
        const auto work = [&](std::uint64_t seed) {
            Values values(seed);
            const std::size_t count =
                static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
            std::vector<std::int32_t> input(count), output(count), kernel(9);
            values.fill(kernel);
            // Start together, so that the calls overlap.
            for (--waiting; waiting > 0;)
                std::this_thread::yield();
            for (int i = 0; i < images && !failed; ++i) {
                values.fill(input);
                convolution_(height, width, input.data(), output.data(), kernel.data());
                const auto m =
                    first_mismatch(height, width, input.data(), output.data(), kernel.data());
                std::lock_guard<std::mutex> hold(report_lock);
                ++report_->images;
                if (m && !failed.exchange(true))
                    fail("element (%td, %td) of a %s is %d, its kernel sum is %d", m->y, m->x,
                         report_->current, m->got, m->want);
            }
        };
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back(work, 1000 + static_cast<std::uint64_t>(t));
        for (std::thread& t : pool)
            t.join();
        return !failed;
    }

  private:
    std::int32_t pixel(Fill fill, std::size_t i, std::int32_t width) {
        switch (fill) {
        case Fill::Min:
            return int_min;
        case Fill::Max:
            return int_max;
        case Fill::Alternate:
            return (i / static_cast<std::size_t>(width) + i % static_cast<std::size_t>(width)) % 2
                       ? int_min
                       : int_max;
        case Fill::Random:
            break;
        }
        return values_.next();
    }

    static std::array<std::int32_t, 9> copy9(const std::int32_t* k) {
        std::array<std::int32_t, 9> a;
        std::copy(k, k + 9, a.begin());
        return a;
    }

    bool fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(report_->failure, sizeof report_->failure, format, args);
        va_end(args);
        return false;
    }

    ConvolutionFn convolution_;
    Report* report_;
    Values values_;
};

struct Group {
    const char* name;
    bool (*run)(Runner&);
};

// Widths at and around every band edge: the left band, no block, one block,
// several, and remainders of every length.
constexpr std::int32_t edge_widths[] = {16, 17, 31, 32, 33, 34, 47,  48,  49,
                                        50, 63, 64, 65, 80, 81, 127, 128, 129};

constexpr Group groups[] = {
    {"narrow: widths below 16 go whole to convolution_ref",
     [](Runner& r) {
         for (std::int32_t width :
              {int_min, -17, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})
             for (std::int32_t height : {int_min, -1, 0, 1, 2, 3, 17, 300})
                 if (!r.narrow(height, width))
                     return false;
         return true;
     }},
    {"no rows: heights 0 and below touch no element",
     [](Runner& r) {
         for (std::int32_t width : {16, 17, 31, 32, 33, 48, 49, 64, 65, 1000, 1 << 20, int_max})
             for (std::int32_t height : {0, -1, -2, int_min})
                 if (!r.wide(height, width))
                     return false;
         return true;
     }},
    {"one row: widths 16 to 160",
     [](Runner& r) {
         for (std::int32_t width = 16; width <= 160; ++width)
             if (!r.wide(1, width))
                 return false;
         return true;
     }},
    {"few rows: widths 16 to 200, heights 2 to 4",
     [](Runner& r) {
         for (std::int32_t width = 16; width <= 200; ++width)
             for (std::int32_t height = 2; height <= 4; ++height)
                 if (!r.wide(height, width))
                     return false;
         return true;
     }},
    {"many rows: heights 2 to 70 at every band edge",
     [](Runner& r) {
         for (std::int32_t width : edge_widths)
             for (std::int32_t height = 2; height <= 70; ++height)
                 if (!r.wide(height, width))
                     return false;
         return true;
     }},
    {"extremes: INT32_MIN and INT32_MAX in kernels and pixels",
     [](Runner& r) {
         const std::int32_t kernels[][9] = {
             {int_min, int_min, int_min, int_min, int_min, int_min, int_min, int_min, int_min},
             {int_max, int_max, int_max, int_max, int_max, int_max, int_max, int_max, int_max},
             {-1, -1, -1, -1, -1, -1, -1, -1, -1},
             {int_min, int_max, int_min, int_max, int_min, int_max, int_min, int_max, int_min},
             {0, 0, 0, 0, int_min, 0, 0, 0, 0},
             {1, 2, 3, 4, 5, 6, 7, 8, 9},
         };
         const std::pair<std::int32_t, std::int32_t> shapes[] = {
             {1, 16}, {2, 16}, {1, 40}, {3, 33}, {5, 50}, {7, 100}, {4, 129}};
         for (const auto& kernel : kernels)
             for (Fill fill : {Fill::Min, Fill::Max, Fill::Alternate, Fill::Random})
                 for (auto [height, width] : shapes)
                     if (!r.wide(height, width, kernel, fill))
                         return false;
         return true;
     }},
    {"wide rows: every width 201 to 1100, heights 2 and 3",
     [](Runner& r) {
         for (std::int32_t width = 201; width <= 1100; ++width)
             for (std::int32_t height = 2; height <= 3; ++height)
                 if (!r.wide(height, width))
                     return false;
         return true;
     }},
    {"alignment: input and output at every offset within 64 bytes",
     [](Runner& r) {
         for (std::size_t in = 0; in < 16; ++in)
             for (std::size_t out = 0; out < 16; ++out)
                 if (!r.wide(3, 53, nullptr, Fill::Random, in, out))
                     return false;
         return true;
     }},
    {"large: up to two million elements, long rows and long columns",
     [](Runner& r) {
         // 1031 x 2049 is past the size from which the library may sweep
         // large images differently (fetching ahead, streaming stores); 7 x
         // 4111 has an odd number of interior rows, in case long rows are
         // computed several at a time.
         const std::pair<std::int32_t, std::int32_t> shapes[] = {
             {2, 100003}, {1000, 1000}, {4099, 17},  {3, 65551},
             {7, 4111},   {1, 1 << 20}, {1031, 2049}};
         for (auto [height, width] : shapes)
             if (!r.wide(height, width))
                 return false;
         return true;
     }},
    {"sweeps: a shape for every sweep of the row plan",
     [](Runner& r) {
         for (const SweepShape& shape : kSweepShapes)
             if (!r.wide(shape.height, shape.width))
                 return false;
         return true;
     }},
    {"threads: two threads at once, each on its own images",
     [](Runner& r) { return r.in_threads(2, 48, 64, 4096) && r.in_threads(3, 200, 9, 300); }},
};

// The library's convolution_TA, loaded in the calling process: the one
// conv-ta is linked with when `library` is null. On failure, says why in
// `report->failure` and returns null.
ConvolutionFn load(const char* library, Report* report) {
    if (library == nullptr)
        return &convolution_TA;
    // A bare file name means the file here, not a search of the library path.
    std::string path = library;
    if (path.find('/') == std::string::npos && access(path.c_str(), F_OK) == 0)
        path = "./" + path;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        format_into(report->failure, sizeof report->failure, "cannot load %s: %s", library,
                    dlerror());
        return nullptr;
    }
    const auto convolution = reinterpret_cast<ConvolutionFn>(dlsym(handle, "convolution_TA"));
    if (convolution == nullptr)
        format_into(report->failure, sizeof report->failure, "%s does not export convolution_TA",
                    library);
    return convolution;
}

// Runs one group in a child process; fills `report` and returns whether the
// group passed.
bool run_group(const Group* group, const char* library, Report* report, std::uint64_t seed) {
    std::memset(report, 0, sizeof *report);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        format_into(report->failure, sizeof report->failure, "cannot start a process: %s",
                    std::strerror(errno));
        return false;
    }
    if (child == 0) {
        // The library is loaded here, never in conv-ta itself: whatever it
        // does while loading or running, the verdict is conv-ta's.
        report->loading = 1;
        const ConvolutionFn convolution = load(library, report);
        report->loading = 0;
        if (convolution != nullptr) {
            Dl_info info{};
            if (dladdr(reinterpret_cast<void*>(convolution), &info) && info.dli_fname)
                format_into(report->where, sizeof report->where, "%s", info.dli_fname);
            if (group != nullptr) {
                Runner runner(convolution, report, seed);
                group->run(runner);
            }
        }
        report->finished = 1;
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (report->finished && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return report->failure[0] == '\0';
    char how[96];
    if (WIFSIGNALED(status))
        format_into(how, sizeof how, "crashed with signal %d (%s)", WTERMSIG(status),
                    strsignal(WTERMSIG(status)));
    else
        format_into(how, sizeof how, "ended with status %d", WEXITSTATUS(status));
    if (report->loading)
        format_into(report->failure, sizeof report->failure, "it %s while it was being loaded",
                    how);
    else if (report->failure[0] == '\0')
        format_into(report->failure, sizeof report->failure,
                    "it %s during the %s: it read or wrote memory it must not, or aborted", how,
                    report->current[0] ? report->current : "first image");
    report->finished = 0;
    return false;
}

} // namespace

int run_check(const char* library, std::FILE* out) {
    Report* report = static_cast<Report*>(
        mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (report == MAP_FAILED) {
        std::fprintf(stderr, "conv-ta: cannot map shared memory: %s\n", std::strerror(errno));
        return 2;
    }
    // Loading it alone first, to tell a library that cannot be loaded (status
    // 2) from one that fails; one that ends the process as it loads fails.
    const std::string name = library ? library : "the linked library";
    const bool loaded = run_group(nullptr, library, report, 0);
    if (!report->finished) {
        std::fprintf(out, "checking convolution_TA of %s against the reference\n", name.c_str());
        std::fprintf(out, "FAIL  loading: %s\n", report->failure);
        std::fprintf(out, "check FAILED: the library did not load and return\n");
        munmap(report, sizeof(Report));
        return 1;
    }
    if (!loaded) {
        std::fprintf(stderr, "conv-ta: %s\n", report->failure);
        munmap(report, sizeof(Report));
        return 2;
    }
    std::fprintf(out, "checking convolution_TA of %s against the reference\n",
                 report->where[0] ? report->where : name.c_str());

    int failed = 0;
    long images = 0;
    std::uint64_t seed = 1;
    for (const Group& group : groups) {
        const bool pass = run_group(&group, library, report, seed++);
        images += report->images;
        if (pass)
            std::fprintf(out, "ok    %s (%ld images)\n", group.name, report->images);
        else
            std::fprintf(out, "FAIL  %s: %s\n", group.name, report->failure);
        failed += !pass;
    }
    munmap(report, sizeof(Report));
    const int total = static_cast<int>(std::size(groups));
    if (failed == 0)
        std::fprintf(out, "check passed: %d of %d groups, %ld images, all as the reference\n",
                     total, total, images);
    else
        std::fprintf(out, "check FAILED: %d of %d groups\n", failed, total);
    return failed == 0 ? 0 : 1;
}

} // namespace conv_ta_tool
