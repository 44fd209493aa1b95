#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::OpRunner;

std::vector<float> sequence(size_t n, float scale, float offset = 0.0f) {
    std::vector<float> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = offset + scale * static_cast<float>((i * 7 + 3) % 13) - scale * 6;
    return values;
}

std::vector<float> attentionReference(const std::vector<float>& q, const std::vector<float>& k,
                                      const std::vector<float>& v, const std::vector<float>& mask, bool boolMask,
                                      int64_t batch, int64_t l, int64_t s, int64_t e) {
    std::vector<float> out(static_cast<size_t>(batch * l * e), 0.0f);
    for (int64_t b = 0; b < batch; ++b) {
        for (int64_t i = 0; i < l; ++i) {
            std::vector<double> scores(static_cast<size_t>(s));
            double top = -INFINITY;
            for (int64_t j = 0; j < s; ++j) {
                double dot = 0;
                for (int64_t d = 0; d < e; ++d) dot += q[(b * l + i) * e + d] * k[(b * s + j) * e + d];
                dot /= std::sqrt(static_cast<double>(e));
                const float m = mask.empty() ? 0.0f : mask[static_cast<size_t>(i * s + j)];
                if (boolMask) {
                    dot = m != 0 ? dot : -INFINITY;
                } else {
                    dot += m;
                }
                scores[static_cast<size_t>(j)] = dot;
                top = std::max(top, dot);
            }
            if (std::isinf(top)) continue;  // nothing kept: zeros
            double sum = 0;
            for (auto& sc : scores) sum += (sc = std::exp(sc - top));
            for (int64_t d = 0; d < e; ++d) {
                double acc = 0;
                for (int64_t j = 0; j < s; ++j) acc += scores[static_cast<size_t>(j)] / sum * v[(b * s + j) * e + d];
                out[static_cast<size_t>((b * l + i) * e + d)] = static_cast<float>(acc);
            }
        }
    }
    return out;
}

TEST(AttentionOps, ScaledDotProductAttentionMasksWithoutNaN) {
    constexpr int64_t B = 2, L = 3, S = 4, E = 4;
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::string name;
        DataType maskType;
        std::vector<float> mask;  // [L, S], broadcast over the batch; empty: none
    } cases[] = {
        {"no mask", DataType::Float32, {}},
        {"boolean keeps true", DataType::Bool, {1, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1}},
        {"causal -inf", DataType::Float32, {0, -inf, -inf, -inf, 0, 0, -inf, -inf, 0, 0, 0, -inf}},
        {"-1e4 and -3e4", DataType::Float16, {0, -1e4f, -3e4f, 0, -3e4f, -3e4f, -3e4f, 0, 0, 0, 0, 0}},
        {"a row masked entirely", DataType::Float32, {-inf, -inf, -inf, -inf, 0, 0, 0, 0, 0, -inf, 0, 0}},
        {"boolean row all false", DataType::Bool, {0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 1}},
    };
    const std::vector<float> q = sequence(B * L * E, 0.3f);
    const std::vector<float> k = sequence(B * S * E, 0.2f, 0.1f);
    const std::vector<float> v = sequence(B * S * E, 0.5f, -0.3f);
    for (const auto& c : cases) {
        OpRunner runner(testsupport::ModelBundleWriter::Dialect::program13, "ios18");
        auto& w = runner.writer();
        const Tensor qt = Tensor::of(DataType::Float16, {B, L, E}, q);
        runner.input("q", qt);
        const std::string key = w.constant("k", Tensor::of(DataType::Float16, {B, S, E}, k));
        const std::string value = w.constant("v", Tensor::of(DataType::Float16, {B, S, E}, v));
        std::vector<std::pair<std::string, std::string>> arguments = {{"query", "q"}, {"key", key}, {"value", value}};
        if (!c.mask.empty()) arguments.push_back({"attn_mask", w.constant("mask", Tensor::of(c.maskType, {L, S}, c.mask))});
        const auto result =
            runner.run("scaled_dot_product_attention", arguments, {{"out", DataType::Float16, {B, L, E}}})[0].toFloats();
        const bool boolMask = c.maskType == DataType::Bool;
        const auto expected = attentionReference(qt.toFloats(), Tensor::of(DataType::Float16, {B, S, E}, k).toFloats(),
                                                 Tensor::of(DataType::Float16, {B, S, E}, v).toFloats(),
                                                 Tensor::of(c.maskType, {L, S}, c.mask.empty() ? std::vector<float>(L * S) : c.mask).toFloats(),
                                                 boolMask && !c.mask.empty(), B, L, S, E);
        for (float r : result) EXPECT_FALSE(std::isnan(r)) << c.name;
        ASSERT_EQ(result.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(result[i], expected[i], 5e-3f) << c.name << " at " << i;
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
