#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::OpRunner;
namespace ref = testsupport::reference;

TEST(NormalizationOps, LayerNormAppliesGammaAlongTheNormalisedAxes) {
    struct Case {
        Shape shape;
        std::vector<int64_t> axes;
        Shape gammaShape;
    };
    const Case cases[] = {
        {{1, 6, 1, 5}, {1}, {6}},       // the [B, C, 1, S] layout: gamma runs along C, not the last axis
        {{2, 3, 8}, {-1}, {8}},
        {{2, 3, 4}, {1, 2}, {3, 4}},
        {{1, 6, 1, 70}, {1}, {6}},      // columns in blocks, the last one partial
        {{1, 37, 1, 1}, {1}, {37}},     // a decoder step: one run, converted at once
        {{3, 37, 1, 2}, {1}, {37}},
        {{2, 3, 4}, {0, 2}, {2, 4}},    // axes that are not adjacent
    };
    uint32_t seed = 200;
    for (const auto& c : cases) {
        for (auto type : {DataType::Float32, DataType::Float16}) {
            const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled(c.shape, seed++, 3.0f), type));
            const ref::Array gamma = ref::filled(c.gammaShape, seed++), beta = ref::filled(c.gammaShape, seed++);
            std::vector<int64_t> axes;
            for (int64_t a : c.axes) axes.push_back(a < 0 ? a + static_cast<int64_t>(c.shape.size()) : a);
            const auto expected = ref::layerNorm(x, axes, gamma.values, beta.values, 1e-5f);
            OpRunner runner;
            auto& w = runner.writer();
            runner.input("x", testsupport::toTensor(x, type));
            const auto g = runner.constant("g", testsupport::toTensor(gamma));
            const auto b = runner.constant("b", testsupport::toTensor(beta));
            const auto out = runner.run("layer_norm",
                                        {{"x", "x"}, {"axes", w.ints(c.axes)}, {"gamma", g}, {"beta", b},
                                         {"epsilon", w.scalar(DataType::Float32, 1e-5)}},
                                        {{"y", type, c.shape}});
            testsupport::expectClose(expected, out[0], type == DataType::Float16 ? 5e-3f : 1e-5f, describe(c.shape));
        }
    }
}

TEST(NormalizationOps, UnfusedLayerNormMatchesTheFusedOne) {
    const ref::Array x = ref::filled({1, 4, 1, 3}, 9, 2.0f);
    const auto expected = ref::layerNorm(x, {1}, {}, {}, 1e-5f);
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("x", testsupport::toTensor(x));
    const auto axes = w.ints({1});
    w.op("reduce_mean", {{"x", "x"}, {"axes", axes}, {"keep_dims", w.boolean(true)}}, {{"mean", DataType::Float32, {1, 1, 1, 3}}});
    w.op("sub", {{"x", "x"}, {"y", "mean"}}, {{"centred", DataType::Float32, {1, 4, 1, 3}}});
    w.op("mul", {{"x", "centred"}, {"y", "centred"}}, {{"squares", DataType::Float32, {1, 4, 1, 3}}});
    w.op("reduce_mean", {{"x", "squares"}, {"axes", axes}, {"keep_dims", w.boolean(true)}}, {{"var", DataType::Float32, {1, 1, 1, 3}}});
    w.op("add", {{"x", "var"}, {"y", w.scalar(DataType::Float32, 1e-5)}}, {{"shifted", DataType::Float32, {1, 1, 1, 3}}});
    w.op("rsqrt", {{"x", "shifted"}, {"epsilon", w.scalar(DataType::Float32, 0)}}, {{"scale", DataType::Float32, {1, 1, 1, 3}}});
    const auto out = runner.run("mul", {{"x", "centred"}, {"y", "scale"}}, {{"y", DataType::Float32, {1, 4, 1, 3}}});
    testsupport::expectClose(expected, out[0], 1e-5f);
}

