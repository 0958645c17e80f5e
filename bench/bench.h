// What the benchmark's implementations share: the shapes, the images each
// shape is measured on, and the form in which an implementation is prepared
// for a shape and then timed.
#ifndef CONV_TA_BENCH_BENCH_H
#define CONV_TA_BENCH_BENCH_H

#include "reference/values.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace conv_ta_bench {

// An image's shape, and the kind of kernel it is convolved with: the library
// sweeps symmetric and antisymmetric kernels their own way.
struct Shape {
    std::int32_t height;
    std::int32_t width;
    conv_ta_reference::KernelKind kernel = conv_ta_reference::KernelKind::General;
    std::size_t elements() const {
        return static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    }
    bool operator==(const Shape&) const = default;
};

// The integer images of one shape, shared by every implementation that works
// on int32: a full-range input, an output every page of which has been
// touched (so that no page fault is timed), and the scalar reference result.
struct Images {
    Shape shape;
    std::int32_t* input;
    std::int32_t* output;
    const std::int32_t* expected;
};

// The images of `shape`, made on first use. The images of the previous shape
// are released then, so only one shape's buffers are held at a time.
const Images& images_for(Shape shape);

// The nine coefficients every implementation is timed with, for each kind.
const std::int32_t* bench_kernel(conv_ta_reference::KernelKind kind);

// The plain scalar reference at -O2 (the benchmark's own build of it).
void scalar_reference(Shape shape, const std::int32_t* input, std::int32_t* output,
                      const std::int32_t* kernel);

// An implementation made ready for one shape: run() is the timed call,
// check() compares what the last run() wrote with the reference and returns
// what is wrong, or an empty string.
class Instance {
  public:
    virtual ~Instance() = default;
    virtual void run() = 0;
    virtual std::string check() = 0;
};

using Prepare = std::function<std::unique_ptr<Instance>(Shape)>;

// convolution_TA's signature, for an entry point taken at run time.
using Entry = void (*)(std::int32_t, std::int32_t, const std::int32_t*, std::int32_t*,
                       const std::int32_t*);

// The library through one of its entry points: the linked library's own, or
// that of a build of it loaded at run time.
class LibraryInstance final : public Instance {
  public:
    LibraryInstance(Shape s, Entry entry);
    void run() override;
    std::string check() override;

  private:
    const Images& images_;
    Entry entry_;
};

// The shapes every implementation is timed on (the in-cache ones with each
// kind of kernel), the two on which the
// alternatives (schedules, element types) of a peer are compared, and the
// three (in cache, out of it, narrow) that the library's build for each
// instruction-set level is timed on.
const std::vector<Shape>& table_shapes();
const std::vector<Shape>& trial_shapes();
const std::vector<Shape>& level_shapes();

struct Implementation {
    std::string name;
    Prepare prepare;
    const std::vector<Shape>* shapes;
};

// The peers, each empty when its package was missing at build time. The
// note names what the peer is measured with (library version, target,
// element type), for the benchmark's context.
struct Peers {
    std::vector<Implementation> implementations;
    std::vector<std::string> notes;
};
Peers halide_peers();
Peers opencv_peers();

// The library built for each portable instruction-set level, as
// convolution_TA:LEVEL, for the levels this CPU runs and whose module loads;
// a note for each level left out.
Peers level_builds();

// Whether two int32 images agree; otherwise where they first differ.
std::string compare(Shape shape, const std::int32_t* got, const std::int32_t* want);

} // namespace conv_ta_bench

#endif
