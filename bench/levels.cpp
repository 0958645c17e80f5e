// The library built for each portable instruction-set level, timed beside the
// library as built. The level is fixed when the library is compiled, and the
// benchmark is usually built for native, so a portable level that compiles
// badly would otherwise never be timed at all.
//
// Each level's module is the library's own source and settings with another
// -march. It is loaded with RTLD_LOCAL, so that its convolution_TA never
// stands in for the linked one (or another level's), and RTLD_NOW, so that a
// module whose convolution_ref cannot be bound fails here and not mid-run.
// CONV_TA_BENCH_INSTALLED names one more module, timed as "installed": the
// copy the loader chose from an install (bench/table.py --installed).
#include "bench.h"
#include "conv_TA.h"
#include "reference/cpu_levels.h"
#include "reference/values.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace conv_ta_bench {
namespace {

struct Level {
    const char* name;
    const char* module;
};

// The paths come from the build, which makes one module per level.
const Level kLevels[] = {
    {"x86-64", CONV_TA_LEVEL_X86_64_MODULE},
    {"x86-64-v2", CONV_TA_LEVEL_X86_64_V2_MODULE},
    {"x86-64-v3", CONV_TA_LEVEL_X86_64_V3_MODULE},
    {"x86-64-v4", CONV_TA_LEVEL_X86_64_V4_MODULE},
};

// The level's instance for a shape. The output still holds what the
// implementation timed before this one wrote, usually the right answer, so a
// module that wrote nothing would pass the check after timing: the first call
// is checked on garbage.
std::unique_ptr<Instance> level_instance(Shape s, Entry entry) {
    auto instance = std::make_unique<LibraryInstance>(s, entry);
    conv_ta_reference::Values(0x1e7e15u).fill_garbage(
        std::span<std::int32_t>(images_for(s).output, s.elements()));
    instance->run();
    if (const std::string wrong = instance->check(); !wrong.empty())
        throw std::runtime_error("on its first call " + wrong);
    return instance;
}

// The level's convolution_TA, or why there is none. The module stays loaded
// until the process ends: the registered benchmarks hold its entry.
Entry load(const Level& level, std::string& why) {
    void* handle = dlopen(level.module, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        why = std::string("its module did not load: ") + (error ? error : level.module);
        return nullptr;
    }
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "convolution_TA"));
    if (!entry) {
        why = std::string("its module has no convolution_TA: ") + level.module;
        return nullptr;
    }
    // Timing the linked library under a level's name would hide the very
    // difference these rows are for.
    if (entry == &convolution_TA) {
        why = "its module's convolution_TA is the library as built";
        return nullptr;
    }
    return entry;
}

} // namespace

Peers level_builds() {
    Peers peers;
    std::string loaded;
    for (const Level& level : kLevels) {
        const std::string name = std::string("convolution_TA:") + level.name;
        std::string why;
        Entry entry = nullptr;
        if (!conv_ta_reference::cpu_runs_level(level.name))
            why = std::string("this CPU lacks one of ") +
                  conv_ta_reference::level_features(level.name) + " or a lower level's";
        else
            entry = load(level, why);
        if (!entry) {
            peers.notes.push_back(name + ": skipped, " + why);
            continue;
        }
        peers.implementations.push_back(
            {name, [entry](Shape s) { return level_instance(s, entry); }, &level_shapes()});
        if (!loaded.empty())
            loaded += ' ';
        loaded += level.name;
    }
    if (const char* installed = std::getenv("CONV_TA_BENCH_INSTALLED")) {
        static const Level level{"installed", installed};
        std::string why;
        if (Entry entry = load(level, why))
            peers.implementations.push_back({"convolution_TA:installed",
                                             [entry](Shape s) { return level_instance(s, entry); },
                                             &level_shapes()});
        else
            peers.notes.push_back("convolution_TA:installed: skipped, " + why);
        peers.notes.push_back(std::string("convolution_TA:installed: ") + installed);
    }
    if (!loaded.empty())
        peers.notes.insert(peers.notes.begin(),
                           "convolution_TA:LEVEL: the library built with -march=LEVEL, for " +
                               loaded);
    return peers;
}

} // namespace conv_ta_bench
