#include "platform/text/UnicodeProperties.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace platform::text {
namespace {

bool inCategories(char32_t scalar, uint32_t mask) {
    return (U_GET_GC_MASK(static_cast<UChar32>(scalar)) & mask) != 0;
}

// Ill-formed bytes decode to a negative value, which belongs to no set and
// therefore stays in place.
template <typename Belongs>
std::string_view trimming(std::string_view utf8, Belongs belongs) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t start = 0;
    int32_t end = static_cast<int32_t>(utf8.size());
    while (start < end) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, end, c);
        if (c < 0 || !belongs(static_cast<char32_t>(c))) break;
        start = next;
    }
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !belongs(static_cast<char32_t>(c))) break;
        end = previous;
    }
    return utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

} // namespace

bool isLetter(char32_t scalar) { return inCategories(scalar, U_GC_L_MASK); }

bool isNumber(char32_t scalar) { return inCategories(scalar, U_GC_N_MASK); }

bool isUppercaseLetter(char32_t scalar) {
    return inCategories(scalar, U_GC_LU_MASK | U_GC_LT_MASK);
}

bool isWhiteSpace(char32_t scalar) {
    return u_hasBinaryProperty(static_cast<UChar32>(scalar), UCHAR_WHITE_SPACE);
}

bool isPunctuation(char32_t scalar) {
    return inCategories(scalar, U_GC_P_MASK);
}

bool isInWhitespaces(char32_t scalar) {
    return scalar == U'\t' || inCategories(scalar, U_GC_ZS_MASK);
}

bool isInWhitespacesAndNewlines(char32_t scalar) {
    return (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85 || isInWhitespaces(scalar) ||
           inCategories(scalar, U_GC_Z_MASK);
}

std::string_view trimmingWhitespaces(std::string_view utf8) {
    return trimming(utf8, isInWhitespaces);
}

std::string_view trimmingWhitespacesAndNewlines(std::string_view utf8) {
    return trimming(utf8, isInWhitespacesAndNewlines);
}

} // namespace platform::text
