#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeError.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::OpRunner;

struct Window {
    int64_t kernel, stride, before, after;
};

// Direct pooling of one [H, W] plane: windows start at o*stride - before and
// the padded input ends at input + after.
std::vector<float> poolReference(const std::vector<float>& x, int64_t h, int64_t w, Window wy, Window wx,
                                 int64_t outH, int64_t outW, bool max, bool excludePadding) {
    std::vector<float> out;
    for (int64_t oy = 0; oy < outH; ++oy) {
        for (int64_t ox = 0; ox < outW; ++ox) {
            double best = -INFINITY, sum = 0;
            int64_t inside = 0, padded = 0;
            for (int64_t ky = 0; ky < wy.kernel; ++ky) {
                for (int64_t kx = 0; kx < wx.kernel; ++kx) {
                    const int64_t y = oy * wy.stride - wy.before + ky, xx = ox * wx.stride - wx.before + kx;
                    if (y >= h + wy.after || xx >= w + wx.after) continue;
                    ++padded;
                    if (y < 0 || xx < 0 || y >= h || xx >= w) continue;
                    ++inside;
                    best = std::max(best, static_cast<double>(x[static_cast<size_t>(y * w + xx)]));
                    sum += x[static_cast<size_t>(y * w + xx)];
                }
            }
            out.push_back(static_cast<float>(max ? best : sum / static_cast<double>(excludePadding ? inside : padded)));
        }
    }
    return out;
}

TEST(PoolingOps, MaxAndAveragePoolingOverEveryPaddingMode) {
    struct Case {
        std::string name, op, padType;
        std::vector<int64_t> pad;
        bool ceilMode, exclude;
        Window wy, wx;
        int64_t outH, outW;
    } cases[] = {
        {"max valid", "max_pool", "valid", {0, 0, 0, 0}, false, false, {2, 2, 0, 0}, {2, 2, 0, 0}, 2, 3},
        {"max same", "max_pool", "same", {0, 0, 0, 0}, false, false, {3, 2, 1, 1}, {3, 2, 1, 1}, 3, 4},
        {"avg custom with padding", "avg_pool", "custom", {1, 0, 1, 1}, false, false, {2, 2, 1, 0}, {3, 2, 1, 1}, 3, 4},
        {"avg custom excluding padding", "avg_pool", "custom", {1, 0, 1, 1}, false, true, {2, 2, 1, 0}, {3, 2, 1, 1}, 3, 4},
        {"avg ceil mode", "avg_pool", "valid", {0, 0, 0, 0}, true, false, {2, 2, 0, 0}, {3, 2, 0, 0}, 3, 3},
        {"max ceil mode", "max_pool", "valid", {0, 0, 0, 0}, true, false, {2, 2, 0, 0}, {3, 2, 0, 0}, 3, 3},
        {"avg same_lower", "avg_pool", "same_lower", {0, 0, 0, 0}, false, true, {2, 1, 1, 0}, {2, 1, 1, 0}, 5, 7},
    };
    constexpr int64_t H = 5, W = 7;
    std::vector<float> x(2 * H * W);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 11) % 17) - 8.0f;
    for (const auto& c : cases) {
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", Tensor::of(DataType::Float32, {1, 2, H, W}, x));
        std::vector<std::pair<std::string, std::string>> arguments = {
            {"x", "x"},
            {"kernel_sizes", w.ints({c.wy.kernel, c.wx.kernel})},
            {"strides", w.ints({c.wy.stride, c.wx.stride})},
            {"pad_type", w.text(c.padType)},
            {"pad", w.ints(c.pad)},
            {"ceil_mode", w.boolean(c.ceilMode)}};
        if (c.op == "avg_pool") arguments.push_back({"exclude_padding_from_average", w.boolean(c.exclude)});
        const auto out = runner.run(c.op, arguments, {{"y", DataType::Float32, {1, 2, c.outH, c.outW}}})[0].toFloats();
        std::vector<float> expected;
        for (int64_t plane = 0; plane < 2; ++plane) {
            const std::vector<float> one(x.begin() + plane * H * W, x.begin() + (plane + 1) * H * W);
            const auto part = poolReference(one, H, W, c.wy, c.wx, c.outH, c.outW, c.op == "max_pool", c.exclude);
            expected.insert(expected.end(), part.begin(), part.end());
        }
        ASSERT_EQ(out.size(), expected.size()) << c.name;
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(out[i], expected[i], 1e-5f) << c.name << " at " << i;
    }
}

TEST(PoolingOps, OneDimensionalHalfPooling) {
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("x", Tensor::of(DataType::Float16, {1, 1, 6}, std::vector<float>{1, -2, 3, 8, -5, 0.5f}));
    const auto out = runner.run("max_pool",
                                {{"x", "x"}, {"kernel_sizes", w.ints({2})}, {"strides", w.ints({2})},
                                 {"pad_type", w.text("valid")}, {"pad", w.ints({0, 0})}},
                                {{"y", DataType::Float16, {1, 1, 3}}})[0].toFloats();
    EXPECT_EQ(out, (std::vector<float>{1, 8, 0.5f}));
}

TEST(PoolingOps, BadWindowsFailAtLoad) {
    struct Case {
        std::string name;
        std::vector<int64_t> kernel;
        Shape out;
        std::string message;
    } cases[] = {
        {"kernel rank", {2}, {1, 1, 2, 2}, "kernel_sizes needs one entry per spatial axis"},
        {"kernel too large", {5, 5}, {1, 1, 1, 1}, "larger than the padded input"},
        {"declared shape", {2, 2}, {1, 1, 3, 3}, "has shape [1, 1, 2, 2], the program declares [1, 1, 3, 3]"},
    };
    for (const auto& c : cases) {
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", Tensor(DataType::Float32, {1, 1, 4, 4}));
        try {
            runner.run("max_pool",
                       {{"x", "x"}, {"kernel_sizes", w.ints(c.kernel)}, {"strides", w.ints({2, 2})},
                        {"pad_type", w.text("valid")}},
                       {{"y", DataType::Float32, c.out}});
            ADD_FAILURE() << c.name << " loaded";
        } catch (const ModelLoadError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("max_pool: "), std::string::npos) << message;
            EXPECT_NE(message.find("line "), std::string::npos) << message;
            EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
