#include "tests/support/ReferenceOps.h"

#include <cmath>
#include <limits>
#include <map>
#include <random>

namespace testsupport::reference {
namespace {

int64_t flat(const Shape& shape, const std::vector<int64_t>& index) {
    int64_t offset = 0;
    for (size_t d = 0; d < shape.size(); ++d) offset = offset * shape[d] + index[d];
    return offset;
}

}  // namespace

float Array::at(const std::vector<int64_t>& index) const {
    return values[static_cast<size_t>(flat(shape, index))];
}

float& Array::at(const std::vector<int64_t>& index) {
    return values[static_cast<size_t>(flat(shape, index))];
}

Array filled(const Shape& shape, uint32_t seed, float scale) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-scale, scale);
    Array array{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    for (auto& v : array.values) v = uniform(random);
    return array;
}

std::vector<std::vector<int64_t>> allIndices(const Shape& shape) {
    std::vector<std::vector<int64_t>> result;
    std::vector<int64_t> index(shape.size(), 0);
    const int64_t total = platform::coreml::runtime::countOf(shape);
    for (int64_t i = 0; i < total; ++i) {
        result.push_back(index);
        for (size_t d = shape.size(); d-- > 0;) {
            if (++index[d] < shape[d]) break;
            index[d] = 0;
        }
    }
    return result;
}

Array broadcast(const Array& x, const Array& y, float (*op)(float, float)) {
    const size_t rank = std::max(x.shape.size(), y.shape.size());
    Shape shape(rank);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t a = i + x.shape.size() >= rank ? x.shape[i + x.shape.size() - rank] : 1;
        const int64_t b = i + y.shape.size() >= rank ? y.shape[i + y.shape.size() - rank] : 1;
        shape[i] = std::max(a, b);
    }
    Array out{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    const auto pick = [rank](const Array& a, const std::vector<int64_t>& index) {
        std::vector<int64_t> own;
        for (size_t d = rank - a.shape.size(); d < rank; ++d) own.push_back(a.shape[d - (rank - a.shape.size())] == 1 ? 0 : index[d]);
        return a.at(own);
    };
    for (const auto& index : allIndices(shape)) out.at(index) = op(pick(x, index), pick(y, index));
    return out;
}

Array matmul(const Array& x, const Array& y, bool transposeX, bool transposeY) {
    // Batch dimensions broadcast; the last two are the matrix.
    Shape xb(x.shape.begin(), x.shape.end() - 2), yb(y.shape.begin(), y.shape.end() - 2);
    const int64_t m = transposeX ? x.shape.back() : x.shape[x.shape.size() - 2];
    const int64_t k = transposeX ? x.shape[x.shape.size() - 2] : x.shape.back();
    const int64_t n = transposeY ? y.shape[y.shape.size() - 2] : y.shape.back();
    const size_t rank = std::max(xb.size(), yb.size());
    Shape batch(rank);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t a = i + xb.size() >= rank ? xb[i + xb.size() - rank] : 1;
        const int64_t b = i + yb.size() >= rank ? yb[i + yb.size() - rank] : 1;
        batch[i] = std::max(a, b);
    }
    Shape shape = batch;
    shape.push_back(m);
    shape.push_back(n);
    Array out{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    for (const auto& index : allIndices(shape)) {
        const auto operand = [&](const Array& a, const Shape& ab, int64_t row, int64_t col) {
            std::vector<int64_t> own;
            for (size_t d = rank - ab.size(); d < rank; ++d) own.push_back(ab[d - (rank - ab.size())] == 1 ? 0 : index[d]);
            own.push_back(row);
            own.push_back(col);
            return a.at(own);
        };
        const int64_t i = index[rank], j = index[rank + 1];
        double sum = 0;
        for (int64_t p = 0; p < k; ++p) {
            sum += static_cast<double>(transposeX ? operand(x, xb, p, i) : operand(x, xb, i, p)) *
                   (transposeY ? operand(y, yb, j, p) : operand(y, yb, p, j));
        }
        out.at(index) = static_cast<float>(sum);
    }
    return out;
}

