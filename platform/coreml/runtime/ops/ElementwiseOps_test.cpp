#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;
using testsupport::OpRunner;
namespace ref = testsupport::reference;

TEST(ElementwiseOps, BinaryOpsBroadcastLikeNumPy) {
    struct Case {
        std::string op;
        float (*f)(float, float);
        Shape x, y;
    };
    const Case cases[] = {
        {"add", [](float a, float b) { return a + b; }, {1, 4, 1, 5}, {4, 1, 1}},
        {"sub", [](float a, float b) { return a - b; }, {3, 1}, {1, 6}},
        {"mul", [](float a, float b) { return a * b; }, {2, 3, 4}, {4}},
        {"real_div", [](float a, float b) { return a / b; }, {2, 3}, {}},
        {"maximum", [](float a, float b) { return std::fmax(a, b); }, {5}, {2, 1}},
        {"minimum", [](float a, float b) { return std::fmin(a, b); }, {1, 1, 7}, {2, 7}},
        {"pow", [](float a, float b) { return std::pow(std::fabs(a) + 0.5f, b); }, {3, 4}, {1, 4}},
        // Rows longer than one conversion block, with a tail that fills no vector.
        {"add", [](float a, float b) { return a + b; }, {2, 1100}, {1100}},
        {"mul", [](float a, float b) { return a * b; }, {3, 1, 1030}, {1, 2, 1}},
        {"sub", [](float a, float b) { return a - b; }, {2077}, {}},
        // Short runs that straddle blocks and worker ranges, broadcast along
        // the inner or the outer dimensions, and both ways at once.
        {"add", [](float a, float b) { return a + b; }, {1, 301, 7, 1}, {1, 301, 1, 1}},
        {"mul", [](float a, float b) { return a * b; }, {1, 1, 1, 229}, {1, 37, 1, 1}},
        {"sub", [](float a, float b) { return a - b; }, {5, 1, 3}, {1, 4, 1}},
        {"maximum", [](float a, float b) { return std::fmax(a, b); }, {3, 9001, 1}, {1, 9001, 1}},
        {"minimum", [](float a, float b) { return std::fmin(a, b); }, {2, 1, 6001}, {2, 3, 1}},
        {"add", [](float a, float b) { return a + b; }, {1}, {1, 1, 1}},
    };
    uint32_t seed = 1;
    for (const auto& c : cases) {
        for (auto type : {DataType::Float32, DataType::Float16}) {
            ref::Array x = ref::filled(c.x, seed++, 2.0f), y = ref::filled(c.y, seed++, 2.0f);
            if (c.op == "pow") {
                for (auto& v : x.values) v = std::fabs(v) + 0.5f;
            }
            if (c.op == "real_div") {
                for (auto& v : y.values) v = v < 0 ? v - 0.5f : v + 0.5f;
            }
            // Round the inputs to the storage type first so the reference sees what the kernel sees.
            x = testsupport::toArray(testsupport::toTensor(x, type));
            y = testsupport::toArray(testsupport::toTensor(y, type));
            const auto expected = c.op == "pow" ? ref::broadcast(x, y, [](float a, float b) { return std::pow(a, b); })
                                                : ref::broadcast(x, y, c.f);
            OpRunner runner;
            runner.input("x", testsupport::toTensor(x, type));
            runner.input("y", testsupport::toTensor(y, type));
            const auto out = runner.run(c.op, {{"x", "x"}, {"y", "y"}}, {{"z", type, expected.shape}});
            testsupport::expectClose(expected, out[0], type == DataType::Float16 ? 2e-3f : 1e-6f, c.op);
        }
    }
}

