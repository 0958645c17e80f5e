// libFuzzer target for conv-ta's file readers: arbitrary bytes as IN, in
// every format. Whatever the bytes, reading must end in an image or in an
// Error, with no crash, no sanitizer report, and no allocation beyond what
// the checked header allows (libFuzzer's -malloc_limit_mb catches those).
#include "error.h"
#include "image_io.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    try {
        const auto reader = conv_ta_tool::open_image("/proc/self/fd/" + std::to_string(fd));
        const conv_ta_tool::ImageInfo& image = reader->info();
        // Row by row, as apply reads them, up to a budget of elements that
        // keeps every input fast; a row too wide for it is not read.
        constexpr std::int64_t budget = std::int64_t{1} << 22;
        if (image.width > 0 && image.width <= budget) {
            std::vector<std::int32_t> row(static_cast<std::size_t>(image.width));
            const std::int64_t rows = std::min(image.height, budget / image.width);
            for (std::int64_t r = 0; r < rows; ++r)
                reader->read_rows(row.data(), 1);
            if (rows == image.height)
                reader->finish();
        }
    } catch (const conv_ta_tool::Error&) {
    }
    close(fd);
    return 0;
}