Array conv2d(const Array& x, const Array& weight, const std::vector<float>& bias, const std::vector<int64_t>& strides,
             const std::vector<int64_t>& dilations, const std::vector<int64_t>& pads, int64_t groups) {
    const int64_t n = x.shape[0], c = x.shape[1], h = x.shape[2], w = x.shape[3];
    const int64_t cout = weight.shape[0], kh = weight.shape[2], kw = weight.shape[3];
    const int64_t oh = (h + pads[0] + pads[1] - (kh - 1) * dilations[0] - 1) / strides[0] + 1;
    const int64_t ow = (w + pads[2] + pads[3] - (kw - 1) * dilations[1] - 1) / strides[1] + 1;
    Array out{{n, cout, oh, ow}, std::vector<float>(static_cast<size_t>(n * cout * oh * ow))};
    const int64_t cinG = c / groups, coutG = cout / groups;
    for (const auto& index : allIndices(out.shape)) {
        const int64_t g = index[1] / coutG;
        double sum = bias.empty() ? 0.0 : bias[static_cast<size_t>(index[1])];
        for (int64_t ci = 0; ci < cinG; ++ci) {
            for (int64_t ky = 0; ky < kh; ++ky) {
                for (int64_t kx = 0; kx < kw; ++kx) {
                    const int64_t iy = index[2] * strides[0] + ky * dilations[0] - pads[0];
                    const int64_t ix = index[3] * strides[1] + kx * dilations[1] - pads[2];
                    if (iy < 0 || iy >= h || ix < 0 || ix >= w) continue;
                    sum += static_cast<double>(x.at({index[0], g * cinG + ci, iy, ix})) * weight.at({index[1], ci, ky, kx});
                }
            }
        }
        out.at(index) = static_cast<float>(sum);
    }
    return out;
}

Array layerNorm(const Array& x, const std::vector<int64_t>& axes, const std::vector<float>& gamma,
                const std::vector<float>& beta, float epsilon) {
    Array out = x;
    std::map<std::vector<int64_t>, std::vector<std::vector<int64_t>>> groups;
    for (const auto& index : allIndices(x.shape)) {
        std::vector<int64_t> key = index;
        for (int64_t a : axes) key[static_cast<size_t>(a)] = -1;
        groups[key].push_back(index);
    }
    for (const auto& [key, members] : groups) {
        double mean = 0, var = 0;
        for (const auto& index : members) mean += x.at(index);
        mean /= static_cast<double>(members.size());
        for (const auto& index : members) var += (x.at(index) - mean) * (x.at(index) - mean);
        var /= static_cast<double>(members.size());
        for (const auto& index : members) {
            int64_t g = 0;
            for (int64_t a : axes) g = g * x.shape[static_cast<size_t>(a)] + index[static_cast<size_t>(a)];
            double v = (x.at(index) - mean) / std::sqrt(var + epsilon);
            if (!gamma.empty()) v *= gamma[static_cast<size_t>(g)];
            if (!beta.empty()) v += beta[static_cast<size_t>(g)];
            out.at(index) = static_cast<float>(v);
        }
    }
    return out;
}

Array softmax(const Array& x, int64_t axis) {
    Array out = x;
    for (const auto& index : allIndices(x.shape)) {
        if (index[static_cast<size_t>(axis)] != 0) continue;
        std::vector<int64_t> at = index;
        double top = -std::numeric_limits<double>::infinity();
        for (int64_t i = 0; i < x.shape[static_cast<size_t>(axis)]; ++i) {
            at[static_cast<size_t>(axis)] = i;
            top = std::max<double>(top, x.at(at));
        }
        double sum = 0;
        for (int64_t i = 0; i < x.shape[static_cast<size_t>(axis)]; ++i) {
            at[static_cast<size_t>(axis)] = i;
            sum += std::isinf(top) ? 0 : std::exp(x.at(at) - top);
        }
        for (int64_t i = 0; i < x.shape[static_cast<size_t>(axis)]; ++i) {
            at[static_cast<size_t>(axis)] = i;
            out.at(at) = std::isinf(top) ? 0.0f : static_cast<float>(std::exp(x.at(at) - top) / sum);
        }
    }
    return out;
}

