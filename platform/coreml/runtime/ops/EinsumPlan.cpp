#include "platform/coreml/runtime/ops/EinsumPlan.h"

#include <algorithm>
#include <cctype>

#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

bool isIdentity(const std::vector<int64_t>& perm) {
    for (size_t i = 0; i < perm.size(); ++i) {
        if (perm[i] != static_cast<int64_t>(i)) return false;
    }
    return true;
}

}  // namespace

Tensor permuted(const Tensor& source, const std::vector<int64_t>& perm, const KernelContext& context) {
    if (isIdentity(perm)) return source;
    Shape shape;
    for (int64_t p : perm) shape.push_back(source.shape()[static_cast<size_t>(p)]);
    Tensor target(source.dataType(), shape);
    permute(source, target, perm, context);
    return target;
}

EinsumPlan planEinsum(const OpBuilder& b, const std::string& equation, const Shape& xs, const Shape& ys) {
    const auto arrow = equation.find("->");
    const auto comma = equation.find(',');
    b.require(arrow != std::string::npos && comma != std::string::npos && comma < arrow,
              "einsum needs an equation of the form 'ab,bc->ac', got '" + equation + "'");
    const std::string xl = equation.substr(0, comma);
    const std::string yl = equation.substr(comma + 1, arrow - comma - 1);
    const std::string ol = equation.substr(arrow + 2);
    b.require(xl.size() == xs.size() && yl.size() == ys.size(), "einsum labels do not match the operands' ranks");
    for (const std::string* labels : {&xl, &yl, &ol}) {
        for (size_t i = 0; i < labels->size(); ++i) {
            b.require(std::isalpha(static_cast<unsigned char>((*labels)[i])) &&
                          labels->find((*labels)[i], i + 1) == std::string::npos,
                      "einsum supports distinct letter labels only: '" + equation + "'");
        }
    }
    const auto size = [&](char c, const std::string& labels, const Shape& shape) -> int64_t {
        const auto at = labels.find(c);
        return at == std::string::npos ? 0 : shape[at];
    };
    EinsumPlan plan;
    std::string batch, xOnly, yOnly, summed;
    for (char c : ol) {
        const bool inX = xl.find(c) != std::string::npos, inY = yl.find(c) != std::string::npos;
        b.require(inX || inY, std::string("output label '") + c + "' is in neither operand");
        (inX && inY ? batch : inX ? xOnly : yOnly) += c;
    }
    for (char c : xl) {
        if (ol.find(c) != std::string::npos) continue;
        b.require(yl.find(c) != std::string::npos, std::string("label '") + c + "' is summed in one operand only");
        summed += c;
    }
    for (char c : yl) {
        b.require(ol.find(c) != std::string::npos || xl.find(c) != std::string::npos,
                  std::string("label '") + c + "' is summed in one operand only");
    }
    for (char c : batch) {
        const int64_t a = size(c, xl, xs), z = size(c, yl, ys);
        b.require(a == z || a == 1 || z == 1, std::string("label '") + c + "' has sizes " + std::to_string(a) + " and " +
                                                  std::to_string(z));
        plan.xBatch.push_back(a);
        plan.yBatch.push_back(z);
        plan.batch.push_back(std::max(a, z));
        plan.xPerm.push_back(static_cast<int64_t>(xl.find(c)));
        plan.yPerm.push_back(static_cast<int64_t>(yl.find(c)));
    }
    for (char c : xOnly) {
        plan.m *= size(c, xl, xs);
        plan.xPerm.push_back(static_cast<int64_t>(xl.find(c)));
    }
    plan.summedLabels = summed.size();
    for (char c : summed) {
        b.require(size(c, xl, xs) == size(c, yl, ys), std::string("summed label '") + c + "' differs in size");
        plan.k *= size(c, xl, xs);
        plan.xPerm.push_back(static_cast<int64_t>(xl.find(c)));
        plan.yPerm.push_back(static_cast<int64_t>(yl.find(c)));
    }
    for (char c : yOnly) {
        plan.n *= size(c, yl, ys);
        plan.yPerm.push_back(static_cast<int64_t>(yl.find(c)));
    }
    const std::string productLabels = batch + xOnly + yOnly;
    // An operand without the label counts it as size 0; a batch label of size 1
    // on one side broadcasts to the other's.
    for (char c : productLabels) plan.product.push_back(std::max(size(c, xl, xs), size(c, yl, ys)));
    for (char c : ol) plan.outPerm.push_back(static_cast<int64_t>(productLabels.find(c)));
    return plan;
}

std::string matmulEquation(size_t rank, bool transposeX, bool transposeY) {
    if (rank < 2 || rank > 10) return {};
    const std::string batch = std::string("abcdefgh").substr(0, rank - 2);
    return batch + (transposeX ? "km" : "mk") + "," + batch + (transposeY ? "nk" : "kn") + "->" + batch + "mn";
}

void storeProduct(const Tensor& product, const EinsumPlan& plan, KernelContext& context) {
    FloatOutput output(context, 0);
    if (isIdentity(plan.outPerm)) {
        std::copy_n(product.data<float>(), output.count(), output.data());
    } else {
        Tensor ordered = permuted(product, plan.outPerm, context);
        std::copy_n(ordered.data<float>(), output.count(), output.data());
    }
    output.commit();
}

}  // namespace platform::coreml::runtime
