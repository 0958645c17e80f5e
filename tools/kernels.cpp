#include "kernels.h"

#include "error.h"

#include <cctype>
#include <limits>
#include <vector>

namespace conv_ta_tool {

namespace {

// Not mirrored: coefficient 0 weighs the neighbour above-left, so sobel-x
// is positive where the brightness rises to the right. Nothing is
// normalised; box and gaussian need --divide to keep the brightness.
constexpr NamedKernel kernels[] = {
    {"identity", {0, 0, 0, 0, 1, 0, 0, 0, 0}, "the image unchanged"},
    {"sobel-x", {-1, 0, 1, -2, 0, 2, -1, 0, 1}, "gradient, positive where it brightens rightwards"},
    {"sobel-y", {-1, -2, -1, 0, 0, 0, 1, 2, 1}, "gradient, positive where it brightens downwards"},
    {"gradient-x", {-1, 0, 1, -1, 0, 1, -1, 0, 1}, "unweighted horizontal gradient"},
    {"gradient-y", {-1, -1, -1, 0, 0, 0, 1, 1, 1}, "unweighted vertical gradient"},
    {"laplacian", {0, 1, 0, 1, -4, 1, 0, 1, 0}, "second derivative over 4 neighbours"},
    {"laplacian-8", {1, 1, 1, 1, -8, 1, 1, 1, 1}, "second derivative over 8 neighbours"},
    {"edge", {-1, -1, -1, -1, 8, -1, -1, -1, -1}, "outlines: the negated laplacian-8"},
    {"sharpen", {0, -1, 0, -1, 5, -1, 0, -1, 0}, "the image minus its laplacian"},
    {"box", {1, 1, 1, 1, 1, 1, 1, 1, 1}, "sum of the 3x3 neighbourhood (--divide 9: mean)"},
    {"gaussian", {1, 2, 1, 2, 4, 2, 1, 2, 1}, "weighted blur, sum 16 (--divide 16)"},
    {"emboss", {-2, -1, 0, -1, 1, 1, 0, 1, 2}, "diagonal relief"},
};

std::string names() {
    std::string s;
    for (const NamedKernel& k : kernels) {
        s += s.empty() ? "" : ", ";
        s += k.name;
    }
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

} // namespace

std::span<const NamedKernel> named_kernels() {
    return kernels;
}

std::int64_t parse_integer(const std::string& raw, std::int64_t low, std::int64_t high,
                           const std::string& what) {
    const std::string text = trim(raw);
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        i = 1;
    if (i == text.size())
        throw Error(what + (text.empty() ? " is empty" : " ('" + text + "') is not an integer"));
    // Magnitudes are gathered up to one past the widest range we accept, so
    // no digit string can overflow.
    constexpr std::int64_t cap = std::int64_t{1} << 40;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            throw Error(what + " ('" + text + "') is not an integer");
        magnitude = std::min(cap, magnitude * 10 + (text[i] - '0'));
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < low || value > high || magnitude == cap)
        throw Error(what + " (" + text + ") is outside " + std::to_string(low) + ".." +
                    std::to_string(high));
    return value;
}

Kernel parse_kernel(const std::string& raw) {
    const std::string text = trim(raw);
    if (text.empty())
        throw Error("the kernel is empty: give nine integers K0,...,K8 or one of " + names());
    if (text.find(',') == std::string::npos && std::isalpha(static_cast<unsigned char>(text[0]))) {
        for (const NamedKernel& k : kernels)
            if (text == k.name)
                return k.coefficients;
        throw Error("unknown kernel '" + text + "': the named kernels are " + names());
    }
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() != 9)
        throw Error("the kernel has " + std::to_string(fields.size()) + " value" +
                    (fields.size() == 1 ? "" : "s") +
                    "; it takes nine, K0,...,K8 row by row, separated by commas");
    Kernel kernel;
    for (std::size_t i = 0; i < 9; ++i)
        kernel[i] = static_cast<std::int32_t>(parse_integer(
            fields[i], std::numeric_limits<std::int32_t>::min(),
            std::numeric_limits<std::int32_t>::max(), "kernel value " + std::to_string(i + 1)));
    return kernel;
}

} // namespace conv_ta_tool