Array sliceByIndex(const Array& x, const std::vector<int64_t>& begin, const std::vector<int64_t>& end,
                   const std::vector<int64_t>& stride) {
    // Python's slice(begin, end, stride).indices(n) for every dimension.
    std::vector<std::vector<int64_t>> picks;
    Shape shape;
    for (size_t d = 0; d < x.shape.size(); ++d) {
        const int64_t n = x.shape[d], s = stride[d];
        auto fix = [&](int64_t p) {
            if (p < 0) p += n;
            if (s > 0) return std::min(std::max<int64_t>(p, 0), n);
            return std::min(std::max<int64_t>(p, -1), n - 1);
        };
        std::vector<int64_t> list;
        for (int64_t i = fix(begin[d]); s > 0 ? i < fix(end[d]) : i > fix(end[d]); i += s) list.push_back(i);
        shape.push_back(static_cast<int64_t>(list.size()));
        picks.push_back(list);
    }
    Array out{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    for (const auto& index : allIndices(shape)) {
        std::vector<int64_t> source;
        for (size_t d = 0; d < index.size(); ++d) source.push_back(picks[d][static_cast<size_t>(index[d])]);
        out.at(index) = x.at(source);
    }
    return out;
}

Array gather(const Array& x, const std::vector<int64_t>& indices, const Shape& indexShape, int64_t axis) {
    Shape shape(x.shape.begin(), x.shape.begin() + axis);
    shape.insert(shape.end(), indexShape.begin(), indexShape.end());
    shape.insert(shape.end(), x.shape.begin() + axis + 1, x.shape.end());
    Array out{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    for (const auto& index : allIndices(shape)) {
        std::vector<int64_t> inner(index.begin() + axis, index.begin() + axis + static_cast<int64_t>(indexShape.size()));
        int64_t pick = indices[static_cast<size_t>(flat(indexShape, inner))];
        if (pick < 0) pick += x.shape[static_cast<size_t>(axis)];
        std::vector<int64_t> source(index.begin(), index.begin() + axis);
        source.push_back(pick);
        source.insert(source.end(), index.begin() + axis + static_cast<int64_t>(indexShape.size()), index.end());
        out.at(index) = x.at(source);
    }
    return out;
}

Array pad(const Array& x, const std::vector<int64_t>& pads, const std::string& mode, float value) {
    const size_t padded = pads.size() / 2;
    const size_t first = x.shape.size() - padded;
    Shape shape = x.shape;
    for (size_t i = 0; i < padded; ++i) shape[first + i] += pads[2 * i] + pads[2 * i + 1];
    Array out{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    for (const auto& index : allIndices(shape)) {
        std::vector<int64_t> source = index;
        bool outside = false;
        for (size_t i = 0; i < padded; ++i) {
            const size_t d = first + i;
            int64_t p = index[d] - pads[2 * i];
            const int64_t n = x.shape[d];
            if (p < 0 || p >= n) {
                if (mode == "constant") outside = true;
                if (mode == "replicate") p = p < 0 ? 0 : n - 1;
                if (mode == "reflect") p = p < 0 ? -p : 2 * (n - 1) - p;
            }
            source[d] = p;
        }
        out.at(index) = outside ? value : x.at(source);
    }
    return out;
}

Array einsum(const std::string& equation, const Array& x, const Array& y) {
    // "abcd,aefg->..." with single-letter labels; summed labels are those
    // missing from the result. Size-1 dimensions broadcast.
    const auto arrow = equation.find("->");
    const auto comma = equation.find(',');
    const std::string a = equation.substr(0, comma), b = equation.substr(comma + 1, arrow - comma - 1),
                      r = equation.substr(arrow + 2);
    std::map<char, int64_t> sizes;
    for (size_t i = 0; i < a.size(); ++i) sizes[a[i]] = std::max(sizes[a[i]], x.shape[i]);
    for (size_t i = 0; i < b.size(); ++i) sizes[b[i]] = std::max(sizes[b[i]], y.shape[i]);
    Shape shape;
    for (char c : r) shape.push_back(sizes[c]);
    std::string summed;
    for (const auto& [c, n] : sizes) {
        if (r.find(c) == std::string::npos) summed += c;
    }
    Shape sumShape;
    for (char c : summed) sumShape.push_back(sizes[c]);
    Array out{shape, std::vector<float>(static_cast<size_t>(platform::coreml::runtime::countOf(shape)))};
    for (const auto& index : allIndices(shape)) {
        std::map<char, int64_t> label;
        for (size_t i = 0; i < r.size(); ++i) label[r[i]] = index[i];
        double sum = 0;
        for (const auto& s : allIndices(sumShape)) {
            for (size_t i = 0; i < summed.size(); ++i) label[summed[i]] = s[i];
            std::vector<int64_t> xi, yi;
            for (size_t i = 0; i < a.size(); ++i) xi.push_back(x.shape[i] == 1 ? 0 : label[a[i]]);
            for (size_t i = 0; i < b.size(); ++i) yi.push_back(y.shape[i] == 1 ? 0 : label[b[i]]);
            sum += static_cast<double>(x.at(xi)) * y.at(yi);
        }
        out.at(index) = static_cast<float>(sum);
    }
    return out;
}

}  // namespace testsupport::reference