TEST(NormalizationOps, SoftmaxGivesZerosForFullyMaskedRows) {
    const float inf = std::numeric_limits<float>::infinity();
    const ref::Array x{{3, 4}, {1, 2, 3, 4, -inf, -inf, -inf, -inf, 0, -inf, 1e4f, -1e4f}};
    for (int64_t axis : {-1, 0}) {
        OpRunner runner;
        runner.input("x", testsupport::toTensor(x));
        const auto out = runner.run("softmax", {{"x", "x"}, {"axis", runner.writer().scalar(DataType::Int32, static_cast<double>(axis))}},
                                    {{"y", DataType::Float32, {3, 4}}});
        testsupport::expectClose(ref::softmax(x, axis < 0 ? 1 : 0), out[0], 1e-6f);
    }
}

TEST(NormalizationOps, SoftmaxOverContiguousAndStridedAxes) {
    struct Case {
        Shape shape;
        int64_t axis;
    };
    // Strided lines that fill their block whole: attention's [1, keys, heads, 1]
    // and an odd width over several outer positions.
    const Case cases[] = {{{2, 5, 70}, 1}, {{3, 1030}, -1}, {{4, 3, 2}, 0},   {{1, 9, 2, 67}, 1},
                          {{1, 301, 8, 1}, 1}, {{3, 7, 5}, -2}, {{2, 130, 1}, -2}};
    uint32_t seed = 300;
    for (const auto& c : cases) {
        for (auto type : {DataType::Float32, DataType::Float16}) {
            const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled(c.shape, seed++, 4.0f), type));
            OpRunner runner;
            runner.input("x", testsupport::toTensor(x, type));
            const auto out = runner.run("softmax", {{"x", "x"}, {"axis", runner.writer().scalar(DataType::Int32, static_cast<double>(c.axis))}},
                                        {{"y", type, c.shape}});
            const int64_t axis = c.axis < 0 ? c.axis + static_cast<int64_t>(c.shape.size()) : c.axis;
            testsupport::expectClose(ref::softmax(x, axis), out[0], type == DataType::Float16 ? 2e-3f : 1e-6f, describe(c.shape));
        }
    }
}

// fp16 scores overflow to +inf; such a line must still sum to one, its mass
// shared by the infinite entries, and never become NaN.
TEST(NormalizationOps, SoftmaxOfOverflowedScoresStaysFinite) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> lines = {7e4f, 1, 2, 7e4f, 7e4f, -inf, 0, 0, -inf, -inf, -inf, -inf, 1, 2, 3, 4};
    const std::vector<float> expected = {0.5f, 0, 0, 0.5f, 1, 0, 0, 0, 0, 0, 0, 0, 0.0320586f, 0.0871443f, 0.2368828f, 0.6439143f};
    for (bool strided : {false, true}) {
        // Strided: the same four lines laid out as the columns of [4, 4].
        std::vector<float> x(16), want(16);
        for (size_t i = 0; i < 4; ++i) {
            for (size_t j = 0; j < 4; ++j) {
                x[strided ? j * 4 + i : i * 4 + j] = lines[i * 4 + j];
                want[strided ? j * 4 + i : i * 4 + j] = expected[i * 4 + j];
            }
        }
        OpRunner runner;
        runner.input("x", Tensor::of(DataType::Float16, {4, 4}, x));
        const auto out = runner.run("softmax", {{"x", "x"}, {"axis", runner.writer().scalar(DataType::Int32, strided ? 0 : 1)}},
                                    {{"y", DataType::Float16, {4, 4}}});
        testsupport::expectClose(ref::Array{{4, 4}, want}, out[0], 1e-3f, strided ? "strided" : "contiguous");
    }
    // The strided lines twice side by side, [4, 8], which the vector passes take.
    std::vector<float> x(32), want(32);
    for (size_t i = 0; i < 4; ++i) {
        for (size_t j = 0; j < 8; ++j) {
            x[i * 8 + j] = lines[(j % 4) * 4 + i];
            want[i * 8 + j] = expected[(j % 4) * 4 + i];
        }
    }
    OpRunner runner;
    runner.input("x", Tensor::of(DataType::Float16, {4, 8}, x));
    const auto out = runner.run("softmax", {{"x", "x"}, {"axis", runner.writer().scalar(DataType::Int32, 0)}},
                                {{"y", DataType::Float16, {4, 8}}});
    testsupport::expectClose(ref::Array{{4, 8}, want}, out[0], 1e-3f, "eight columns");
}

