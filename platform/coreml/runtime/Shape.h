#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::coreml::runtime {

// Dimensions in row-major order. A program may leave a dimension open ("?");
// such a dimension is kUnknownDim until a prediction gives it a size.
using Shape = std::vector<int64_t>;
inline constexpr int64_t kUnknownDim = -1;

// Product of the dimensions; nullopt when a dimension is unknown or negative,
// or when the product would not fit (hostile programs declare such shapes).
std::optional<int64_t> elementCount(const Shape& shape);
// As above, but for shapes already known to be valid and concrete.
int64_t countOf(const Shape& shape);

bool isConcrete(const Shape& shape);
Shape stridesOf(const Shape& shape);

// NumPy broadcasting of two shapes; unknown dimensions stay unknown unless the
// other side fixes them. nullopt when the shapes cannot be broadcast.
std::optional<Shape> broadcastShapes(const Shape& a, const Shape& b);

// Known dimensions must agree; an unknown dimension matches anything.
bool shapesCompatible(const Shape& declared, const Shape& actual);

// Maps a possibly negative axis into [0, rank); nullopt when out of range.
std::optional<int64_t> normalizeAxis(int64_t axis, int64_t rank);

// "[1, 80, ?, 3000]", the form used in program text and messages.
std::string describe(const Shape& shape);

}  // namespace platform::coreml::runtime
