#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/coreml/runtime/Half.h"
#include "platform/coreml/runtime/ops/TileProduct.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

// high + low must give back every fp16 value exactly (the weights the
// products split), fp32 values to 2^-16, and non-finite values themselves.
TEST(TileProduct, SplittingIntoBFloat16PartsLosesNothingOfAnFp16Value) {
    std::vector<Float16> halves(1 << 16);
    for (uint32_t bits = 0; bits < halves.size(); ++bits) std::memcpy(&halves[bits], &bits, sizeof(Float16));
    std::vector<float> values(halves.size());
    widen(halves.data(), values.data(), values.size());
    std::vector<BFloat16Bits> high(values.size()), low(values.size());
    splitToBFloat16(values.data(), static_cast<int64_t>(values.size()), high.data(), low.data());
    for (size_t i = 0; i < values.size(); ++i) {
        const float value = values[i], sum = widenBFloat16(high[i]) + widenBFloat16(low[i]);
        if (std::isnan(value)) {
            EXPECT_TRUE(std::isnan(widenBFloat16(high[i]))) << i;
        } else if (std::isinf(value)) {
            EXPECT_EQ(widenBFloat16(high[i]), value);
            EXPECT_EQ(low[i], 0);
        } else {
            ASSERT_EQ(sum, value) << "fp16 bits " << i;
        }
    }

    const float wide[] = {1.0f / 3.0f, -7.123456e-20f, 3.0e38f, std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(), 1.0e-30f};
    for (float value : wide) {
        BFloat16Bits h = 0, l = 0;
        splitToBFloat16(&value, 1, &h, &l);
        const double sum = static_cast<double>(widenBFloat16(h)) + widenBFloat16(l);
        EXPECT_LE(std::abs(sum - value), std::ldexp(std::abs(static_cast<double>(value)), -16)) << value;
    }
}

// A 1x1 convolution in fp16 large enough to run on the tiles where the
// processor has them (OpenBLAS elsewhere): each output must be the exact sum
// rounded to fp16, within one fp16 step plus 2^-16 of the sum of the terms'
// magnitudes. bf16 alone, without the low parts, misses by about 2^-9.
TEST(TileProduct, HalfPrecisionProductsKeepFp32Accuracy) {
    const struct {
        int64_t in, out, frames;
    } cases[] = {{64, 300, 1500}, {37, 517, 1001}, {512, 48, 700}};
    std::mt19937 random(5);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    for (const auto& c : cases) {
        const auto rounded = [&](int64_t count) {
            std::vector<float> values(static_cast<size_t>(count));
            for (auto& v : values) v = uniform(random);
            std::vector<Float16> halves(values.size());
            narrow(values.data(), halves.data(), values.size());
            widen(halves.data(), values.data(), values.size());
            return values;
        };
        const std::vector<float> x = rounded(c.in * c.frames), w = rounded(c.out * c.in), bias = rounded(c.out);
        testsupport::OpRunner runner;
        auto& writer = runner.writer();
        runner.input("x", Tensor::of(DataType::Float16, {1, c.in, 1, c.frames}, x));
        const auto out = runner.run(
            "conv",
            {{"x", "x"},
             {"weight", runner.constant("w", Tensor::of(DataType::Float16, {c.out, c.in, 1, 1}, w))},
             {"bias", runner.constant("b", Tensor::of(DataType::Float16, {c.out}, bias))},
             {"strides", writer.ints({1, 1})},
             {"pad_type", writer.text("valid")}},
            {{"y", DataType::Float16, {1, c.out, 1, c.frames}}});
        const std::vector<float> got = out[0].toFloats();
        int64_t wrong = 0;
        for (int64_t o = 0; o < c.out; ++o) {
            for (int64_t t = 0; t < c.frames; ++t) {
                double sum = bias[static_cast<size_t>(o)], magnitude = std::abs(sum);
                for (int64_t k = 0; k < c.in; ++k) {
                    const double term = static_cast<double>(w[static_cast<size_t>(o * c.in + k)]) * x[static_cast<size_t>(k * c.frames + t)];
                    sum += term;
                    magnitude += std::abs(term);
                }
                const double step = std::ldexp(1.0, std::max(std::ilogb(std::max(std::abs(sum), 6.1e-5)), -14) - 10);
                if (std::abs(got[static_cast<size_t>(o * c.frames + t)] - sum) > step + std::ldexp(magnitude, -16)) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0) << c.in << " -> " << c.out << " over " << c.frames << " frames";
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
