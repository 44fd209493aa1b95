#include <gtest/gtest.h>

#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::OpRunner;
namespace ref = testsupport::reference;

TEST(ConvolutionOps, MatchesTheReferenceForEveryPaddingAndLayout) {
    struct Case {
        std::string name;
        Shape x, w;
        std::vector<int64_t> strides, dilations;
        std::string padType;
        std::vector<int64_t> customPad;  // [top, bottom, left, right] for custom
        std::vector<int64_t> expectedPad;
        int64_t groups;
    };
    const Case cases[] = {
        {"pointwise [B, C, 1, S]", {1, 6, 1, 7}, {4, 6, 1, 1}, {1, 1}, {1, 1}, "valid", {}, {0, 0, 0, 0}, 1},
        {"valid 3x3", {2, 3, 6, 5}, {4, 3, 3, 3}, {1, 1}, {1, 1}, "valid", {}, {0, 0, 0, 0}, 1},
        {"stride and dilation", {1, 2, 9, 9}, {3, 2, 3, 2}, {2, 3}, {2, 1}, "valid", {}, {0, 0, 0, 0}, 1},
        {"custom pad", {1, 2, 4, 6}, {2, 2, 3, 3}, {1, 2}, {1, 1}, "custom", {1, 0, 2, 1}, {1, 0, 2, 1}, 1},
        {"same", {1, 2, 5, 8}, {2, 2, 4, 3}, {1, 2}, {1, 1}, "same", {}, {1, 2, 0, 1}, 1},
        {"same_lower", {1, 2, 5, 8}, {2, 2, 4, 3}, {1, 2}, {1, 1}, "same_lower", {}, {2, 1, 1, 0}, 1},
        {"groups", {1, 4, 3, 3}, {6, 2, 2, 2}, {1, 1}, {1, 1}, "valid", {}, {0, 0, 0, 0}, 2},
        {"depthwise", {1, 3, 4, 4}, {3, 1, 3, 3}, {1, 1}, {1, 1}, "same", {}, {1, 1, 1, 1}, 3},
        {"stft-like 1-D stride", {1, 1, 1, 40}, {5, 1, 1, 8}, {1, 4}, {1, 1}, "valid", {}, {0, 0, 0, 0}, 1},
    };
    uint32_t seed = 100;
    for (const auto& c : cases) {
        const ref::Array x = ref::filled(c.x, seed++), w = ref::filled(c.w, seed++);
        std::vector<float> bias(static_cast<size_t>(c.w[0]));
        for (size_t i = 0; i < bias.size(); ++i) bias[i] = 0.1f * static_cast<float>(i);
        const auto expected = ref::conv2d(x, w, bias, c.strides, c.dilations, c.expectedPad, c.groups);
        OpRunner runner;
        auto& writer = runner.writer();
        runner.input("x", testsupport::toTensor(x));
        const auto weight = runner.constant("w", testsupport::toTensor(w));
        const auto b = runner.constant("b", Tensor::of(DataType::Float32, {c.w[0]}, bias));
        std::vector<std::pair<std::string, std::string>> args{
            {"x", "x"}, {"weight", weight}, {"bias", b}, {"strides", writer.ints(c.strides)},
            {"dilations", writer.ints(c.dilations)}, {"pad_type", writer.text(c.padType)},
            {"groups", writer.scalar(DataType::Int32, static_cast<double>(c.groups))}};
        if (!c.customPad.empty()) args.emplace_back("pad", writer.ints(c.customPad));
        const auto out = runner.run("conv", args, {{"y", DataType::Float32, expected.shape}});
        testsupport::expectClose(expected, out[0], 1e-5f, c.name);
    }
}

TEST(ConvolutionOps, RunsOneDimensionalConvolutions) {
    const ref::Array x = ref::filled({1, 3, 10}, 7), w = ref::filled({2, 3, 3}, 8);
    const auto expected = ref::conv2d(ref::Array{{1, 3, 1, 10}, x.values}, ref::Array{{2, 3, 1, 3}, w.values}, {}, {1, 2}, {1, 1},
                                      {0, 0, 1, 1}, 1);
    OpRunner runner;
    auto& writer = runner.writer();
    runner.input("x", testsupport::toTensor(x, DataType::Float16));
    const auto weight = runner.constant("w", testsupport::toTensor(w, DataType::Float16));
    const auto out = runner.run("conv",
                                {{"x", "x"}, {"weight", weight}, {"strides", writer.ints({2})}, {"pad_type", writer.text("custom")},
                                 {"pad", writer.ints({1, 1})}},
                                {{"y", DataType::Float16, {1, 2, 5}}});
    testsupport::expectClose(ref::Array{{1, 2, 5}, expected.values}, out[0], 1e-2f);
}

// A decoder step pushes one column through fp16 weights, which are then read
// as stored; row and column counts off the vector width catch the edges.
TEST(ConvolutionOps, OneColumnThroughHalfWeights) {
    const struct {
        int64_t in, out;
        bool bias;
    } cases[] = {{21, 11, true}, {8, 4, false}, {3, 1, true}, {64, 37, false}};
    uint32_t seed = 300;
    for (const auto& c : cases) {
        const ref::Array x = ref::filled({1, c.in, 1, 1}, seed++);
        const ref::Array w = testsupport::toArray(testsupport::toTensor(ref::filled({c.out, c.in, 1, 1}, seed++), DataType::Float16));
        std::vector<float> bias(static_cast<size_t>(c.bias ? c.out : 0));
        for (size_t i = 0; i < bias.size(); ++i) bias[i] = 0.25f * static_cast<float>(i) - 1.0f;
        const auto expected = ref::conv2d(x, w, bias, {1, 1}, {1, 1}, {0, 0, 0, 0}, 1);
        OpRunner runner;
        auto& writer = runner.writer();
        runner.input("x", testsupport::toTensor(x));
        std::vector<std::pair<std::string, std::string>> args{
            {"x", "x"}, {"weight", runner.constant("w", testsupport::toTensor(w, DataType::Float16))},
            {"strides", writer.ints({1, 1})}, {"pad_type", writer.text("valid")}};
        if (c.bias) args.emplace_back("bias", runner.constant("b", Tensor::of(DataType::Float16, {c.out}, bias)));
        const auto out = runner.run("conv", args, {{"y", DataType::Float32, expected.shape}});
        testsupport::expectClose(expected, out[0], 1e-5f, std::to_string(c.in) + " -> " + std::to_string(c.out));
    }
}