TEST(NormalizationOps, ExactGeluOverVectorsAndTails) {
    std::vector<float> values;
    for (int i = 0; i < 37; ++i) values.push_back(-9.0f + 0.5f * static_cast<float>(i));
    values.push_back(-std::numeric_limits<float>::infinity());
    values.push_back(std::numeric_limits<float>::infinity());
    for (auto type : {DataType::Float32, DataType::Float16}) {
        const ref::Array x = testsupport::toArray(Tensor::of(type, {static_cast<int64_t>(values.size())}, values));
        ref::Array expected = x;
        for (auto& v : expected.values) v = std::isinf(v) ? (v > 0 ? v : 0.0f) : 0.5f * v * (1 + std::erf(v / std::sqrt(2.0f)));
        OpRunner runner;
        runner.input("x", testsupport::toTensor(x, type));
        const auto out = runner.run("gelu", {{"x", "x"}, {"mode", runner.writer().text("EXACT")}}, {{"y", type, x.shape}});
        testsupport::expectClose(expected, out[0], type == DataType::Float16 ? 2e-3f : 1e-6f, std::string(name(type)));
    }
}

TEST(NormalizationOps, GeluModesAndReductions) {
    const ref::Array x{{2, 3}, {-2.0f, -0.5f, 0.0f, 0.5f, 1.0f, 3.0f}};
    struct Mode {
        std::string name;
        float (*f)(float);
    };
    const Mode modes[] = {
        {"EXACT", [](float v) { return 0.5f * v * (1 + std::erf(v / std::sqrt(2.0f))); }},
        {"TANH_APPROXIMATION",
         [](float v) { return 0.5f * v * (1 + std::tanh(std::sqrt(2.0f / 3.14159265f) * (v + 0.044715f * v * v * v))); }},
        {"SIGMOID_APPROXIMATION", [](float v) { return v / (1 + std::exp(-1.702f * v)); }},
    };
    for (const auto& m : modes) {
        OpRunner runner;
        runner.input("x", testsupport::toTensor(x));
        const auto out = runner.run("gelu", {{"x", "x"}, {"mode", runner.writer().text(m.name)}}, {{"y", DataType::Float32, {2, 3}}});
        ref::Array expected = x;
        for (auto& v : expected.values) v = m.f(v);
        testsupport::expectClose(expected, out[0], 1e-5f, m.name);
    }
    struct Reduction {
        std::string op;
        std::vector<int64_t> axes;
        bool keep;
        Shape shape;
        std::vector<float> values;
    };
    const Reduction reductions[] = {
        {"reduce_sum", {1}, false, {2}, {-2.5f, 4.5f}},
        {"reduce_mean", {0}, true, {1, 3}, {-0.75f, 0.25f, 1.5f}},
        {"reduce_max", {-1}, false, {2}, {0.0f, 3.0f}},
        {"reduce_min", {0, 1}, false, {}, {-2.0f}},
    };
    for (const auto& r : reductions) {
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", testsupport::toTensor(x));
        const auto out = runner.run(r.op, {{"x", "x"}, {"axes", w.ints(r.axes)}, {"keep_dims", w.boolean(r.keep)}},
                                    {{"y", DataType::Float32, r.shape}});
        testsupport::expectClose(ref::Array{r.shape, r.values}, out[0], 1e-6f, r.op);
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
