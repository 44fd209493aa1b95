#include "platform/text/Utf.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <limits>
#include <stdexcept>

namespace platform::text {
namespace {

constexpr UChar32 kReplacement = 0xFFFD;

void requireFitsInt32(std::size_t length) {
    if (length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 3)) {
        throw std::length_error("text too long to convert");
    }
}

bool isWellFormedUtf8(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    int32_t i = 0;
    while (i < length) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

} // namespace

std::u16string toUtf16(std::string_view utf8) {
    if (utf8.empty()) return {};
    requireFitsInt32(utf8.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    // UTF-16 never needs more code units than UTF-8 has bytes. Most texts
    // converted are short, where a loop beats the setup of a bulk call.
    std::u16string out(utf8.size(), u'\0');
    int32_t written = 0;
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT_OR_FFFD(bytes, i, length, c);
        U16_APPEND_UNSAFE(out.data(), written, c);
    }
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::string toUtf8(std::u16string_view utf16) {
    std::string out;
    appendUtf8(out, utf16);
    return out;
}

void appendUtf8(std::string& out, std::u16string_view utf16) {
    if (utf16.empty()) return;
    requireFitsInt32(utf16.size());
    // Each UTF-16 code unit yields at most three bytes (a pair yields four).
    const std::size_t start = out.size();
    out.resize(start + utf16.size() * 3);
    auto* bytes = reinterpret_cast<uint8_t*>(out.data() + start);
    const auto length = static_cast<int32_t>(utf16.size());
    int32_t written = 0;
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U16_NEXT(utf16.data(), i, length, c);
        if (U_IS_SURROGATE(c)) c = kReplacement;
        U8_APPEND_UNSAFE(bytes, written, c);
    }
    out.resize(start + static_cast<std::size_t>(written));
}

std::string repairUtf8(std::string_view utf8) {
    requireFitsInt32(utf8.size());
    if (isWellFormedUtf8(utf8)) return std::string(utf8);
    return toUtf8(toUtf16(utf8));
}

std::u32string toScalars(std::string_view utf8) {
    requireFitsInt32(utf8.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    std::u32string out;
    out.reserve(utf8.size());
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        // U8_NEXT_OR_FFFD consumes exactly one maximal ill-formed subpart per
        // replacement, the same rule the UTF-16 conversion follows.
        U8_NEXT_OR_FFFD(bytes, i, length, c);
        out.push_back(static_cast<char32_t>(c));
    }
    return out;
}

void appendUtf8(std::string& out, char32_t scalar) {
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) scalar = kReplacement;
    uint8_t buffer[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, static_cast<UChar32>(scalar));
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

std::string toUtf8(std::u32string_view scalars) {
    std::string out;
    out.reserve(scalars.size());
    for (char32_t c : scalars) appendUtf8(out, c);
    return out;
}

} // namespace platform::text
