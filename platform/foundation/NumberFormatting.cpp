#include "platform/foundation/NumberFormatting.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace platform {
namespace {

// Magnitudes above the last range in which every integer is exact go to
// exponent form, as do values below 1e-4.
template <typename T>
constexpr T exactIntegerLimit() {
    return static_cast<T>(std::uint64_t{1} << std::numeric_limits<T>::digits);
}

template <typename T>
std::string describe(T value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";

    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = scientific.find('e');
    const bool negative = scientific.front() == '-';

    std::string digits;
    for (char c : scientific.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());

    std::string out = negative ? "-" : "";
    if (exponent < -4 || std::fabs(value) > exactIntegerLimit<T>()) {
        out += digits.front();
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else {
        const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= integerDigits) {
            out += digits;
            out.append(integerDigits - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, integerDigits);
            out += '.';
            out.append(digits, integerDigits);
        }
    }
    return out;
}

} // namespace

std::string description(double value) {
    return describe(value);
}

std::string description(float value) {
    return describe(value);
}

std::string description(Float16 value) {
    const float wide = static_cast<float>(value);
    if (!std::isfinite(wide) || wide == 0) return describe(wide);
    // The fewest significant digits that read back to the same half; that
    // short value printed as a float keeps exactly those digits.
    for (int digits = 1;; ++digits) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, static_cast<double>(wide));
        const float shortest = std::strtof(buffer, nullptr);
        if (static_cast<Float16>(shortest) == value) return describe(shortest);
    }
}

} // namespace platform
