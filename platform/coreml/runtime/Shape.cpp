#include "platform/coreml/runtime/Shape.h"

#include <algorithm>
#include <limits>

namespace platform::coreml::runtime {

std::optional<int64_t> elementCount(const Shape& shape) {
    int64_t count = 1;
    for (int64_t dim : shape) {
        if (dim < 0) return std::nullopt;
        if (dim != 0 && count > std::numeric_limits<int64_t>::max() / dim) return std::nullopt;
        count *= dim;
    }
    return count;
}

int64_t countOf(const Shape& shape) {
    int64_t count = 1;
    for (int64_t dim : shape) count *= dim;
    return count;
}

bool isConcrete(const Shape& shape) {
    return std::none_of(shape.begin(), shape.end(), [](int64_t d) { return d < 0; });
}

Shape stridesOf(const Shape& shape) {
    Shape strides(shape.size(), 1);
    for (size_t i = shape.size(); i > 1; --i) strides[i - 2] = strides[i - 1] * shape[i - 1];
    return strides;
}

std::optional<Shape> broadcastShapes(const Shape& a, const Shape& b) {
    const size_t rank = std::max(a.size(), b.size());
    Shape result(rank);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t da = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const int64_t db = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (da == db) {
            result[i] = da;
        } else if (da == 1) {
            result[i] = db;
        } else if (db == 1) {
            result[i] = da;
        } else if (da == kUnknownDim || db == kUnknownDim) {
            result[i] = da == kUnknownDim ? db : da;
        } else {
            return std::nullopt;
        }
    }
    return result;
}

bool shapesCompatible(const Shape& declared, const Shape& actual) {
    if (declared.size() != actual.size()) return false;
    for (size_t i = 0; i < declared.size(); ++i) {
        if (declared[i] != kUnknownDim && actual[i] != kUnknownDim && declared[i] != actual[i]) return false;
    }
    return true;
}

std::optional<int64_t> normalizeAxis(int64_t axis, int64_t rank) {
    if (axis < -rank || axis >= rank) return std::nullopt;
    return axis < 0 ? axis + rank : axis;
}

std::string describe(const Shape& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) text += ", ";
        text += shape[i] == kUnknownDim ? "?" : std::to_string(shape[i]);
    }
    return text + "]";
}

}  // namespace platform::coreml::runtime
