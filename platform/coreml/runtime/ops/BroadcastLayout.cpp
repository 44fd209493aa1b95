#include "platform/coreml/runtime/ops/BroadcastLayout.h"

#include <algorithm>

#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

// Rows at least this long are worth their own blocks.
constexpr int64_t kLongRow = 128;

}  // namespace

BroadcastLayout::BroadcastLayout(const std::vector<Shape>& operands, const Shape& result) {
    std::vector<std::vector<int64_t>> full;
    for (const Shape& shape : operands) full.push_back(broadcastStrides(shape, result));
    strides_.resize(operands.size());
    // From the innermost dimension out: a dimension joins the one inside it
    // when every operand's stride over it is the inner one's times its size.
    for (size_t d = result.size(); d-- > 0;) {
        if (result[d] == 1) continue;
        bool joins = !dims_.empty();
        for (size_t k = 0; joins && k < full.size(); ++k) joins = full[k][d] == strides_[k].front() * dims_.front();
        if (joins) {
            dims_.front() *= result[d];
            continue;
        }
        dims_.insert(dims_.begin(), result[d]);
        for (size_t k = 0; k < full.size(); ++k) strides_[k].insert(strides_[k].begin(), full[k][d]);
    }
    if (dims_.empty()) {
        dims_.push_back(1);
        for (auto& s : strides_) s.push_back(0);
    }
    const Shape own = stridesOf(dims_);
    for (const auto& s : strides_) {
        dense_.push_back(s == own);
        uniform_.push_back(std::all_of(s.begin(), s.end(), [](int64_t v) { return v == 0; }));
    }
}

int64_t BroadcastLayout::blockLength(int64_t at, int64_t limit) const {
    const int64_t inner = dims_.back();
    if (inner < kLongRow) return limit;
    return std::min(limit, inner - at % inner);
}

std::optional<BroadcastLayout::Run> BroadcastLayout::runOf(size_t k, int64_t begin, int64_t count) const {
    const std::vector<int64_t>& strides = strides_[k];
    const int64_t inner = dims_.back(), column = begin % inner;
    if (column + count > inner) return std::nullopt;
    // A broadcast operand steps through its innermost merged dimension one
    // element at a time or not at all.
    const bool repeats = strides.back() == 0;
    int64_t offset = repeats ? 0 : column;
    int64_t rest = begin / inner;
    for (size_t d = dims_.size() - 1; d-- > 0;) {
        offset += (rest % dims_[d]) * strides[d];
        rest /= dims_[d];
    }
    return Run{offset, repeats};
}

int64_t BroadcastLayout::rowsFrom(int64_t at) const {
    if (dims_.size() < 2) return 1;
    const int64_t rows = dims_[dims_.size() - 2];
    return rows - at / dims_.back() % rows;
}

const float* BroadcastLayout::read(size_t k, const float* values, int64_t begin, int64_t count, float* buffer) const {
    const int64_t inner = dims_.back(), end = begin + count;
    float* target = buffer;
    for (int64_t at = begin; at < end;) {
        const int64_t n = std::min(inner - at % inner, end - at);
        const Run run = *runOf(k, at, n);
        if (run.repeats) {
            std::fill_n(target, n, values[run.offset]);
        } else if (n == count) {
            return values + run.offset;
        } else {
            std::copy_n(values + run.offset, n, target);
        }
        target += n;
        at += n;
    }
    return buffer;
}

}  // namespace platform::coreml::runtime