TEST(ElementwiseOps, UnaryOpsApplyTheirEpsilons) {
    const ref::Array x{{6}, {0.0f, 1e-30f, 0.25f, 1.0f, 4.0f, 100.0f}};
    struct Case {
        std::string op;
        std::vector<std::pair<std::string, std::string>> extra;
        std::function<float(float)> f;
    };
    OpRunner probe;
    auto& w = probe.writer();
    const std::vector<Case> cases = {
        {"log", {}, [](float v) { return std::log(v + 1e-45f); }},
        {"log", {{"epsilon", w.scalar(DataType::Float32, 1e-3)}}, [](float v) { return std::log(v + 1e-3f); }},
        {"rsqrt", {}, [](float v) { return 1.0f / std::sqrt(v + 1e-12f); }},
        {"inverse", {}, [](float v) { return 1.0f / (v + 1e-4f); }},
        {"sqrt", {}, [](float v) { return std::sqrt(v); }},
        {"clip", {{"alpha", w.scalar(DataType::Float32, 0.2)}, {"beta", w.scalar(DataType::Float32, 3.0)}},
         [](float v) { return std::fmin(std::fmax(v, 0.2f), 3.0f); }},
    };
    for (const auto& c : cases) {
        OpRunner runner;
        runner.input("x", testsupport::toTensor(x));
        std::vector<std::pair<std::string, std::string>> args{{"x", "x"}};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto out = runner.run(c.op, args, {{"y", DataType::Float32, {6}}});
        ref::Array expected = x;
        for (auto& v : expected.values) v = c.f(v);
        testsupport::expectClose(expected, out[0], 1e-6f, c.op);
    }
}

TEST(ElementwiseOps, MasksAndClipsToTheLargestFloatNeverMakeNaN) {
    const float inf = std::numeric_limits<float>::infinity();
    // Scores masked with -1e4, -3e4 and -inf, softmaxed in fp16, then a clip to
    // the largest fp32 (which is infinite in fp16) and a log.
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("scores", Tensor::of(DataType::Float16, {3, 4}, std::vector<float>{1, 2, 3, 4, 0, 0, 0, 0, 5, 5, 5, 5}));
    const auto mask = runner.constant("mask", Tensor::of(DataType::Float16, {3, 4},
                                                         std::vector<float>{0, -1e4f, -3e4f, -inf, -inf, -inf, -inf, -inf,
                                                                            0, 0, -3e4f, -3e4f}));
    w.op("add", {{"x", "scores"}, {"y", mask}}, {{"masked", DataType::Float16, {3, 4}}});
    w.op("softmax", {{"x", "masked"}, {"axis", w.scalar(DataType::Int32, -1)}}, {{"p", DataType::Float16, {3, 4}}});
    w.op("clip", {{"x", "p"}, {"alpha", w.scalar(DataType::Float16, 0)}, {"beta", w.scalar(DataType::Float32, 3.4028234663852886e38)}},
         {{"c", DataType::Float16, {3, 4}}});
    w.op("log", {{"x", "c"}}, {{"l", DataType::Float16, {3, 4}}});
    const auto out = runner.run("cast", {{"x", "l"}, {"dtype", w.text("fp32")}}, {{"o", DataType::Float32, {3, 4}}});
    for (float v : out[0].toFloats()) EXPECT_FALSE(std::isnan(v));
    EXPECT_NEAR(out[0].toFloats()[0], 0.0f, 1e-3f);
    // A probability of 0 after the -3e4 mask: log adds its epsilon (1e-45, a
    // subnormal in fp32) and stays finite.
    EXPECT_NEAR(out[0].toFloats()[10], std::log(1e-45f), 0.1f);
}

TEST(ElementwiseOps, ComparisonsSelectAndCastsHandleIntegers) {
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("a", Tensor::of(DataType::Int32, {4}, std::vector<int32_t>{1, 5, -3, 7}));
    runner.input("b", Tensor::of(DataType::Int32, {4}, std::vector<int32_t>{2, 5, -4, 0}));
    w.op("less", {{"x", "a"}, {"y", "b"}}, {{"lt", DataType::Bool, {4}}});
    w.op("add", {{"x", "a"}, {"y", "b"}}, {{"sum", DataType::Int32, {4}}});
    w.op("select", {{"cond", "lt"}, {"a", "a"}, {"b", "sum"}}, {{"pick", DataType::Int32, {4}}});
    w.output("pick");
    const auto out = runner.run("cast", {{"x", "pick"}, {"dtype", w.text("fp16")}}, {{"h", DataType::Float16, {4}}});
    EXPECT_EQ(out[0].toFloats(), (std::vector<float>{1, 10, -7, 7}));
}

}  // namespace
}  // namespace platform::coreml::runtime
