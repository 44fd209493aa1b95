#include "platform/foundation/NumberFormatting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace platform {
namespace {

TEST(NumberFormatting, DoublesPrintShortestWithSwitchToExponentForm) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-2.0, "-2.0"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {0.1 + 0.2, "0.30000000000000004"},
        {100.0, "100.0"},
        {123.456, "123.456"},
        {0.0001, "0.0001"},
        {0.00012, "0.00012"},
        {1e-05, "1e-05"},
        {1.5e-07, "1.5e-07"},
        {1e15, "1000000000000000.0"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e16, "1e+16"},
        {1.25e20, "1.25e+20"},
        {1e100, "1e+100"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::nan(""), "nan"},
        {-std::nan(""), "nan"},
    };
    for (const auto& c : cases) EXPECT_EQ(description(c.value), c.text);
}

TEST(NumberFormatting, FloatsUseTheirOwnShortestDigits) {
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {0.1f, "0.1"},
        {1.0f, "1.0"},
        {2.5f, "2.5"},
        {1.1f, "1.1"},
        {16777216.0f, "16777216.0"},
        {1e8f, "1e+08"},
        {1e-05f, "1e-05"},
        {3.4028235e38f, "3.4028235e+38"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(description(c.value), c.text);
}

TEST(NumberFormatting, HalvesPrintTheFewestDigitsThatReadBackToTheSameHalf) {
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {0.2f, "0.2"},  // the half nearest 0.2 is 0.199951171875
        {0.4f, "0.4"},
        {1.0f, "1.0"},
        {0.0f, "0.0"},
        {65504.0f, "65500.0"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(description(static_cast<Float16>(c.value)), c.text) << c.text;
}

TEST(NumberFormatting, PrintedDoublesReadBackExactly) {
    const double values[] = {1.0 / 3.0, 2.0 / 3.0e10, 123456789.125, 6.02214076e23, 1.602176634e-19, 0.07};
    for (double v : values) EXPECT_EQ(std::strtod(description(v).c_str(), nullptr), v) << description(v);
}

} // namespace
} // namespace platform