// One column is summed straight into the output: fp16 or fp32 weights, into
// an fp16 or fp32 result, over more rows than one store block and one worker's
// share, with columns past the last full vector of either width.
TEST(ConvolutionOps, OneColumnIntoEveryOutputType) {
    const struct {
        int64_t in, out;
    } sizes[] = {{45, 1031}, {16, 4}, {7, 9}, {520, 70}, {61, 13}};
    uint32_t seed = 700;
    for (const auto& size : sizes) {
        for (auto weightType : {DataType::Float32, DataType::Float16}) {
            for (auto xType : {DataType::Float32, DataType::Float16}) {
                const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled({1, size.in, 1, 1}, seed++), xType));
                const ref::Array w =
                    testsupport::toArray(testsupport::toTensor(ref::filled({size.out, size.in, 1, 1}, seed++), weightType));
                std::vector<float> bias(static_cast<size_t>(size.out));
                for (size_t i = 0; i < bias.size(); ++i) bias[i] = 0.125f * static_cast<float>(i % 9) - 0.5f;
                const auto expected = ref::conv2d(x, w, bias, {1, 1}, {1, 1}, {0, 0, 0, 0}, 1);
                OpRunner runner;
                auto& writer = runner.writer();
                runner.input("x", testsupport::toTensor(x, xType));
                const auto out = runner.run(
                    "conv",
                    {{"x", "x"}, {"weight", runner.constant("w", testsupport::toTensor(w, weightType))},
                     {"bias", runner.constant("b", Tensor::of(DataType::Float32, {size.out}, bias))},
                     {"strides", writer.ints({1, 1})}, {"pad_type", writer.text("valid")}},
                    {{"y", xType, expected.shape}});
                testsupport::expectClose(expected, out[0], xType == DataType::Float16 ? 2e-3f : 1e-5f,
                                         std::to_string(size.in) + " -> " + std::to_string(size.out) + " " +
                                             std::string(name(weightType)) + " into " + std::string(name(xType)));
            }
        }
    }
}

TEST(ConvolutionOps, HalfWeightsInTheEncoderAndDecoderShapes) {
    struct Case {
        std::string name;
        Shape x, w;
        int64_t stride;
        std::vector<int64_t> pad;  // [top, bottom, left, right]
        int64_t groups;
    };
    const Case cases[] = {
        {"kernel 3, padded", {1, 5, 1, 11}, {6, 5, 1, 3}, 1, {0, 0, 1, 1}, 1},
        {"kernel 3, stride 2", {1, 6, 1, 12}, {4, 6, 1, 3}, 2, {0, 0, 1, 1}, 1},
        {"kernel 3, stride 2, odd length", {1, 3, 1, 9}, {5, 3, 1, 3}, 2, {0, 0, 1, 1}, 1},
        {"pointwise, one position", {1, 19, 1, 1}, {7, 19, 1, 1}, 1, {0, 0, 0, 0}, 1},
        {"pointwise, three positions", {1, 19, 1, 3}, {7, 19, 1, 1}, 1, {0, 0, 0, 0}, 1},
        {"pointwise, nine positions", {1, 19, 1, 9}, {7, 19, 1, 1}, 1, {0, 0, 0, 0}, 1},
        {"groups", {1, 4, 1, 5}, {6, 2, 1, 3}, 1, {0, 0, 1, 1}, 2},
    };
    uint32_t seed = 500;
    for (const auto& c : cases) {
        for (auto xType : {DataType::Float32, DataType::Float16}) {
            const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled(c.x, seed++), xType));
            const ref::Array w = testsupport::toArray(testsupport::toTensor(ref::filled(c.w, seed++), DataType::Float16));
            std::vector<float> bias(static_cast<size_t>(c.w[0]));
            for (size_t i = 0; i < bias.size(); ++i) bias[i] = 0.25f * static_cast<float>(i) - 0.5f;
            const auto expected = ref::conv2d(x, w, bias, {1, c.stride}, {1, 1}, c.pad, c.groups);
            OpRunner runner;
            auto& writer = runner.writer();
            runner.input("x", testsupport::toTensor(x, xType));
            const auto weight = runner.constant("w", testsupport::toTensor(w, DataType::Float16));
            const auto b = runner.constant("b", Tensor::of(DataType::Float16, {c.w[0]}, bias));
            const auto out = runner.run("conv",
                                        {{"x", "x"}, {"weight", weight}, {"bias", b}, {"strides", writer.ints({1, c.stride})},
                                         {"pad_type", writer.text("custom")}, {"pad", writer.ints(c.pad)},
                                         {"groups", writer.scalar(DataType::Int32, static_cast<double>(c.groups))}},
                                        {{"y", xType, expected.shape}});
            testsupport::expectClose(expected, out[0], xType == DataType::Float16 ? 5e-3f : 1e-5f, c.name);
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
