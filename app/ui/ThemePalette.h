#pragma once

#include <cstdint>

namespace dictaro {

// The application's seven colours, by name, for code that decides what to
// show without drawing it; Theme turns them into the toolkit's colours.
enum class ThemeColour { ink, elev, rule, paper, muted, ember, mint };

struct Rgb {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

constexpr Rgb rgb(ThemeColour colour) {
    switch (colour) {
        case ThemeColour::ink: return {10, 9, 7};
        case ThemeColour::elev: return {20, 17, 13};
        case ThemeColour::rule: return {42, 37, 29};
        case ThemeColour::paper: return {237, 230, 213};
        case ThemeColour::muted: return {110, 102, 90};
        case ThemeColour::ember: return {255, 107, 53};
        case ThemeColour::mint: return {122, 227, 213};
    }
    return {0, 0, 0};
}

// A theme colour with its alpha replaced.
struct Tint {
    ThemeColour colour = ThemeColour::paper;
    double alpha = 1;
    friend bool operator==(const Tint&, const Tint&) = default;
};

}  // namespace dictaro
