#include "platform/coreml/runtime/ops/AxisSpace.h"

#include <algorithm>

namespace platform::coreml::runtime {
namespace {

std::vector<int64_t> offsetsOver(const Shape& shape, const Shape& strides, const std::vector<int64_t>& dims) {
    std::vector<int64_t> offsets{0};
    for (int64_t dim : dims) {
        std::vector<int64_t> next;
        next.reserve(offsets.size() * static_cast<size_t>(shape[static_cast<size_t>(dim)]));
        for (int64_t base : offsets) {
            for (int64_t i = 0; i < shape[static_cast<size_t>(dim)]; ++i) {
                next.push_back(base + i * strides[static_cast<size_t>(dim)]);
            }
        }
        offsets = std::move(next);
    }
    return offsets;
}

}  // namespace

AxisSpace::AxisSpace(const Shape& shape, const std::vector<int64_t>& axes) {
    const Shape strides = stridesOf(shape);
    std::vector<int64_t> sorted = axes;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int64_t> rest;
    for (int64_t d = 0; d < static_cast<int64_t>(shape.size()); ++d) {
        if (!std::binary_search(sorted.begin(), sorted.end(), d)) rest.push_back(d);
    }
    inner = offsetsOver(shape, strides, sorted);
    outer = offsetsOver(shape, strides, rest);
}

}  // namespace platform::coreml::runtime
