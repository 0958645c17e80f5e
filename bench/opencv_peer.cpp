// The OpenCV peer: filter2D on one thread with a zero constant border.
//
// filter2D takes no int32 image, so it works on float (CV_32F, the same four
// bytes per element) and, as a trial, on double (CV_64F). It computes a
// correlation, which is this library's unmirrored kernel, anchored at the
// centre. Neither type wraps, so it is checked where its arithmetic is exact:
// pixels in -8..8 and coefficients in -4..4, whose sums stay far below 2^24.
// The values do not change its speed.
#include "bench.h"
#include "reference/guarded.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace conv_ta_bench {
namespace {

using conv_ta_reference::Flush;
using conv_ta_reference::GuardedBuffer;

std::int32_t small_pixel(std::int32_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) % 17u) - 8;
}
std::int32_t small_coefficient(std::int32_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) % 9u) - 4;
}

class OpenCvInstance final : public Instance {
  public:
    OpenCvInstance(Shape shape, int type)
        : shape_(shape), type_(type), in_(shape.height, shape.width, type),
          out_(shape.height, shape.width, type), kernel_(3, 3, type),
          expected_(shape.elements(), Flush::Start) {
        const Images& images = images_for(shape);
        std::vector<std::int32_t> small(shape.elements());
        for (std::size_t i = 0; i < small.size(); ++i)
            small[i] = small_pixel(images.input[i]);
        std::int32_t k[9];
        for (int i = 0; i < 9; ++i)
            k[i] = small_coefficient(bench_kernel(shape.kernel)[i]);
        conv_ta_reference::shape_kernel(shape.kernel, k); // the same kind, small
        scalar_reference(shape, small.data(), expected_.data(), k);

        cv::Mat(shape.height, shape.width, CV_32S, small.data()).convertTo(in_, type);
        cv::Mat(3, 3, CV_32S, k).convertTo(kernel_, type);
        // Touched now, so that no page fault is timed.
        out_.setTo(cv::Scalar(1));
    }
    void run() override {
        cv::filter2D(in_, out_, type_, kernel_, cv::Point(-1, -1), 0, cv::BORDER_CONSTANT);
    }
    std::string check() override {
        if (out_.rows != shape_.height || out_.cols != shape_.width || out_.type() != type_)
            return "wrote an output of another shape or type";
        cv::Mat as_int;
        out_.convertTo(as_int, CV_32S);
        return compare(shape_, as_int.ptr<std::int32_t>(), expected_.data());
    }

  private:
    Shape shape_;
    int type_;
    cv::Mat in_, out_, kernel_;
    GuardedBuffer expected_;
};

Prepare prepare_with(int type) {
    return [type](Shape shape) -> std::unique_ptr<Instance> {
        return std::make_unique<OpenCvInstance>(shape, type);
    };
}

} // namespace

Peers opencv_peers() {
    // One thread: every OpenCV function runs on the calling thread alone.
    cv::setNumThreads(1);
    Peers peers;
    peers.implementations.push_back({"opencv_32F", prepare_with(CV_32F), &table_shapes()});
    peers.implementations.push_back({"opencv_64F", prepare_with(CV_64F), &trial_shapes()});
    peers.notes.push_back(std::string("opencv: OpenCV ") + CV_VERSION +
                          " filter2D, BORDER_CONSTANT 0, threads " +
                          std::to_string(cv::getNumThreads()) + ", CV_32F (CV_64F as a trial)");
    return peers;
}

} // namespace conv_ta_bench
